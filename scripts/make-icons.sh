#!/usr/bin/env bash
# Regenerates the toolbar pictograms (resources/icons/*.png) and resources/app.ico from
# scripts/icons/make_icons.cpp. The generated files are committed; run this after changing the drawing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
g++ -std=c++20 -O1 -fPIC -Wall -Wextra -o "$tmp/make_icons" "$here/scripts/icons/make_icons.cpp" \
    $(pkg-config --cflags --libs Qt6Gui)
QT_QPA_PLATFORM=offscreen "$tmp/make_icons" "$here/resources"
echo "icons written to $here/resources/icons"
