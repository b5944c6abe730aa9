#!/usr/bin/env bash
# Regenerates the calculator diagrams (resources/calc_diagrams/) from
# scripts/calc_diagrams/make_calc_diagrams.cpp. The generated files are committed; run this after
# changing the drawing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
g++ -std=c++20 -O1 -fPIC -Wall -Wextra -o "$tmp/make_calc_diagrams" "$here/scripts/calc_diagrams/make_calc_diagrams.cpp" \
    $(pkg-config --cflags --libs Qt6Gui)
QT_QPA_PLATFORM=offscreen "$tmp/make_calc_diagrams" "$here/resources"
echo "diagrams written to $here/resources/calc_diagrams"
