#!/usr/bin/env bash
# Whole-process times of the real program, offscreen, on a private JACK server
# (dummy driver), with a home and temporary directory of its own; medians of
# several runs:
#   start    process start until the window is shown and the event loop runs
#   second   a second start, while the first runs, until it has exited
#   quit     SIGTERM until exit, with no loading wait running
#   loading  SIGTERM until exit, during a 3000 ms plug-in loading wait
# "Shown" is the program's own debug line, enabled for this run through
# QT_LOGGING_RULES (silent otherwise).
# Usage: bench/startup.sh [build-dir] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-9}
exe=$build/brantolex-fixer
peer=$build/bench/bench_startuppeer
for f in "$exe" "$peer"; do
    [ -x "$f" ] || { echo "missing $f: build first" >&2; exit 1; }
done

work=$(mktemp -d)
export JACK_DEFAULT_SERVER="brantolex-startup-$$" JACK_NO_AUDIO_RESERVATION=1
export HOME=$work/home TMPDIR=$work/tmp
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="brantolex.startup.debug=true"
mkdir -p "$HOME/.Brantolex_Fixer" "$TMPDIR"
jack_pid="" peer_pid="" prog_pid=""

# The JACK server last, once its clients are gone, and by SIGTERM only: one
# that is killed outright keeps its slot in JACK's small shared registry.
cleanup() {
    for pid in $prog_pid $peer_pid; do kill "$pid" 2>/dev/null || true; done
    for pid in $prog_pid $peer_pid; do wait "$pid" 2>/dev/null || true; done
    stop_jack
    rm -rf "$work"
}
# shellcheck source=bench/common.sh
. bench/common.sh
trap cleanup EXIT

start_jack "$work/jackd.log" || exit 1

# The peer's sink must exist before the program lists its ports.
coproc PEER { "$peer" 2>"$work/peer.log"; }
peer_pid=$PEER_PID
read -r -t 15 line <&"${PEER[0]}" && [ "$line" = ready ] || { echo "peer did not start" >&2; exit 1; }

cat >"$HOME/.Brantolex_Fixer/config" <<EOF
[MIDI]
createVirtualInput=Yes
midiChannel=1
midiOutDevice=Bench Sink:in
translateCC0toPluginSelect=Yes

[Plugin]
loadingTime4=3000
EOF

now_us() {
    local t=${EPOCHREALTIME/./}
    echo "$((10#$t))"
}

# The steps below leave their time in microseconds in $took; they run in this
# shell, not in a subshell, since they keep the program's pid and stderr.

# Starts the program with its stderr on fd 3 and waits for the shown line.
start_shown() {
    rm -f "$work/stderr"
    mkfifo "$work/stderr"
    local t0 line
    t0=$(now_us)
    "$exe" 2>"$work/stderr" >/dev/null &
    prog_pid=$!
    exec 3<"$work/stderr"
    while IFS= read -r -t 30 line <&3; do
        if [[ $line == *"brantolex.startup: window shown"* ]]; then
            took=$(($(now_us) - t0))
            return 0
        fi
    done
    echo "the window was not shown" >&2
    return 1
}

# SIGTERM to the program and wait for its exit (code 0 expected).
quit_program() {
    local t0 status=0
    t0=$(now_us)
    kill -TERM "$prog_pid"
    wait "$prog_pid" || status=$?
    took=$(($(now_us) - t0))
    cat <&3 >/dev/null
    exec 3<&-
    prog_pid=""
    [ "$status" -eq 0 ] || { echo "the program ended with $status" >&2; return 1; }
}

second_start() {
    local t0 status=0
    t0=$(now_us)
    "$exe" >/dev/null 2>"$work/second.log" || status=$?
    took=$(($(now_us) - t0))
    [ "$status" -eq 0 ] || { echo "the second start ended with $status" >&2; return 1; }
    if grep -q "window shown" "$work/second.log"; then
        echo "the second start showed a window" >&2
        return 1
    fi
}

took=0
start=() second=() quit=() loading=()
for _ in $(seq "$runs"); do
    start_shown
    start+=("$took")
    second_start
    second+=("$took")
    quit_program
    quit+=("$took")

    start_shown
    echo switch >&"${PEER[1]}"
    read -r -t 15 line <&"${PEER[0]}" || line=none
    [ "$line" = loading ] || { echo "no loading wait began ($line)" >&2; exit 1; }
    quit_program
    loading+=("$took")
done

median_ms() {
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 }
        END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.1f", m / 1000 }'
}

report() {
    local label=$1 target=$2
    shift 2
    local m
    m=$(median_ms "$@")
    local verdict
    verdict=$(awk -v m="$m" -v t="$target" 'BEGIN { print (m < t) ? "ok" : "OVER" }')
    printf '%-8s median %8s ms  target < %4s ms  %s  (runs: %s)\n' "$label" "$m" "$target" \
        "$verdict" "$(for v in "$@"; do printf '%d ' $((v / 1000)); done)"
}

echo "$runs runs each, times in ms"
report start 500 "${start[@]}"
report second 200 "${second[@]}"
report quit 200 "${quit[@]}"
report loading 200 "${loading[@]}"
