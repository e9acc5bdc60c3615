#!/usr/bin/env bash
# make test: every stage that can run, then a summary of them all.
# Usage: scripts/test.sh [STAGE...]   (every stage when none is named)
#
# A stage is a build step and a run step of the Makefile, each with the
# package groups it needs. The builds go one after another, on every core,
# at idle priority: they get the processors only while no test wants them.
# A build starts as soon as its own packages are in place (the Windows
# builds need mingw-w64, not Wine), its run once the run's are too. Beside
# the builds the tests run in two lanes, one for the suites under Wine and
# one for the native suites: each lane runs one stage at a time, as soon as
# its build is done. The tests mostly wait (on the module's sleeps, on
# Wine), and many count reports against real time with margins of tens of
# milliseconds, so they get the processors whenever they want them and
# meet at most one other stage's tests. The runs that compute (the
# rebuild, the fuzzer) go at idle priority, like the builds. The package
# installs do not: on a fresh machine the Wine lane waits for them. A stage
# whose packages cannot be installed is not run, and the summary says why;
# like a failed stage, that fails the whole. Each stage's output is in
# build/test/STAGE.log; that of a stage that failed is shown at the end.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
unset MAKEFLAGS MAKELEVEL MFLAGS
# Interrupted, it stops what it started.
trap 'trap - INT TERM && kill 0' INT TERM

# name|the build's packages|the run's packages beside them|build step|run
# step|lane|what it is. The builds go in this order, each as soon as its
# packages are in place: the Windows builds early, as their tests wait
# longest, and the fuzzer's core-long run last.
table=(
  "format|host native|||format-check|native|formatting"
  "native|host native||native|run-native|native|native build and tests"
  "win64|host native mingw|wine64|win64|run-win64|wine|the 64-bit DLL under Wine"
  "win32|host native mingw|wine32|win32|run-win32|wine|the 32-bit DLL under Wine"
  "zip64|host mingw dist|wine64|dist|run-zip64|wine|the 64-bit release zip, unpacked and used on its own"
  "zip32|host mingw dist|wine32|dist|run-zip32|wine|the 32-bit release zip, unpacked and used on its own"
  "msvc64|host mingw msvc|wine64|msvc|run-msvc64|wine|64-bit hosts built in Visual C++'s mode"
  "msvc32|host mingw msvc|wine32|msvc|run-msvc32|wine|32-bit hosts built in Visual C++'s mode"
  "reproducible|host mingw dist||dist|run-reproducible||the release, built again in another folder"
  "tsan|host native||tsan|run-tsan|native|under ThreadSanitizer"
  "asan|host native||asan|run-asan|native|under AddressSanitizer and UndefinedBehaviorSanitizer"
  "fuzz|host fuzz||fuzzer|run-fuzz FUZZ_SECONDS=30||the INI reader under libFuzzer, 30 s"
)
# Idle priority where the kernel has it, else the lowest nice level.
if chrt --idle 0 true 2>/dev/null; then
  yielding=(chrt --idle 0)
else
  yielding=(nice -n 19)
fi

out=build/test
rm -rf "$out"
mkdir -p "$out/packages"

# A run without a lane computes rather than waits: it yields to the tests
# as the builds do.
declare -A build_needs run_needs build_of run_of lane_of what_of
names=()
for row in "${table[@]}"; do
  IFS='|' read -r name packages run_packages build run lane what <<<"$row"
  names+=("$name")
  build_needs[$name]=$packages run_needs[$name]="$packages $run_packages"
  build_of[$name]=$build run_of[$name]=$run lane_of[$name]=$lane what_of[$name]=$what
