#!/usr/bin/env bash
# Bursts through JACK, in one run on one private server (dummy driver,
# 48 kHz, period 256): Control Changes and sysex banks sent in one go through
# a minimal RtMidi pass-through, then through the real router (sysex passed,
# translation on), with counts and intactness side by side.
# Usage: bench/burst.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
export JACK_DEFAULT_SERVER=brantolex-burst-$$ JACK_NO_AUDIO_RESERVATION=1
work=$(mktemp -d)
pids=()

# The server last, after everything that talks to it.
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
pids+=($!)
jack_wait -w -t 15 >/dev/null || { cat "$work/jackd.log"; exit 1; }
echo "JACK server: dummy driver, 48 kHz, period 256, no real-time scheduling"

# shellcheck source=bench/common.sh
. bench/common.sh

bursts=("cc 1000" "cc 10000" "cc 30000" "sysex 8 1000" "sysex 200 1000" "sysex 4 16000")

# run LABEL TO FROM COMMAND...: every burst through one host. A host whose
# client opened slowly may never cycle: it is started again when a ping
# does not come back.
run() {
    local label=$1 to=$2 from=$3 pid
    shift 3
    for attempt in 1 2 3; do
        "$@" >"$work/$label.host.log" 2>&1 &
        pid=$!
        pids+=("$pid")
        wait_port "$to"
        wait_port "$from"
        "$build/bench/bench_burstpeer" "$to" "$from" cc 0 >/dev/null 2>&1 && break
        echo "$label: no MIDI through the host (attempt $attempt), starting it again" >&2
        kill "$pid"
        wait "$pid" 2>/dev/null || true
        for _ in $(seq 50); do jack_lsp 2>/dev/null | grep -qxF "$to" || break; sleep 0.1; done
    done
    for burst in "${bursts[@]}"; do
        # shellcheck disable=SC2086
        result=$("$build/bench/bench_burstpeer" "$to" "$from" $burst 2>"$work/peer.log") ||
            result="failed: $(tr '\n' ' ' <"$work/peer.log")"
        echo "$label|$burst|$result" >>"$work/results"
    done
    kill "$pid"
    wait "$pid" 2>/dev/null || true
}

run passthrough "Bench Passthrough In:in" "Bench Passthrough Out:out" \
    "$build/bench/bench_passthrough"
run router "Brantolex helper:Brantolex helper virtual input" \
    "Brantolex helper:RtMidi Output" "$build/bench/bench_routerhost" sysex

printf '%-22s %-40s %-40s\n' burst "bare pass-through" router
for burst in "${bursts[@]}"; do
    p=$(grep -F "passthrough|$burst|" "$work/results" | cut -d'|' -f3)
    r=$(grep -F "router|$burst|" "$work/results" | cut -d'|' -f3)
    printf '%-22s %-40s %-40s\n' "$burst" "$p" "$r"
done
