#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when all are there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libusb-1.0-0-dev libudev-dev libxml2-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev
  libglib2.0-dev dbus-daemon
  usbutils desktop-file-utils appstream man-db dpkg-dev lintian
  binutils srecord python3 time
  clang libclang-rt-14-dev
  qt6-base-dev qt6-svg-dev qt6-translations-l10n qt6-qpa-plugins libqt6test6 fonts-dejavu-core xvfb xauth x11-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
