#!/usr/bin/env bash
# Fuzzes the node-file parser and value codec natively (clang, libFuzzer, ASan, UBSan).
#   tests/fuzz/run.sh [SECONDS]   fuzz for SECONDS (default 300) from the shipped nodes
#   tests/fuzz/run.sh --smoke     the native unit tests, then a replay of the shipped nodes and the
#                                 saved crash cases (no fuzzing)
# Needs clang and libclang-rt-14-dev (Debian 12). New crash inputs land in
# build/fuzz/artifacts/; add each to tests/fuzz/crashes/ once fixed.
set -eu
shopt -s nullglob
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$root/build/fuzz
cmake -S "$here" -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out" -j2 >/dev/null
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
seeds=("$root"/nodes/*.dbb "$root"/nodes/test/*.dbb "$here"/crashes/*)
if [ "${1:-}" = "--smoke" ]; then
  if [ -x "$out/nrk_native_tests" ]; then "$out/nrk_native_tests" --gtest_brief=1 || exit 1; fi
  exec "$out/nodefile_fuzz" "${seeds[@]}"
fi
secs=${1:-300}
mkdir -p "$out/corpus" "$out/artifacts"
cp -n "${seeds[@]}" "$out/corpus/" 2>/dev/null || true
exec "$out/nodefile_fuzz" -max_total_time="$secs" -max_len=4096 -dict="$here/nodefile.dict" \
  -artifact_prefix="$out/artifacts/" -print_final_stats=1 "$out/corpus"
