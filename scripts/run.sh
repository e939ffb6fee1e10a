#!/usr/bin/env bash
# Builds everything and starts the installer program from its application
# bundle, build/PelInstaller.app. Arguments are passed to the program.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"

# Without a display server Qt draws into memory.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
fi

exec build/PelInstaller.app/Contents/MacOS/PelInstaller "$@"
