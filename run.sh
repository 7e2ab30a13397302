#!/usr/bin/env bash
# Sets up, builds and starts Brantolex Fixer. Where the machine has no MIDI
# system it starts a private JACK server for the run; where it has no display
# it runs the program as a headless router. What it starts, it stops.
set -euo pipefail
cd "$(dirname "$0")"
# Only what building and running need: ./test.sh adds what the tests need.
tools/install-deps.sh
# The program alone: the tests and benchmarks are for ./test.sh.
cmake -S . -B build >/dev/null
cmake --build build --target brantolex-fixer -j"$(nproc)"

program=build/brantolex-fixer

# Only --headless and --midi-system start the router; everything else
# (--help, --version, --list-ports, a mistake) is answered at once, by the
# program alone, with no server started for it.
routes=1
expect_system=0
for argument in "$@"; do
    if [ "$expect_system" = 1 ]; then
        expect_system=0
        continue
    fi
    case "$argument" in
    --headless | --midi-system=*) ;;
    --midi-system) expect_system=1 ;;
    *) routes=0 ;;
    esac
done
# --midi-system without its value is a mistake too.
[ "$routes" = 1 ] && [ "$expect_system" = 0 ] || exec "$program" "$@"

# Without a display the router runs headless; it says on stderr what stands
# in the way of MIDI.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    case " $* " in
    *" --headless "*) ;;
    *) set -- --headless "$@" ;;
    esac
    echo "No display: Brantolex Fixer runs as a headless router."
    echo "Press Ctrl+C to quit; it quits cleanly and saves its settings."
fi
jack_pid=""
jack_log=""
program_pid=""

# SIGTERM only: a JACK server that is killed outright keeps its slot in JACK's
# shared registry, which has room for very few.
cleanup() {
    if [ -n "$jack_pid" ] && kill -0 "$jack_pid" 2>/dev/null; then
        echo "Stopping the private JACK server (pid $jack_pid)."
        kill -TERM "$jack_pid" 2>/dev/null || true
        for _ in $(seq 100); do
            kill -0 "$jack_pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$jack_pid" 2>/dev/null; then
            echo "The JACK server (pid $jack_pid) has not stopped yet; it was asked to." >&2
        else
            wait "$jack_pid" 2>/dev/null || true
        fi
    fi
    [ -z "$jack_log" ] || rm -f "$jack_log"
}
trap cleanup EXIT

jack_running() {
    [ "$(jack_wait -c 2>/dev/null)" = "running" ]
}

if ! { [ -r /dev/snd/seq ] && [ -w /dev/snd/seq ]; } && ! jack_running; then
    name="brantolex-run-$$"
    jack_log=$(mktemp)
    export JACK_NO_AUDIO_RESERVATION=1
    # A session of its own, so that Ctrl+C in the terminal does not take the
    # server down under the program while it is still closing its ports.
    setsid jackd -n "$name" --no-realtime -d dummy -r 48000 -p 256 >"$jack_log" 2>&1 &
    jack_pid=$!
    export JACK_DEFAULT_SERVER="$name"
    if ! jack_wait -w -t 10 >/dev/null 2>&1; then
        echo "Could not start a private JACK server; its output:" >&2
        cat "$jack_log" >&2
        exit 1
    fi
    echo "No usable ALSA sequencer (/dev/snd/seq) and no running JACK server here:"
    echo "started a private JACK server '$name' (dummy driver) for this run."
    echo "Other MIDI software joins it with JACK_DEFAULT_SERVER=$name."
fi

# The program runs in a session of its own and hears of Ctrl+C, a hangup or
# a SIGTERM only from here, exactly once per signal: it takes a second one as
# the order to end at once. The JACK server is stopped only after it has
# ended.
setsid "$program" "$@" &
program_pid=$!
trap 'kill -TERM "$program_pid" 2>/dev/null || true' INT TERM HUP
status=0
wait "$program_pid" || status=$?
# Above 128 is either the program's end by a signal or a wait cut short by a
# trapped one while the program is still ending; 127 says it was collected.
while [ "$status" -gt 128 ]; do
    next=0
    wait "$program_pid" || next=$?
    [ "$next" -ne 127 ] || break
    status=$next
done
exit "$status"
