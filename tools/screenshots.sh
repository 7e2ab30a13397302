#!/usr/bin/env bash
# Takes a picture of each tab of the main window under Xvfb into docs/, one
# of the Device tab in a dark colour scheme, and one of a panic just sent.
# The Device tab shows a long port name and an input port that is absent.
# Usage: tools/screenshots.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target brantolex-screenshot -j2 >/dev/null
tool=$(find "$build" -name brantolex-screenshot -type f -perm -u+x | head -n1)
mkdir -p docs

work=$(mktemp -d)
pids=()
# SIGTERM only, newest first, and wait for each: a JACK server killed hard
# leaves a stale entry behind.
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# A throw-away home, so no configuration of the user is read or written.
export HOME=$work/home
mkdir -p "$HOME"

# Xvfb picks a free display itself and names it once it accepts clients; a
# guessed number could be a display already in use, and the pictures would
# then show that screen.
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
done
if [ ! -s "$work/display" ]; then
    echo "Xvfb did not start:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi
export DISPLAY=:$(head -n1 "$work/display")
export QT_QPA_PLATFORM=xcb

# A private JACK server gives the Device tab some ports to show.
if command -v jackd >/dev/null; then
    export JACK_DEFAULT_SERVER=brantolex-shots-$$
    export JACK_NO_AUDIO_RESERVATION=1
    jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
    pids+=($!)
    timeout 20 jack_wait -w -t 15 >/dev/null 2>&1 || echo "no JACK server; ports stay empty" >&2
fi

shoot() {
    local tab=$1 name=$2
    shift 2
    "$tool" "$tab" "$@" >"$work/out" 2>"$work/err" &
    local pid=$!
    pids+=("$pid")
    for _ in $(seq 300); do
        grep -q '^ready' "$work/out" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if ! grep -q '^ready' "$work/out"; then
        echo "the window for tab $tab did not come up:" >&2
        cat "$work/err" >&2
        exit 1
    fi
    local x y w h
    read -r _ x y w h < <(grep '^ready' "$work/out")
    import -window root -crop "${w}x${h}+${x}+${y}" +repage -strip "$root/docs/$name.png"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    unset 'pids[-1]'
    echo "docs/$name.png"
}

config=$HOME/.Brantolex_Fixer/config
shoot 0 events-tab
shoot 2 about-tab
shoot 0 panic-sent panic
mkdir -p "$(dirname "$config")"
printf '[MIDI]\ncreateVirtualInput=No\nmidiInDevice=Keys:out\nmidiOutDevice=%s\n' \
    'Scarlett 18i20 USB:Scarlett 18i20 USB MIDI 1' >"$config"
shoot 1 device-tab
shoot 1 device-tab-dark dark
rm -f "$config"
