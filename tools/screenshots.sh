#!/usr/bin/env bash
# Takes a picture of each tab of the main window under Xvfb into docs/.
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
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# A throw-away home, so no configuration of the user is read or written.
export HOME=$work/home
mkdir -p "$HOME"

display=:$((90 + RANDOM % 400))
Xvfb "$display" -screen 0 640x480x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
export QT_QPA_PLATFORM=xcb
for _ in $(seq 50); do
    xwininfo -root >/dev/null 2>&1 && break
    sleep 0.1
done

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
    "$tool" "$tab" >"$work/out" 2>"$work/err" &
    local pid=$!
    for _ in $(seq 100); do
        grep -q '^ready' "$work/out" && break
        sleep 0.1
    done
    read -r _ x y w h <"$work/out"
    import -window root -crop "${w}x${h}+${x}+${y}" +repage -strip "$root/docs/$name.png"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    echo "docs/$name.png"
}

shoot 0 events-tab
shoot 1 device-tab
shoot 2 about-tab
