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
