#!/usr/bin/env bash
# Screenshots of the control panel in English and Russian (stopped, running, with the login
# dialog), taken under a display of their own with ImageMagick's `import`.
#
#   scripts/screenshots.sh [OUTPUT_DIR]      default: build/x86_64/screenshots
#   environment: BUILD_DIR (default build/x86_64)
#
# Uses its own Wine prefix (<build>/wineprefix-shots) and ends its wineserver afterwards.
set -u
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${BUILD_DIR:-$top/build/x86_64}
if [ "${1:-}" = --inside-display ]; then out=$2; else out=$(realpath -m "${1:-$dir/screenshots}"); fi
export WINEPREFIX=$dir/wineprefix-shots
. "$top/scripts/wine-env.sh"

shots() {
  local bin=$dir/bin drv
  # The driver gets its window titles as UTF-8 whatever language the server shows.
  drv() { LANG=C.UTF-8 LC_ALL=C.UTF-8 wine "$bin/uidriver.exe" "$@" </dev/null; }
  mkdir -p "$out"
  "$top/scripts/wine-prefix.sh" </dev/null >/dev/null 2>&1
  # A virtual desktop of Wine's own draws the window frames (the display has no window manager).
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x560 /f </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\CorvanE\VELMARA\6\OPC\SERVER' /v NodeFilePath /t REG_SZ /f \
    /d "Z:$(printf '%s' "$top/nodes/demo.dbb" | tr / '\\')" </dev/null >/dev/null 2>&1
  for lang in en ru; do
    local locale=en_US.UTF-8 login=Login title="Velmara 6 OPC Server"
    [ "$lang" = ru ] && { locale=ru_RU.UTF-8; login="Вход пользователя"; title="Velmara 6 OPC Сервер"; }
    wineserver -k >/dev/null 2>&1 || true
    export LANG=$locale LC_ALL=$locale
    drv frame 40 40 760 520 >/dev/null
    # Each language starts from the view's default layout (the buttons' widths differ).
    wine reg delete 'HKCU\Software\CorvanE\VELMARA\6\OPC\SERVER\UI' /v View /f </dev/null >/dev/null 2>&1 || true
    wine "$bin/lx6opc.exe" </dev/null >/dev/null 2>&1 &
    local server=$!
    drv wait "$title" 30000 >/dev/null
    sleep 2
    import -window root -crop 720x480+40+40 "$out/panel-stopped-$lang.png"
    drv press "$title" 202 >/dev/null
    drv select "$title" "Plant/Intake/Basin.Level" >/dev/null   # a channel's live values in the list
    sleep 2
    import -window root -crop 720x480+40+40 "$out/panel-running-$lang.png"
    drv press "$title" 203 >/dev/null
    sleep 1
    drv press "$title" 215 >/dev/null
    sleep 2
    import -window root -crop 720x480+40+40 "$out/panel-login-$lang.png"
    drv box "$login" 5000 2 >/dev/null 2>&1 || true   # Cancel
    sleep 1
    drv press "$title" 1 >/dev/null || true
    wait "$server" || true
  done
  echo "screenshots: $out"
}

if [ "${1:-}" = --inside-display ]; then
  shots
  exit 0
fi
[ -f "$dir/bin/lx6opc.exe" ] || "$top/scripts/build.sh" x86_64 "$dir"
cleanup() { wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT
cleanup
xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside-display "$out"
