#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# skipping the ones already there.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qt6-base-dev librtmidi-dev libjack-jackd2-dev jackd2
    # OSC for session managers (NSM); liblo7 comes with it
    liblo-dev
    libbenchmark-dev bc
    xvfb xauth imagemagick
    desktop-file-utils appstream x11-utils
    # the window icon's SVG plug-ins; the Debian package (cpack -G DEB)
    libqt6svg6 dpkg-dev
    # the MIDI tests on a real ALSA sequencer, in a QEMU guest (tests/alsa-vm.sh)
    qemu-system-x86 linux-image-amd64 busybox-static alsa-utils kmod cpio libasound2-dev
    # and on PipeWire's JACK
    pipewire pipewire-jack
    # systemd-tmpfiles, which cleans /tmp under a running instance in a test
    systemd
)

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
