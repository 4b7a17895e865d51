#!/usr/bin/env bash
# Installs what is missing, builds both targets and the Windows installers (NSIS):
#   build/i686/lx6opc-setup.exe        the product: the 32-bit server, proxies of both bitnesses
#   build/x86_64/lx6opc-x64-setup.exe  the same installation with the 64-bit server (the one Wine here can run)
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" i686
"$top/scripts/build.sh" x86_64
# Each installer bundles the other build's proxy/stub DLL and client, so both builds come first.
cmake --build "$top/build/i686" --target installer
cmake --build "$top/build/x86_64" --target installer
ls -l "$top/build/i686/lx6opc-setup.exe" "$top/build/x86_64/lx6opc-x64-setup.exe"
