#!/usr/bin/env bash
# Soak run: the test host polls a simulated line with a module of every
# family for a long time while some modules misbehave, and the figures that
# show a leak are sampled at the start, the middle and the end: resident
# memory, open descriptors and the atoms the library's table holds.
#
# Two hosts run side by side, each on its own simulated line: one through
# IDriver2 (ProcessPacket2), one through IDriver (ProcessPacket). Every
# module gets a fault drawn at random (or none); --seed repeats a draw.
#
#   scripts/soak.sh                  # 10 minutes
#   scripts/soak.sh --minutes 60
#   scripts/soak.sh --seconds 30 --seed 7
#
# Options:
#   --minutes N | --seconds N   how long to poll (default 10 minutes)
#   --seed N                    seed of the fault draw (default: random)
#   --interval-ms N             pause between poll cycles (default 50)
#   --timeout-ms N              the line's answer time-out (default 400)
#   --build DIR                 build tree with velkhost and the library
#                               (default build/linux64; built when missing)
# Exits 0 when both hosts ran to the end and stopped when asked.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=600
seed=""
interval_ms=50
timeout_ms=400
build=build/linux64

usage() { sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) seconds=$(( $2 * 60 )); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --interval-ms) interval_ms=$2; shift 2 ;;
    --timeout-ms) timeout_ms=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "soak.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
case "$seconds$interval_ms$timeout_ms" in
  *[!0-9]*|"") echo "soak.sh: durations are whole numbers" >&2; exit 2 ;;
esac
if [ "$seconds" -lt 3 ]; then echo "soak.sh: run at least 3 seconds" >&2; exit 2; fi
[ -n "$seed" ] || seed=$(( RANDOM * 32768 + RANDOM ))

velkhost="$build/tools/velkhost/velkhost"
if [ ! -x "$velkhost" ] || [ ! -e "$build/libVelk4000.so" ]; then
  echo "soak.sh: building velkhost and the library in $build" >&2
  cmake --preset linux64 > /dev/null
  cmake --build "$build" -j 2 --target Velk4000 StringResource velkhost
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/velk-soak.XXXXXX")
pids=()
# Stops what this script started, by process id, on every way out.
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    if kill -0 "$pid" 2> /dev/null; then
      kill -INT "$pid" 2> /dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2> /dev/null || break; sleep 0.1; done
      kill -KILL "$pid" 2> /dev/null || true
    fi
    wait "$pid" 2> /dev/null || true
  done
  pids=()
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The faults a module may be given; "none" is drawn more often so that
# most of the line stays healthy. always_busy applies to a Data7810 only.
faults=(none none none none none none
        "delay=$(( timeout_ms / 3 ))"        # late, but within the time-out
        "delay=$(( timeout_ms * 2 ))"        # beyond the time-out
        "chunks=3/$(( timeout_ms / 4 ))"     # pieces within the time-out
        "chunks=2/$(( timeout_ms * 2 ))"     # pieces beyond it
        silent refuse bad_checksum no_cr overlong
        "stray=00FF" "stray=11" "stray=13"   # glitch bytes, XON, XOFF
        "delay=$(( timeout_ms / 4 )),stray=FF,chunks=4/20")
RANDOM=$seed

# The example line with the chosen time-out and a drawn fault in every
# device's [simulation.NAME] table.
make_line() {
  local out=$1 line table fault
  : > "$work/faults.$2"
  while IFS= read -r line; do
    case "$line" in
      "timeout_ms = "*) line="timeout_ms = $timeout_ms" ;;
    esac
    printf '%s\n' "$line"
    if [[ "$line" =~ ^\[simulation\.([a-z_0-9]+)\]$ ]]; then
      table=${BASH_REMATCH[1]}
      fault=${faults[RANDOM % ${#faults[@]}]}
      if [ "$table" = thermo ] && [ $(( RANDOM % 4 )) -eq 0 ]; then fault=always_busy; fi
      if [ "$fault" != none ]; then printf 'fault = "%s"\n' "$fault"; fi
      printf '  %-8s %s\n' "$table" "$fault" >> "$work/faults.$2"
    fi
  done < examples/line.toml > "$out"
}

label() { if [ "$1" = v2 ]; then echo IDriver2; else echo IDriver; fi; }

start_host() {
  local name=$1; shift
  make_line "$work/line.$name.toml" "$name"
  "$velkhost" poll "$work/line.$name.toml" --simulate --plain --interval-ms "$interval_ms" \
    --stats-file "$work/stats.$name" "$@" > /dev/null 2> "$work/stderr.$name" &
  pids+=("$!")
  eval "pid_$name=$!"
}

echo "soak: seed $seed, $seconds s, answer time-out $timeout_ms ms, interval $interval_ms ms"
start_host v2
start_host v1 --v1
for name in v2 v1; do
  echo "faults on the $(label "$name") line:"
  cat "$work/faults.$name"
done

stat_of() { sed -n "s/.*\\b$2=\\([0-9-]*\\).*/\\1/p" "$work/stats.$1" 2> /dev/null || true; }

# One line per host: resident memory, descriptors, atoms, progress.
sample() {
  local phase=$1 elapsed=$2 name pid rss fds
  for name in v2 v1; do
    eval "pid=\$pid_$name"
    if ! kill -0 "$pid" 2> /dev/null; then
      echo "soak: the $(label "$name") host (pid $pid) ended early:" >&2
      cat "$work/stderr.$name" >&2
      exit 1
    fi
    rss=$(sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status")
    fds=$(ls "/proc/$pid/fd" | wc -l)
    printf '%-6s %-9s %7s %9s %5s %6s %7s %9s %8s\n' "$phase" "$(label "$name")" "$elapsed" "$rss" "$fds" \
      "$(stat_of "$name" atoms)" "$(stat_of "$name" cycles)" "$(stat_of "$name" packets)" "$(stat_of "$name" failed)"
  done
}

began=$(date +%s)
elapsed() { echo $(( $(date +%s) - began )); }
wait_until() { while [ "$(elapsed)" -lt "$1" ]; do sleep 0.5; done; }

printf '%-6s %-9s %7s %9s %5s %6s %7s %9s %8s\n' phase host "time_s" "rss_kB" fds atoms cycles packets failed
# The start is taken once both hosts finished a first cycle (the library
# loaded, the line open), at most a quarter of the run in.
start_by=$(( seconds / 4 ))
while { [ ! -s "$work/stats.v2" ] || [ ! -s "$work/stats.v1" ]; } && [ "$(elapsed)" -lt "$start_by" ]; do sleep 0.2; done
sample start "$(elapsed)"
wait_until $(( seconds / 2 ))
sample middle "$(elapsed)"
wait_until "$seconds"
sample end "$(elapsed)"

# Stop both hosts as Ctrl-C would, and see that they end by themselves.
status=0
for name in v2 v1; do
  eval "pid=\$pid_$name"
  kill -INT "$pid" 2> /dev/null || true
done
for name in v2 v1; do
  eval "pid=\$pid_$name"
  for _ in $(seq 100); do kill -0 "$pid" 2> /dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2> /dev/null; then
    echo "soak: the $(label "$name") host did not stop within 10 s of Ctrl-C" >&2
    status=1
  fi
done
exit "$status"
