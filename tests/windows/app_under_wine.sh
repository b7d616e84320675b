#!/usr/bin/env bash
# Quorvane.exe end to end, driven from the keyboard with xdotool and read back through
# qv_app_probe.exe (control texts by WM_GETTEXT). Needs DISPLAY and WINEPREFIX set up, a
# PulseAudio server playing a tone for the sound (scripts/test does all of that).
#
#   app_under_wine.sh BIN_DIR SCENARIO [QVF]
#
# Scenarios: record (choose a window, record 3 s, stop, check the files with qvf verify),
# refused (the library's refusal and a closed window are told in the window), rescued (a failed
# write is told and the recording saved into another folder), diskfull (a disk's floor that stops
# a recording cleanly, a disk that fills up while recording, and one that is full before; mounts a small tmpfs, so it runs as root),
# settings (the INI file is written on close and read back on the next start, hot keys
# included), endsession (logging off while Quorvane.exe and qvrec.exe record: the end waits for
# complete files), japanese (under a Japanese locale the window, its states and the library's
# refusals are Japanese; the settings file's language=en brings English back), takes (a
# recording at 48000 Hz of the window as its screen region (GDI standing in for Desktop
# Duplication) with its click in the events file; at the next start only its cut-off copy is offered for repair and
# one click makes it and its WAV whole; a countdown shown and cancelled with Stop). QVF is a native
# qvf; without it BIN_DIR/qvf.exe runs under Wine.
set -uo pipefail
BIN=$(cd "$1" && pwd)
SCENARIO=$2
QVF=${3:-}
WINE=/usr/lib/wine/wine64
DIR=$(mktemp -d /tmp/qv-app.XXXXXX)
PIDS=()
FAILS=0

cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  [[ -n ${MOUNTED:-} ]] && umount "$MOUNTED"
  [[ -n ${SAVED_INI:-} && -f $SAVED_INI ]] && cp "$SAVED_INI" "$INI"
  rm -rf "$DIR"
}
trap cleanup EXIT

probe() { "$WINE" "$BIN/qv_app_probe.exe" "$@" 2>/dev/null | tr -d '\r'; }
check() {
  local what=$1
  shift
  if "$@"; then echo "ok - $what"; else echo "not ok - $what"; FAILS=$((FAILS + 1)); fi
}
# waitText ID TEXT SECONDS: the control's text comes to contain TEXT.
waitText() {
  local got
  got=$(probe wait Quorvane "$1" "$2" "$3")
  local rc=$?
  ((rc == 0)) || echo "    control $1 shows: $got (wanted: $2)"
  return $rc
}
textIs() {
  local got
  got=$(probe text Quorvane "$1")
  [[ $got == "$2" ]] || { echo "    control $1 shows: $got (wanted: $2)"; return 1; }
}
keys() {
  timeout 10 xdotool search --sync --name '^Quorvane$' windowfocus --sync >/dev/null 2>&1
  sleep 0.3
  xdotool "$@"
  sleep 0.4
}

# The settings file where the program looks for it; a file from before is put back at the end.
APPDATA=$("$WINE" winepath -u "$(probe appdata)" 2>/dev/null)
INI=$APPDATA/Quorvane/Quorvane.ini
mkdir -p "$(dirname "$INI")"
if [[ -f $INI ]]; then
  SAVED_INI=$DIR/saved.ini
  cp "$INI" "$SAVED_INI"
fi
rm -f "$INI"
OUT=$DIR/out
mkdir -p "$OUT"
OUT_WINDOWS=$("$WINE" winepath -w "$OUT" 2>/dev/null | tr -d '\r')

