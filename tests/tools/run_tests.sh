#!/usr/bin/env bash
# End-to-end tests of qvrec and qvf, natively and (when the win64 build is there) under Wine.
#
#   tests/tools/run_tests.sh [--linux DIR] [--win64 DIR] [--no-wine] [--files-only]
#
# DIR defaults: build/linux and build/win64. Needs in the linux build: qvrec, qvf,
# QuorvaneVideoFormat, qv_make_test_recording; in the win64 build: qvrec.exe, qvf.exe and the
# two DLLs. Starts and stops its own Xvfb, PulseAudio (with a tone), test windows and Wine
# prefix. --files-only runs just the qvf tests on files made here (no servers, no qvrec).
# Ends with "N passed, N failed"; exit code 0 only when nothing failed.
set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
LINUX=$REPO/build/linux
WIN64=$REPO/build/win64
WINE_WANTED=auto
FILES_ONLY=no
while (($#)); do
  case $1 in
    --linux) LINUX=$2; shift 2 ;;
    --win64) WIN64=$2; WINE_WANTED=yes; shift 2 ;;
    --no-wine) WINE_WANTED=no; shift ;;
    --files-only) FILES_ONLY=yes; shift ;;
    *) echo "usage: $0 [--linux DIR] [--win64 DIR] [--no-wine] [--files-only]" >&2; exit 2 ;;
  esac
done
LINUX=$(cd "$LINUX" && pwd) || exit 2
[[ -d $WIN64 ]] && WIN64=$(cd "$WIN64" && pwd)
QVREC=$LINUX/bin/qvrec
QVF=$LINUX/bin/qvf
MAKE_REC=$LINUX/bin/qv_make_test_recording
WINE=/usr/lib/wine/wine64

PASSED=0
FAILED=0
WORK=$(mktemp -d /tmp/qv-tools-test.XXXXXX)
PIDS=()

cleanup() {
  if [[ -n ${WINEPREFIX:-} && -d $WINEPREFIX ]]; then
    timeout 20 /usr/lib/wine/wineserver -k >/dev/null 2>&1
  fi
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT

pass() {
  PASSED=$((PASSED + 1))
  echo "ok - $1"
}
failed() {
  FAILED=$((FAILED + 1))
  echo "not ok - $1"
  shift
  local line
  for line in "$@"; do echo "    $line"; done
  if [[ -s $WORK/last.err ]]; then sed 's/^/    stderr: /' "$WORK/last.err" | tail -n 8; fi
}

# run EXPECTED_CODE CMD...: runs with stdout/stderr in $WORK/last.out and .err; sets RC.
run() {
  local expected=$1
  shift
  "$@" >"$WORK/last.out" 2>"$WORK/last.err" </dev/null
  RC=$?
  [[ $RC == "$expected" ]]
}

# expect NAME EXPECTED_CODE PATTERN CMD...: exit code and a stderr (or stdout) pattern.
expect() {
  local name=$1 expected=$2 pattern=$3
  shift 3
  if ! run "$expected" "$@"; then
    failed "$name" "exit code $RC, expected $expected"
  elif [[ -n $pattern ]] && ! grep -qiE "$pattern" "$WORK/last.err" "$WORK/last.out"; then
    failed "$name" "no message matching /$pattern/"
  else
    pass "$name"
  fi
}

# A value from qvf info: info_field FILE FIELD -> the text after the field name.
info_field() { sed -n "s/^$2  *//p" "$1" | head -n1; }

within() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; }

