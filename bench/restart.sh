#!/usr/bin/env bash
# A JACK server (dummy driver, 48 kHz, period 256) stopped and started again
# under its name, ten times: the time from its return to the first message
# the router delivers again, with no action by anyone, and the process's
# VmSize after each return.
# Usage: bench/restart.sh [build-dir] [restarts]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
QT_QPA_PLATFORM=offscreen "$build/bench/bench_restart" "${2:-10}" 2>/dev/null
