#!/usr/bin/env bash
# Runs one test executable with fresh per-run XDG folders, so tests never see the user's settings,
# index or runtime lock files, and never see each other's.
set -u
mode=$1; shift
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kalvenor-test.XXXXXX")
# Not exec'd below, so that the folder goes with the test whatever its outcome; the test's own status
# is the script's.
xvfb=
trap '[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null; rm -rf "$tmp"' EXIT
mkdir -p "$tmp/config" "$tmp/data" "$tmp/runtime" "$tmp/cache" "$tmp/home"
chmod 700 "$tmp/runtime"
export XDG_CONFIG_HOME=$tmp/config XDG_DATA_HOME=$tmp/data XDG_RUNTIME_DIR=$tmp/runtime XDG_CACHE_HOME=$tmp/cache
export HOME=$tmp/home TMPDIR=$tmp
export LANG=C.UTF-8 LC_ALL=C.UTF-8
# The update check of every window (and of the program started by a test) contacts nothing; its own
# tests point it at a loopback server.
export KALVENOR_UPDATE_URL=none
# No session bus: Qt's accessibility bridge asks for one when a window first shows, and without an
# address libdbus tries to start one through the display, a wait that once outlasted a GL test. An
# address that leads nowhere fails at once.
export DBUS_SESSION_BUS_ADDRESS=unix:path=$tmp/runtime/no-session-bus
if [ "$mode" = gl ]; then
  # Mesa's software renderer stands in for a graphics card here; the program itself refuses it, and
  # only the GL tests' own code lets their contexts use it.
  export QT_QPA_PLATFORM=xcb LIBGL_ALWAYS_SOFTWARE=1
  # The server picks a free display itself and names it once it is ready; xvfb-run's own search for a
  # free number races with every other X server started at the same moment (parallel tests, a second
  # build folder's run).
  Xvfb -displayfd 3 -screen 0 1600x1200x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
  xvfb=$!
  for _ in $(seq 600); do
    [ -s "$tmp/display" ] || ! kill -0 "$xvfb" 2>/dev/null && break
    sleep 0.1
  done
  if [ ! -s "$tmp/display" ]; then
    echo "Xvfb did not start:" >&2
    cat "$tmp/xvfb.log" >&2
    exit 1
  fi
  export DISPLAY=:$(head -n 1 "$tmp/display")
  "$@"
else
  # Windows open at their own sizes on a workstation's display; a test of other screens names its own.
  printf '{"screens": [{"name": "workstation", "x": 0, "y": 0, "width": 1920, "height": 1080}]}\n' >"$tmp/screen.json"
  export QT_QPA_PLATFORM=offscreen:configfile=$tmp/screen.json
  "$@"
fi
