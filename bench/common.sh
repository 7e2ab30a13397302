# Sourced by the JACK benchmark scripts.

# wait_port NAME: until the port is on the server, 10 s at most.
wait_port() {
    for _ in $(seq 100); do
        jack_lsp 2>/dev/null | grep -qxF "$1" && return 0
        sleep 0.1
    done
    echo "port $1 did not appear" >&2
    return 1
}

# start_jack LOG [PERIOD]: a private server under $JACK_DEFAULT_SERVER (dummy
# driver, 48 kHz, period 256 unless given), its pid in jack_pid; waits until
# it answers. Stop it with SIGTERM only: a killed one keeps its slot in
# JACK's registry.
start_jack() {
    jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p "${2:-256}" >"$1" 2>&1 &
    jack_pid=$!
    jack_wait -w -t 15 >/dev/null 2>&1 || { cat "$1" >&2; return 1; }
}

# stop_jack: stops what start_jack started, by SIGTERM, and waits for it.
stop_jack() {
    if [ -n "${jack_pid:-}" ]; then
        kill "$jack_pid" 2>/dev/null || true
        wait "$jack_pid" 2>/dev/null || true
        jack_pid=""
    fi
}
