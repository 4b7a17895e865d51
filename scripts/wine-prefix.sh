#!/usr/bin/env bash
# Prepares $WINEPREFIX once (wineboot, crash dialog off) and keeps its wineserver warm.
# Safe to call from several processes at once.
set -eu
: "${WINEPREFIX:?}"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/wine-env.sh"
mkdir -p "$WINEPREFIX"
# The lock is on fd 9, which no program started here may inherit: a wineserver that
# held it would keep every later caller waiting.
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/.lx-ready" ]; then
  wineboot -i </dev/null >/dev/null 2>&1 9>&-
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1 9>&-
  wineserver -w </dev/null >/dev/null 2>&1 9>&- || true
  touch "$WINEPREFIX/.lx-ready"
fi
# A warm server and its services, whose standard streams are nobody's pipe: a service
# started later by a test would inherit the test runner's pipes and keep it waiting.
wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
