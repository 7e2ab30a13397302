#!/usr/bin/env bash
# The end of a plug-in load while the GUI thread is blocked for 500 ms, on a
# private JACK server (dummy driver, 48 kHz, period 64, so that a cycle does
# not hide a few milliseconds): how long after the selection the program
# reaches the unit, against the loading time of 300 ms.
# Usage: bench/guiblock.sh [build-dir] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
export JACK_DEFAULT_SERVER=brantolex-guiblock-$$ JACK_NO_AUDIO_RESERVATION=1
work=$(mktemp -d)
jackpid=
cleanup() {
    [ -n "$jackpid" ] && kill "$jackpid" 2>/dev/null && wait "$jackpid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 64 >"$work/jackd.log" 2>&1 &
jackpid=$!
jack_wait -w -t 15 >/dev/null 2>&1 || { cat "$work/jackd.log"; exit 1; }
QT_QPA_PLATFORM=offscreen "$build/bench/bench_guiblock" "${2:-10}" 2>/dev/null
