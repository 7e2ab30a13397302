#!/usr/bin/env bash
# End-to-end MIDI latency, jitter and loss through JACK, in one run on one
# private server (dummy driver, 48 kHz, period 256): jack_midi_latency_test
# through a native client that forwards in the cycle at the same frame (the
# least any router can do), a minimal RtMidi pass-through, and the router.
# A host whose cycle stalls (JACK sometimes never runs a fresh client's
# cycle) is started again, three times at most.
# Usage: bench/latency.sh [build-dir] [messages]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
messages=${2:-10000}
chunk=${CHUNK:-1000}
export JACK_DEFAULT_SERVER=brantolex-bench JACK_NO_AUDIO_RESERVATION=1
work=$(mktemp -d)
pids=()

cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# As the tests run it: no real-time scheduling. JACK_MODE=realtime asks for
# it where the machine grants it (the tester then reports bogus peaks).
start_server() {
    jackd -n "$JACK_DEFAULT_SERVER" "$@" -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
    jackpid=$!
    pids+=("$jackpid")
    jack_wait -w -t 15 >/dev/null
}
jackpid=
mode=${JACK_MODE:-plain}
if [ "$mode" = realtime ] && start_server -R && ! grep -qi 'cannot use real-time' "$work/jackd.log"; then
    echo "JACK server: dummy driver, 48 kHz, period 256, real-time scheduling"
else
    kill "$jackpid" 2>/dev/null || true
    wait "$jackpid" 2>/dev/null || true
    start_server --no-realtime || { cat "$work/jackd.log"; exit 1; }
    echo "JACK server: dummy driver, 48 kHz, period 256, no real-time scheduling"
fi

# shellcheck source=bench/common.sh
. bench/common.sh

# measure LABEL COMMAND TESTER_OUT TESTER_IN
# The tester gives up at the first message that does not come back (and then
# prints no averages), so it runs in chunks until all messages were tried;
# averages are over the chunks that completed, losses over all of them.
measure() {
    local label=$1 cmd=$2 to=$3 from=$4
    local pid restarts=0
    start_host() {
        "$cmd" >"$work/$label.host.log" 2>&1 &
        pid=$!
        pids+=("$pid")
        wait_port "$to"
        wait_port "$from"
    }
    start_host
    local tried=0 sent_total=0 received_total=0 weighted=0 completed=0 peak=0 chunks=0 aborted=0
    local jitter_weighted=0 jitter_peak=0
    while [ "$tried" -lt "$messages" ]; do
        local n=$((messages - tried < chunk ? messages - tried : chunk))
        jack_midi_latency_test -s "$n" -t 5 "$to" "$from" >"$work/$label.txt" 2>&1 || true
        local avg high sent received
        avg=$(sed -n 's/^Average latency: \([0-9.]*\) ms.*/\1/p' "$work/$label.txt")
        high=$(sed -n 's/^Highest latency: \([0-9.]*\) ms.*/\1/p' "$work/$label.txt")
        sent=$(sed -n 's/^Messages sent: \([0-9]*\).*/\1/p' "$work/$label.txt")
        received=$(sed -n 's/^Messages received: \([0-9]*\).*/\1/p' "$work/$label.txt")
        if [ -z "$sent" ]; then
            echo "$label: no result" >&2
            cat "$work/$label.txt" >&2
            exit 1
        fi
        if [ "${received:-0}" -eq 0 ]; then
            # Nothing came back: the host's cycle stalled. Not a loss of the
            # router's; start it again rather than try each message for 5 s.
            restarts=$((restarts + 1))
            if [ "$restarts" -gt 3 ]; then
                echo "$label: the host stalled $restarts times; giving up" >&2
                break
            fi
            echo "$label: the host stalled; starting it again" >&2
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
            start_host
            continue
        fi
        [ "$sent" -eq 0 ] && sent=1 # a chunk that failed on its first message
        tried=$((tried + sent))
        sent_total=$((sent_total + sent))
        received_total=$((received_total + received))
        chunks=$((chunks + 1))
        if [ -n "$avg" ] && [ "$received" -eq "$sent" ]; then
            local javg jpeak
            javg=$(sed -n 's/^Average MIDI jitter: .*(\([0-9.]*\) frames).*/\1/p' "$work/$label.txt")
            jpeak=$(sed -n 's/^Peak MIDI jitter: .*(\([0-9]*\) frames).*/\1/p' "$work/$label.txt")
            weighted=$(echo "$weighted + $avg * $received" | bc -l)
            jitter_weighted=$(echo "$jitter_weighted + ${javg:-0} * $received" | bc -l)
            completed=$((completed + received))
            peak=$(echo "if ($high > $peak) $high else $peak" | bc -l)
            jitter_peak=$(echo "if (${jpeak:-0} > $jitter_peak) ${jpeak:-0} else $jitter_peak" | bc -l)
        else
            aborted=$((aborted + 1))
            echo "$label: chunk $chunks cut short: $received of $sent came back;" \
                "$(grep -m1 '^Xruns' "$work/$label.txt" || echo 'Xruns: 0')" >&2
        fi
    done
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    local average=NaN jitter=NaN
    if [ "$completed" -gt 0 ]; then
        average=$(echo "scale=3; $weighted / $completed" | bc -l)
        jitter=$(echo "scale=2; $jitter_weighted / $completed" | bc -l)
    fi
    printf '%-12s latency average %6s ms  peak %6s ms  jitter average %5s frames  peak %3s frames  sent %6s  received %6s  lost %s  (%s chunks, %s cut short, %s restarts)\n' \
        "$label" "$average" "$peak" "$jitter" "$jitter_peak" "$sent_total" "$received_total" \
        "$((sent_total - received_total))" "$chunks" "$aborted" "$restarts"
    eval "${label}_avg=$average"
}

measure native "$build/bench/bench_nativeforward" "Bench Native:in" "Bench Native:out"
measure passthrough "$build/bench/bench_passthrough" \
    "Bench Passthrough In:in" "Bench Passthrough Out:out"
measure router "$build/bench/bench_routerhost" \
    "Brantolex helper:Brantolex helper virtual input" "Brantolex helper:RtMidi Output"
# shellcheck disable=SC2154
if [ "$router_avg" != NaN ] && [ "$passthrough_avg" != NaN ]; then
    echo "ratio router/passthrough: $(echo "scale=3; $router_avg / $passthrough_avg" | bc)"
fi

