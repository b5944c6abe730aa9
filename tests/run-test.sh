#!/usr/bin/env bash
# Runs one test executable with fresh per-run XDG folders, so tests never see the user's settings,
# index or runtime lock files, and never see each other's.
set -u
mode=$1; shift
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kalvenor-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/config" "$tmp/data" "$tmp/runtime" "$tmp/cache" "$tmp/home"
chmod 700 "$tmp/runtime"
export XDG_CONFIG_HOME=$tmp/config XDG_DATA_HOME=$tmp/data XDG_RUNTIME_DIR=$tmp/runtime XDG_CACHE_HOME=$tmp/cache
export HOME=$tmp/home TMPDIR=$tmp
export LANG=C.UTF-8 LC_ALL=C.UTF-8
# The update check of every window (and of the program started by a test) contacts nothing; its own
# tests point it at a loopback server.
export KALVENOR_UPDATE_URL=none
if [ "$mode" = gl ]; then
  # Mesa's software renderer stands in for a graphics card here; the program itself refuses it.
  export QT_QPA_PLATFORM=xcb LIBGL_ALWAYS_SOFTWARE=1 KALVENOR_ALLOW_SOFTWARE_GL=1
  exec xvfb-run -a -s "-screen 0 1600x1200x24" "$@"
else
  export QT_QPA_PLATFORM=offscreen
  exec "$@"
fi
