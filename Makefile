# Kalvenor: "make run" and "make test" do all the set-up on a fresh Debian 12 machine.
BUILD ?= build
JOBS ?= $(shell nproc)
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: run test build app deps configure bench bench-peers check-asan fuzz clean

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The program alone, without the test suite and the benchmarks.
app: configure
	cmake --build $(BUILD) -j $(JOBS) --target VavovIvirur

run: app
	./$(BUILD)/bin/VavovIvirur

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 900

bench: configure
	@bash scripts/install-deps.sh --bench
	cmake --build $(BUILD) -j $(JOBS) --target benchmarks
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b; done

# The speed table against the peers (VTK 9, DCMTK's getscu), both measured in the same run.
bench-peers: configure
	@bash scripts/install-deps.sh --bench
	cmake --build $(BUILD) -j $(JOBS) --target bench_peers
	./$(BUILD)/bench/bench_peers

# The differential fuzz target of the readers, built with clang for libFuzzer and the sanitizers; it
# seeds an empty corpus with the images the tests write. FUZZ_SECONDS bounds the run.
FUZZ_SECONDS ?= 600
fuzz: deps
	@bash scripts/install-deps.sh --bench
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Release -DKALVENOR_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS) --target fuzz_dicom_reading
	mkdir -p build-fuzz/corpus build-fuzz/findings
	cd build-fuzz && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ./bench/fuzz_dicom_reading -max_total_time=$(FUZZ_SECONDS) -timeout=20 -rss_limit_mb=2048 \
	  -artifact_prefix=findings/ corpus

check-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKALVENOR_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	# Undefined behaviour fails the test that shows it instead of only printing a report.
	cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS) --timeout 1800

clean:
	rm -rf $(BUILD) build-asan build-fuzz
