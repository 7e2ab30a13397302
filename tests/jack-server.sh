#!/usr/bin/env bash
# The tests' private JACK server (dummy driver), one per run of the suite.
#   start DIR [FOREIGN]  starts a server under a fresh name, waits until it
#                        answers, and with FOREIGN (tests/foreignports) lets
#                        another program hold ports on it before any test
#   stop DIR             stops what start started, by process id
#   run DIR CMD...       runs CMD with JACK_DEFAULT_SERVER naming that server
# DIR keeps the name and the process ids between the three.
set -u
cmd=${1:-} dir=${2:-}
[ -n "$dir" ] || {
    echo "usage: $0 start DIR [FOREIGN] | stop DIR | run DIR CMD..." >&2
    exit 2
}
export JACK_NO_AUDIO_RESERVATION=1
# Open to the audio group, so that the programs the tests start as users of
# their own (in that group) join it too; every client of the suite's server
# must say the same.
if getent group audio >/dev/null; then
    export JACK_PROMISCUOUS_SERVER=audio
fi

. "$(dirname "$0")/services.sh"

no_jackd_at_all() {
    ! pgrep -x jackd >/dev/null && ! pgrep -x jackdbus >/dev/null
}

# With no server running at all, every registry entry is stale; while other
# servers run, their entries are theirs and stay.
clear_stale_registry() {
    no_jackd_at_all && rm -rf /dev/shm/jack-shm-registry /dev/shm/jack-[0-9]* /dev/shm/jack_* 2>/dev/null
    return 0
}

# Starts jackd under a new name; 0 once it answers.
launch() {
    name="brantolex-test-$$-$(tr -dc a-z0-9 </dev/urandom | head -c 6)"
    echo "$name" >"$dir/name"
    jackd -n "$name" --no-realtime -d dummy -r 48000 -p 256 >"$log" 2>&1 &
    local pid=$!
    echo "$pid" >"$dir/jackd.pid"
    for _ in $(seq 150); do
        kill -0 "$pid" 2>/dev/null || return 1
        # Still alive once it answers: a server that was refused the name
        # must not pass for the one that holds it.
        JACK_DEFAULT_SERVER="$name" timeout 10 jack_wait -c 2>/dev/null | grep -qx running &&
            kill -0 "$pid" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

case "$cmd" in
start)
    foreign=${3:-}
    mkdir -p "$dir"
    log="$dir/jackd.log"
    stop_pid "$dir/foreign.pid" foreignports
    stop_pid "$dir/jackd.pid" "$(cat "$dir/name" 2>/dev/null)"
    clear_stale_registry
    if ! launch; then
        stop_pid "$dir/jackd.pid" "$name"
        # A stale entry whose pid now belongs to another process reads as a
        # live server of that name, and dead servers fill the few slots.
        if grep -qE "already active|too many servers" "$log"; then
            echo "JACK refused '$name', starting again:" >&2
            cat "$log" >&2
            clear_stale_registry
            launch || {
                stop_pid "$dir/jackd.pid" "$name"
                false
            }
        else
            false
        fi
    fi || {
        echo "JACK server '$name' did not come up:" >&2
        cat "$log" >&2
        exit 1
    }
    if [ -n "$foreign" ]; then
        JACK_DEFAULT_SERVER="$name" "$foreign" >"$dir/foreign.out" 2>&1 &
        echo $! >"$dir/foreign.pid"
        for _ in $(seq 300); do
            grep -q '^ready' "$dir/foreign.out" && break
            kill -0 "$(cat "$dir/foreign.pid")" 2>/dev/null || break
            sleep 0.1
        done
        if ! grep -q '^ready' "$dir/foreign.out"; then
            echo "the foreign ports did not come up:" >&2
            cat "$dir/foreign.out" >&2
            exit 1
        fi
    fi
    echo "JACK server '$name' is up (pid $(cat "$dir/jackd.pid"))"
    ;;
stop)
    stop_pid "$dir/foreign.pid" foreignports
    stop_pid "$dir/jackd.pid" "$(cat "$dir/name" 2>/dev/null)"
    ;;
run)
    shift 2
    [ -s "$dir/name" ] || {
        echo "no JACK server started in $dir" >&2
        exit 1
    }
    JACK_DEFAULT_SERVER=$(cat "$dir/name")
    export JACK_DEFAULT_SERVER
    exec "$@"
    ;;
*)
    echo "usage: $0 start DIR [FOREIGN] | stop DIR | run DIR CMD..." >&2
    exit 2
    ;;
esac
