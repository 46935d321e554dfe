#!/usr/bin/env bash
# Builds nivra with its tests and benchmarks, and runs the tests, a group at a time.
#   ./scripts/test.sh         every test: about 14 minutes on 2 cores
#   ./scripts/test.sh quick   the tests labelled unit, faults and e2e (not windows, not
#                             shares): about three minutes
# System calls are failed where each is the first of its kind on its file, and by sample
# beyond; NIVRA_FAULTS_ALL=1 in the environment fails every one. Groups are chosen by the
# tests' ctest labels (TESTING.md).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
mode=${1:-all}
case $mode in
  all | quick) ;;
  *) echo "usage: $0 [quick]" >&2; exit 2 ;;
esac

# name|what|ctest selection. A group of `beside` starts with group beside_from of `groups`
# and is waited for once group beside_until has ended, at the lowest priority (nice 19):
# the Windows programs run beside the network shares, whose tests mostly wait for their
# clients, and take the processors only while those wait. rclone's clients fail renames
# and removals when other groups take the processors from them on 2 cores.
groups=("programs and engine|unit, fault and end-to-end tests|-L ^(unit|faults|e2e)\$")
beside=() beside_from=() beside_until=()
if [ "$mode" = all ]; then
  echo "Every test: about 14 minutes on 2 cores. Most of it is real network shares mounted"
  echo "from this machine (as root), a kind at a time, and the Windows programs under Wine"
  echo "(a Wine prefix is made the first time). './scripts/test.sh quick' leaves out Wine and"
  echo "the shares."
  groups+=("network shares, first half|sshfs, davfs2 and s3fs, served and mounted on this machine, as root|-R ^reliability.shares.sshfs_davfs2_s3fs\$"
           "network shares, second half|smbnetfs and rclone, served and mounted on this machine, as root|-R ^reliability.shares.smbnetfs_rclone\$")
  beside=("Windows programs|cross-built and run under Wine|-L ^windows\$")
  beside_from=(1) beside_until=(2)
else
  echo "The quick suite: about three minutes. It leaves out the Windows programs under Wine and"
  echo "the network shares; './scripts/test.sh' runs them all."
fi

"$top/scripts/deps.sh" test
echo "=== Building (the first build takes some minutes)"
cmake -S "$top" -B "$build" -G Ninja -DNIVRA_BUILD_TESTS=ON -DNIVRA_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build"

# Group I of all: groups first, then those of beside.
all=("${groups[@]}" "${beside[@]}")
count=${#all[@]}
# Group I runs in build/test-groups/I, a ctest folder of its own over the build's tests, so
# that groups side by side each keep their own log (Testing/Temporary/LastTest.log).
for i in "${!all[@]}"; do
  mkdir -p "$build/test-groups/$i"
  echo "subdirs(\"$build\")" >"$build/test-groups/$i/CTestTestfile.cmake"
  : >"$build/test-groups/$i/ctest.out"
done

# run_group I: runs group I, its output in build/test-groups/I/ctest.out too.
run_group() {
  local name what selection
  IFS='|' read -r name what selection <<<"${all[$1]}"
  # shellcheck disable=SC2086 # the selection is two words
  ctest --test-dir "$build/test-groups/$1" --output-on-failure --no-tests=error -j2 $selection
}

# report_failures I: says again, last, what the failed tests of group I reported: a long
# test's output scrolls its failures far from the end.
report_failures() {
  local name log=$build/test-groups/$1/Testing/Temporary/LastTest.log
  IFS='|' read -r name _ <<<"${all[$1]}"
  echo "=== What the failed tests of '$name' reported (from $log):"
  grep -a '^\[  FAILED  \] .*ms)$' "$log" | head -n 8 || true
  grep -a -A7 ': Failure$' "$log" | head -n 28 || true
}

failed=0
pids=()
for i in "${!groups[@]}"; do
  for k in "${!beside[@]}"; do
    [ "${beside_from[$k]}" = "$i" ] || continue
    j=$((${#groups[@]} + k))
    IFS='|' read -r name what _ <<<"${all[$j]}"
    echo "=== Group $((j + 1)) of $count: $name ($what): starts now, beside the groups from $((i + 1)) to $((${beside_until[$k]} + 1)), at the lowest priority; its output comes once they end"
    (renice -n 19 -p "$BASHPID" >/dev/null; run_group "$j") >"$build/test-groups/$j/ctest.out" 2>&1 &
    pids[$k]=$!
  done
  IFS='|' read -r name what _ <<<"${all[$i]}"
  echo "=== Group $((i + 1)) of $count: $name ($what)"
  if ! run_group "$i" 2>&1 | tee "$build/test-groups/$i/ctest.out"; then
    failed=1
    report_failures "$i"
  fi
  for k in "${!beside[@]}"; do
    [ "${beside_until[$k]}" = "$i" ] || continue
    j=$((${#groups[@]} + k))
    IFS='|' read -r name _ <<<"${all[$j]}"
    status=0
    wait "${pids[$k]}" || status=$?
    echo "=== Group $((j + 1)) of $count: $name"
    cat "$build/test-groups/$j/ctest.out"
    if [ "$status" != 0 ]; then
      failed=1
      report_failures "$j"
    fi
  done
done
echo "=== Summary, a line a group:"
for i in "${!all[@]}"; do
  IFS='|' read -r name _ <<<"${all[$i]}"
  line=$(grep -a 'tests passed' "$build/test-groups/$i/ctest.out" || echo "no summary: see above")
  echo "$name: $line"
done
exit "$failed"
