#!/usr/bin/env bash
# The whole test run on a fresh machine: install what is missing, build both targets,
# run every test under Wine (own prefix, own display) and end that prefix's wineserver.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Both targets and their installers (installer_test uses the x86_64 one).
"$top/scripts/installer.sh"
dir=$top/build/x86_64
export WINEPREFIX=$dir/wineprefix
. "$top/scripts/wine-env.sh"
cleanup() { WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT
cleanup
# The display must exist before the wineserver starts; xvfb-run gives each run its own.
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  set -eu
  "$1/scripts/wine-prefix.sh" </dev/null >/dev/null 2>&1
  export LX_WINE_WARM=$WINEPREFIX
  cd "$2" && ctest --output-on-failure --timeout 180 -j2 '"${LX_CTEST_ARGS:-}"'
' _ "$top" "$dir"
