#!/usr/bin/env bash
# Endurance: a paced stream through the router for a long while, on a
# private JACK server and then on a real ALSA sequencer in a guest of
# tests/alsa-vm.sh, each beside a direct connection on the same system.
# Reports sent, received and lost messages, order, RSS at one minute and at
# the end, and CPU per 1,000 messages.
# Usage: bench/soak.sh [build-dir] [minutes] [alsa-minutes]
#   minutes: on JACK, 60 by default; alsa-minutes: in the guest, 10 by
#   default (0 skips it); the direct connection runs a tenth of each, a
#   minute at least.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
minutes=${2:-60}
alsa_minutes=${3:-10}
soak=$build/bench/bench_soak
[ -x "$soak" ] || { echo "no $soak: build first (tools/build.sh $build)" >&2; exit 1; }

export JACK_DEFAULT_SERVER=brantolex-soak-$$ JACK_NO_AUDIO_RESERVATION=1
work=$(mktemp -d)
jack_pid=""
# shellcheck source=bench/common.sh
. bench/common.sh
cleanup() {
    stop_jack
    rm -rf "$work"
}
trap cleanup EXIT

start_jack "$work/jackd.log" || exit 1
echo "JACK: private server, dummy driver, 48 kHz, period 256; $minutes minute(s) through the router"
BRANTOLEX_TEST_BACKEND=jack "$soak" "$minutes"
stop_jack

if [ "$alsa_minutes" != 0 ]; then
    echo
    echo "ALSA: a QEMU guest (TCG, several times slower); $alsa_minutes minute(s) through the router"
    tests/alsa-vm.sh --cache "$build/alsa-vm" --timeout $((alsa_minutes * 60 * 2 + 600)) \
        --env BRANTOLEX_TEST_BACKEND=alsa -- "$soak" "$alsa_minutes"
fi
