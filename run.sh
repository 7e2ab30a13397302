#!/usr/bin/env bash
# Sets up, builds and starts Brantolex Fixer. Where the machine has no MIDI
# system it starts a private JACK server for the run; where it has no display
# it runs the program as a headless router. What it starts, it stops.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
tools/build.sh build

program=build/brantolex-fixer
jack_pid=""
jack_log=""

cleanup() {
    if [ -n "$jack_pid" ] && kill -0 "$jack_pid" 2>/dev/null; then
        echo "Stopping the private JACK server (pid $jack_pid)."
        kill "$jack_pid" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "$jack_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$jack_pid" 2>/dev/null || true
        wait "$jack_pid" 2>/dev/null || true
    fi
    [ -z "$jack_log" ] || rm -f "$jack_log"
}
trap cleanup EXIT

jack_running() {
    [ "$(jack_wait -c 2>/dev/null)" = "running" ]
}

if [ ! -e /dev/snd/seq ] && ! jack_running; then
    name="brantolex-run-$$"
    jack_log=$(mktemp)
    export JACK_NO_AUDIO_RESERVATION=1
    jackd -n "$name" --no-realtime -d dummy -r 48000 -p 256 >"$jack_log" 2>&1 &
    jack_pid=$!
    export JACK_DEFAULT_SERVER="$name"
    if ! jack_wait -w -t 10 >/dev/null 2>&1; then
        echo "Could not start a private JACK server; its output:" >&2
        cat "$jack_log" >&2
        exit 1
    fi
    echo "No ALSA sequencer (/dev/snd/seq) and no running JACK server here:"
    echo "started a private JACK server '$name' (dummy driver) for this run."
    echo "Other MIDI software joins it with JACK_DEFAULT_SERVER=$name."
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
    echo "No display: Brantolex Fixer runs as a headless router."
    echo "Press Ctrl+C to quit; it quits cleanly and saves its settings."
fi

# In the foreground, so that Ctrl+C reaches the program itself; the trap
# stops the JACK server once it has ended.
status=0
"$program" "$@" || status=$?
exit "$status"
