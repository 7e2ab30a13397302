#!/usr/bin/env bash
# Reconnection by name on a private JACK server (dummy driver, 48 kHz,
# period 256): the time from the chosen output port's reappearance to the
# first message delivered on it, over ten comings and goings; then the idle
# CPU of the whole program over 60 s.
# Usage: bench/reconnect.sh [build-dir] [idle-seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
idle=${2:-60}
export JACK_DEFAULT_SERVER=brantolex-reconnect-$$ JACK_NO_AUDIO_RESERVATION=1
work=$(mktemp -d)
jackpid=
cleanup() {
    [ -n "${apppid:-}" ] && kill "$apppid" 2>/dev/null && wait "$apppid" 2>/dev/null
    [ -n "$jackpid" ] && kill "$jackpid" 2>/dev/null && wait "$jackpid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
jackpid=$!
jack_wait -w -t 15 >/dev/null 2>&1 || { cat "$work/jackd.log"; exit 1; }

QT_QPA_PLATFORM=offscreen "$build/bench/bench_reconnect" 10 2>/dev/null

# Idle: the program with its window offscreen, a private home, no MIDI.
mkdir -p "$work/home" "$work/run"
chmod 700 "$work/run"
HOME="$work/home" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen \
    "$build/brantolex-fixer" >/dev/null 2>&1 &
apppid=$!
sleep 3 # past start-up
ticks() { awk '{print $14 + $15}' "/proc/$apppid/stat"; }
start=$(ticks)
sleep "$idle"
end=$(ticks)
hz=$(getconf CLK_TCK)
echo "idle CPU over ${idle} s: $(echo "scale=3; ($end - $start) / $hz" | bc) s" \
    "($(echo "scale=4; 100 * ($end - $start) / $hz / $idle" | bc) %)"
