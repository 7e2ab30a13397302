#!/usr/bin/env bash
# The router on a real ALSA sequencer, in one run on one guest of
# tests/alsa-vm.sh (this machine has no /dev/snd): bursts sent in one go
# through the router and through a direct connection, between user clients
# and from one VirMIDI device to another (kernel clients, as a USB keyboard
# and a USB unit are), on a quiet machine and with two busy loops running;
# then latency one message at a time through every path of bench/alsa.cpp,
# measured in turns, quiet, busy, quiet on one vCPU and quiet with every
# path pinned to the other vCPU than the bench's; then the router's
# system calls per message. Each burst runs a few times, the two paths in
# turns: whether a receiver keeps up with a sender that does not wait is a
# race the host's load decides, and the sequencer empties a receiver's
# whole queue when it overflows.
# Usage: bench/alsa.sh [build-dir] [messages] [runs] [parts]
#   parts: burst,latency,calls (the default), or some of them
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
messages=${2:-1000}
runs=${3:-3}
parts=${4:-burst,latency,calls}
bench=$build/bench/bench_alsa

if [ "${BRANTOLEX_ALSA_BENCH_GUEST:-}" != 1 ]; then
    [ -x "$bench" ] || { echo "no $bench: build first (tools/build.sh $build)" >&2; exit 1; }
    # The guest's /tmp and /var/tmp are fresh: a build elsewhere than the
    # checkout is shared at its own path.
    share=()
    case "$build/" in
    "$PWD"/*) ;;
    *) share=(--share "$build") ;;
    esac
    exec tests/alsa-vm.sh --cache "$build/alsa-vm" --timeout 3600 "${share[@]}" \
        --env BRANTOLEX_ALSA_BENCH_GUEST=1 -- bash bench/alsa.sh "$build" "$messages" "$runs" "$parts"
fi

# In the guest from here on.
hogs=()
stop_hogs() {
    for pid in "${hogs[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${hogs[@]}"; do wait "$pid" 2>/dev/null || true; done
    hogs=()
}
trap stop_hogs EXIT

echo "ALSA sequencer in a QEMU guest: kernel $(uname -r), $(nproc) vCPUs"
echo
# A table's rows on a quiet guest, then with two busy loops running.
quiet_then_busy() {
    "$bench" "$1" quiet "$2" --header
    for _ in 1 2; do
        (while :; do :; done) &
        hogs+=($!)
    done
    "$bench" "$1" busy "$2"
    stop_hogs
}
wanted() { [[ ",$parts," == *",$1,"* ]]; }

if wanted burst; then
    echo "Bursts sent in one go (no window), $runs runs each; busy: two busy loops on the guest's CPUs"
    echo
    quiet_then_busy burst "$runs"
    echo
fi
if wanted latency; then
    echo "Latency: $messages Control Changes one at a time (sent, waited for, the next), every path in turns"
    echo
    quiet_then_busy latency "$messages"
    # Every path on one vCPU: no hop waits for a halted vCPU to wake.
    taskset -c 0 "$bench" latency "quiet, one vCPU" "$messages"
    # The paths' threads on one vCPU, the bench's on the other: every hop
    # crosses, on every path alike.
    if [ "$(nproc)" -ge 2 ]; then
        "$bench" latency "quiet, pinned" "$messages" --pinned
    fi
    echo
fi
if wanted calls; then
    echo "System calls of the router's process while $messages Control Changes pass (strace -f -c)"
    echo
    "$bench" calls "$messages"
fi
