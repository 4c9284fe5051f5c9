#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need, when any is missing;
# further packages can be named as arguments.
set -euo pipefail

packages=(cmake g++ make pkg-config
          qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-svg-dev qt6-qpa-plugins libgl-dev
          qt6-translations-l10n fonts-wqy-microhei xdg-utils ser2net
          xvfb xauth dbus-daemon at-spi2-core python3-gi gir1.2-atspi-2.0
          libvterm-dev python3-pyte busybox socat ncurses-bin
          python3-crcmod xdotool
          avrdude stm32flash python3-serial
          lrzsz python3-xmodem "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "Needs root or sudo to install: ${missing[*]}" >&2; exit 1; }
        sudo_cmd=(sudo)
    fi
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
