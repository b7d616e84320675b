#!/usr/bin/env bash
# Drives WindowsHotKey.* in qv_windows_tests.exe with real key presses from xdotool. Needs
# DISPLAY and WINEPREFIX set up (scripts/test does). Usage: hotkey_under_wine.sh BIN_DIR
set -uo pipefail
BIN=$1
DIR=$(mktemp -d /tmp/qv-hotkey.XXXXXX)
trap 'rm -rf "$DIR"' EXIT
QV_HOTKEY_DIR=$DIR /usr/lib/wine/wine64 "$BIN/qv_windows_tests.exe" \
  --gtest_filter='WindowsHotKey.*' --gtest_also_run_disabled_tests >"$DIR/test.log" 2>&1 &
TEST=$!
waitFile() { for _ in $(seq 1000); do [[ -e $DIR/$1 ]] && return 0; sleep 0.02; done; return 1; }
focus() { timeout 10 xdotool search --sync --name qv-hotkey-window windowfocus --sync >/dev/null 2>&1 || true; }
waitFile ready-1 && focus && xdotool key F12 && touch "$DIR/go-1"
waitFile ready-2 && focus && xdotool keydown F12 && sleep 0.2 && touch "$DIR/go-2"
waitFile ready-3 && focus && xdotool keyup F12 && sleep 0.1 && xdotool keydown F12 && sleep 0.1 &&
  xdotool keyup F12 && touch "$DIR/go-3"
waitFile ready-4 && focus && xdotool keydown F11 && sleep 0.1 && touch "$DIR/go-4" && sleep 0.5 &&
  xdotool keyup F11
wait $TEST
rc=$?
cat "$DIR/test.log"
grep -q '\[  PASSED  \] 1 test' "$DIR/test.log" && exit 0
exit 1