done
chosen=("$@")
[ ${#chosen[@]} -gt 0 ] || chosen=("${names[@]}")
for name in "${chosen[@]}"; do
  [ -n "${what_of[$name]:-}" ] || { echo "test.sh: no stage '$name'; the stages: ${names[*]}" >&2 && exit 2; }
done
# The stages in the table's order, which is the order their builds go in.
pending=()
for name in "${names[@]}"; do
  [[ " ${chosen[*]} " == *" $name "* ]] && pending+=("$name")
done

say() { printf '[%4d s] %s\n' "$SECONDS" "$*"; }

# The packages of every chosen stage, in the order the stages need them.
groups=()
for name in "${pending[@]}"; do
  for group in ${run_needs[$name]}; do
    [[ " ${groups[*]} " == *" $group "* ]] || groups+=("$group")
  done
done
scripts/ensure-packages.sh --status "$out/packages" "${groups[@]}" >"$out/packages.log" 2>&1 &
packages_job=$!

# The package groups of stage NAME's build, or of its run (KIND build or
# run), one per line.
groups_of() {
  if [ "$2" = build ]; then
    tr ' ' '\n' <<<"${build_needs[$1]}"
  else
    tr ' ' '\n' <<<"${run_needs[$1]}"
  fi | grep -v '^$'
}
# What ensure-packages had settled when last looked at (look), group by
# group, and whether it was still at work then. A scan of the stages looks
# once, so that it sees one state for all of them: a later stage is never
# taken for ready before an earlier one that needs the same packages.
declare -A settled
installing=1
look() {
  local file
  installing=0
  kill -0 "$packages_job" 2>/dev/null && installing=1
  settled=()
  for file in "$out"/packages/*; do
    [ -e "$file" ] && settled[${file##*/}]=$(cat "$file")
  done
}
# ready NAME KIND, as of the last look: 0 when those packages are in place,
# 1 when one is not, 2 while one is still being settled.
ready() {
  local group state=0
  for group in $(groups_of "$1" "$2"); do
    if [ -z "${settled[$group]+set}" ]; then
      # ensure-packages settles every group it is given before it ends.
      [ $installing -eq 1 ] && return 2
      settled[$group]="ensure-packages ended without a word on it: see $out/packages.log"
      echo "${settled[$group]}" >"$out/packages/$group"
    fi
    [ "${settled[$group]}" = ok ] || state=1
  done
  return $state
}
# not_in_place NAME KIND, as of the last look: those of its groups that are
# not in place.
not_in_place() {
  local group
  for group in $(groups_of "$1" "$2"); do
    [ "${settled[$group]}" = ok ] || echo "$group"
  done | paste -sd' ' | sed 's/ /, /g'
}

# result NAME STATUS SECONDS DETAIL: what became of a stage.
result() { printf '%s\t%s\t%s\n' "$2" "$3" "$4" >"$out/$1.result"; }

# What a stage's output comes to, in a few words: for a suite, its count
# and its longest test; else its last line.
digest() {
  local log=$1 line
  line=$(grep -E '^[0-9]+% tests passed' "$log" | tail -1)
  if [ -n "$line" ]; then
    # shellcheck disable=SC2001 # two groups, swapped
    sed 's/^[0-9]*% tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2 tests, \1 failed/' <<<"$line" | tr -d '\n'
    sed -n 's/^.*Test *#[0-9]*: \([^ ]*\) \.*[^0-9]* \([0-9.]*\) sec$/\2 \1/p' "$log" |
      sort -rn | sed -n '1s/^\(.*\) \(.*\)$/; longest \2, \1 s/p'
    echo
  else
    line=$(grep -E '^Done [0-9]+ runs' "$log" | tail -1)
    [ -n "$line" ] || line=$(grep -v '^\s*$' "$log" | tail -1)
    echo "$line"
  fi
}

