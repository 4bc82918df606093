#!/usr/bin/env bash
# Runs the C sample host and velkhost against one simulated module and
# compares what they read for the same two tags.
#   sample_host_check.sh VELKSIM VELKHOST SAMPLE_HOST LIBRARY WORK_DIR
set -euo pipefail
velksim=$1 velkhost=$2 sample=$3 library=$4 work=$5
rm -rf "$work" && mkdir -p "$work"

sim_pid=
stop_sim() { if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi; }
trap stop_sim EXIT

# Fixed inputs, so that both programs must read the same values.
cat > "$work/sim.toml" <<'TOML'
[[module]]
address = 7
type = "Velk4055"
checksum = true
values = { di = 0x05 }
TOML
"$velksim" "$work/sim.toml" --plain --duration 60 --path-file "$work/pty" > "$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/pty" ] && break; sleep 0.1; done
pty=$(head -n1 "$work/pty")
[ -n "$pty" ] || { echo "velksim gave no pseudo-terminal"; cat "$work/sim.log"; exit 1; }

cat > "$work/line.toml" <<TOML
[port]
name = "$pty"
baud = 9600
timeout_ms = 1000

[[device]]
name = "doors"
type = "Velk4055"
address = "7"

[[tag]]
name = "door0"
device = "doors"
address = "DI0"
type = "bit"

[[tag]]
name = "door1"
device = "doors"
address = "DI1"
type = "bit"
TOML

timeout 30 "$sample" "$library" "$pty" Velk4055 7 DI0 DI1 bit > "$work/sample.out"
# velkhost's plain lines: NAME DEVICE ADDRESS TYPE VALUE quality Q TIME
timeout 30 "$velkhost" --library "$library" poll "$work/line.toml" --once --plain |
  awk '$6 == "quality" { print $3, $4, $5, "quality", $7 }' > "$work/velkhost.out"
echo "sample host:"; cat "$work/sample.out"
if ! diff -u "$work/velkhost.out" "$work/sample.out"; then
  echo "the sample host and velkhost read different values"
  exit 1
fi
grep -qx 'DI0 bit 1 quality 192' "$work/sample.out" && grep -qx 'DI1 bit 0 quality 192' "$work/sample.out"

# A port another program holds: the sample names the cause, as velkhost does.
exec 9<> "$pty"
flock -n 9
if timeout 30 "$sample" "$library" "$pty" Velk4055 7 DI0 DI1 bit 2> "$work/busy.err"; then
  echo "the sample host read a port another program holds"
  exit 1
fi
exec 9>&-
cat "$work/busy.err"
grep -q 'another program holds the port' "$work/busy.err"
