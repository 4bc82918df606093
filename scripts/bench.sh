#!/usr/bin/env bash
# Builds the benchmarks (linux64 preset), runs the side-by-side ones and
# prints one table: our figures beside the peer measured in the same run
# (libmodbus, or the bare write/poll/read exchange) and their ratio, with
# the goal each is held to. The machine it ran on heads the table.
#   scripts/bench.sh            table only (the raw results stay in build/linux64/bench/)
#   SKIP_BUILD=1 scripts/bench.sh
#   SKIP_LINES=1 scripts/bench.sh   without the sick-line and plant-size runs (about 5 minutes)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${SKIP_BUILD:-}" ]; then
  bash scripts/install-deps.sh
  cmake --preset linux64 > /dev/null
  cmake --build --preset linux64 -j "$(nproc)" --target velk_bench velk_exchanges velksim velkhost velkd > /dev/null
fi
out=build/linux64/bench
json=$out/bench_results.json
timeout 600 "$out/velk_bench" \
  --benchmark_filter='BM_(BuildCommand|DecodeAnswer|SideBySide|PacedLine|PacedEcho|PacedExchange|SixteenLines|Modbus|Store)' \
  --benchmark_out="$json" --benchmark_out_format=json > "$out/bench_console.txt" 2>&1

# System calls of one exchange with a module that answers at once: counted
# by strace over 0 and N exchanges against velksim, so that opening the port
# and starting the program drop out.
calls_ours="-" calls_bare="-" breakdown=""
if command -v strace > /dev/null; then
  n=1000
  pathfile=$(mktemp)
  build/linux64/tools/velksim/velksim -m 1:Velk4017 --plain --duration 120 --path-file "$pathfile" > /dev/null 2>&1 &
  sim=$!
  trap 'kill $sim 2> /dev/null || true; rm -f "$pathfile" "$pathfile".*' EXIT
  for _ in $(seq 50); do [ -s "$pathfile" ] && break; sleep 0.1; done
  port=$(cat "$pathfile")
  count() {  # MODE COUNT -> total system calls
    timeout 120 strace -f -c -o "$pathfile.strace" "$out/velk_exchanges" "$1" "$port" "$2" > /dev/null
    awk '$NF == "total" { print $4 }' "$pathfile.strace"
  }
  per_exchange() { awk -v a="$(count "$1" 0)" -v b="$(count "$1" $n)" -v n=$n 'BEGIN { printf "%.1f", (b - a) / n }'; }
  calls_ours=$(per_exchange driver)
  # Which calls, per exchange (those made at least once every ten exchanges).
  breakdown=$(awk -v n=$n '$1 ~ /^[0-9.]+$/ && $NF != "total" && $4 >= n / 10 { printf "%s%s %.1f", sep, $NF, $4 / n; sep = ", " }' "$pathfile.strace")
  calls_bare=$(per_exchange bare)
  kill $sim 2> /dev/null || true
  wait $sim 2> /dev/null || true
fi

# A sick line (one silent module, one busy Data7810) against a healthy one,
# and one velkd at plant size against one line: whole programs, minutes each.
# The 32-line plant also times line 1's Modbus face idle and while the HTTP
# face is read; the plant raised to 256 lines stands beside one line x 256.
# Sparkplug B stands beside the JSON topics on the broker and in velkd's CPU.
# velkd's store and forward across a 60 s broker outage, with mosquitto.
sick='{}' plant='{}' big='{}' spb='{}' store='{}'
if [ -z "${SKIP_LINES:-}" ]; then
  store=$(timeout 400 python3 scripts/store-bench.py --json) || store='{}'
  sick=$(timeout 300 python3 scripts/sick-line-bench.py --seconds "${SICK_SECONDS:-60}") || sick='{}'
  plant=$(timeout 400 /usr/bin/python3 scripts/plant-bench.py --lines 32 --seconds 30 --latency-seconds 20) || plant='{}'
  big=$(timeout 600 /usr/bin/python3 scripts/plant-bench.py --lines 256 --seconds 30 --warmup 20) || big='{}'
  spb=$(timeout 400 node scripts/sparkplug-bench.js --lines 32 --seconds 20 --cpu-seconds 30) || spb='{}'
