#!/usr/bin/env bash
# The end of a plug-in load while the GUI thread is blocked for 500 ms, on a
# private JACK server (dummy driver, 48 kHz, period 64, so that a cycle does
# not hide a few milliseconds): how long after the selection the program
# reaches the unit, against the loading time of 300 ms.
# Usage: bench/guiblock.sh [build-dir] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
build=${1:-build}
export JACK_DEFAULT_SERVER=brantolex-guiblock-$$ JACK_NO_AUDIO_RESERVATION=1
work=$(mktemp -d)
trap 'stop_jack; rm -rf "$work"' EXIT
start_jack "$work/jackd.log" 64
QT_QPA_PLATFORM=offscreen "$build/bench/bench_guiblock" "${2:-10}" 2>/dev/null
