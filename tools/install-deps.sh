#!/usr/bin/env bash
# Installs the Debian packages the native build and its tests need; does nothing when all
# are there already.
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config libgtest-dev srecord nlohmann-json3-dev qt6-base-dev
  libcpp-httplib-dev openssl clang libclang-rt-14-dev
  fonts-dejavu-core)  # the window's headless pictures need a font

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} > 0)); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
