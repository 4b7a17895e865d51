#!/usr/bin/env bash
# The demo: installs what is missing, builds x86_64, and runs the demo node under Wine for about
# 15 seconds, printing some of its values once a second while they change.
# Wine runs in the build's own prefix (build/x86_64/wineprefix); its wineserver is ended afterwards.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" x86_64
dir=$top/build/x86_64
export WINEPREFIX=$dir/wineprefix
. "$top/scripts/wine-env.sh"
cleanup() { wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT
cleanup # a server left from an earlier run would hold the prefix lock
"$top/scripts/wine-prefix.sh" </dev/null >/dev/null 2>&1
cd "$top/nodes"
echo "== the demo node's tree"
wine "$dir/bin/nrkcheck.exe" --tree demo.dbb </dev/null
echo "== the demo node running (scan period 500 ms)"
wine "$dir/bin/nrkcheck.exe" --seconds "${LX_DEMO_SECONDS:-15}" \
  --watch Basin.Level.Value,Flow.Total.Value,PumpStates.Value,Chlorine.Value,Energy.Value,Pump1.Speed.Value \
  demo.dbb </dev/null
