#!/usr/bin/env bash
# Sets up, builds and starts Brantolex Fixer.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
tools/build.sh build
if [ ! -x build/brantolex-fixer ]; then
    echo "Built the library, tests and benchmarks; the brantolex-fixer program is not part of this build yet."
    exit 0
fi
exec build/brantolex-fixer "$@"
