#!/usr/bin/env bash
# Builds nivra with its tests and benchmarks, and runs the tests, a group at a time.
#   ./scripts/test.sh         every test: about 30 minutes on 2 cores
#   ./scripts/test.sh quick   all but the Windows programs under Wine, the network shares
#                             and the exhaustive system-call faults: about a minute
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-all}
case $mode in
  all | quick) ;;
  *) echo "usage: $0 [quick]" >&2; exit 2 ;;
esac

# name|what|ctest selection
groups=("programs and engine|unit, end-to-end, reliability and install tests|-E ^(windows|reliability\.shares|SystemCallFaults)")
if [ "$mode" = all ]; then
  echo "Every test: about 30 minutes on 2 cores. Most of it is the Windows programs under Wine"
  echo "(a Wine prefix is made the first time), real network shares mounted from this machine"
  echo "(as root), and every system call of a run failed in turn. './scripts/test.sh quick'"
  echo "leaves those three out: about a minute."
  groups+=("system-call faults|every system call of a run failed in turn, some minutes|-R ^SystemCallFaults"
           "Windows programs|cross-built and run under Wine, the longest group|-R ^windows"
           "network shares|shares served and mounted on this machine, as root|-R ^reliability\.shares")
else
  echo "The quick suite: about a minute. It leaves out the Windows programs under Wine, the"
  echo "network shares and the exhaustive system-call faults; './scripts/test.sh' runs them too."
fi

"$top/scripts/deps.sh" test
echo "=== Building (the first build takes some minutes)"
cmake -S "$top" -B "$top/build" -G Ninja -DNIVRA_BUILD_TESTS=ON -DNIVRA_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$top/build"

failed=0
: > "$top/build/ctest.out"
for i in "${!groups[@]}"; do
  IFS='|' read -r name what selection <<<"${groups[$i]}"
  echo "=== Group $((i + 1)) of ${#groups[@]}: $name ($what)"
  # shellcheck disable=SC2086 # the selection is two words
  if ! ctest --test-dir "$top/build" --output-on-failure --no-tests=error -j2 $selection | tee -a "$top/build/ctest.out"; then
    failed=1
    # A long test's output scrolls its failures far from the end: say them again, last.
    echo "=== What the failed tests of '$name' reported (from build/Testing/Temporary/LastTest.log):"
    grep -a '^\[  FAILED  \] .*ms)$' "$top/build/Testing/Temporary/LastTest.log" | head -n 8 || true
    grep -a -A7 ': Failure$' "$top/build/Testing/Temporary/LastTest.log" | head -n 28 || true
  fi
done
if [ "$failed" = 1 ]; then
  grep -a 'tests passed' "$top/build/ctest.out" || true
  exit 1
fi
