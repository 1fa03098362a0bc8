#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the programs need.
# Quiet and quick when everything is there already.
set -euo pipefail

packages=(
    build-essential cmake pkg-config git
    omniidl libomniorb4-dev omniorb omniorb-nameserver libavahi-client-dev
    avahi-daemon avahi-utils dbus util-linux
    qt6-base-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins libgl-dev libjpeg-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth x11-utils imagemagick poppler-utils procps iproute2 dpkg-dev file
    desktop-file-utils shellcheck
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Installing avahi-daemon or dbus must not start them: an Avahi daemon on this
# machine's interfaces would announce it on the network. The tests run their
# own inside network namespaces.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    trap '$sudo rm -f "$policy"' EXIT
fi
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
