#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev)
packages+=(libcli11-dev python3 python3-pytest)  # mervanectl's command line; the Python package's tests
packages+=(g++-multilib)  # -m32 for the plug-in's 32-bit ABI tests
packages+=(qemu-user)     # qemu-i386 runs them where the kernel refuses 32-bit programs
packages+=(qt6-base-dev fonts-dejavu-core)  # the control window module (Qt 6 Widgets) and its font
packages+=(python3-tango)  # mervane-tango, the Tango device server, and its tests
packages+=(libftdi1-2 libftdi1-dev umockdev libumockdev-dev pkgconf)  # the libftdi1 driver and its USB-stack tests
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
