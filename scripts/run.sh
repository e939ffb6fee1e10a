#!/usr/bin/env bash
# Builds everything and starts the installer program.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"

echo "The libraries are built in build/. The installer program itself is not part of the build yet, so there is nothing to start."
