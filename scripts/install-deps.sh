#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the project needs.
# Idempotent and non-interactive; safe to run on every build.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev lld llvm clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  libplist-dev nlohmann-json3-dev
  libcurl4-openssl-dev libssl-dev
  libarchive-dev liblzma-dev libbz2-dev zlib1g-dev unzip
  libprotobuf-c-dev protobuf-c-compiler
  libxml2-dev
  qt6-base-dev libgl-dev fonts-dejavu-core qt6-pdf-dev
  systemtap-sdt-dev
  python3 curl
  pkexec kmod
  libicu-dev 7zip
  xvfb xauth
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
