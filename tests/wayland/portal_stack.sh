#!/bin/bash
# Runs a command inside a headless Wayland desktop with the screen-cast portal, then stops it:
#
#   tests/wayland/portal_stack.sh BIN_DIR COMMAND [ARGS...]
#
# Started in this order, each stopped by its PID: sway (headless, as an unprivileged user:
# it refuses to run as root), a private session bus, PipeWire, WirePlumber, pipewire-pulse (its
# own runtime dir, so no other PulseAudio daemon is met), the wlr portal backend,
# the permission store and the portal; then the test client that draws colour bands
# (BIN_DIR/qv_bands_client) and a 1 kHz tone played into a null sink. The command sees
# WAYLAND_DISPLAY, SWAYSOCK, DBUS_SESSION_BUS_ADDRESS, PULSE_SERVER, XDG_STATE_HOME and
# QV_BANDS_PID (SIGUSR1 restarts the square's walk) and QV_PORTAL_PID; DISPLAY is unset.
#
# The wlr backend of Debian 12 cannot start a cast without a GPU: the test preloads
# BIN_DIR/../lib/libqv_screencopy_shim.so into that backend alone (see the shim's source).
set -u
BIN=$(cd "$1" && pwd)
shift
W=$(mktemp -d /tmp/qv-wayland.XXXXXX)
chmod 755 "$W"
PIDS=()
stopAll() {
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null; done
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do wait "${PIDS[i]}" 2>/dev/null; done
  rm -rf "$W"
}
trap stopAll EXIT
trap 'exit 130' INT TERM
fail() {
  echo "portal_stack: $*" >&2
  for log in "$W"/*.log; do echo "--- $log" >&2; tail -n 15 "$log" >&2; done
  exit 1
}
waitUntil() { # TENTHS COMMAND...
  local tries=$1
  shift
  until "$@" >/dev/null 2>&1; do
    ((tries-- > 0)) || return 1
    sleep 0.1
  done
}

SWAYRUN=$W/sway-run
mkdir -p "$SWAYRUN" "$W/run" "$W/home" "$W/config/xdg-desktop-portal-wlr" "$W/state"
chown 65534:65534 "$SWAYRUN"
chmod 700 "$SWAYRUN" "$W/run"
cat >"$W/sway.conf" <<CONF
output HEADLESS-1 mode 1920x1080 position 0,0 bg #000000 solid_color
xwayland disable
default_border none
CONF
export SWAYSOCK=$SWAYRUN/ipc.sock
env -i PATH="$PATH" HOME="$SWAYRUN" XDG_RUNTIME_DIR="$SWAYRUN" SWAYSOCK="$SWAYSOCK" \
  WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
  setpriv --reuid=65534 --regid=65534 --clear-groups -- sway -c "$W/sway.conf" \
  >"$W/sway.log" 2>&1 &
PIDS+=($!)
waitUntil 100 test -S "$SWAYRUN/wayland-1" || fail "sway did not start"
waitUntil 50 swaymsg -t get_outputs || fail "sway does not answer"

unset DISPLAY
export WAYLAND_DISPLAY=$SWAYRUN/wayland-1 XDG_RUNTIME_DIR=$W/run HOME=$W/home
export XDG_CONFIG_HOME=$W/config XDG_STATE_HOME=$W/state XDG_CURRENT_DESKTOP=sway
export DBUS_SESSION_BUS_ADDRESS=unix:path=$W/run/bus PULSE_SERVER=unix:$W/run/pulse/native
cat >"$W/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$W/run/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --nofork --config-file="$W/bus.conf" >"$W/bus.log" 2>&1 &
PIDS+=($!)
waitUntil 50 test -S "$W/run/bus" || fail "the session bus did not start"
pipewire >"$W/pipewire.log" 2>&1 &
PIDS+=($!)
waitUntil 50 test -S "$W/run/pipewire-0" || fail "pipewire did not start"
wireplumber >"$W/wireplumber.log" 2>&1 &
PIDS+=($!)
pipewire-pulse >"$W/pipewire-pulse.log" 2>&1 &
PIDS+=($!)
waitUntil 50 pactl info || fail "pipewire-pulse does not answer"

cat >"$W/config/xdg-desktop-portal-wlr/config" <<CONF
[screencast]
output_name=HEADLESS-1
chooser_type=none
max_fps=60
CONF
LD_PRELOAD=$BIN/../lib/libqv_screencopy_shim.so /usr/libexec/xdg-desktop-portal-wlr \
  >"$W/portal-wlr.log" 2>&1 &
PIDS+=($!)
/usr/libexec/xdg-permission-store >"$W/permission-store.log" 2>&1 &
PIDS+=($!)
/usr/libexec/xdg-desktop-portal >"$W/portal.log" 2>&1 &
QV_PORTAL_PID=$!
PIDS+=($QV_PORTAL_PID)
export QV_PORTAL_PID
waitUntil 100 gdbus call --session --dest org.freedesktop.portal.Desktop \
  --object-path /org/freedesktop/portal/desktop --method org.freedesktop.DBus.Properties.Get \
  org.freedesktop.portal.ScreenCast version || fail "the screen-cast portal does not answer"

"$BIN/qv_bands_client" >"$W/bands.log" 2>&1 &
QV_BANDS_PID=$!
PIDS+=($QV_BANDS_PID)
export QV_BANDS_PID
waitUntil 50 grep -q "^drawn" "$W/bands.log" || fail "the bands client did not draw"

# What the computer plays: a tone into a null sink whose monitor is also the default source.
pactl load-module module-null-sink sink_name=test_sink rate=44100 channels=2 >/dev/null ||
  fail "no null sink"
pactl set-default-sink test_sink && pactl set-default-source test_sink.monitor
sox -q -n -t raw -r 44100 -c 2 -b 16 -e signed-integer - synth 600 sine 1000 vol 0.5 |
  pacat --raw --format=s16le --rate=44100 --channels=2 --latency-msec=20 &
PIDS+=($!)

"$@"
rc=$?
[[ $rc == 0 ]] || for log in "$W"/*.log; do echo "--- $log"; tail -n 8 "$log"; done
exit $rc
