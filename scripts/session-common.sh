# Sourced by scripts/headless-session and scripts/wayland-session: the parts of a private
# desktop session that do not depend on the display server. The caller sets `session_name`
# (for messages), appends to `pids` and `cleanup_hooks`, and starts its display before
# calling start_session_services.
set -uo pipefail

session_dir=$(mktemp -d -t verbulo-session.XXXXXX)
pids=()
cleanup_hooks=()

cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  [ -n "${DBUS_SESSION_BUS_PID:-}" ] && kill "$DBUS_SESSION_BUS_PID" 2>/dev/null
  pulseaudio --kill 2>/dev/null
  sleep 0.2
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
  for hook in "${cleanup_hooks[@]}"; do "$hook"; done
  rm -rf "$session_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A home of its own: the tests never touch the user's settings, keyring or sound server.
export HOME="$session_dir/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
export XDG_RUNTIME_DIR="$session_dir/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# The session bus, the accessibility bus, a sound server whose null sink's monitor is what
# the microphone hears, and an unlocked keyring.
start_session_services() {
  eval "$(dbus-launch --sh-syntax)"
  export DBUS_SESSION_BUS_ADDRESS DBUS_SESSION_BUS_PID

  # Applications expose their widgets on the accessibility bus.
  /usr/libexec/at-spi-bus-launcher --launch-immediately >"$session_dir/atspi.log" 2>&1 &
  pids+=($!)
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

  pulseaudio --daemonize=yes --exit-idle-time=-1 --disallow-exit -n \
    --load="module-native-protocol-unix" \
    --load="module-null-sink sink_name=verbulo_sink rate=48000 channels=2" \
    --log-target=file:"$session_dir/pulse.log" >/dev/null 2>&1
  local pulse_up=""
  for _ in $(seq 1 100); do pactl info >/dev/null 2>&1 && { pulse_up=1; break; }; sleep 0.1; done
  if [ -n "$pulse_up" ]; then
    pactl set-default-sink verbulo_sink >/dev/null 2>&1
    pactl set-default-source verbulo_sink.monitor >/dev/null 2>&1
  else
    # Not fatal: only the audio tests need it, and they fail with the server's own error.
    echo "$session_name: PulseAudio did not start" >&2
    tail -n 20 "$session_dir/pulse.log" >&2 2>/dev/null
  fi

  # A login keyring with a throw-away password.
  eval "$(printf 'verbulo' | gnome-keyring-daemon --unlock --daemonize --components=secrets 2>/dev/null)"
  [ -n "${GNOME_KEYRING_CONTROL:-}" ] && export GNOME_KEYRING_CONTROL
  local keyring_pid
  keyring_pid=$(pgrep -n -u "$(id -u)" gnome-keyring-d || true)
  [ -n "$keyring_pid" ] && pids+=("$keyring_pid")
}
