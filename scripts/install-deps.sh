#!/usr/bin/env bash
# Installs every Debian package that Lumivane's build, tests, benchmarks, fuzz
# targets and the program itself need. Safe to run again: apt-get skips what is
# already there. Run as root (or through sudo).
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git
  clang llvm libclang-rt-14-dev
  # test and benchmark frameworks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # Qt 5 with OpenGL and D-Bus
  qtbase5-dev qtbase5-dev-tools libqt5opengl5-dev libqt5dbus5
  # messaging, scripting
  libzmq3-dev tcl8.6-dev
  # images and fonts
  libjpeg62-turbo-dev libjpeg-turbo-progs libpng-dev libtiff-dev libraw-dev
  libexif-dev libzbar-dev libfreetype-dev fonts-dejavu-core
  # the picture benchmarks' references: tjbench and djpeg come with
  # libjpeg-turbo-progs, simple_dcraw and tiff2rgba with these
  libraw-bin libtiff-tools
  # filesystem, text, hashing, compression
  libboost-dev libboost-filesystem-dev libboost-system-dev libboost-locale-dev
  libfarmhash-dev zlib1g-dev
  # USB transport
  libusb-1.0-0-dev
  # headless display for the OpenGL tests
  xvfb xauth libgl1-mesa-dri libglx-mesa0 libgl-dev mesa-utils
  # network namespaces for grid tests
  iproute2 util-linux
  # reference implementation used by the JSON benchmark only
  rapidjson-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: every package is installed"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
