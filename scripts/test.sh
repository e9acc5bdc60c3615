#!/usr/bin/env bash
# make test: every stage that can run, then a summary of them all.
# Usage: scripts/test.sh [STAGE...]   (every stage when none is named)
#
# A stage is a build step and a run step of the Makefile. Two lanes share
# the machine. The builds go one after another, on every core, at idle
# priority: they get the processors only while no test wants them. Beside
# them the tests run, one stage at a time, as soon as its build is done;
# they mostly wait (on the module's sleeps, on Wine), and many count
# reports against real time with margins of tens of milliseconds, so they
# get the processors whenever they want them and meet no other stage's
# tests. The runs that compute (the rebuild, the fuzzer) and the package
# installs go at idle priority, like the builds. Each stage starts once its
# own packages are in place. A stage whose packages cannot be installed is
# not run, and the summary says why; like a failed stage, that fails the
# whole. Each stage's output is in build/test/STAGE.log; that of a stage
# that failed is shown at the end.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
unset MAKEFLAGS MAKELEVEL MFLAGS
# Interrupted, it stops what it started.
trap 'trap - INT TERM && kill 0' INT TERM

# name|packages|build step|run step|what it is. The builds go in this
# order, each as soon as its packages are in place: the Windows builds
# early, as their tests wait longest, and the fuzzer's core-long run last.
table=(
  "format|host native||format-check|formatting"
  "native|host native|native|run-native|native build and tests"
  "win64|host native mingw wine64|win64|run-win64|the 64-bit DLL under Wine"
  "win32|host native mingw wine32|win32|run-win32|the 32-bit DLL under Wine"
  "zip64|host mingw dist wine64|dist|run-zip64|the 64-bit release zip, unpacked and used on its own"
  "zip32|host mingw dist wine32|dist|run-zip32|the 32-bit release zip, unpacked and used on its own"
  "reproducible|host mingw dist|dist|run-reproducible|the release, built again in another folder"
  "tsan|host native|tsan|run-tsan|under ThreadSanitizer"
  "asan|host native|asan|run-asan|under AddressSanitizer and UndefinedBehaviorSanitizer"
  "fuzz|host fuzz|fuzzer|run-fuzz FUZZ_SECONDS=30|the INI reader under libFuzzer, 30 s"
)
# Runs that compute rather than wait: they yield to the tests as builds do,
# and stay out of the tests' lane.
computing_runs=" reproducible fuzz "
# Idle priority where the kernel has it, else the lowest nice level.
if chrt --idle 0 true 2>/dev/null; then
  yielding=(chrt --idle 0)
else
  yielding=(nice -n 19)
fi

out=build/test
rm -rf "$out"
mkdir -p "$out/packages"

declare -A needs build_of run_of what_of
names=()
for row in "${table[@]}"; do
  IFS='|' read -r name packages build run what <<<"$row"
  names+=("$name")
  needs[$name]=$packages build_of[$name]=$build run_of[$name]=$run what_of[$name]=$what
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
  for group in ${needs[$name]}; do
    [[ " ${groups[*]} " == *" $group "* ]] || groups+=("$group")
  done
done
"${yielding[@]}" scripts/ensure-packages.sh --status "$out/packages" "${groups[@]}" >"$out/packages.log" 2>&1 &
packages_job=$!

# ready NAME: 0 when its packages are in place, 1 when one is not, 2 while
# one is still being settled.
ready() {
  local group state=0
  for group in ${needs[$1]}; do
    if [ ! -e "$out/packages/$group" ]; then
      # ensure-packages settles every group it is given before it ends.
      kill -0 "$packages_job" 2>/dev/null && return 2
      echo "ensure-packages ended without a word on it: see $out/packages.log" >"$out/packages/$group"
    fi
    [ "$(cat "$out/packages/$group")" = ok ] || state=1
  done
  return $state
}
# The groups of a stage's packages that are not in place.
not_in_place() {
  local group
  for group in ${needs[$1]}; do
    [ "$(cat "$out/packages/$group")" = ok ] || echo "$group"
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

# run_stage NAME: its run step, in the background; its result when done.
# A run of the tests' lane waits for the lane; its time starts then.
run_stage() {
  local name=$1 start status priority=() lane
  if [[ $computing_runs == *" $name "* ]]; then
    priority=("${yielding[@]}")
  else
    exec {lane}>"$out/tests.lane"
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
  # The first stage whose packages are settled.
  next='' left=()
  for name in "${pending[@]}"; do
    if [ -z "$next" ]; then
      ready "$name"
      case $? in
        0) next=$name && continue ;;
        1)
          result "$name" "not run" 0 "needs the $(not_in_place "$name") packages, not in place"
          say "$name: not run: needs the $(not_in_place "$name") packages, not in place"
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
