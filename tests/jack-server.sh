#!/usr/bin/env bash
# start NAME PIDFILE: starts a private JACK server on the dummy driver and
# waits until it answers. stop NAME PIDFILE: stops it by its process id.
set -u
cmd=$1 name=$2 pidfile=$3
export JACK_NO_AUDIO_RESERVATION=1

case "$cmd" in
start)
    if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
        kill "$(cat "$pidfile")" 2>/dev/null
        sleep 0.5
    fi
    # A server that was killed leaves its slot in JACK's shared registry, and
    # the registry has only a few. With no server running at all, every
    # leftover is stale.
    if ! pgrep -x jackd >/dev/null && ! pgrep -x jackdbus >/dev/null; then
        rm -rf /dev/shm/jack-shm-registry /dev/shm/jack-[0-9]* /dev/shm/jack_* 2>/dev/null
    fi
    log="${pidfile%.pid}.log"
    jackd -n "$name" --no-realtime -d dummy -r 48000 -p 256 >"$log" 2>&1 &
    echo $! >"$pidfile"
    if ! JACK_DEFAULT_SERVER="$name" timeout 20 jack_wait -w -t 15 >/dev/null 2>&1; then
        echo "JACK server '$name' did not come up:" >&2
        cat "$log" >&2
        exit 1
    fi
    echo "JACK server '$name' is up (pid $(cat "$pidfile"))"
    ;;
stop)
    [ -f "$pidfile" ] || exit 0
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    # Never SIGKILL: a killed server keeps its slot in JACK's shared registry.
    if kill -0 "$pid" 2>/dev/null; then
        echo "JACK server '$name' (pid $pid) did not stop within 5 s" >&2
    fi
    rm -f "$pidfile"
    ;;
*)
    echo "usage: $0 start|stop NAME PIDFILE" >&2
    exit 2
    ;;
esac
