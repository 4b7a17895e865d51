#!/usr/bin/env bash
# Runs soak.exe, random_calls.exe (or random_calls_inproc.exe) or dead_clients.exe under Wine and Xvfb in a prefix of their own, on a node file
# written by tools/nrkgen/nrkgen.py, and ends that prefix's wineserver afterwards.
#   bench/reliability/run.sh soak [--minutes 30] [--clients 10] [--groups 10] [--items 1000] [--interval S]
#                                 [--rate MS]       (--minutes 2: a quick check, rows every 10 s)
#   bench/reliability/run.sh random_calls [--seed S] [--calls 1000000] [--seconds 3000] [--threads 4]
#                            [--interval 120] [--churn 1000] [--no-exit] [--only KIND,...]
#   bench/reliability/run.sh random_calls_inproc [the same, without --no-exit]
#   bench/reliability/run.sh dead_clients [--kills 20] [--items 1000] [--hang-ms 20000] [--settle 40]
# BUILD (default build/x86_64) names the build folder.
set -u
prog=${1:?usage: run.sh soak|random_calls|random_calls_inproc|dead_clients [ARGS...]}
shift
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD:-$root/build/x86_64}
export WINEPREFIX=$build/reliability-prefix-$prog  # one per program: two may run at once
work=$build/reliability
mkdir -p "$work"
case $prog in
  # 10,000 subscribed counters stepping at every scan and 100 channels that the soak writes.
  soak) python3 "$root/tools/nrkgen/nrkgen.py" "$work/soak.dbb" --channels 10100 --groups 10 --types 4 \
          --simulated 100 --counters --scan 500 --name Soak >/dev/null
        args=(--node "Z:$work/soak.dbb" --node-channels 10000 --write-channels 100 --node-groups 10) ;;
  random_calls|random_calls_inproc) python3 "$root/tools/nrkgen/nrkgen.py" "$work/random.dbb" --channels 100 --groups 10 \
          --types 4,1,2,3,5,6,8,10,11,12,13,14,15 --simulated 50 --scan 100 --name Random >/dev/null
        args=(--node "Z:$work/random.dbb" --node-channels 100) ;;
  dead_clients) python3 "$root/tools/nrkgen/nrkgen.py" "$work/dead.dbb" --channels 1000 --groups 10 --types 4 \
          --simulated 100 --scan 100 --name Dead >/dev/null
        args=(--node "Z:$work/dead.dbb" --node-channels 1000 --node-groups 10) ;;
  *) echo "run.sh: soak, random_calls, random_calls_inproc or dead_clients" >&2; exit 2 ;;
esac
xvfb-run -a "$root/scripts/wine-run.sh" "$build/bin/$prog.exe" "${args[@]}" "$@"
rc=$?
. "$root/scripts/wine-env.sh"
wineserver -k 2>/dev/null
exit $rc
