#!/usr/bin/env bash
# The one list of Debian packages Kalvenor needs to build, run and test.
# Installs only what is missing; quiet when everything is present.
set -euo pipefail
packages=(
  build-essential cmake ninja-build ccache pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libsqlite3-dev qt6-websockets-dev libqt6opengl6-dev
  libdcmtk-dev dcmtk
  zlib1g-dev libzip-dev libarchive-dev libssh2-1-dev libssl-dev libxxhash-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  libburn-dev libisofs-dev
  xvfb xauth libgl1-mesa-dri
  libbenchmark-dev
  p7zip-full zip unzip
  poppler-utils
  fonts-dejavu-core fonts-noto-color-emoji
  openssh-server sshpass openssl
  chromium
  qt6-translations-l10n
)
# Reference tools that only the benchmarks use ("make bench"), kept out of the test set-up, and clang
# with its libFuzzer runtime for the differential fuzz target ("make fuzz").
if [ "${1:-}" = "--bench" ]; then
  packages+=(python3-vtk9 python3-numpy dcm2niix clang libclang-rt-dev)
fi
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