fi

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), load average $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
jq -r --arg co "$calls_ours" --arg cb "$calls_bare" --argjson sick "$sick" --argjson plant "$plant" --argjson big "$big" --argjson spb "$spb" --argjson store "$store" '
  def b(name): [.benchmarks[] | select(.name | startswith(name))];
  def one(name): (b(name) | first) // {};
  def f(x; d): if x == null then "-" else (x * pow(10; d) | round) / pow(10; d) | tostring end;
  def signed(x): if x == null then "-" elif x >= 0 then "+" + f(x; 2) else f(x; 2) end;
  def range(name): (b(name) | map(.real_time)) as $t
    | if ($t | length) == 0 then "-" else "\($t | min | round)-\($t | max | round)" end;
  (one("BM_SideBySide")) as $p
  | (one("BM_PacedLine/9600/")) as $s
  | (one("BM_PacedLine/115200/")) as $f
  | (one("BM_PacedEcho")) as $e
  | (one("BM_PacedExchange/9600/")) as $x9
  | (one("BM_PacedExchange/115200/")) as $x1
  | (one("BM_SixteenLines")) as $m
  | (one("BM_ModbusSideBySide")) as $t
  | (one("BM_ModbusReadsPerSecond/1/")) as $r1
  | (one("BM_ModbusReadsPerSecond/8/")) as $r8
  | (one("BM_ModbusVelkdReadsPerSecond")) as $rv
  | (one("BM_StoreSideBySide")) as $st
  | ["measure", "ours", "peer", "peer is", "ours/peer", "goal"],
    ["build one command (ns)", range("BM_BuildCommand"), "-", "-", "-", "no allocation"],
    ["decode one answer (ns)", range("BM_DecodeAnswer"), "-", "-", "-", "no allocation"],
    ["one read, answered at once: median (us)", f($p.ours_median_us; 1), f($p.libmodbus_median_us; 1), "libmodbus RTU", f($p.median_ratio; 2), "<= 1"],
    ["one read, answered at once: p99 (us)", f($p.ours_p99_us; 1), f($p.libmodbus_p99_us; 1), "libmodbus RTU", f($p.p99_ratio; 2), "-"],
    ["one read, answered at once: median (us)", f($p.ours_median_us; 1), f($p.bare_median_us; 1), "bare", (if $p.bare_median_us then f($p.ours_median_us / $p.bare_median_us; 2) else "-" end), "-"],
    ["system calls per exchange", $co, $cb, "bare", (if ($co | test("^[0-9]")) and ($cb | test("^[0-9]")) then f(($co | tonumber) / ($cb | tonumber); 2) else "-" end), "<= 6"],
    ["9600 baud paced, line.toml: cycle / wire", f($s.all_ours_ratio; 3), f($s.all_bare_ratio; 3), "bare", f($s.all_ours_ratio / $s.all_bare_ratio; 3), "<= 1.02"],
    ["  best cycle / wire", f($s.all_ours_ratio_best; 3), f($s.all_bare_ratio_best; 3), "bare", f($s.all_ours_ratio_best / $s.all_bare_ratio_best; 3), "-"],
    ["  cycle (ms), wire \(f($s.all_wire_ms; 1)) ms", f($s.all_ours_cycle_ms; 2), f($s.all_bare_cycle_ms; 2), "bare", signed($s.all_ours_above_bare_ms) + " ms", "-"],
    ["9600 baud paced, line.toml Velk packets: cycle / wire", f($s.velk_ours_ratio; 3), f($s.velk_bare_ratio; 3), "bare", f($s.velk_ours_ratio / $s.velk_bare_ratio; 3), "<= 1.02"],
    ["  best cycle / wire", f($s.velk_ours_ratio_best; 3), f($s.velk_bare_ratio_best; 3), "bare", f($s.velk_ours_ratio_best / $s.velk_bare_ratio_best; 3), "-"],
    ["  cycle (ms), wire \(f($s.velk_wire_ms; 1)) ms", f($s.velk_ours_cycle_ms; 2), f($s.velk_bare_cycle_ms; 2), "bare", signed($s.velk_ours_above_bare_ms) + " ms", "-"],
    ["9600 baud paced, line.toml behind an echo: cycle / wire", f($e.echo_ratio; 3), f($e.clean_ratio; 3), "no echo", f($e.echo_ratio / $e.clean_ratio; 3), "<= 1.02"],
    ["  best cycle / wire", f($e.echo_ratio_best; 3), f($e.clean_ratio_best; 3), "no echo", f($e.echo_ratio_best / $e.clean_ratio_best; 3), "-"],
    ["  cycle (ms), wire \(f($e.echo_wire_ms; 1)) / \(f($e.clean_wire_ms; 1)) ms", f($e.echo_cycle_ms; 2), f($e.clean_cycle_ms; 2), "no echo", signed($e.echo_cycle_ms - $e.clean_cycle_ms) + " ms", "-"],
    ["9600 baud paced, one exchange: excess over bare (us)", f($x9.excess_median_us; 1), "0", "bare", "p25-p75 \(f($x9.excess_p25_us; 1)) to \(f($x9.excess_p75_us; 1))", "<= 20"],
    ["  CPU per exchange (us)", f($x9.ours_cpu_us; 1), f($x9.bare_cpu_us; 1), "bare", f($x9.ours_cpu_us / $x9.bare_cpu_us; 2), "-"],
    ["115200 baud paced, one exchange: excess over bare (us)", f($x1.excess_median_us; 1), "0", "bare", "p25-p75 \(f($x1.excess_p25_us; 1)) to \(f($x1.excess_p75_us; 1))", "<= 20"],
    ["  CPU per exchange (us)", f($x1.ours_cpu_us; 1), f($x1.bare_cpu_us; 1), "bare", f($x1.ours_cpu_us / $x1.bare_cpu_us; 2), "-"],
    ["115200 baud paced, line.toml: cycle / wire", f($f.all_ours_ratio; 3), f($f.all_bare_ratio; 3), "bare", f($f.all_ours_ratio / $f.all_bare_ratio; 3), "-"],
    ["  best cycle / wire", f($f.all_ours_ratio_best; 3), f($f.all_bare_ratio_best; 3), "bare", f($f.all_ours_ratio_best / $f.all_bare_ratio_best; 3), "-"],
    ["  cycle (ms), wire \(f($f.all_wire_ms; 1)) ms", f($f.all_ours_cycle_ms; 2), f($f.all_bare_cycle_ms; 2), "bare", signed($f.all_ours_above_bare_ms) + " ms", "<= +0.02 ms"],
    ["115200 baud paced, line.toml Velk packets: cycle / wire", f($f.velk_ours_ratio; 3), f($f.velk_bare_ratio; 3), "bare", f($f.velk_ours_ratio / $f.velk_bare_ratio; 3), "-"],
    ["  best cycle / wire", f($f.velk_ours_ratio_best; 3), f($f.velk_bare_ratio_best; 3), "bare", f($f.velk_ours_ratio_best / $f.velk_bare_ratio_best; 3), "-"],
    ["  cycle (ms), wire \(f($f.velk_wire_ms; 1)) ms", f($f.velk_ours_cycle_ms; 2), f($f.velk_bare_cycle_ms; 2), "bare", signed($f.velk_ours_above_bare_ms) + " ms", "<= +0.02 ms"],
    ["16 lines, 2 ms modules: packets/s", f($m.ours_n_pps; 0), f($m.bare_n_pps; 0), "bare", f($m.ours_vs_bare; 3), ">= 0.98"],
    ["16 lines over one line: packets/s", f($m.ours_scaling; 2), f($m.bare_scaling; 2), "bare", "-", ">= 15 (cores allowing)"],
    ["16 lines: host CPU per packet (us)", f($m.ours_cpu_us; 1), f($m.bare_cpu_us; 1), "bare", f($m.cpu_ratio; 2), "<= 1.2"],
    ["velkd Modbus TCP, 10 registers from the store: median (us)", f($t.ours_median_us; 1), f($t.libmodbus_median_us; 1), "libmodbus TCP, fixed mapping", f($t.median_ratio; 2), "<= 1.2"],
    ["  p99 (us)", f($t.ours_p99_us; 1), f($t.libmodbus_p99_us; 1), "libmodbus TCP, fixed mapping", f($t.p99_ratio; 2), "-"],
    ["Modbus server reads/s on loopback, 1 / 8 clients", f($r1.reads_per_s; 0) + " / " + f($r8.reads_per_s; 0), "-", "-", "-", "-"],
    ["one velkd polling gateway.toml: Modbus reads/s, 8 clients", f($rv.reads_per_s; 0), "-", "-", "-", "-"],
    ["velkd store: readings forwarded/s (take, acknowledge, delete)", f($st.ours_forward_per_s; 0), f($st.bare_forward_per_s; 0), "bare SQLite select+delete", f($st.forward_ratio; 2), ">= 10000/s"],
    ["  readings stored/s, 10 a transaction", f($st.ours_append_per_s; 0), f($st.bare_append_per_s; 0), "bare SQLite insert", f($st.append_ratio; 2), "-"],
    ["velkd after a broker outage: stored readings forwarded/s", f($store.forward_per_s; 0), "-", "-", "-", ">= 10000/s"],
    ["  live delay while forwarding: median (ms)", f($store.live_delay_forwarding_ms; 1), f($store.live_delay_idle_ms; 1), "no backlog", f($store.delay_ratio; 2), "<= 2"],
    ["  CPU while the broker is away (s)", f($store.cpu_storing_s; 2), f($store.cpu_connected_s; 2), "connected", f($store.cpu_ratio; 2), "<= 1.2"],
    ["  readings lost across a \($store.outage_s // 60) s outage", f($store.lost; 0), f($store.stored; 0), "stored", "-", "0"],
    ["sick line: good readings/s of the healthy modules", f($sick.sick_rate; 2), f($sick.healthy_rate; 2), "healthy line", f($sick.ratio; 3), ">= 0.9"],
    ["  busy Data7810: commands/s", f($sick.busy_commands_per_s; 1), "-", "-", "-", "<= 100"],
    ["  silent module: commands/s", f($sick.silent_commands_per_s; 2), "-", "-", "-", "-"],
    ["velkd, \($plant.lines // 32) lines: good packets/s", f($plant.plant_ok_per_s; 1), f($plant.one_line_times_lines; 1), "one line x \($plant.lines // 32)", f($plant.ratio; 3), "-"],
    ["  CPU (cores), RSS (MiB), threads", "\(f($plant.plant_cpu_cores; 3)), \(f($plant.plant_rss_mib; 1)), \($plant.plant_threads // "-")", "\(f($plant.one_line_cpu_cores; 4)), \(f($plant.one_line_rss_mib; 1)), \($plant.one_line_threads // "-")", "one line", "-", "-"],
    ["  line 1 Modbus read p99.9 (ms), /metrics + /api/state 10/s each", f($plant.modbus_loaded_p999_ms; 2), f($plant.modbus_idle_p999_ms; 2), "no HTTP traffic", f($plant.modbus_p999_ratio; 2), "<= 1.3"],
    ["velkd, \($big.lines // 256) lines: good packets/s", f($big.plant_ok_per_s; 1), f($big.one_line_times_lines; 1), "one line x \($big.lines // 256)", f($big.ratio; 3), ">= 0.95"],
    ["  CPU (cores), RSS (MiB), threads", "\(f($big.plant_cpu_cores; 3)), \(f($big.plant_rss_mib; 1)), \($big.plant_threads // "-")", "\(f($big.one_line_cpu_cores; 4)), \(f($big.one_line_rss_mib; 1)), \($big.one_line_threads // "-")", "one line", "-", "< 0.5 core, < 128 MiB"],
    ["Sparkplug DDATA, example line: broker bytes per reading", f($spb.sparkplug_bytes_per_reading; 1), f($spb.json_bytes_per_reading; 1), "JSON tag topics", f($spb.bytes_ratio; 3), "-"],
    ["Sparkplug rebirth, \($spb.lines // 32) lines: NBIRTH+DBIRTHs bytes, ms", "\($spb.birth_bytes // "-"), \(f($spb.birth_ms; 0))", "-", "-", "-", "-"],
    ["velkd, \($spb.lines // 32) lines: CPU (cores) with Sparkplug", f($spb.cpu_on_cores; 4), f($spb.cpu_off_cores; 4), "without", f($spb.cpu_ratio; 3), "<= 1.1"],
    ["  the Sparkplug threads alone", f($spb.sparkplug_threads_cores; 4), f($spb.cpu_off_cores; 4), "velkd without", "+" + f($spb.sparkplug_threads_share_of_off; 3), "<= +0.1"],
    ["failed exchanges in these runs", f(([b("BM_SideBySide"), b("BM_PacedLine"), b("BM_PacedEcho"), b("BM_PacedExchange"), b("BM_SixteenLines"), b("BM_Modbus")] | flatten | map(.failures // 0) | add); 0), "-", "-", "-", "0"]
  | @tsv' "$json" | column -t -s $'\t' -o ' | '
if [ -n "$breakdown" ]; then echo; echo "system calls of one driver exchange: $breakdown"; fi