# Little-endian 32-bit value as printf escapes: printf "$(le32 N)".
le32() { printf '\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
# poke FILE OFFSET VALUE: overwrites a 32-bit field in place.
poke() { printf "$(le32 "$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

# --- Servers and windows -----------------------------------------------------------------------
tools=("$QVF" "$MAKE_REC" "$LINUX/lib/QuorvaneVideoFormat.so")
[[ $FILES_ONLY == yes ]] || tools+=("$QVREC")
for tool in "${tools[@]}"; do
  [[ -e $tool ]] || { echo "missing $tool: build the linux preset's targets first" >&2; exit 2; }
done
if [[ $FILES_ONLY == no ]]; then

number=$((200 + $$ % 300))
while [[ -e /tmp/.X$number-lock || -e /tmp/.X11-unix/X$number ]]; do number=$((number + 1)); done
export DISPLAY=:$number
mkdir -p "$WORK/run" "$WORK/home" "$WORK/rescue"
export XDG_RUNTIME_DIR=$WORK/run PULSE_SERVER=unix:$WORK/run/native HOME=$WORK/home
Xvfb "$DISPLAY" -screen 0 1280x720x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 200); do timeout 2 xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
cat >"$WORK/pa.pa" <<PA
load-module module-native-protocol-unix socket=$WORK/run/native auth-anonymous=1
load-module module-null-sink sink_name=test_sink rate=44100 channels=2
set-default-sink test_sink
set-default-source test_sink.monitor
PA
pulseaudio -n -F "$WORK/pa.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  --log-target="file:$WORK/pa.log" >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 200); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
sox -q -n -t raw -r 44100 -c 2 -b 16 -e signed-integer - synth 3600 sine 1000 vol 0.5 2>/dev/null |
  pacat --raw --format=s16le --rate=44100 --channels=2 --latency-msec=20 2>/dev/null &
PIDS+=($!)
TITLE=qv-tools-test-window
xterm -T "$TITLE" -geometry 70x20+40+40 -e sh -c 'while :; do date +%T.%N; sleep 0.05; done' \
  >"$WORK/xterm.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do
  timeout 5 "$QVREC" list 2>/dev/null | grep -q "$TITLE" && break
  sleep 0.1
done
sleep 2.5 # the idle null sink first delivers sound in 2 s blocks
fi

cd "$WORK" || exit 2

# --- qvf on files of known content --------------------------------------------------------------
"$MAKE_REC" known.qvf 320 240 10 45 110250
expect "qvf verify: a sound file of known content" 0 "OK: 51 frames" "$QVF" verify known.qvf
expect "qvf info: counts of key, delta and repeat records" 0 "51 \(5 key, 40 delta, 6 repeat\)" \
  "$QVF" info known.qvf
if run 0 "$QVF" export known.qvf --yuy2 known.yuy2 --y4m known.y4m --wav known.wav &&
  ffmpeg -v error -i known.y4m -f rawvideo -pix_fmt yuyv422 -y known-back.yuy2 &&
  [[ $(stat -c %s known.yuy2) == $((320 * 240 * 2 * 51)) ]] && cmp -s known.yuy2 known-back.yuy2; then
  pass "ffmpeg reads the y4m export; back in packed 4:2:2 it equals the plug-in's pictures"
else
  failed "ffmpeg reads the y4m export; back in packed 4:2:2 it equals the plug-in's pictures"
fi
if [[ $(soxi -s known.wav 2>/dev/null) == 110250 ]] &&
  [[ $(ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 known.wav) == 110250 ]]; then
  pass "sox and ffmpeg read the WAV export: 110250 samples"
else
  failed "sox and ffmpeg read the WAV export: 110250 samples"
fi
# The PCM the test writer stores names its own sample position: the export must keep it.
if sox known.wav -t raw known.raw 2>/dev/null &&
  [[ $(od -An -tu4 -j $((4 * 54321)) -N4 known.raw | tr -d ' ') == $(((54321 * 2654435761) % 4294967296)) ]]; then
  pass "WAV export holds every sample in its place"
else
  failed "WAV export holds every sample in its place"
fi
# Frame 0 starts with bands of BT.601 TV-range white, black and red.
pixel() { ffmpeg -v error -i "$1" -vf "crop=1:1:$2:$3" -f rawvideo -pix_fmt rgb24 - | od -An -tu1 | xargs; }
if run 0 "$QVF" export known.qvf --png pngs --frames 0:20 --every 5 &&
  [[ $(ls pngs | tr '\n' ' ') == "frame_000000.png frame_000005.png frame_000010.png frame_000015.png frame_000020.png " ]] &&
  [[ $(pixel pngs/frame_000000.png 50 10) == "255 255 255" ]] &&
  [[ $(pixel pngs/frame_000000.png 160 10) == "0 0 0" ]] &&
  within "$(pixel pngs/frame_000000.png 270 10 | awk '{print $1}')" 253 255 &&
  [[ $(pixel pngs/frame_000000.png 270 10 | awk '{print $2 + $3}') -le 2 ]]; then
  pass "PNG export: selected frames, BT.601 TV colours back to RGB"
else
  failed "PNG export: selected frames, BT.601 TV colours back to RGB"
fi
if run 0 "$QVF" export known.qvf --sheet sheet.png --sheet-count 6 --sheet-columns 3 &&
  [[ $(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 sheet.png) == png ]]; then
  pass "contact sheet is a PNG that ffmpeg reads"
else
  failed "contact sheet is a PNG that ffmpeg reads"
fi

# Damaged and foreign files.
head -c 200000 known.qvf >truncated.qvf
expect "qvf verify: a truncated recording is reported as ending early" 6 "ends early" "$QVF" verify truncated.qvf
echo "just some text, long enough to fill a header and then some more of it......" >notes.txt
: >empty.qvf
expect "qvf: a text file is refused" 4 "cannot open" "$QVF" info notes.txt
expect "qvf: an empty file is refused" 4 "cannot open" "$QVF" verify empty.qvf
expect "qvf: a WAV file is refused" 4 "cannot open" "$QVF" export known.wav --y4m x.y4m
expect "qvf: a missing file" 4 "no such file" "$QVF" info missing.qvf
expect "qvf: a directory" 4 "directory" "$QVF" info pngs
expect "qvf: a plug-in that is not there" 3 "not found|cannot use" "$QVF" --plugin /nonexistent.so info known.qvf
expect "qvf: a plug-in that is not a library" 3 "cannot use" "$QVF" --plugin notes.txt info known.qvf
expect "qvf export: nothing asked" 2 "at least one" "$QVF" export known.qvf
expect "qvf export: a reversed frame range" 2 "frames" "$QVF" export known.qvf --png p2 --frames 9:3
expect "qvf export: frames past the end" 2 "past the end" "$QVF" export known.qvf --png p2 --frames 99:
expect "qvf export: an unwritable output" 5 "cannot create" "$QVF" export known.qvf --y4m /nonexistent/x.y4m
[[ ! -e /nonexistent/x.y4m ]] || failed "no partial file"

# Files cut off as a power cut or a killed writer leaves them, and foreign WAV files: verify
# says where a merely cut-off file ends (exit 6), repair makes it whole and touches nothing else.
cp known.qvf zeroed.qvf
truncate -s +1000000 zeroed.qvf
if run 6 "$QVF" verify zeroed.qvf &&
  grep -q "ends early: only zero bytes from byte $(stat -c %s known.qvf) to the end" last.out &&
  run 0 "$QVF" repair zeroed.qvf && cmp -s -n "$(stat -c %s known.qvf)" zeroed.qvf known.qvf &&
  run 0 "$QVF" info zeroed.qvf && grep -q "^index *present" last.out; then
  pass "a recording ending in zero bytes is cut off, not damaged; repair cuts the zeros"
else
  failed "a recording ending in zero bytes is cut off, not damaged; repair cuts the zeros" "exit $RC" "$(head -n 3 last.out)"
fi
"$MAKE_REC" made.qvf 320 240 10 45 110250 provenance
cp made.qvf torn-made.qvf
truncate -s -10 torn-made.qvf
# The closing record of how the file was made is the torn one: after the repair the first
# record holds again, which has no pause.
if run 0 "$QVF" verify made.qvf && run 6 "$QVF" verify torn-made.qvf &&
  grep -q "ends early: cut off inside record 57 at byte" last.out &&
  TORN_AT=$(sed -n 's/.*cut off inside record 57 at byte \([0-9]*\).*/\1/p' last.out) &&
  run 0 "$QVF" repair torn-made.qvf &&
  run 0 "$QVF" verify -q torn-made.qvf && run 0 "$QVF" info torn-made.qvf &&
  [[ $(info_field last.out pauses) == 0 ]] && cmp -s -n "$TORN_AT" torn-made.qvf made.qvf; then
  pass "a torn closing record of how the file was made is a cut-off tail; repair cuts it"
else
  failed "a torn closing record of how the file was made is a cut-off tail; repair cuts it" "exit $RC" "$(head -n 3 last.out)"
fi
# A file without an index gets one from repair, and opens with it to the same pictures and
# sound; a damaged one is found by verify and written anew, byte for byte as before.
cp known.qvf indexed.qvf
if run 0 "$QVF" info known.qvf && grep -q "^index *none" last.out &&
  run 0 "$QVF" repair indexed.qvf && run 0 "$QVF" info indexed.qvf &&
  grep -q "^index *present, [0-9]* records listed" last.out &&
  run 0 "$QVF" export indexed.qvf --yuy2 indexed.yuy2 --wav indexed.wav &&
  cmp -s indexed.yuy2 known.yuy2 && cmp -s indexed.wav known.wav &&
  run 0 "$QVF" repair indexed.qvf && grep -q "whole already" last.out; then
  pass "qvf repair writes the index of a file that has none; it reads the same with it"
else
  failed "qvf repair writes the index of a file that has none; it reads the same with it" "exit $RC" "$(head -n 3 last.out)"
fi
cp indexed.qvf bad-index.qvf
printf '\x7f' | dd of=bad-index.qvf bs=1 seek=$(($(stat -c %s indexed.qvf) - 40)) conv=notrunc 2>/dev/null
if run 1 "$QVF" verify bad-index.qvf && grep -q "index record at byte .* does not match" last.out &&
  run 0 "$QVF" repair bad-index.qvf && cmp -s bad-index.qvf indexed.qvf; then
  pass "a damaged index: verify says so, repair writes it anew"
else
  failed "a damaged index: verify says so, repair writes it anew" "exit $RC" "$(head -n 3 last.out)"
fi
# More sound than the editors can count (2^31 samples, sparse): info gives the file's own
# length and says the editors see only the first 2^31 - 1 samples.
head -c 64 known.qvf >long.qvf
printf "$(le32 24)$(le32 0)$(le32 65536)$(le32 0)$(le32 0)$(le32 2)" >>long.qvf
truncate -s $((64 + 24 + 8589934592)) long.qvf
if run 0 "$QVF" info long.qvf && grep -q "^audio *2147483648 samples, 48695.774 s" last.out &&
  grep -q "see only the first 2147483647" last.out; then
  pass "qvf info: sound beyond the editors' count is given whole, with the limit named"
else
  failed "qvf info: sound beyond the editors' count is given whole, with the limit named" "exit $RC" "$(head -n 12 last.out)"
fi
rm -f long.qvf
# A foreign WAV header with block size 0 over more than 4 GiB (sparse) cannot be counted.
printf "RIFF$(le32 36)WAVEfmt $(le32 16)\x01\x00\x02\x00$(le32 44100)$(le32 176400)\x00\x00\x10\x00data$(le32 0)" >block0.wav
head -c 44 block0.wav >block0.head
truncate -s 5G block0.wav
if run 1 "$QVF" repair block0.wav && grep -q "block size (block align) of 0.*not touched" last.err &&
  [[ $(stat -c %s block0.wav) == $((5 << 30)) ]] && cmp -s block0.head <(head -c 44 block0.wav); then
  pass "qvf repair refuses a WAV with block size 0 and leaves it as it was"
else
  failed "qvf repair refuses a WAV with block size 0 and leaves it as it was" "exit $RC"
fi
rm -f block0.wav
# A chunk after the samples (tags) is kept and not counted as sound; only the file's length in
# the header, left behind when the tags were added, changes.
cp known.wav tagged.wav
printf "LIST$(le32 18)INFOISFT$(le32 6)maker\0" >>tagged.wav
tail -c 26 tagged.wav >tags.chunk
if run 0 "$QVF" repair tagged.wav && [[ $(soxi -s tagged.wav 2>/dev/null) == 110250 ]] &&
  [[ $(ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 tagged.wav) == 110250 ]] &&
  [[ $(od -An -tu4 -j4 -N4 tagged.wav | tr -d ' ') == $(($(stat -c %s tagged.wav) - 8)) ]] &&
  cmp -s tags.chunk <(tail -c 26 tagged.wav) && sox tagged.wav -t raw tagged.raw 2>/dev/null &&
  cmp -s tagged.raw known.raw; then
  pass "qvf repair stops a WAV's samples at the data chunk's end when a chunk follows it"
else
  failed "qvf repair stops a WAV's samples at the data chunk's end when a chunk follows it" "exit $RC" "$(cat last.out)"
fi
# A streaming writer's data length of 0 is measured from the file's size; a partial sample
# frame at the end goes.
cp known.wav streamed.wav
poke streamed.wav 4 36
poke streamed.wav 40 0
printf 'abc' >>streamed.wav
if run 0 "$QVF" repair streamed.wav && cmp -s streamed.wav known.wav; then
  pass "qvf repair measures a WAV whose data length is 0 from the file's size"
else
  failed "qvf repair measures a WAV whose data length is 0 from the file's size" "exit $RC"
fi

if [[ $FILES_ONLY == yes ]]; then
  echo "$PASSED passed, $FAILED failed"
  ((FAILED == 0))
  exit
fi

# --- qvrec natively --------------------------------------------------------------------------
if run 0 "$QVREC" list && grep -q '^ *0 .*\*\*Desktop Screen\*\*' last.out && grep -q "$TITLE" last.out; then
  pass "qvrec list: the screen first, the test window listed"
else
  failed "qvrec list: the screen first, the test window listed"
fi
client=$(grep "$TITLE" last.out | awk '{print $3}')
cw=${client%x*} ch=${client#*x}
cw=$((cw - cw % 2))

expect "qvrec record: the test window for 3 s" 0 "duration reached" \
  "$QVREC" record --title "$TITLE" --duration 3 --memory 256M -o rec.qvf --wav rec.wav
expect "qvf verify: the native recording" 0 "OK" "$QVF" verify rec.qvf
if run 0 "$QVF" info rec.qvf; then
  cp last.out rec.info
  frames=$(info_field rec.info frames | awk '{print $1}')
  samples=$(info_field rec.info audio | awk '{print $1}')
  picture=$(info_field rec.info picture | awk '{print $1}')
  # Written while recording: the record of how the file was made is brought up to date at the
  # end, when the sound that arrived is known.
  source=$(info_field rec.info "sound source")
  method=$(info_field rec.info "capture method")
  if [[ $picture == "${cw}x$ch" ]] && within "$frames" 85 95 && within "$samples" 110000 155000 &&
    [[ $source == "capture device: "* && $method == "X11, the window's own picture" ]]; then
    pass "recording: ${picture} (the window's client area), $frames frames, $samples samples"
  else
    failed "recording: size, frames and sound" "picture $picture (want ${cw}x$ch), frames $frames, samples $samples, sound source '$source' (want the capture device by its name), method '$method'"
  fi
else
  failed "qvf info: the native recording"
fi
if [[ $(soxi -s rec.wav 2>/dev/null) == "$samples" ]] &&
  [[ $(ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 rec.wav) == "$samples" ]] &&
  within "$(soxi -D rec.wav)" 2.5 3.5; then
  pass "sox and ffmpeg read qvrec's WAV: $samples samples, as in the recording"
else
  failed "sox and ffmpeg read qvrec's WAV: $samples samples, as in the recording"
fi
if "$QVF" export rec.qvf --wav rec-export.wav -q 2>/dev/null && sox rec.wav -t raw a.raw &&
  sox rec-export.wav -t raw b.raw && cmp -s a.raw b.raw; then
  pass "the sound in the .qvf equals qvrec's WAV file"
else
  failed "the sound in the .qvf equals qvrec's WAV file"
fi
if "$QVF" export rec.qvf --yuy2 rec.yuy2 -q 2>/dev/null &&
  "$QVF" export rec.qvf --y4m - 2>/dev/null |
  ffmpeg -v error -f yuv4mpegpipe -i - -f rawvideo -pix_fmt yuyv422 -y rec-back.yuy2 &&
  cmp -s rec.yuy2 rec-back.yuy2; then
  pass "ffmpeg decodes the recording's y4m from a pipe, byte for byte the plug-in's pictures"
else
  failed "ffmpeg decodes the recording's y4m from a pipe, byte for byte the plug-in's pictures"
fi

"$QVREC" record --title "$TITLE" --memory 256M -o int.qvf --wav int.wav >int.out 2>&1 &
qvrec_pid=$!
sleep 2
kill -INT $qvrec_pid
wait $qvrec_pid
rc=$?
if [[ $rc == 0 ]] && grep -q "stopped by Ctrl+C" int.out && "$QVF" verify -q int.qvf; then
  pass "qvrec record: Ctrl+C stops and writes a sound recording"
else
  failed "qvrec record: Ctrl+C stops and writes a sound recording" "exit $rc" "$(tail -n 3 int.out)"
fi
# SIGTERM and a closed console end a recording as Ctrl+C does.
for sig in TERM HUP; do
  "$QVREC" record --title "$TITLE" --memory 256M -o sig.qvf --wav sig.wav >sig.out 2>&1 &
  qvrec_pid=$!
  sleep 2
  kill -$sig $qvrec_pid
  wait $qvrec_pid
  rc=$?
  if [[ $rc == 0 ]] && grep -qE "stopped by SIGTERM|console was closed" sig.out &&
    "$QVF" verify -q sig.qvf && [[ $(soxi -s sig.wav 2>/dev/null) -gt 44100 ]]; then
    pass "qvrec record: SIG$sig ends the recording with complete files"
  else
    failed "qvrec record: SIG$sig ends the recording with complete files" "exit $rc" "$(tail -n 3 sig.out)"
  fi
done

# The recorded window closed two seconds into a longer take: qvrec stops then, says which
# window went and when, exits 8 (never plain success) and leaves complete files.
LOST=qv-tools-closed-window
xterm -T "$LOST" -geometry 40x10+640+40 -e sh -c 'while :; do date +%T.%N; sleep 0.05; done' \
  >/dev/null 2>&1 &
lost_pid=$!
PIDS+=($lost_pid)
for _ in $(seq 100); do
  timeout 5 "$QVREC" list 2>/dev/null | grep -q "$LOST" && break
  sleep 0.1
done
"$QVREC" record --title "$LOST" --duration 20 --memory 256M -o lost.qvf --wav lost.wav \
  >lost.out 2>lost.err </dev/null &
qvrec_pid=$!
for _ in $(seq 100); do grep -q "F11 or Pause pauses" lost.err && break; sleep 0.05; done
began=$(date +%s.%N)
sleep 2
kill $lost_pid
wait $qvrec_pid
rc=$?
took=$(awk -v a="$began" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
if [[ $rc == 8 ]] && within "$took" 1.5 8 &&
  grep -qE "window \"$LOST\" \(id 0x[0-9a-f]+\) was closed [0-9.]+ s into the recording" lost.err &&
  grep -q "^recorded .*(the recorded window was closed)" lost.out &&
  run 0 "$QVF" verify lost.qvf && [[ $(soxi -s lost.wav 2>/dev/null) -gt 44100 ]]; then
  pass "qvrec record: the recorded window closed after 2 s of 20 ends the take (exit 8, named), files complete"
else
  failed "qvrec record: the recorded window closed after 2 s of 20 ends the take (exit 8, named), files complete" \
    "exit $rc after $took s" "$(grep -v '^REC' lost.err | tail -n 3)"
fi

# Killed outright while streaming with sound: both files read up to about a second before the
# kill. The WAV header may lag the samples by up to half a second until repaired.
"$QVREC" record --window 0 --memory 256M -o kill.qvf --wav kill.wav >kill.out 2>&1 &
qvrec_pid=$!
for _ in $(seq 100); do grep -q "REC " kill.out && break; sleep 0.05; done
began=$(date +%s.%N)
sleep 4
kill -KILL $qvrec_pid
killed=$(date +%s.%N)
wait $qvrec_pid 2>/dev/null
alive=$(awk -v a="$began" -v b="$killed" 'BEGIN { printf "%.3f", b - a }')
run 0 "$QVF" info kill.qvf
kframes=$(info_field last.out frames | awk '{print $1}')
kvideo=$(awk -v f="${kframes:-0}" 'BEGIN { printf "%.3f", f / 30 }')
ksound=$(soxi -D kill.wav 2>/dev/null)
kprobe=$(ffprobe -v error -show_entries stream=duration -of csv=p=0 kill.wav 2>/dev/null)
"$QVF" verify -q kill.qvf >/dev/null
kverify=$?
# The recording starts a little before its first status line: up to half a second more is fine.
low=$(awk -v a="$alive" 'BEGIN{print a-1.5}')
high=$(awk -v a="$alive" 'BEGIN{print a+0.5}')
if [[ $kverify == 0 || $kverify == 6 ]] && within "$kvideo" "$low" "$high" &&
  within "${ksound:-0}" "$low" "$high" && within "${kprobe:-0}" "$low" "$high"; then
  pass "kill -9 while streaming: ${kvideo} s of video, ${ksound} s of sound (sox; ffmpeg ${kprobe} s) after ${alive} s"
else
  failed "kill -9 while streaming: both files read up to within 1.5 s of the kill" \
    "alive $alive s, video $kvideo s (verify exit $kverify), sound sox $ksound / ffmpeg $kprobe"
fi
# Whatever the kill left, a file cut inside its last record is told from a damaged one, and
# repair makes both files whole without touching anything else.
cp kill.qvf torn.qvf
truncate -s -1000 torn.qvf
# Repair cuts at the end of the last whole record and adds the file's index after it.
if run 6 "$QVF" verify torn.qvf && grep -q "ends early: cut off inside record" last.out &&
  whole=$(sed -n 's/.*cut off inside record [0-9]* at byte \([0-9]*\).*/\1/p' last.out) &&
  run 0 "$QVF" repair torn.qvf kill.wav && run 0 "$QVF" verify -q torn.qvf &&
  cmp -s <(head -c "$whole" torn.qvf) <(head -c "$whole" kill.qvf) &&
  run 0 "$QVF" info torn.qvf && grep -q "^index *present" last.out &&
  [[ $(( $(stat -c %s kill.wav) - 44 )) == $(( $(soxi -s kill.wav) * 4 )) ]]; then
  pass "qvf verify tells a cut-off recording (exit 6, where it ends); repair cuts it, indexes it and fixes the WAV header"
else
  failed "qvf verify tells a cut-off recording (exit 6, where it ends); repair cuts it and fixes the WAV header" "exit $RC"
fi
printf 'QVF\0garbage that is not a recording at all' >bad.qvf
expect "qvf repair leaves a damaged file alone" 1 "not touched|damaged" "$QVF" repair bad.qvf

# A disk that fills while streaming: the recording stops at once with a clear message and exit
# 7, and both files hold what was written up to then.
( ulimit -f 3000; exec "$QVREC" record --window 0 --memory 256M --duration 60 -o disk.qvf --wav disk.wav ) \
  >disk.out 2>disk.err </dev/null
rc=$?
"$QVF" verify -q disk.qvf >/dev/null
dverify=$?
if [[ $rc == 7 ]] && grep -q "write failed while recording" disk.err &&
  [[ $dverify == 0 || $dverify == 6 ]] && [[ $(soxi -s disk.wav 2>/dev/null) -gt 0 ]]; then
  pass "a disk that fills while streaming: exit 7, a clear message, readable files"
else
  failed "a disk that fills while streaming: exit 7, a clear message, readable files" "exit $rc, verify $dverify" "$(tail -n 3 disk.err)"
fi

# The start hot key: waits, then records after F12 is pressed; Ctrl+C while waiting cancels.
"$QVREC" record --title "$TITLE" --hotkey --duration 1 --memory 128M -o hot.qvf >hot.out 2>&1 &
qvrec_pid=$!
for _ in $(seq 50); do grep -q "press F12" hot.out && break; sleep 0.1; done
# A one-second recording that had not waited would be over by now.
sleep 2.5
if kill -0 $qvrec_pid 2>/dev/null; then early=no; else early=yes; fi
xdotool keydown F12 && sleep 0.2 && xdotool keyup F12
wait $qvrec_pid
rc=$?
if [[ $rc == 0 && $early == no ]] && "$QVF" verify -q hot.qvf; then
  pass "qvrec record --hotkey: waits for F12, then records"
else
  failed "qvrec record --hotkey: waits for F12, then records" "exit $rc, ended before the key: $early" "$(tail -n 3 hot.out)"
fi
"$QVREC" record --title "$TITLE" --hotkey --memory 128M -o cancel.qvf >cancel.out 2>&1 &
qvrec_pid=$!
for _ in $(seq 50); do grep -q "press F12" cancel.out && break; sleep 0.1; done
kill -INT $qvrec_pid
wait $qvrec_pid
rc=$?
if [[ $rc == 130 ]] && grep -q "cancelled" cancel.out && [[ ! -e cancel.qvf ]]; then
  pass "qvrec record --hotkey: Ctrl+C while waiting cancels, no file"
else
  failed "qvrec record --hotkey: Ctrl+C while waiting cancels, no file" "exit $rc"
fi
# In memory and storing every picture: a still screen then fills the pool too.
if run 0 timeout 120 "$QVREC" record --window 0 --memory 40M --no-audio --in-memory \
  --keep-unchanged -o full.qvf &&
  grep -q "memory pool full" last.err && "$QVF" verify -q full.qvf && [[ ! -e full.wav ]]; then
  pass "qvrec record --in-memory: stops by itself when the pool is full; --no-audio writes no WAV"
else
  failed "qvrec record --in-memory: stops by itself when the pool is full; --no-audio writes no WAV" "exit $RC"
fi
if TMPDIR=$WORK/rescue run 0 "$QVREC" record --title "$TITLE" --duration 1 --memory 128M \
  --in-memory -o /dev/full --wav dev.wav && grep -q "writing the recording to $WORK/rescue/full-rescued" last.err &&
  "$QVF" verify -q "$WORK/rescue/full-rescued" && grep -q "rescue/full-rescued" last.out; then
  pass "qvrec record: a failed write goes to a fallback path it names, nothing lost"
else
  failed "qvrec record: a failed write goes to a fallback path it names, nothing lost" "exit $RC"
fi

# Sound from what the computer plays: the tone goes into the default sink.
if run 0 "$QVREC" record --title "$TITLE" --duration 2 --memory 128M --sound desktop --no-cursor \
  -o desk.qvf --wav desk.wav && grep -q "sound from what the computer plays, pointer left out" last.err &&
  within "$(soxi -D desk.wav 2>/dev/null)" 1.7 2.3 &&
  within "$(sox desk.wav -n stat 2>&1 | sed -n 's/^Maximum amplitude: *//p')" 0.3 1; then
  pass "qvrec record --sound desktop: what the sink plays, as long as the recording"
else
  failed "qvrec record --sound desktop: what the sink plays, as long as the recording" "exit $RC"
fi
if run 0 "$QVREC" record --title "$TITLE" --duration 1 --memory 128M --sound none -o none.qvf &&
  "$QVF" verify -q none.qvf && [[ ! -e none.wav ]]; then
  pass "qvrec record --sound none: no sound, no WAV"
else
  failed "qvrec record --sound none: no sound, no WAV" "exit $RC"
fi
# Both sources (here the same sink, heard twice): the mix in NAME.wav, each source in its own
# WAV file and container track, which qvf lists, verifies and exports.
if run 0 "$QVREC" record --title "$TITLE" --duration 1 --memory 128M --sound mic+desktop \
  --no-cursor -o both.qvf && grep -q "each on its own track" last.err &&
  grep -q "^wav .*both.mic.wav" last.out && grep -q "^wav .*both.desktop.wav" last.out &&
  "$QVF" verify -q both.qvf && run 0 "$QVF" info both.qvf &&
  grep -q "^track 1  *mic, " last.out && grep -q "^track 2  *desktop, " last.out &&
  "$QVF" export -q both.qvf --wav both.export.wav --track desktop &&
  cmp -s <(tail -c +45 both.export.wav) <(tail -c +45 both.desktop.wav); then
  pass "qvrec record --sound mic+desktop: the mix and a track per source; qvf lists and exports them"
else
  failed "qvrec record --sound mic+desktop: the mix and a track per source; qvf lists and exports them" \
    "exit $RC"
fi
expect "qvrec: an unknown sound source" 2 "sound" "$QVREC" record --sound speakers -o u.qvf
# Pause: F11 pauses and resumes. The paused time leaves no trace; the record of how the file
# was made says where it fell and which colours were used, and export converts with those.
press_f11() { xdotool keydown F11 && sleep 0.3 && xdotool keyup F11; }
"$QVREC" record --title "$TITLE" --duration 3 --memory 256M --matrix 709 --range full \
  -o pause.qvf --wav pause.wav >pause.out 2>pause.err &
qvrec_pid=$!
for _ in $(seq 50); do grep -q "F11 or Pause pauses" pause.err && break; sleep 0.1; done
sleep 1
press_f11
sleep 2
press_f11
wait $qvrec_pid
rc=$?
run 0 "$QVF" info pause.qvf
cp last.out pause.info
frames=$(info_field pause.info frames | awk '{print $1}')
paused=$(sed -n 's/^pauses  *1: at .* for \([0-9.]*\) s$/\1/p' pause.info)
longest=$(sed -n 's/^repeat records .*longest run \([0-9]*\)$/\1/p' pause.info)
drift=$(info_field pause.info "sound - picture" | awk '{print $1}')
if [[ $rc == 0 ]] && grep -q "^paused" pause.err && grep -q "^pauses     1," pause.out &&
  within "$frames" 85 96 && within "${paused:-0}" 1.5 3.5 && within "${longest:-99}" 0 10 &&
  within "${drift:-9}" -0.1 0.1 && grep -q "^colour *BT.709, full range" pause.info &&
  grep -q "^made by *quorvane_capture" pause.info && grep -q "^window *\"$TITLE\"" pause.info; then
  pass "qvrec record: F11 pauses and resumes; qvf info shows the pause, repeats, drift and colours"
else
  failed "qvrec record: F11 pauses and resumes; qvf info shows the pause, repeats, drift and colours" \
    "exit $rc, frames $frames, paused ${paused:-?} s, longest run ${longest:-?}, drift ${drift:-?}" \
    "$(grep -E '^(pauses|colour|made|window|repeat)' pause.info | tr '\n' '|')"
fi
# The record is the first one; without it the plug-in gives the same pictures and sound. (The
# streaming writer repeats it at the end with the pause, which the plug-in skips as well.)
payload=$(od -An -tu8 -j 80 -N8 pause.qvf | tr -d ' ')
{ head -c 64 pause.qvf && tail -c +$((64 + 24 + payload + 1)) pause.qvf; } >stripped.qvf
if [[ $(od -An -tu8 -j 72 -N8 pause.qvf | tr -d ' ') == 196608 ]] && "$QVF" verify -q pause.qvf &&
  "$QVF" export pause.qvf --yuy2 with.yuy2 --wav with.wav -q 2>/dev/null &&
  "$QVF" export stripped.qvf --yuy2 without.yuy2 --wav without.wav -q 2>/dev/null &&
  cmp -s with.yuy2 without.yuy2 && cmp -s with.wav without.wav; then
  pass "the plug-in reads a file with the record of how it was made: same pictures and sound"
else
  failed "the plug-in reads a file with the record of how it was made: same pictures and sound"
fi
if "$QVF" export pause.qvf --png recorded --frames 5 2>recorded.err &&
  "$QVF" export pause.qvf --png named --frames 5 --matrix 709 --range full -q 2>/dev/null &&
  "$QVF" export pause.qvf --y4m pause.y4m -q 2>/dev/null &&
  grep -q "(BT.709 full range)" recorded.err &&
  cmp -s recorded/frame_000005.png named/frame_000005.png &&
  [[ $(head -c 80 pause.y4m) == *XCOLORRANGE=FULL* ]]; then
  pass "qvf export converts with the recorded BT.709 full range; y4m says FULL"
else
  failed "qvf export converts with the recorded BT.709 full range; y4m says FULL" \
    "$(cat recorded.err)"
fi

expect "qvrec: unknown window title" 3 "no window" "$QVREC" record --title no-such-window -o u.qvf
expect "qvrec: window index out of range" 3 "no window 999|there is no window" "$QVREC" record --window 999 -o u.qvf
expect "qvrec: unknown process" 3 "no window" "$QVREC" record --process no-such-program -o u.qvf
expect "qvrec: refused settings (1 column)" 4 "refused.*columns" "$QVREC" record --size 1x100 -o u.qvf
expect "qvrec: without DISPLAY it says there is no display and what to do" 4 \
  "no display to record.*DISPLAY=\(unset\).*set DISPLAY" env -u DISPLAY "$QVREC" record -o u.qvf
expect "qvrec: an X server that does not answer reads the same, not as a closed window" 4 \
  "no display to record.*DISPLAY=:$((number + 397))" env DISPLAY=:$((number + 397)) "$QVREC" record -o u.qvf
expect "qvrec: unwritable .qvf path" 5 "cannot write.*does not exist" "$QVREC" record -o /nonexistent/u.qvf
expect "qvrec: unwritable .wav path" 5 "cannot write" "$QVREC" record -o u.qvf --wav /proc/u.wav
expect "qvrec: a directory as output" 5 "directory" "$QVREC" record -o "$WORK"
expect "qvrec: bad frame rate" 2 "fps" "$QVREC" record --fps 0
expect "qvrec: bad size" 2 "size" "$QVREC" record --size 12 -o u.qvf
[[ ! -e u.qvf && ! -e u.wav ]] && pass "refused runs leave no files" || failed "refused runs leave no files"

# --- Start on time, the disk floor, clicks and events, cut-off takes ------------------------------
t0=$(date +%s.%N)
run 0 "$QVREC" record --title "$TITLE" --countdown 2 --duration 1 --sound none -o countdown.qvf
rc=$RC
waited=$(echo "$(date +%s.%N) - $t0" | bc)
if [[ $rc == 0 ]] && grep -q "starting in 2" last.err && grep -q "starting in 1" last.err &&
  within "$waited" 3 8 && "$QVF" verify -q countdown.qvf; then
  pass "qvrec --countdown 2: counts 2, 1 on the console, then records"
else
  failed "qvrec --countdown 2: counts 2, 1 on the console, then records" "exit $rc, ${waited}s"
fi
# A minute ago has passed today: tomorrow, said as such; Ctrl+C cancels the wait.
past=$(date -d '-1 minute' +%H:%M)
if run 130 timeout --preserve-status -s INT 2 "$QVREC" record --title "$TITLE" --start-at "$past" --sound none \
  -o startat.qvf && grep -q "starts at $past:00 tomorrow" last.err && [[ ! -e startat.qvf ]]; then
  pass "qvrec --start-at a past time: tomorrow, said so; Ctrl+C cancels the wait"
else
  failed "qvrec --start-at a past time: tomorrow, said so; Ctrl+C cancels the wait" "exit $RC"
fi
expect "qvrec: --start-at wants HH:MM" 2 "start-at" "$QVREC" record --start-at 9.30 -o u.qvf

# The disk floor on a small file system of the test's own: filled to just above the floor, the
# recording stops there with complete files.
mkdir -p small
if mount -t tmpfs -o size=32m tmpfs small 2>/dev/null; then
  dd if=/dev/zero of=small/filler bs=1M count=10 status=none
  run 9 "$QVREC" record --title "$TITLE" --duration 60 --keep-unchanged --min-free 21M \
    -o small/floor.qvf --wav small/floor.wav
  rc=$RC
  cp last.err floor.err
  wav_header=$(od -An -tu4 -j 40 -N4 small/floor.wav | tr -d ' ')
  wav_bytes=$(($(stat -c %s small/floor.wav) - 44))
  if [[ $rc == 9 ]] && grep -q "fell under --min-free" floor.err &&
    grep -q "less than five minutes of disk left" floor.err &&
    "$QVF" verify -q small/floor.qvf && [[ $wav_header == "$wav_bytes" ]] &&
    (($(df -B1 --output=avail small | tail -1) > 20 * 1024 * 1024)); then
    pass "qvrec --min-free: warned, stopped above the floor, files complete (verify passes)"
  else
    failed "qvrec --min-free: warned, stopped above the floor, files complete (verify passes)" \
      "exit $rc, wav header $wav_header of $wav_bytes bytes" "$(tail -n 4 floor.err | tr '\n' '|')"
  fi
  expect "qvrec: under --min-free already, it does not start" 5 "under --min-free" \
    "$QVREC" record --title "$TITLE" --duration 1 --min-free 1G -o small/nostart.qvf
  umount small
else
  echo "skip - qvrec --min-free: this test may not mount a tmpfs"
fi

# Clicks: a left press held like a hand holds it; the events file names it, and the subtitles
# put "click" at its frame.
"$QVREC" record --title "$TITLE" --duration 3 --sound none --no-cursor --clicks --events \
  -o clicks.qvf >clicks.out 2>clicks.err &
qvrec_pid=$!
sleep 1.2
xdotool mousemove 200 150 mousedown 1 && sleep 0.1 && xdotool mouseup 1
wait $qvrec_pid
rc=$?
press=$(grep ',left,press$' clicks.events.csv | head -n1)
frame=$(echo "$press" | cut -d, -f2)
if [[ $rc == 0 ]] && [[ -n $press ]] && grep -q ',left,release$' clicks.events.csv &&
  run 0 "$QVF" export clicks.qvf --srt clicks.srt -q; then
  fps=30
  start_ms=$((frame * 1000 / fps))
  expected=$(printf '%02d:%02d:%02d,%03d' $((start_ms / 3600000)) $((start_ms / 60000 % 60)) \
    $((start_ms / 1000 % 60)) $((start_ms % 1000)))
  if head -n 3 clicks.srt | tr -d '\r' | grep -q "^$expected --> .*" &&
    [[ $(tr -d '\r' <clicks.srt | sed -n 3p) == click ]]; then
    pass "qvrec --clicks --events: the press in NAME.events.csv; qvf export --srt at its frame"
  else
    failed "qvrec --clicks --events: qvf export --srt at the press's frame" "$press" "$(head -n 3 clicks.srt)"
  fi
else
  failed "qvrec --clicks --events: the press in NAME.events.csv" "exit $rc" "$(cat clicks.events.csv 2>/dev/null)"
fi

# A recording cut off in the folder being written to: named, with the way to repair it; a whole
# one is not.
mkdir -p takes
cp countdown.qvf takes/whole.qvf
head -c -100 countdown.qvf >takes/cut.qvf
run 6 "$QVF" verify -q takes/cut.qvf
verify_rc=$RC
if run 0 "$QVREC" record --title "$TITLE" --duration 1 --sound none -o takes/new.qvf &&
  grep -q "takes/cut.qvf was cut off .*qvf repair takes/cut.qvf" last.err &&
  ! grep -q "whole.qvf" last.err && [[ $verify_rc == 6 ]]; then
  pass "qvrec names the cut-off recording beside its output, as qvf verify does"
else
  failed "qvrec names the cut-off recording beside its output, as qvf verify does" "verify exit $verify_rc"
fi

# --- Under Wine --------------------------------------------------------------------------------
wine_ready=no
if [[ $WINE_WANTED != no ]]; then
  if [[ -e $WIN64/bin/qvrec.exe && -e $WIN64/bin/qvf.exe && -x $WINE ]]; then
    wine_ready=yes
  elif [[ $WINE_WANTED == yes ]]; then
    failed "win64 build present" "no qvrec.exe/qvf.exe in $WIN64/bin"
  else
    echo "# Wine tests skipped: no win64 build in $WIN64"
  fi
fi
if [[ $wine_ready == yes ]]; then
  export WINEPREFIX=$WORK/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  timeout 180 "$WINE" wineboot -i >/dev/null 2>&1
  timeout 60 /usr/lib/wine/wineserver -w
  /usr/lib/wine/wineserver -p >/dev/null 2>&1
  "$WINE" notepad >/dev/null 2>&1 &
  PIDS+=($!)
  for _ in $(seq 60); do
    timeout 20 "$WINE" "$WIN64/bin/qvrec.exe" list 2>/dev/null | grep -qi notepad && break
    sleep 0.5
  done
  if run 0 "$WINE" "$WIN64/bin/qvrec.exe" list && grep -q "Desktop Screen" last.out &&
    grep -qi "notepad.exe" last.out; then
    pass "wine qvrec.exe list: the screen and notepad.exe"
  else
    failed "wine qvrec.exe list: the screen and notepad.exe"
  fi
  expect "wine qvrec.exe record: notepad for 3 s at 10 fps" 0 "duration reached" \
    "$WINE" "$WIN64/bin/qvrec.exe" record --process notepad --fps 10 --duration 3 --memory 128M \
    -o wine.qvf --wav wine.wav
  expect "wine qvf.exe verify: the Wine recording" 0 "OK" "$WINE" "$WIN64/bin/qvf.exe" verify wine.qvf
  expect "native qvf verify: the Wine recording" 0 "OK" "$QVF" verify wine.qvf
  if run 0 "$QVF" info wine.qvf; then
    frames=$(info_field last.out frames | awk '{print $1}')
    samples=$(info_field last.out audio | awk '{print $1}')
    if within "$frames" 27 33 && within "$samples" 100000 160000 &&
      [[ $(soxi -s wine.wav 2>/dev/null) == "$samples" ]] &&
      [[ $(info_field last.out "capture method") == "GDI, the window's own picture" ]]; then
      pass "Wine recording: $frames frames, $samples samples, the WAV agrees"
    else
      failed "Wine recording: frames, sound and method" "frames $frames, samples $samples, wav $(soxi -s wine.wav 2>/dev/null), $(grep 'capture method' last.out)"
    fi
  fi
  if run 0 "$WINE" "$WIN64/bin/qvf.exe" export wine.qvf --y4m wine.y4m --yuy2 wine-w.yuy2 &&
    "$QVF" export wine.qvf --yuy2 wine-n.yuy2 -q 2>/dev/null &&
    ffmpeg -v error -i wine.y4m -f rawvideo -pix_fmt yuyv422 -y wine-back.yuy2 &&
    cmp -s wine-n.yuy2 wine-back.yuy2 && cmp -s wine-n.yuy2 wine-w.yuy2; then
    pass "wine qvf.exe export: y4m that ffmpeg reads, pictures equal to the Linux plug-in's"
  else
    failed "wine qvf.exe export: y4m that ffmpeg reads, pictures equal to the Linux plug-in's"
  fi
  expect "wine qvf.exe verify: a file of known content" 0 "OK: 51 frames" \
    "$WINE" "$WIN64/bin/qvf.exe" verify known.qvf
  expect "wine qvf.exe: PNG export is not built in" 2 "PNG export is not built" \
    "$WINE" "$WIN64/bin/qvf.exe" export known.qvf --png pp
  expect "wine qvf.exe: a text file is refused" 4 "cannot open" "$WINE" "$WIN64/bin/qvf.exe" info notes.txt
  expect "wine qvf.exe: a truncated recording ends early" 6 "ends early" "$WINE" "$WIN64/bin/qvf.exe" verify truncated.qvf
  # Wine's audio driver has no loopback capture: said clearly, and the recording goes on.
  if run 0 "$WINE" "$WIN64/bin/qvrec.exe" record --process notepad --fps 10 --duration 2 \
    --memory 128M --sound desktop -o wdesk.qvf --wav wdesk.wav &&
    grep -q "cannot be recorded here.*loopback.*recording without sound" last.err &&
    "$QVF" verify -q wdesk.qvf && [[ $(stat -c %s wdesk.wav) == 44 ]]; then
    pass "wine qvrec.exe --sound desktop: no loopback here, said so, recorded without sound"
  else
    failed "wine qvrec.exe --sound desktop: no loopback here, said so, recorded without sound" "exit $RC"
  fi
  expect "wine qvrec.exe: unknown window" 3 "no window" \
    "$WINE" "$WIN64/bin/qvrec.exe" record --title no-such-window -o wu.qvf
  expect "wine qvrec.exe: unwritable path" 5 "cannot write" \
    "$WINE" "$WIN64/bin/qvrec.exe" record --process notepad -o 'nonexistent\wu.qvf'
  expect "wine qvrec.exe: refused settings" 4 "refused" \
    "$WINE" "$WIN64/bin/qvrec.exe" record --process notepad --size 1x50 -o wu.qvf
fi

echo "$PASSED passed, $FAILED failed"
((FAILED == 0))
