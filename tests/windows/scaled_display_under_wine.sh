#!/usr/bin/env bash
# The Windows tests of a scaled display: the prefix set to 144 DPI for one run of
# WindowsScaledDisplay.*, then put back to 96 (each change needs a new wine server). Needs
# DISPLAY and WINEPREFIX set up (scripts/test does that).
#
#   scaled_display_under_wine.sh BIN_DIR
set -uo pipefail
BIN=$1
WINE=/usr/lib/wine/wine64
KEY='HKCU\Control Panel\Desktop'
restore() {
  "$WINE" reg delete "$KEY" /v LogPixels /f >/dev/null 2>&1
  /usr/lib/wine/wineserver -k
  /usr/lib/wine/wineserver -w
  /usr/lib/wine/wineserver -p >/dev/null 2>&1
}
trap restore EXIT
"$WINE" reg add "$KEY" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1 || exit 1
/usr/lib/wine/wineserver -k
/usr/lib/wine/wineserver -w
# Into a file: the wine server's own processes, started by this run, keep a pipe open.
OUT=$(mktemp)
"$WINE" "$BIN/qv_windows_tests.exe" --gtest_filter='WindowsScaledDisplay.*' >"$OUT" 2>&1
rc=$?
cat "$OUT"
# A skip would mean the setting did not take: that is a failure here.
grep -q '\[  PASSED  \] 1 test' "$OUT" && ((rc == 0))
rc=$?
rm -f "$OUT"
exit $rc
