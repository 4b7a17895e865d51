#!/usr/bin/env bash
# The 64-bit installation under Wine, in a fresh prefix of its own:
#   another vendor's proxy is registered for IOPCServer; silent install with the demo node; the installed 64-bit
#   client creates the server and reads a value (its IOPCServer calls go through the other vendor's proxy);
#   a second silent install refuses while the server runs; silent uninstall; then neither the registry nor the
#   disk holds anything of ours, and the other vendor's proxy is still registered for IOPCServer.
# installer-test.sh SETUP_EXE BIN_DIR WORK_DIR   (BIN_DIR: uidriver.exe and the test's foreignps.dll)
# Needs a display (DISPLAY) for the server's window. Exit 77 (skipped) when the installer is not built.
set -u
setup=${1:?setup.exe} bin=${2:?bin dir} work=${3:?work dir}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ ! -f "$setup" ]; then
  echo "SKIPPED: $setup is not built (it needs the i686 build too: scripts/installer.sh)"
  exit 77
fi
export WINEPREFIX=$work/prefix
# shellcheck source=../../scripts/wine-env.sh
. "$here/../../scripts/wine-env.sh"
log=$work/wine.log
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
w() { wine "$@" </dev/null 2>>"$log"; }  # output of interest on stdout, Wine's noise in the log
finish() { wineserver -k >/dev/null 2>&1 || true; }
trap finish EXIT

finish
rm -rf "$work"
mkdir -p "$work"
: >"$log"
# Every Wine program here has its standard streams on files, so that no service started by them keeps the
# test runner's pipes open.
wineboot -i </dev/null >>"$log" 2>&1
w reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >>"$log"

drive_c=$WINEPREFIX/drive_c
folder="C:\\Program Files\\Corvane\\Velmara 6 OPC Server"
unix_folder="$drive_c/Program Files/Corvane/Velmara 6 OPC Server"
iopcserver='{39C13A4D-011E-11D0-9675-0020AFD8ADB3}'
foreign='{5B0E7C21-8F3A-4D6E-A1B2-C3D4E5F60718}'

# Another vendor's proxy/stub DLL, registered for IOPCServer (64-bit view).
mkdir -p "$drive_c/Vendor"
cp "$bin/foreignps.dll" "$drive_c/Vendor/"
w reg add "HKCR\\CLSID\\$foreign" /ve /d "PSFactoryBuffer" /f >>"$log"
w reg add "HKCR\\CLSID\\$foreign\\InprocServer32" /ve /d 'C:\Vendor\foreignps.dll' /f >>"$log"
w reg add "HKCR\\CLSID\\$foreign\\InprocServer32" /v ThreadingModel /d Both /f >>"$log"
w reg add "HKCR\\Interface\\$iopcserver" /ve /d IOPCServer /f >>"$log"
w reg add "HKCR\\Interface\\$iopcserver\\ProxyStubClsid32" /ve /d "$foreign" /f >>"$log"

# The registry as text, once the wineserver has written it out (it does when its last program ends): the names
# of all keys, and the lines that name anything of ours.
snapshot() {
  wineserver -w
  cat "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg" | grep '^\[' | sed 's/\] [0-9]*$/]/' | sort >"$work/$1.keys"
}
ours='7A3E1C0[0-9A-F]-5B2D-4F60-9E11-2C8D0B6A4F01|F892DF06-6364-42EC-9450-9CB663F71255|corvane|velmara|lx6opc'
snapshot before

# Install.
w "$setup" /S /NODE=demo >>"$log"
rc=$?
[ "$rc" = 0 ] || fail "silent install ended with $rc"
for f in lx6opc.exe dllNRK32.dll lx6opc.tlb lx6opcps.dll opcclient.exe nodes/demo.dbb x86/lx6opcps.dll \
         x86/opcclient.exe uninstall.exe; do
  [ -f "$unix_folder/$f" ] || fail "not installed: $f"
done
ls "$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Velmara 6 OPC Server/"*.lnk >/dev/null 2>&1 ||
  fail "no Start menu entries"
query() { w reg query "$@" 2>/dev/null | tr -d '\r'; }
query 'HKCR\CLSID\{7A3E1C04-5B2D-4F60-9E11-2C8D0B6A4F01}\LocalServer32' /ve | grep -qi 'lx6opc.exe' ||
  fail "the server class is not registered"
