#!/usr/bin/env bash
# Runs one Windows program under Wine in the build's own prefix.
# The prefix is <build>/wineprefix unless WINEPREFIX is set; it is prepared on first use.
set -u
exe=${1:?usage: wine-run.sh PROGRAM [ARGS...]}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$exe")" 2>/dev/null && pwd)
  while [ -n "$dir" ] && [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  if [ -z "$dir" ] || [ "$dir" = "/" ]; then dir=$PWD; fi
  export WINEPREFIX="$dir/wineprefix"
fi
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
if [ "${LX_WINE_WARM:-}" != "$WINEPREFIX" ]; then
  "$here/wine-prefix.sh" </dev/null >/dev/null 2>&1 || { echo "wine-run: cannot prepare $WINEPREFIX" >&2; exit 125; }
fi
exec wine "$@"