# run_stage NAME: once the run's packages are in place, its run step, in
# the background; its result when done. A run of a lane waits for the lane;
# its time starts then.
run_stage() {
  local name=$1 start status priority=() lane
  local state=2
  while [ $state -eq 2 ]; do
    look
    ready "$name" run
    state=$?
    [ $state -ne 2 ] || sleep 1
  done
  if [ $state -ne 0 ]; then
    local lacking
    lacking=$(not_in_place "$name" run)
    result "$name" "not run" 0 "needs the $lacking packages, not in place"
    say "$name: not run: needs the $lacking packages, not in place"
    return
  fi
  if [ -z "${lane_of[$name]}" ]; then
    priority=("${yielding[@]}")
  else
    exec {lane}>"$out/${lane_of[$name]}.lane"
    flock "$lane"
  fi
  start=$SECONDS
  # shellcheck disable=SC2086 # the step's words: a target and its variables
  "${priority[@]}" make -s ${run_of[$name]} >>"$out/$name.log" 2>&1
  status=$?
  if [ $status -eq 0 ]; then
    local detail
    detail=$(digest "$out/$name.log")
    result "$name" passed $((SECONDS - start)) "$detail"
    say "$name: passed in $((SECONDS - start)) s${detail:+: $detail}"
  else
    result "$name" failed $((SECONDS - start)) "exit status $status: $(digest "$out/$name.log")"
    say "$name: FAILED in $((SECONDS - start)) s"
  fi
}

declare -A built  # build step -> passed or failed, once run
jobs=()
while [ ${#pending[@]} -gt 0 ]; do
  # The first stage whose build's packages are settled.
  next='' left=()
  look
  for name in "${pending[@]}"; do
    if [ -z "$next" ]; then
      ready "$name" build
      case $? in
        0) next=$name && continue ;;
        1)
          lacking=$(not_in_place "$name" build)
          result "$name" "not run" 0 "needs the $lacking packages, not in place"
          say "$name: not run: needs the $lacking packages, not in place"
          continue
          ;;
      esac
    fi
    left+=("$name")
  done
  pending=("${left[@]}")
  if [ -z "$next" ]; then
    sleep 1
    continue
  fi

  step=${build_of[$next]}
  if [ -n "$step" ] && [ -z "${built[$step]:-}" ]; then
    start=$SECONDS
    if "${yielding[@]}" make -s "$step" >"$out/build-$step.log" 2>&1; then
      built[$step]=passed
      say "$next: built ($step) in $((SECONDS - start)) s"
    else
      built[$step]=failed
      say "$next: the build ($step) FAILED in $((SECONDS - start)) s"
    fi
  fi
  if [ -n "$step" ] && [ "${built[$step]}" = failed ]; then
    result "$next" failed 0 "its build step, make $step, failed: see $out/build-$step.log"
    continue
  fi
  run_stage "$next" &
  jobs+=($!)
done
say "all builds done; waiting for the runs"
wait "${jobs[@]}" 2>/dev/null
wait "$packages_job" 2>/dev/null

# What failed, in full; then the summary, and why packages are missing.
bad=0
for name in "${chosen[@]}"; do
  IFS=$'\t' read -r state seconds detail <"$out/$name.result"
  [ "$state" = passed ] || bad=$((bad + 1))
  [ "$state" = failed ] || continue
  step=${build_of[$name]}
  echo
  if [ -n "$step" ] && [ "${built[$step]:-}" = failed ]; then
    echo "== $name (${what_of[$name]}): its build, make $step, failed:"
    cat "$out/build-$step.log"
  else
    echo "== $name (${what_of[$name]}): failed:"
    cat "$out/$name.log"
  fi
done

echo
echo "== summary, $SECONDS s in all"
for name in "${chosen[@]}"; do
  IFS=$'\t' read -r state seconds detail <"$out/$name.result"
  case $state in
    passed) state=passed ;;
    failed) state=FAILED ;;
    *) state="NOT RUN" seconds=- ;;
  esac
  printf '  %-8s %-13s %4s s  %s%s\n' "$state" "$name" "$seconds" "${what_of[$name]}" "${detail:+: $detail}"
done
for file in "$out"/packages/*; do
  [ "$(cat "$file")" = ok ] || echo "  the ${file##*/} packages are not in place: $(cat "$file")"
done
if [ $bad -eq 0 ]; then
  echo "every stage passed"
else
  echo "$bad of ${#chosen[@]} stages did not pass (a stage not run has not passed); output in $out/"
fi
exit $((bad > 0))