writeIni() {
  {
    echo "[Recording]"
    echo "window=Zq test window"
    echo "frameRate=30"
    echo "outputHeight=120"
    echo "colorMatrix=709"
    echo "range=full"
    echo "memory=256M"
    echo "[Output]"
    echo "folder=${FOLDER_WINDOWS:-$OUT_WINDOWS}"
    echo "pattern=test {window}"
    for line in "$@"; do echo "$line"; done
  } >"$INI"
}
startTarget() {
  "$WINE" "$BIN/qv_app_probe.exe" window "Zq test window" 320 240 >/dev/null 2>&1 &
  TARGET=$!
  PIDS+=($TARGET)
  timeout 30 xdotool search --sync --name '^Zq test window$' >/dev/null 2>&1
}
startApp() {
  "$WINE" "$BIN/Quorvane.exe" >"$DIR/app.log" 2>&1 &
  APP=$!
  PIDS+=($APP)
  waitText 1040 Ready 60
}
closeApp() {
  probe close Quorvane
  for _ in $(seq 300); do kill -0 "$APP" 2>/dev/null || return 0; sleep 0.1; done
  return 1
}
qvf() {
  if [[ -n $QVF ]]; then
    "$QVF" "$@"
  else
    local args=() a
    for a in "$@"; do [[ -e $a ]] && a=$("$WINE" winepath -w "$a" 2>/dev/null); args+=("$a"); done
    "$WINE" "$BIN/qvf.exe" "${args[@]}"
  fi
}

