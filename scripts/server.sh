#!/usr/bin/env bash
# Runs the OPC server on a node (default: the demo node): builds it if needed,
# registers it (and the proxy/stub DLL) in the Wine prefix, stores the node as
# NodeFilePath (the ".dbb" argument does that) and serves it until its window is
# closed. The server is a GUI program: without DISPLAY it runs under xvfb-run.
#
#   scripts/server.sh [NODE_FILE]
#   environment: BUILD_DIR (default build/x86_64), WINEPREFIX (default <build>/wineprefix)
#
# OPC clients must use the same WINEPREFIX. A wineserver of that prefix that was started
# without a display cannot open windows later: end it first (WINEPREFIX=... wineserver -k).
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${BUILD_DIR:-$top/build/x86_64}
node=$(realpath "${1:-$top/nodes/demo.dbb}")
[ -f "$node" ] || { echo "server.sh: no node file $node" >&2; exit 2; }
[ -f "$dir/bin/lx6opc.exe" ] || "$top/scripts/build.sh" x86_64 "$dir"
export WINEPREFIX=${WINEPREFIX:-$dir/wineprefix}
. "$top/scripts/wine-env.sh"
winnode="Z:$(printf '%s' "$node" | tr / '\\')"

serve() {
  # A prepared prefix is used as it is (its warm wineserver may hold the preparation lock).
  [ -f "$WINEPREFIX/.lx-ready" ] || "$top/scripts/wine-prefix.sh" </dev/null >/dev/null 2>&1
  local bin=$dir/bin
  wine "$bin/lx6opc.exe" /RegServer </dev/null || echo "server.sh: registration failed (code $?)" >&2
  if [ -f "$bin/lx6opcps.dll" ]; then
    wine regsvr32 /s "$bin/lx6opcps.dll" </dev/null >/dev/null 2>&1 || echo "server.sh: proxy/stub registration failed" >&2
  fi
  echo "lx6opc: serving $winnode (close the window to stop)"
  wine "$bin/lx6opc.exe" "$winnode"
}

if [ -n "${DISPLAY:-}" ]; then
  serve
else
  # xvfb-run's shell would drop an exported function: run this script again inside it.
  xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$node"
fi
