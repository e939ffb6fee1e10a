#!/usr/bin/env bash
# Builds everything and starts the installer program from its application
# bundle, build/PelInstaller.app, on the demo product:
#
#   bash scripts/run.sh [--bundled] [--older] [program arguments]
#
#   --bundled  install the package inside the bundle, without a download
#   --older    put an older demo install in place first, so that Install
#              leads to the removal prompt, the removal and the restart screen
#   --help     print this and exit
#
# Stop it with Ctrl-C or the window's Quit item. Without a display (no
# DISPLAY or WAYLAND_DISPLAY) the window is drawn offscreen, where nobody sees
# it: run it in a desktop session to see it, or give it a virtual X display
# with "xvfb-run -a bash scripts/run.sh" (installed with the other packages) and look with
# a screenshot or VNC tool. PEL_UI_GRAB_DIR=<folder> saves pictures of the
# screens as they change (see the README's "The installer shell").
#
# Everything the installer writes goes under a path root: build/demo-root,
# or PEL_PATH_ROOT when that is set. The demo download is served from
# build/demo-server on a free port of 127.0.0.1, for which the manifest beside
# the bundle is signed again; --bundled runs without the manifest. --older
# copies app/Demo/older-install (its files, receipt and registry module) into
# the root. Restart and log-out only print what they would do.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

bundled=0
older=0
args=()
for arg in "$@"; do
  case "$arg" in
    -h | --help)
      sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"
      exit 0
      ;;
    --bundled) bundled=1 ;;
    --older) older=1 ;;
    *) args+=("$arg") ;;
  esac
done

bash scripts/install-deps.sh

cmake --preset default
cmake --build --preset default -j "$(nproc)"

# The path root, laid out as the installer expects a system to be.
root=${PEL_PATH_ROOT:-$top/build/demo-root}
mkdir -p "$root/Library/Application Support/Pelgrave/Registry" "$root${HOME:-/root}/Downloads"
if [ "$(id -u)" -eq 0 ]; then
  # As root the packages go through the system installer inside the root.
  install -D -m 0755 build/tools/installer/installer "$root/usr/sbin/installer"
fi
export PEL_PATH_ROOT=$root
echo "Path root: $root"
if [ "$older" -eq 1 ]; then
  # Version 0.9.0 of the demo, as its installer left it.
  cp -R app/Demo/older-install/. "$root/"
  echo "Older demo install (com.pelgrave.brenmoor 0.9.0): $root/Applications/Ostrel Demo 0.9"
fi

# Stand-ins that print instead of restarting or logging out.
standins=$top/build/demo-bin
mkdir -p "$standins"
for tool in systemctl loginctl; do
  printf '#!/bin/sh\necho "%s $*: not done in the demo run" >&2\n' "$tool" > "$standins/$tool"
  chmod 0755 "$standins/$tool"
done
export PATH="$standins:$PATH"

server_pid=
server_log=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
  if [ -n "$server_log" ]; then rm -f "$server_log"; fi
}
trap stop_server EXIT

if [ "$bundled" -eq 1 ]; then
  # Without the manifest beside the bundle the bundled package is installed.
  rm -rf build/.fsd
else
  # Port 0: the system picks a free port, so a busy one cannot stop the run.
  server_log=$(mktemp)
  python3 -u -m http.server --bind 127.0.0.1 --directory build/demo-server 0 \
    > "$server_log" 2>&1 &
  server_pid=$!
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's/^Serving HTTP on [^ ]* port \([0-9][0-9]*\).*/\1/p' "$server_log" | head -n 1)
    if [ -n "$port" ] || ! kill -0 "$server_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  if [ -z "$port" ]; then
    cat "$server_log" >&2
    echo "run.sh: the demo server did not start" >&2
    exit 1
  fi
  base="http://127.0.0.1:$port"
  echo "Demo downloads: $base (server pid $server_pid)"
  mkdir -p build/.fsd
  sed "s#@PEL_DEMO_BASE_URL@#$base#g" app/Demo/fsdmanifest.js.in > build/.fsd/fsdmanifest.js
  build/tools/pelsign/pelsign manifest --key dev-keys/manifest-signing.DEVELOPMENT-ONLY.key.pem \
    build/.fsd/fsdmanifest.js build/.fsd/fsdmanifest-sig.txt
  # The statistics pings go to the demo server too.
  export PEL_PING_HOST="127.0.0.1:$port"
fi

# Without a display server Qt draws into memory.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
  echo "No display: the window is drawn offscreen, where nobody sees it. Run this in a" \
    "desktop session to see it, or give it a virtual X display:" \
    "xvfb-run -a bash scripts/run.sh."
fi
echo "Starting the installer; stop it with Ctrl-C or the window's Quit item."

status=0
build/PelInstaller.app/Contents/MacOS/PelInstaller ${args[@]+"${args[@]}"} || status=$?
exit "$status"
