#!/usr/bin/env bash
# qvrec.exe and qvf.exe in a Japanese console: Wine under ja_JP.UTF-8 gives them code page 932,
# as a Japanese Windows does. A window with a Japanese title is listed in that code page, chosen
# by a Japanese --title, recorded into a file with a Japanese name, and qvf.exe reads that file
# and prints the title back. Needs DISPLAY and WINEPREFIX (scripts/test sets them up).
#
#   japanese_console.sh BIN_DIR
set -uo pipefail
BIN=$(cd "$1" && pwd)
WINE=/usr/lib/wine/wine64
DIR=$(mktemp -d /tmp/qv-ja-console.XXXXXX)
FAILS=0
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
TITLE="デモ ウィンドウ"
"$WINE" "$BIN/qv_app_probe.exe" window "$TITLE" 160 120 >/dev/null 2>&1 &
TARGET=$!
trap 'kill $TARGET 2>/dev/null; wait $TARGET 2>/dev/null; rm -rf "$DIR"' EXIT
timeout 30 xdotool search --sync --name "^$TITLE\$" >/dev/null 2>&1

check() {
  local what=$1
  shift
  if "$@"; then echo "ok - $what"; else echo "not ok - $what"; FAILS=$((FAILS + 1)); fi
}
# inCp932 FILE TEXT: the program's output, read as code page 932, holds TEXT.
inCp932() { iconv -f CP932 -t UTF-8 "$1" 2>/dev/null | grep -qF "$2" || { head -c 400 "$1"; return 1; }; }

cd "$DIR"
"$WINE" "$BIN/qvrec.exe" list >list.txt 2>&1
check "qvrec.exe list prints the Japanese title in code page 932" inCp932 list.txt "$TITLE"
"$WINE" "$BIN/qvrec.exe" record --title "デモ" --duration 1 --sound none -o "録画 テスト.qvf" \
  >record.txt 2>&1
check "qvrec.exe finds the window by a Japanese --title and writes a Japanese file name" \
  test -s "録画 テスト.qvf"
"$WINE" "$BIN/qvf.exe" info "録画 テスト.qvf" >info.txt 2>&1
check "qvf.exe opens it by its Japanese name and prints the window's title" \
  inCp932 info.txt "window          \"$TITLE\""
echo "$FAILS failed"
exit $((FAILS > 0))