query 'HKCR\Interface\{39C13A54-011E-11D0-9675-0020AFD8ADB3}\ProxyStubClsid32' /ve |
  grep -qi 'F892DF06-6364-42EC-9450-9CB663F71255' || fail "our proxy does not serve IOPCItemMgt"
query "HKCR\\Interface\\$iopcserver\\ProxyStubClsid32" /ve | grep -qi "$foreign" ||
  fail "the install replaced the other vendor's proxy for IOPCServer"
query 'HKCU\Software\CorvanE\VELMARA\6\OPC\SERVER' /v NodeFilePath | grep -qi 'nodes\\demo.dbb' ||
  fail "NodeFilePath is not the demo node"

# The installed 64-bit client: COM starts the server on the demo node.
out=$(w "$folder\\opcclient.exe" read Plant.Intake.Basin.Level.HighAlarmLimit)
rc=$?
echo "$out"
[ "$rc" = 0 ] && grep -q '^Plant.Intake.Basin.Level.HighAlarmLimit = .*good' <<<"$out" ||
  fail "the installed client could not read a value (exit $rc)"
out=$(w "$folder\\opcclient.exe" servers)
echo "$out"
grep -q '{7A3E1C04-5B2D-4F60-9E11-2C8D0B6A4F01}  Corvane.LX6.OPC.DA.Server.1' <<<"$out" ||
  fail "servers does not list the installed server"
# While the server runs, a silent install over it refuses with exit code 2 and leaves it alone (the uninstaller
# waits the same way; its exit code cannot be seen here, as it goes on from a copy of itself).
w "$setup" /S /NODE=demo >>"$log"
rc=$?
[ "$rc" = 2 ] || fail "silent install over the running server ended with $rc, not 2"
[ -f "$unix_folder/lx6opc.exe" ] && query 'HKCR\CLSID\{7A3E1C04-5B2D-4F60-9E11-2C8D0B6A4F01}\LocalServer32' /ve |
  grep -qi 'lx6opc.exe' || fail "the refused install changed the installation"
# Started by COM, the server runs its node, which keeps the panel open: Stop first.
w "$bin/uidriver.exe" command "Velmara 6 OPC Server" 203 >>"$log" || fail "the server's panel has no Stop button"
sleep 3
w "$bin/uidriver.exe" close "Velmara 6 OPC Server" 20000 >>"$log" || fail "the server's window did not close"
# The installed state as the checks after the uninstall see it: they would find what the installation wrote.
snapshot installed
cat "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg" | grep -Eqi "$ours" || fail "no trace of the installation found"
comm -13 "$work/before.keys" "$work/installed.keys" | grep -qi 'Interface\\\\{39C13A54' ||
  fail "the snapshot does not show the proxy's Interface keys"

# Uninstall: the uninstaller runs on from a copy in the temporary folder; wait for every program to end.
w "$folder\\uninstall.exe" /S >>"$log"
rc=$?
[ "$rc" = 0 ] || fail "silent uninstall ended with $rc"
snapshot after
[ ! -e "$unix_folder" ] || fail "left in the install folder: $(cd "$unix_folder" && find . -mindepth 1 | tr '\n' ' ')"
[ ! -e "$drive_c/Program Files/Corvane" ] || fail "the Corvane folder is left"
[ ! -e "$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Velmara 6 OPC Server" ] ||
  fail "the Start menu folder is left"
left=$(cat "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg" | grep -Ei "$ours")
[ -z "$left" ] || fail "left in the registry: $left"
added=$(comm -13 "$work/before.keys" "$work/after.keys" | grep -Ei 'Classes|CorvanE|Uninstall')
[ -z "$added" ] || fail "keys added and not removed: $added"
removed=$(comm -23 "$work/before.keys" "$work/after.keys" | grep -Ei 'Classes|Software\\\\Wine')
[ -z "$removed" ] || fail "keys that were there before and are gone: $removed"
grep -A3 -i "^\[Software\\\\\\\\Classes\\\\\\\\Interface\\\\\\\\$iopcserver\\\\\\\\ProxyStubClsid32\]" \
  "$WINEPREFIX/system.reg" | grep -qi "$foreign" || fail "the other vendor's proxy for IOPCServer is gone"

if [ "$failures" != 0 ]; then
  echo "$failures check(s) failed; Wine's output: $log"
  exit 1
fi
echo "installer: install, client read, uninstall: all clean"
