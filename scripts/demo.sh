#!/usr/bin/env bash
# The main job: the OPC server on the demo node, and an OPC client that shows its values live.
# Installs what is missing, builds x86_64, registers the server and its proxy/stub DLL in the build's own
# Wine prefix (build/x86_64/wineprefix), points NodeFilePath at nodes/demo.dbb, then runs the command-line
# client: it browses the top of the node, reads and writes a value, and subscribes to a few simulated values
# for LX_DEMO_SECONDS (default 20) seconds. COM starts the server (-Embedding), which starts the node by
# itself; at the end the server's window is closed and the prefix's wineserver ended.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=$top/build/x86_64
export WINEPREFIX=$dir/wineprefix
. "$top/scripts/wine-env.sh"

demo() {
  local bin=$dir/bin node
  node="Z:$(printf '%s' "$top/nodes/demo.dbb" | tr / '\\')"
  "$top/scripts/wine-prefix.sh" </dev/null >/dev/null 2>&1
  wine "$bin/lx6opc.exe" /RegServer </dev/null
  wine regsvr32 /s "$bin/lx6opcps.dll" </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\CorvanE\VELMARA\6\OPC\SERVER' /v NodeFilePath /t REG_SZ /d "$node" /f \
    </dev/null >/dev/null 2>&1
  local client=("wine" "$bin/opcclient.exe")
  echo "== server status"
  "${client[@]}" status </dev/null
  echo "== the demo node's branches as a client browses them"
  "${client[@]}" browse </dev/null | grep '/$' | head -30
  echo "== read, write and read back a set point"
  "${client[@]}" read Plant.Intake.Basin.Level.HighAlarmLimit </dev/null
  "${client[@]}" write Plant.Intake.Basin.Level.HighAlarmLimit=4.75 </dev/null
  "${client[@]}" read Plant.Intake.Basin.Level.HighAlarmLimit </dev/null
  echo "== live values, one update a second"
  "${client[@]}" subscribe Plant.Intake.Basin.Level.Value Plant.Intake.Flow.Total.Value \
    Plant.Treatment.Dosing.Chlorine.Value Plant.Utilities.Energy.Value \
    --rate 1000 --seconds "${LX_DEMO_SECONDS:-20}" </dev/null
  # The node runs (COM started the server): Stop, then close the panel.
  wine "$bin/uidriver.exe" press "Velmara 6 OPC Server" 203 </dev/null >/dev/null 2>&1 || true
  sleep 1
  wine "$bin/uidriver.exe" close "Velmara 6 OPC Server" </dev/null >/dev/null 2>&1 || true
}
if [ "${1:-}" = --inside-display ]; then
  demo
  exit 0
fi
"$top/scripts/deps.sh"
"$top/scripts/build.sh" x86_64
cleanup() { wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT
cleanup # the server needs a wineserver that was started with the display below
if [ -n "${DISPLAY:-}" ]; then
  demo
else
  xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --inside-display
fi
