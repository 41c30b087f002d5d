#!/usr/bin/env bash
# Installs the Debian packages the tool, its tests and its lab need, only those that are
# missing. Runs as root on Debian 12; `apt-get update` is run once, only when something is missing.
set -euo pipefail

packages=(
    g++ make cmake ninja-build pkg-config git iproute2 procps psmisc
    qtbase5-dev libmosquitto-dev libssl-dev mosquitto
    xvfb xauth x11-apps imagemagick
    clang libclang-rt-14-dev
    dpkg-dev desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]}; run as root to install them." >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The Debian package may start a system-wide broker on 1883; the tool's tests never use it,
# they start their own on free ports.
exit 0
