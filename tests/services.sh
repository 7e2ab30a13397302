# The test services' pid files, sourced by jack-server.sh and pipewire-server.sh.

# Only a process of ours: a pid from an old file may belong to anyone now.
is_ours() { # PID MARK: alive, with MARK in its command line
    [ -n "$1" ] && [ -n "$2" ] && kill -0 "$1" 2>/dev/null && tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null | grep -qF -- "$2"
}

# SIGTERM and wait; never SIGKILL, a killed JACK server keeps its registry slot.
stop_pid() { # PIDFILE MARK [NAME]
    [ -f "$1" ] || return 0
    local pid
    pid=$(cat "$1")
    if is_ours "$pid" "$2"; then
        kill "$pid" 2>/dev/null
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$pid" 2>/dev/null && echo "${3:-$2} (pid $pid) did not stop within 10 s" >&2
    fi
    rm -f "$1"
}
