#!/usr/bin/env bash
# The DLL's idle CPU under Wine, read from outside the Wine process, which
# Windows' own accounting cannot give: the time on CPU of every thread of
# the Linux process that runs `pyx-bench.exe --idle`, from
# /proc/PID/task/*/schedstat (nanoseconds), over a window in the middle of
# its run. Three loads, each in a process of its own: the module on an idle
# card, the same with KeyTrace=1, and the floor program (a thread doing a
# poll cycle's three register accesses and a 20 ms sleep). Appends the
# figures to RUN.tsv.
# Usage: wine-idle-cpu.sh PYX-BENCH.EXE WORK-DIR RUN.tsv (Wine's environment set)
set -euo pipefail
exe=$1
work=$2
out=$3
window=${WINE_IDLE_WINDOW:-8}

cpu_ns() {
  local total=0 task
  for task in /proc/"$1"/task/*/schedstat; do
    total=$((total + $(cut -d' ' -f1 "$task" 2>/dev/null || echo 0)))
  done
  echo $total
}

# Prints the CPU milliseconds per second of `pyx-bench.exe --idle $1`.
measure() {
  wine "$exe" --idle "$1" $((window + 4)) --dir "$work" >/dev/null 2>&1 &
  local launcher=$! pid="" i
  for i in $(seq 50); do
    pid=$(pgrep -n -f -- "pyx-bench.exe --idle $1" || true)
    [ -n "$pid" ] && break
    sleep 0.1
  done
  [ -n "$pid" ] || { echo "wine-idle-cpu: pyx-bench.exe --idle $1 did not start" >&2; exit 1; }
  sleep 2
  local t0 c0 t1 c1
  t0=$(date +%s%N) c0=$(cpu_ns "$pid")
  sleep "$window"
  t1=$(date +%s%N) c1=$(cpu_ns "$pid")
  wait "$launcher"
  awk -v c=$((c1 - c0)) -v t=$((t1 - t0)) 'BEGIN { printf "%.4f\n", c / 1e6 / (t / 1e9) }'
}

module=$(measure module)
trace=$(measure trace)
floor=$(measure floor)
{
  printf 'outside_idle_cpu_ms_per_s\t%s\n' "$module"
  printf 'outside_idle_trace_cpu_ms_per_s\t%s\n' "$trace"
  printf 'outside_idle_floor_cpu_ms_per_s\t%s\n' "$floor"
  awk -v m="$module" -v f="$floor" 'BEGIN { printf "outside_idle_cpu_ratio\t%.4f\n", m / f }'
} >>"$out"
echo "under Wine, from /proc: module $module, KeyTrace=1 $trace, floor $floor ms of CPU a second"
