#!/usr/bin/env bash
# End-to-end MIDI latency and loss through JACK, in one run on one private
# server (dummy driver, 48 kHz, period 256): jack_midi_latency_test through a
# minimal RtMidi pass-through, then through the real router.
# Usage: bench/latency.sh [build-dir] [messages]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
messages=${2:-10000}
export JACK_DEFAULT_SERVER=brantolex-bench JACK_NO_AUDIO_RESERVATION=1
work=$(mktemp -d)
pids=()

cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
jackpid=$!
pids+=("$jackpid")
jack_wait -w -t 15 >/dev/null || { cat "$work/jackd.log"; exit 1; }

wait_port() {
    for _ in $(seq 100); do
        jack_lsp 2>/dev/null | grep -qxF "$1" && return 0
        sleep 0.1
    done
    echo "port $1 did not appear" >&2
    return 1
}

# measure LABEL COMMAND TESTER_OUT TESTER_IN
measure() {
    local label=$1 cmd=$2 to=$3 from=$4
    "$cmd" >"$work/$label.host.log" 2>&1 &
    local pid=$!
    pids+=("$pid")
    wait_port "$to"
    wait_port "$from"
    jack_midi_latency_test -s "$messages" -t 10 "$to" "$from" >"$work/$label.txt" 2>&1 || true
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    local avg peak sent received
    avg=$(sed -n 's/^Average latency: \([0-9.]*\) ms.*/\1/p' "$work/$label.txt")
    peak=$(sed -n 's/^Highest latency: \([0-9.]*\) ms.*/\1/p' "$work/$label.txt")
    sent=$(sed -n 's/^Messages sent: \([0-9]*\).*/\1/p' "$work/$label.txt")
    received=$(sed -n 's/^Messages received: \([0-9]*\).*/\1/p' "$work/$label.txt")
    if [ -z "$sent" ]; then
        echo "$label: no result" >&2
        cat "$work/$label.txt" >&2
        exit 1
    fi
    # The tester gives up at the first message that does not come back, and
    # then prints no averages.
    if [ -z "$avg" ]; then
        avg=NaN peak=NaN
        grep -m1 'timed out' "$work/$label.txt" >&2 || true
        grep -m1 '^Xruns' "$work/$label.txt" >&2 || true
    fi
    printf '%-12s average %6s ms  peak %6s ms  sent %6s  received %6s  lost %s\n' \
        "$label" "$avg" "$peak" "$sent" "$received" "$((sent - received))"
    eval "${label}_avg=$avg"
}

measure passthrough "$build/bench/bench_passthrough" \
    "Bench Passthrough In:in" "Bench Passthrough Out:out"
measure router "$build/bench/bench_routerhost" \
    "Brantolex helper input:Brantolex helper virtual input" "Brantolex helper output:RtMidi Output"
# shellcheck disable=SC2154
echo "ratio router/passthrough: $(echo "scale=3; $router_avg / $passthrough_avg" | bc)"