case $SCENARIO in
  record)
    # The manifest that gives the program its look and sharp text on every monitor.
    check "the manifest asks for per-monitor DPI awareness" grep -aq PerMonitorV2 "$BIN/Quorvane.exe"
    check "the manifest asks for common controls 6" \
      grep -aq Microsoft.Windows.Common-Controls "$BIN/Quorvane.exe"
    writeIni
    startTarget
    check "the program starts" startApp
    # The settings file chose the window and the smaller size.
    check "the output size comes from the settings file" textIs 1011 "160 × 120"
    # Away from the test window and back to it with the keyboard: the list's type-ahead.
    keys key alt+w Home
    check "Home chooses the whole screen" waitText 1023 "test Screen.qvf" 5
    keys type --delay 80 zq
    check "typing chooses the test window" waitText 1023 "test Zq test window.qvf" 5
    keys key alt+r
    check "Alt+R starts the recording" waitText 1040 "Recording" 30
    check "the file is written while recording" waitText 1040 "written" 10
    sleep 3
    # Stopped with the global hot key while another program's window has the keyboard.
    timeout 10 xdotool search --sync --name '^Zq test window$' windowfocus --sync >/dev/null 2>&1
    xdotool key ctrl+shift+F11
    check "the global stop key works while another window has the keyboard" \
      waitText 1040 "Saved " 60
    probe wait Quorvane 1040 Recording 1 >/dev/null && keys key alt+t
    check "the files are written" waitText 1040 "Saved " 120
    FILE="$OUT/test Zq test window.qvf"
    check "the window names the file" waitText 1043 "test Zq test window.qvf" 5
    check "qvf verify accepts the recording" qvf verify -q "$FILE"
    cp "$FILE" "$DIR/first.qvf"
    qvf info "$FILE" >"$DIR/info.txt" 2>&1
    check "the recording is 160x120 at 30 fps" grep -q '160x120 at 30 fps' "$DIR/info.txt"
    grep -q '160x120 at 30 fps' "$DIR/info.txt" || sed 's/^/    /' "$DIR/info.txt"
    check "the sound file holds more than a second" \
      awk -v s="$(soxi -D "$OUT/test Zq test window.wav" 2>/dev/null || echo 0)" 'BEGIN { exit !(s > 1.0) }'
    # A second recording in the same run gets a name of its own.
    keys key alt+r
    check "a second recording starts" waitText 1040 "Recording" 30
    sleep 1
    keys key alt+t
    check "a second recording is written" waitText 1043 "test Zq test window (2).qvf" 60
    check "qvf verify accepts the second recording" qvf verify -q "$OUT/test Zq test window (2).qvf"
    check "the first recording is untouched" cmp -s "$FILE" "$DIR/first.qvf"
    check "the program closes" closeApp
    ;;
  refused)
    writeIni
    startTarget
    check "the program starts" startApp
    keys key alt+m ctrl+a type 0
    keys key alt+r
    check "a frame rate of 0 is refused in words" waitText 1042 "must be at least 1 frame" 20
    check "nothing is recording" textIs 1032 "S&top"
    keys key alt+m ctrl+a type 30
    kill "$TARGET"
    "$WINE" "$BIN/qv_app_probe.exe" close "Zq test window" >/dev/null 2>&1
    sleep 1
    keys key alt+r
    check "a closed window is told" waitText 1042 "is no longer open" 20
    check "the program closes" closeApp
    ;;
  japanese)
    # Wine takes the user's interface language from the locale of each process it starts.
    export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
    writeIni
    startTarget
    "$WINE" "$BIN/Quorvane.exe" >"$DIR/app.log" 2>&1 &
    APP=$!
    PIDS+=($APP)
    check "the program starts in Japanese" waitText 1040 "準備完了" 60
    check "the Record button is Japanese" textIs 1030 "録画(&R)"
    check "the sound choices are Japanese" textIs 1014 "既定の録音デバイス"
    check "the hot-key help is Japanese" waitText 1047 "ホットキー: Ctrl+Shift+F9 録画" 5
    keys key alt+m ctrl+a type 0
    keys key alt+r
    check "the library's refusal is told in Japanese" waitText 1042 "フレームレートは 1 以上" 20
    check "the program closes" closeApp
    check "the settings file explains itself in Japanese" grep -q '^; 画面の言語' "$INI"
    writeIni "[Interface]" "language=en"
    check "language=en in the settings file overrides the locale" startApp
    check "the Record button is English again" textIs 1030 "&Record"
    check "the program closes" closeApp
    check "the override survives the settings file being written" grep -q '^language=en' "$INI"
    ;;
  rescued)
    # In memory, the folder disappears while recording: the write after the stop fails,
    # nothing is lost, and Save as writes the recording into another folder chosen in the
    # folder picker.
    writeIni writeWhileRecording=0
    startTarget
    check "the program starts" startApp
    keys key alt+r
    check "the recording runs" waitText 1040 "Recording" 30
    sleep 1
    rm -rf "$OUT"
    keys key alt+t
    check "the failed write is told" waitText 1042 "Could not save" 120
    check "the recording is kept" waitText 1042 "Nothing is lost yet" 5
    mkdir -p "$DIR/elsewhere"
    keys key alt+a
    timeout 20 xdotool search --sync --name '^Folder for the recordings$' windowfocus --sync >/dev/null 2>&1
    sleep 0.5
    xdotool type --delay 20 "$("$WINE" winepath -w "$DIR/elsewhere" 2>/dev/null | tr -d '\r')"
    xdotool key Return
    check "Save as writes the files" waitText 1040 "Saved " 120
    check "qvf verify accepts the rescued recording" qvf verify -q "$DIR/elsewhere/test Zq test window.qvf"
    check "the rescued sound file is there" test -s "$DIR/elsewhere/test Zq test window.wav"
    check "the program closes" closeApp
    ;;
  diskfull)
    # A small file system of its own that fills up while recording, then is full before one.
    TINY=$DIR/tiny
    mkdir -p "$TINY"
    mount -t tmpfs -o size=80m tmpfs "$TINY" || { echo "not ok - a small file system (mount)"; exit 1; }
    MOUNTED=$TINY
    FOLDER_WINDOWS=$("$WINE" winepath -w "$TINY" 2>/dev/null | tr -d '\r')
    # First with a floor: the time the disk lasts is shown, and the recording stops cleanly
    # when the free space falls under the floor.
    writeIni minFree=50M
    startTarget
    check "the program starts" startApp
    keys key alt+r
    check "the time the disk lasts is shown" waitText 1040 "disk lasts" 30
    dd if=/dev/zero of="$TINY/filler" bs=1M count=40 >/dev/null 2>&1
    check "the floor stops the recording in words" waitText 1042 "fell under 50.0 MiB" 30
    check "the floor's stop is told as saved" waitText 1040 "Saved " 30
    check "qvf verify accepts the file stopped at the floor" qvf verify -q "$TINY/test Zq test window.qvf"
    rm -f "$TINY"/*.qvf "$TINY"/*.wav "$TINY/filler"
    # Without a floor: the files fill the disk until a write fails.
    keys key alt+k ctrl+a
    keys type 0
    keys key alt+r
    check "the recording is written while recording" waitText 1040 "written" 30
    sleep 1
    dd if=/dev/zero of="$TINY/filler" bs=1M count=100 >/dev/null 2>&1
    check "a write failing on a full disk stops the recording in words" \
      waitText 1042 "a write failed (is the disk full?)" 60
    check "the window still names the files" waitText 1043 "test Zq test window.qvf" 5
    qvf verify "$TINY/test Zq test window.qvf" >"$DIR/verify.txt" 2>&1
    check "the file holds what was written" grep -q "whole up to frame" "$DIR/verify.txt"
    keys key alt+r
    check "a full disk is told before recording" waitText 1042 "is full (" 20
    check "the program closes" closeApp
    ;;
  settings)
    check "the program starts without a settings file" startApp
    check "frame rate by default" textIs 1010 30
    keys key alt+m ctrl+a type 24
    keys key alt+c Down
    keys key alt+g Down
    keys key alt+n ctrl+a type "clip {date}"
    keys key alt+2
    keys key alt+d
    check "the program closes" closeApp
    check "the settings file was written" test -s "$INI"
    for line in frameRate=24 colorMatrix=601 range=full "pattern=clip {date}" startWithF12=1 \
      writeWhileRecording=0; do
      check "the settings file holds $line" grep -qx "$line" "$INI"
    done
    # Hot keys are changed in the file; a key that does not exist is reported.
    sed -i 's/^record=.*/record=Alt+F8/; s/^stop=.*/stop=Ctrl+Alt+Nothing/' "$INI"
    check "the program starts again" startApp
    check "frame rate read back" textIs 1010 24
    check "colour matrix read back" textIs 1012 BT.601
    check "range read back" textIs 1013 Full
    check "file name pattern read back" textIs 1022 "clip {date}"
    check "the changed hot key is in use" waitText 1047 "Alt+F8 records" 5
    check "the bad hot key is reported" waitText 1047 "\"Ctrl+Alt+Nothing\" is not a key" 5
    check "the program closes" closeApp
    check "check boxes read back" grep -qx writeWhileRecording=0 "$INI"
    ;;
  endsession)
    # What logging off sends to each top-level window; the files must verify the moment the
    # last answer is in, since the system may end the process then.
    endSession() {
      local answer
      answer=$(probe endsession "$@")
      [[ $answer == "may end" ]] || { echo "    answer: $answer"; return 1; }
    }
    writeIni
    startTarget
    check "the program starts" startApp
    keys key alt+r
    check "the file is written while recording" waitText 1040 "written" 30
    sleep 2
    check "Quorvane.exe's window lets the session end" endSession '#32770' Quorvane
    FILE="$OUT/test Zq test window.qvf"
    check "Quorvane.exe's file is complete when the session may end" qvf verify -q "$FILE"
    check "the window tells why it stopped" waitText 1042 "the session is ending" 5
    check "the program closes" closeApp

    # qvrec.exe: its hidden window, on a thread of its own, for a streamed and an in-memory take.
    for mode in streamed in-memory; do
      REC=$DIR/$mode
      extra=()
      [[ $mode == in-memory ]] && extra=(--in-memory --memory 256M)
      "$WINE" "$BIN/qvrec.exe" record --title "Zq test window" --fps 30 "${extra[@]}" \
        -o "$("$WINE" winepath -w "$REC.qvf" 2>/dev/null | tr -d '\r')" \
        --wav "$("$WINE" winepath -w "$REC.wav" 2>/dev/null | tr -d '\r')" >"$REC.out" 2>"$REC.err" &
      QVREC=$!
      PIDS+=($QVREC)
      for _ in $(seq 300); do grep -q "Ctrl+C stops" "$REC.err" 2>/dev/null && break; sleep 0.1; done
      sleep 2
      check "qvrec.exe ($mode) has a window that lets the session end" \
        endSession QuorvaneEndSession
      check "qvrec.exe's file ($mode) is complete when the session may end" qvf verify -q "$REC.qvf"
      check "qvrec.exe's sound file ($mode) holds the recording" \
        awk -v s="$(soxi -D "$REC.wav" 2>/dev/null || echo 0)" 'BEGIN { exit !(s > 1.0) }'
      wait "$QVREC"
      check "qvrec.exe ($mode) ends with success" test $? -eq 0
      check "qvrec.exe ($mode) names the reason" grep -q "the session is ending" "$REC.out"
    done
    ;;
  takes)
    writeIni "[Recording]" soundRate=48000 clicks=1 events=1 method=duplication
    startTarget
    check "the program starts" startApp
    check "the sound rate comes from the settings file" textIs 1050 "48000 Hz"
    check "no take is offered in an empty folder" textIs 1048 ""
    keys key alt+r
    check "the recording runs" waitText 1040 "written" 30
    # The window as its screen region: Wine has no Desktop Duplication, GDI's copy stands in.
    check "the fall-back to GDI is told" waitText 1042 "Desktop Duplication cannot be had" 10
    # A click in the recorded window, kept in the events file.
    eval "$(xdotool search --name '^Zq test window$' getwindowgeometry --shell 2>/dev/null | head -n 5)"
    xdotool mousemove $((X + 100)) $((Y + 100)) click 1
    sleep 1.5
    # The recorded window has the keyboard now: the global stop key.
    xdotool key ctrl+shift+F11
    check "the recording is written" waitText 1040 "Saved " 60
    WHOLE="$OUT/test Zq test window"
    check "the events file holds the click" grep -q ",left,press" "$WHOLE.events.csv"
    check "the sound file is at 48000 Hz" test "$(soxi -r "$WHOLE.wav" 2>/dev/null)" = 48000
    qvf info "$WHOLE.qvf" >"$DIR/info.txt" 2>&1
    check "the recording's sound is at 48000 Hz" grep -q 48000 "$DIR/info.txt"
    check "the file names the screen region and the fall-back" grep -q \
      "capture method  GDI, the part of the screen the window covers (Desktop Duplication" \
      "$DIR/info.txt"
    check "the program closes" closeApp
    # A copy cut off inside its last record, its WAV header still at the length it had when
    # recording began (0), as a crash leaves them.
    cp "$WHOLE.qvf" "$OUT/cut.qvf"
    truncate -s -3000 "$OUT/cut.qvf"
    cp "$WHOLE.wav" "$OUT/cut.wav"
    printf '\0\0\0\0' | dd of="$OUT/cut.wav" bs=1 seek=40 conv=notrunc 2>/dev/null
    qvf verify -q "$OUT/cut.qvf" >/dev/null 2>&1
    check "the copy is cut off to qvf verify" test $? -eq 6
    cp "$WHOLE.qvf" "$DIR/whole.qvf"
    sed -i 's/^countdown=.*/countdown=30/' "$INI"
    check "the program starts again" startApp
    check "the cut-off take is offered with its length" waitText 1048 "cut.qvf: " 5
    check "the WAV beside it is named" waitText 1048 "with its WAV file" 1
    ! probe text Quorvane 1048 | grep -q "test Zq test window.qvf"
    check "the complete take is not offered" test $? -eq 0
    keys key alt+h
    check "one click repairs it" waitText 1042 "Repaired: cut.qvf" 20
    check "qvf verify accepts the repaired take" qvf verify -q "$OUT/cut.qvf"
    check "the repaired WAV holds the samples" test "$(soxi -s "$OUT/cut.wav" 2>/dev/null)" = \
      "$(soxi -s "$WHOLE.wav" 2>/dev/null)"
    check "the list is empty after the repair" textIs 1048 ""
    check "the complete take is untouched" cmp -s "$WHOLE.qvf" "$DIR/whole.qvf"
    # The countdown from the settings file, shown in the status line and cancelled with Stop.
    keys key alt+r
    check "the countdown is shown" waitText 1040 "Recording starts in " 5
    keys key alt+t
    check "Stop cancels the countdown" waitText 1042 "Cancelled before the start" 5
    check "nothing was recorded" test "$(ls "$OUT"/*.qvf | wc -l)" -eq 2
    check "the program closes" closeApp
    ;;
  *)
    echo "unknown scenario $SCENARIO" >&2
    exit 2
    ;;
esac
if ((FAILS > 0)); then
  echo "--- Quorvane.exe's output"
  cat "$DIR/app.log"
fi
exit $((FAILS > 0))
