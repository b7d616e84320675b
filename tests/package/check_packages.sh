#!/usr/bin/env bash
# The two downloads as a user gets them:
#   check_packages.sh ZIP DEB VERSION [EDITOR2_HARNESS]
# The zip, unpacked into an empty folder, under a Wine prefix of its own: the programs tell the
# version, qvrec.exe lists windows and records, the .aui2 reads that recording through the
# 64-bit editor's harness, the .aui is a PE32 file with its one export, the licences are there.
# The .deb: its files run from an unpacked tree (qvrec --version, qvf verify of that recording
# through the plug-in it installs), and as root, where it is not installed already, dpkg -i,
# qvrec --version from /usr/bin and dpkg -r.
# Uses the DISPLAY it is given (scripts/test's desktop), else starts a desktop of its own.
set -uo pipefail
ZIP=$(realpath "$1")
DEB=$(realpath "$2")
VERSION=$3
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
HARNESS=${4:-$REPO/build/win64/bin/qv_editor2_harness.exe}
WINE=/usr/lib/wine/wine64
WORK=$(mktemp -d /tmp/qv-package.XXXXXX)
FAILS=0
source "$REPO/tests/windows/wine_desktop.sh"

cleanup() {
  if ((${#QV_DESKTOP_PIDS[@]})); then
    qvStopDesktop
  else
    WINEPREFIX=$WORK/prefix /usr/lib/wine/wineserver -k 2>/dev/null
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
check() {
  local what=$1
  shift
  if "$@"; then echo "ok - $what"; else echo "not ok - $what"; FAILS=$((FAILS + 1)); fi
}
# same OUTPUT_FILE TEXT: the file holds exactly TEXT (one line, CR removed).
same() { [[ $(tr -d '\r' <"$1") == "$2" ]] || { echo "    got: $(head -c 300 "$1")"; return 1; }; }

if [[ -z ${DISPLAY:-} ]]; then
  qvStartDesktop
else
  export WINEPREFIX=$WORK/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  "$WINE" wineboot -i >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
fi

# --- The zip ---------------------------------------------------------------------------------
mkdir "$WORK/unpacked"
(cd "$WORK/unpacked" && cmake -E tar xf "$ZIP")
D=$WORK/unpacked/Quorvane-$VERSION
for f in Quorvane.exe qvrec.exe qvf.exe quorvane_capture.dll QuorvaneVideoFormat.aui \
  QuorvaneVideoFormat.aui2 README.txt README.ja.txt licences/snappy.txt licences/speexdsp.txt licences/cli11.txt \
  licences/gcc-runtime.txt licences/mingw-w64-runtime.txt; do
  [[ -s $D/$f ]] || { echo "    missing $f"; FAILS=$((FAILS + 1)); }
done
"$WINE" "$D/qvrec.exe" --version >"$WORK/v1" 2>&1
check "qvrec.exe --version from the zip" same "$WORK/v1" "qvrec $VERSION"
"$WINE" "$D/qvf.exe" --version >"$WORK/v2" 2>&1
check "qvf.exe --version from the zip" same "$WORK/v2" "qvf $VERSION"
"$WINE" "$D/Quorvane.exe" --version >"$WORK/v3" 2>&1
check "Quorvane.exe --version from the zip" same "$WORK/v3" "Quorvane $VERSION"
"$WINE" "$D/qvrec.exe" list >"$WORK/list" 2>&1
check "qvrec.exe list from the zip lists the screen" grep -q '^ *0 ' "$WORK/list"
REC=$WORK/from-zip.qvf
"$WINE" "$D/qvrec.exe" record --window 0 --fps 10 --duration 2 --output-size 320x180 \
  --sound none -q -o "$("$WINE" winepath -w "$REC" 2>/dev/null | tr -d '\r')" >"$WORK/rec.log" 2>&1
check "qvrec.exe from the zip records" test -s "$REC"
if [[ -f $HARNESS ]]; then
  "$WINE" "$HARNESS" "$D/QuorvaneVideoFormat.aui2" "Z:${REC//\//\\}" >"$WORK/harness.log" 2>&1
  check "the zip's .aui2 reads that recording through the editor's calls" test $? -eq 0 ||
    tail -5 "$WORK/harness.log"
else
  echo "not ok - no editor harness at $HARNESS"
  FAILS=$((FAILS + 1))
fi
check "the .aui is a 32-bit Windows DLL" \
  bash -c "file '$D/QuorvaneVideoFormat.aui' | grep -q 'PE32 executable (DLL).*Intel 80386'"
objdump -p "$D/QuorvaneVideoFormat.aui" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  grep -E '^\s*\[ *[0-9]+\]' | awk '{print $NF}' >"$WORK/exports"
check "the .aui exports GetInputPluginTable and nothing else" same "$WORK/exports" \
  GetInputPluginTable
# versionRecord FILE: its VERSIONINFO strings (UTF-16) hold FileVersion and the version.
versionRecord() {
  strings -el "$1" >"$WORK/strings"
  grep -qx FileVersion "$WORK/strings" && grep -qx "$VERSION" "$WORK/strings" ||
    { echo "    $1"; return 1; }
}
for f in "$D"/*.exe "$D"/*.dll "$D"/*.aui "$D"/*.aui2; do
  check "$(basename "$f") names the version in its version record" versionRecord "$f"
done

# --- The .deb --------------------------------------------------------------------------------
dpkg-deb -f "$DEB" Depends >"$WORK/depends"
check "the .deb depends on Debian's libraries" grep -q 'libc6' "$WORK/depends"
dpkg-deb -x "$DEB" "$WORK/deb"
"$WORK/deb/usr/bin/qvrec" --version >"$WORK/v4" 2>&1
check "qvrec --version from the unpacked .deb" same "$WORK/v4" "qvrec $VERSION"
check "qvf from the unpacked .deb verifies the zip's recording through its plug-in" \
  "$WORK/deb/usr/bin/qvf" verify "$REC"
check "the .deb holds the header" test -s "$WORK/deb/usr/include/quorvane_capture.h"
if [[ $(id -u) == 0 ]] && [[ $(dpkg-query -W -f='${Status}' quorvane 2>/dev/null) != *" installed" ]]; then
  if dpkg -i "$DEB" >"$WORK/dpkg.log" 2>&1; then
    /usr/bin/qvrec --version >"$WORK/v5" 2>&1
    check "qvrec --version after dpkg -i" same "$WORK/v5" "qvrec $VERSION"
    dpkg -P quorvane >>"$WORK/dpkg.log" 2>&1
  else
    cat "$WORK/dpkg.log"
    check "dpkg -i installs the .deb" false
  fi
else
  echo "# dpkg -i skipped: not root, or quorvane is installed on this system already"
fi
echo "$FAILS failed"
exit $((FAILS > 0))
