# Sourced: a desktop of its own for one script that runs Windows programs under Wine: an Xvfb,
# a PulseAudio server with two null sinks (the default one, and "Second", whose monitor is a
# second capture device) and a fresh Wine prefix, all under WORK and stopped by PID at the end. Callers set WORK (an empty folder) and may set QV_DESKTOP_SIZE.
#   source tests/windows/wine_desktop.sh; qvStartDesktop; ...; qvStopDesktop
QV_DESKTOP_PIDS=()

qvStartDesktop() {
  local display=:$((600 + RANDOM % 300))
  export DISPLAY=$display
  Xvfb "$display" -screen 0 "${QV_DESKTOP_SIZE:-1280x720x24}" -nolisten tcp -ac \
    >"$WORK/xvfb.log" 2>&1 &
  QV_DESKTOP_PIDS+=($!)
  for _ in $(seq 200); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
  mkdir -p "$WORK/run" "$WORK/home"
  export XDG_RUNTIME_DIR=$WORK/run PULSE_SERVER=unix:$WORK/run/native HOME=$WORK/home
  cat >"$WORK/pa.pa" <<PA
load-module module-native-protocol-unix socket=$WORK/run/native auth-anonymous=1
load-module module-null-sink sink_name=test_sink rate=44100 channels=2
load-module module-null-sink sink_name=second_sink rate=44100 channels=2 sink_properties=device.description=Second
set-default-sink test_sink
set-default-source test_sink.monitor
PA
  pulseaudio -n -F "$WORK/pa.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    --log-target=file:"$WORK/pa.log" >/dev/null 2>&1 &
  QV_DESKTOP_PIDS+=($!)
  for _ in $(seq 200); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
  export WINEPREFIX=$WORK/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  /usr/lib/wine/wine64 wineboot -i >"$WORK/wineboot.log" 2>&1
  /usr/lib/wine/wineserver -w
}

# Safe under set -e: a server that is already gone must not leave the rest running.
qvStopDesktop() {
  if [[ -n ${WINEPREFIX:-} ]]; then /usr/lib/wine/wineserver -k 2>/dev/null || true; fi
  local pid
  for pid in "${QV_DESKTOP_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${QV_DESKTOP_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  QV_DESKTOP_PIDS=()
}
