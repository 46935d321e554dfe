#!/usr/bin/env bash
# Builds nivra with its tests and benchmarks, and runs the tests, a group at a time.
#   ./scripts/test.sh         every test, every system call failed in turn: about 20
#                             minutes on 2 cores
#   ./scripts/test.sh quick   the tests labelled unit, faults and e2e (not windows, not
#                             shares), system calls failed by sample: about two minutes
# Groups are chosen by the tests' ctest labels (docs/testing.md).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-all}
case $mode in
  all | quick) ;;
  *) echo "usage: $0 [quick]" >&2; exit 2 ;;
esac

# name|what|ctest selection
groups=("programs and engine|unit, fault and end-to-end tests|-L ^(unit|faults|e2e)\$")
if [ "$mode" = all ]; then
  echo "Every test: about 20 minutes on 2 cores. Most of it is the Windows programs under Wine"
  echo "(a Wine prefix is made the first time) and real network shares mounted from this"
  echo "machine (as root); every system call of a run is failed in turn. './scripts/test.sh"
  echo "quick' leaves out Wine and the shares, and fails a sample of the system calls."
  export NIVRA_FAULTS_ALL=1
  groups+=("Windows programs|cross-built and run under Wine, the longest group|-L ^windows\$"
           "network shares|shares served and mounted on this machine, as root|-L ^shares\$")
else
  echo "The quick suite: about two minutes. It leaves out the Windows programs under Wine and"
  echo "the network shares, and fails a sample of the system calls; './scripts/test.sh' runs"
  echo "them all."
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
echo "=== Summary, a line a group:"
grep -a 'tests passed' "$top/build/ctest.out" || true
exit "$failed"
