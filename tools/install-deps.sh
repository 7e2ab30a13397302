#!/usr/bin/env bash
# install-deps.sh [--tests]: installs the Debian packages that building and
# running the program need (./run.sh); with --tests also what the tests and
# benchmarks need (./test.sh, .ci/run). Packages already there are skipped.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qt6-base-dev librtmidi-dev libjack-jackd2-dev libasound2-dev
    # OSC for session managers (NSM); liblo7 comes with it
    liblo-dev
    # the window icon's SVG plug-ins
    libqt6svg6
    # the private JACK server where there is no MIDI system (jackd, jack_wait)
    jackd2
)
if [ "${1:-}" = --tests ]; then
    packages+=(
        # the benchmarks and their scripts
        libbenchmark-dev bc strace
        # the window under a virtual display, its class, the pictures
        xvfb xauth x11-utils imagemagick
        # the install tree's and the Debian package's checks
        desktop-file-utils appstream dpkg-dev lintian mandoc
        # the MIDI tests on a real ALSA sequencer, in a QEMU guest (tests/alsa-vm.sh)
        qemu-system-x86 linux-image-amd64 busybox-static alsa-utils kmod cpio python3
        # and on PipeWire's JACK
        pipewire pipewire-jack
        # systemd-tmpfiles, which cleans /tmp under a running instance in a
        # test; systemd-analyze, which checks the user unit
        systemd
    )
elif [ $# -gt 0 ]; then
    echo "usage: $0 [--tests]" >&2
    exit 2
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "These Debian packages are missing; install them as root:" >&2
        echo "  apt-get install ${missing[*]}" >&2
        exit 1
    fi
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
