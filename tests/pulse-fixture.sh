#!/usr/bin/env bash
# A private PulseAudio server for tests (a CTest fixture):
#
#   pulse-fixture.sh start DIR [stalled]
#       start it; its socket is DIR/native, its default source reads the FIFO
#       DIR/capture.fifo (s16le, 8000 Hz, mono), its default sink plays into
#       nothing; DIR/ready says it runs. With `stalled`, a server whose
#       devices stop moving, as a wedged one's do: the sink writes to the FIFO
#       DIR/play.fifo, which nobody reads, and nobody writes to the source's;
#       a test makes them move again by reading or writing its FIFO.
#   pulse-fixture.sh stop DIR    stop the server that `start DIR` started
#
# The server lives in DIR alone (runtime directory, home, socket, log), so it
# neither finds nor disturbs any other sound server. Without pulseaudio
# installed, start says so and succeeds: the capture tests then skip.
set -u
action=${1:-}
dir=${2:-}
kind=${3:-}
[ -n "$dir" ] || { echo "usage: pulse-fixture.sh start|stop DIR [stalled]" >&2; exit 2; }

export XDG_RUNTIME_DIR=$dir/run HOME=$dir/home
export PULSE_SERVER=unix:$dir/native
pidfile=$XDG_RUNTIME_DIR/pulse/pid

# Ends the processes whose ids the files name (all at once, then waits for
# them), and removes the files.
end() {
  local pids=() f pid
  for f in "$@"; do
    [ -f "$f" ] || continue
    pid=$(cat "$f")
    rm -f "$f"
    if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
      pids+=("$pid")
    fi
  done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
  done
}

stop() {
  rm -f "$dir/ready"
  end "$dir/drain.pid" "$pidfile"
}

case "$action" in
start)
  if ! command -v pulseaudio >/dev/null || ! command -v pactl >/dev/null; then
    echo "pulse-fixture: pulseaudio is not installed; the tests that need it will skip"
    exit 0
  fi
  if [ ${#dir} -gt 90 ]; then
    echo "pulse-fixture: $dir is too long a place for a unix socket" >&2
    exit 1
  fi
  stop
  rm -rf "$dir"
  mkdir -p "$XDG_RUNTIME_DIR" "$HOME"
  chmod 700 "$XDG_RUNTIME_DIR"
  sink="module-null-sink sink_name=nul"
  [ "$kind" = stalled ] && sink="module-pipe-sink sink_name=nul file=$dir/play.fifo format=s16le rate=8000 channels=1"
  # The pipe modules make their FIFOs themselves. Root is warned about, not
  # refused.
  pulseaudio -n --daemonize=yes --use-pid-file=yes --exit-idle-time=-1 --system=false \
    --disable-shm=yes --log-target=newfile:"$dir/pulse.log" \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$dir/native" \
    -L "$sink" \
    -L "module-pipe-source source_name=pipe file=$dir/capture.fifo format=s16le rate=8000 channels=1" \
    2>>"$dir/pulse.log" || { echo "pulse-fixture: pulseaudio did not start:" >&2; cat "$dir/pulse.log" >&2; exit 1; }
  for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  pactl set-default-source pipe && pactl set-default-sink nul ||
    { echo "pulse-fixture: the server at $dir/native does not answer:" >&2; cat "$dir/pulse.log" >&2; stop; exit 1; }
  [ -p "$dir/capture.fifo" ] || { echo "pulse-fixture: no FIFO at $dir/capture.fifo" >&2; stop; exit 1; }
  # The pipe source reads its FIFO only while something records from it: a
  # recorder that throws everything away keeps it reading in step with the
  # writer, so a test's recording starts with what was fed just then instead
  # of a backlog that wine's input would overflow on.
  if [ "$kind" != stalled ]; then
    parec --device=pipe --raw --format=s16le --rate=8000 --channels=1 >/dev/null 2>>"$dir/pulse.log" &
    echo $! > "$dir/drain.pid"
  fi
  # The tests look for this file (wine shows no sockets).
  echo "$PULSE_SERVER" > "$dir/ready"
  echo "pulse-fixture: server $(cat "$pidfile") at $dir/native, source pipe reads $dir/capture.fifo"
  ;;
stop)
  stop
  echo "pulse-fixture: stopped"
  ;;
*)
  echo "usage: pulse-fixture.sh start|stop DIR [stalled]" >&2
  exit 2
  ;;
esac
