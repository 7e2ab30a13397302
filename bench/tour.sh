#!/usr/bin/env bash
# A tour of random transitions against the built program, started headless
# with a home of its own, on a private jackd and then on a private PipeWire
# (through its JACK layer), beside a direct connection and the minimal
# forwarder. Prints, for each server: messages lost, order faults and
# duplicates; for each kind of transition, the time until MIDI flows through
# the program again, the returns that did not come within 5 s and the notes
# left sounding; RSS, descriptors and threads every 100 transitions.
# Usage: bench/tour.sh [build-dir] [transitions] [jackd|pipewire|both] [seed]
#   TOUR_KINDS=unit,source,switch,term,kill,quit,panic keeps only those;
#   TOUR_VERBOSE=1 names each note left sounding as it is found.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
n=${2:-100}
which=${3:-both}
seed=${4:-1}
tour=$build/bench/bench_tour
[ -x "$tour" ] || { echo "no $tour: build first (cmake --build $build --target bench_tour)" >&2; exit 1; }

work=$(mktemp -d)
export JACK_NO_AUDIO_RESERVATION=1
# The program runs as a user of its own, in the audio group (as the suite's
# whole-program tests do): the server must let that group in.
if getent group audio >/dev/null; then
    export JACK_PROMISCUOUS_SERVER=audio
fi
cleanup() {
    # The tour stops its jackd itself; this is for a tour that died.
    if [ -s "$work/jackd.pid" ] && kill -0 "$(cat "$work/jackd.pid")" 2>/dev/null; then
        kill "$(cat "$work/jackd.pid")" 2>/dev/null || true
        sleep 1
    fi
    tests/pipewire-server.sh stop "$work/pipewire" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

if [ "$which" != pipewire ]; then
    JACK_DEFAULT_SERVER=brantolex-tour-$$ TOUR_JACKD_PIDFILE=$work/jackd.pid \
        BRANTOLEX_TEST_BACKEND=jack "$tour" jackd "$n" "$seed"
fi
if [ "$which" != jackd ]; then
    [ "$which" = both ] && echo
    tests/pipewire-server.sh start "$work/pipewire" >/dev/null
    BRANTOLEX_TEST_BACKEND=pipewire tests/pipewire-server.sh run "$work/pipewire" \
        "$tour" pipewire "$n" "$seed" "$work/pipewire" "$PWD/tests/pipewire-server.sh"
    tests/pipewire-server.sh stop "$work/pipewire"
fi
