#!/usr/bin/env bash
# Sets up, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh --tests
tools/build.sh build
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 "$@"
