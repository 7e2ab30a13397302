#!/usr/bin/env bash
# The tests' private PipeWire, for the JACK tests on PipeWire's JACK.
#   start DIR      starts pipewire with a runtime directory of its own in DIR
#                  and waits until a JACK client can connect
#   stop DIR       stops what start started, by process id
#   run DIR CMD... runs CMD under pw-jack, against that PipeWire
# No D-Bus and no session manager: JACK clients link their ports
# themselves, and the dummy driver runs the graph (48 kHz, 256 frames, as
# the suite's jackd).
set -u
cmd=${1:-} dir=${2:-}
[ -n "$dir" ] || {
    echo "usage: $0 start DIR | stop DIR | run DIR CMD..." >&2
    exit 2
}
dir=$(realpath -m "$dir")
conf="$dir/brantolex-test.conf"

. "$(dirname "$0")/services.sh"

stop() { stop_pid "$dir/pipewire.pid" "$conf" pipewire; }

# Its own environment: the runtime directory, nothing of a desktop session.
private_env() {
    unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR DBUS_SESSION_BUS_ADDRESS JACK_DEFAULT_SERVER
    export XDG_RUNTIME_DIR="$dir/runtime"
}

case "$cmd" in
start)
    mkdir -p "$dir"
    stop
    rm -rf "$dir/runtime"
    mkdir -m 700 "$dir/runtime"
    cat >"$conf" <<'EOF'
context.properties = {
    core.daemon = true
    core.name = pipewire-0
    default.clock.rate = 48000
    default.clock.quantum = 256
    default.clock.min-quantum = 256
    default.clock.max-quantum = 256
}
context.spa-libs = {
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
]
context.objects = [
    { factory = metadata args = { metadata.name = default } }
    { factory = spa-node-factory
        args = {
            factory.name = support.node.driver
            node.name = Dummy-Driver
            node.group = pipewire.dummy
            priority.driver = 20000
        }
    }
]
EOF
    (
        private_env
        exec pipewire -c "$conf" >"$dir/pipewire.log" 2>&1
    ) &
    echo $! >"$dir/pipewire.pid"
    for _ in $(seq 100); do
        kill -0 "$(cat "$dir/pipewire.pid")" 2>/dev/null || break
        (private_env && timeout 10 pw-jack jack_wait -c 2>/dev/null) | grep -qx running && {
            echo "PipeWire is up (pid $(cat "$dir/pipewire.pid"), runtime $dir/runtime)"
            exit 0
        }
        sleep 0.1
    done
    echo "PipeWire did not come up:" >&2
    cat "$dir/pipewire.log" >&2
    stop
    exit 1
    ;;
stop)
    stop
    ;;
run)
    shift 2
    is_ours "$(cat "$dir/pipewire.pid" 2>/dev/null)" "$conf" || {
        echo "no PipeWire started in $dir" >&2
        exit 1
    }
    private_env
    exec pw-jack "$@"
    ;;
*)
    echo "usage: $0 start DIR | stop DIR | run DIR CMD..." >&2
    exit 2
    ;;
esac
