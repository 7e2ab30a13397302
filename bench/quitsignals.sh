#!/usr/bin/env bash
# Quit signals against the real program, offscreen, each run with a home of
# its own holding a hand-edited configuration (byte order mark, CRLF,
# comments, Latin-1):
#   terminal  a terminal closing: SIGHUP, SIGCONT, SIGHUP back to back
#   session   a session's stop and a relayed SIGTERM: SIGTERM, SIGCONT,
#             SIGHUP, SIGTERM back to back
#   mixed     SIGHUP, SIGTERM, SIGINT back to back
#   relayed   SIGTERM to timeout(1), which relays it to the program and then
#             to its process group
# A run counts as saved when the program exited with 0, the file is the
# hand-edited one followed by the window's lines only, and the instance's
# socket and marker are gone.
# Runs as the calling user: a running instance of that user is in the way.
# Usage: bench/quitsignals.sh [build-dir] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-50}
exe=$build/brantolex-fixer
[ -x "$exe" ] || { echo "missing $exe: build first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="brantolex.startup.debug=true"
export JACK_DEFAULT_SERVER="brantolex-quit-none-$$"
uid=$(id -u)
printf '\xef\xbb\xbf; mine\r\n[MIDI]\r\nmidiInDevice=Synth\xe4\r\nsysex=No ; or Yes\r\n\r\n[Plugin]\r\n# loadingTime2=9000\r\nloadingTime4=100\r\n' >"$work/original"

# Starts the program (through timeout for relayed), waits until its window is
# shown; sets pid (what to signal) and prog (the program).
start() { # MODE RUN
    export HOME=$work/$1-$2
    mkdir -p "$HOME/.Brantolex_Fixer"
    cp "$work/original" "$HOME/.Brantolex_Fixer/config"
    if [ "$1" = relayed ]; then
        timeout --preserve-status -s TERM 600 "$exe" 2>"$HOME/stderr" &
    else
        "$exe" 2>"$HOME/stderr" &
    fi
    pid=$!
    for _ in $(seq 300); do
        grep -q 'window shown' "$HOME/stderr" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "run $2: no window" >&2
    return 1
}

saved() {
    local config=$HOME/.Brantolex_Fixer/config size
    size=$(stat -c %s "$work/original")
    cmp -s -n "$size" "$work/original" "$config" || return 1
    tail -c +"$((size + 1))" "$config" | tr -d '\r' | grep -vq '^$\|^\[WINDOWS\]$\|^MainWindowState=\|^MainWindowGeometry=' && return 1
    grep -q '^MainWindowGeometry=' "$config" || return 1
    ! ls /run/user/"$uid" /tmp/brantolex-"$uid" 2>/dev/null | grep -q BrantolexFixer
}

for mode in terminal session mixed relayed; do
    ok=0 spread=0
    for run in $(seq "$runs"); do
        start "$mode" "$run" || continue
        t0=${EPOCHREALTIME/./}
        if [ "$mode" = terminal ]; then
            kill -HUP "$pid"; kill -CONT "$pid"; kill -HUP "$pid"
        elif [ "$mode" = session ]; then
            kill -TERM "$pid"; kill -CONT "$pid"; kill -HUP "$pid"; kill -TERM "$pid"
        elif [ "$mode" = mixed ]; then
            kill -HUP "$pid"; kill -TERM "$pid"; kill -INT "$pid"
        else
            kill -TERM "$pid"
        fi
        t1=${EPOCHREALTIME/./}
        spread=$((spread + t1 - t0))
        status=0
        wait "$pid" || status=$?
        if [ "$status" = 0 ] && saved; then
            ok=$((ok + 1))
        else
            echo "$mode run $run: exit $status, not saved" >&2
        fi
    done
    echo "$mode: $ok of $runs saved (the signals sent within $((spread / runs)) us on average)"
done
