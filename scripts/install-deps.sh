#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the fixtures and the benchmarks need.
# Idempotent: packages already present are left alone and apt is only asked when one is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  clang-format
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libspdlog-dev libfmt-dev
  libcurl4-openssl-dev curl uuid-dev libarchive-dev libplist-dev libsodium-dev
  libssl-dev openssl
  libgtk-3-dev libwebkit2gtk-4.1-dev glib-networking libxcb1-dev libxcb-xtest0-dev dbus-daemon
  libcpp-httplib-dev
  xvfb xauth x11-utils imagemagick
  tinyproxy-bin gsettings-desktop-schemas tar xz-utils zstd gzip
  python3 locales iproute2 desktop-file-utils gdb
  libseccomp-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
