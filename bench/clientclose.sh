#!/usr/bin/env bash
# What jackd's libjack and PipeWire's keep of each closed client
# (bench_clientclose).
# Usage: bench/clientclose.sh [build-dir] [clients]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
n=${2:-50}
. bench/common.sh
work=$(mktemp -d)
trap 'stop_jack; tests/pipewire-server.sh stop "$work/pw" 2>/dev/null || true; rm -rf "$work"' EXIT

export JACK_DEFAULT_SERVER=brantolex-clientclose-$$ JACK_NO_AUDIO_RESERVATION=1
start_jack "$work/jackd.log"
printf "jackd:           "
"$build/bench/bench_clientclose" "$n"
stop_jack

tests/pipewire-server.sh start "$work/pw" >/dev/null
printf "PipeWire's JACK: "
tests/pipewire-server.sh run "$work/pw" "$build/bench/bench_clientclose" "$n"
