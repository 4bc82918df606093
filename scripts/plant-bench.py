#!/usr/bin/env python3
"""One velkd at plant size: LINES copies of the example line, each on its own
velksim pseudo-terminal, with MQTT (a private mosquitto), Modbus TCP (a
listener per line) and HTTP on. The same is run with one line, so that the
plant's good packets per second stand beside one line's times LINES.

Counts come from velkd's own /metrics (velk_packets_total{reason="ok"}),
CPU from /proc/PID/stat, resident memory and threads from /proc/PID/status,
over SECONDS after a warm-up. Prints one JSON object.

With --latency-seconds, the plant's Modbus face is timed afterwards: one
client reads one tag of line 1 as fast as its answers come, in phases that
take turns, idle and while /metrics and /api/state are each fetched 10
times a second, so that both halves meet the same machine; the p99.9 of
each and their ratio are printed too.

  scripts/plant-bench.py [--lines 32] [--seconds 30] [--latency-seconds 0] [--build build/linux64]
"""
import argparse
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OK = re.compile(r'^velk_packets_total\{[^}]*reason="ok"[^}]*\} (\d+)', re.M)
TICKS = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.1)
    return False


def ok_packets(http):
    with urllib.request.urlopen("http://%s/metrics" % http, timeout=5) as answer:
        return sum(int(n) for n in OK.findall(answer.read().decode()))


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def status(pid, key):
    for line in open("/proc/%d/status" % pid):
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return 0


def line_file(tmp, n, link, broker_port, modbus_port):
    text = open(os.path.join(ROOT, "examples/gateway.toml"), encoding="utf-8").read()
    text = re.sub(r'(?m)^name = "ttyUSB0".*$', 'name = "%s"' % link, text, count=1)
    text = re.sub(r'(?m)^broker = .*$', 'broker = "mqtt://127.0.0.1:%d"' % broker_port, text, count=1)
    text = re.sub(r'(?m)^line = "bus1".*$', 'line = "bus%d"' % n, text, count=1)
    text = re.sub(r'(?m)^\[mqtt\]', '[modbus]\nlisten = "127.0.0.1:%d"\n\n[mqtt]' % modbus_port, text, count=1)
    path = os.path.join(tmp, "line%d.toml" % n)
    open(path, "w", encoding="utf-8").write(text)
    return path


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else None


def modbus_latency(modbus_port, http, seconds, phase=2.0):
    """p99.9 (ms) of reading boiler's temperature (unit 1, input registers 0
    and 1) of line 1, idle and under HTTP load, in alternating phases."""
    from pymodbus.client import ModbusTcpClient
    client = ModbusTcpClient("127.0.0.1", port=modbus_port)
    if not client.connect() or client.read_input_registers(0, 2, slave=1).isError():
        raise RuntimeError("line 1's Modbus face does not answer")
    times = {"idle": [], "loaded": []}
    failures = 0
    load = threading.Event()
    stop = threading.Event()

    def fetch(path):
        while not stop.is_set():
            if not load.is_set():
                time.sleep(0.01)
                continue
            started = time.monotonic()
            try:
                with urllib.request.urlopen("http://%s%s" % (http, path), timeout=5) as answer:
                    answer.read()
            except OSError:
                pass
            time.sleep(max(0.0, 0.1 - (time.monotonic() - started)))

    fetchers = [threading.Thread(target=fetch, args=(p,)) for p in ("/metrics", "/api/state")]
    for t in fetchers:
        t.start()
    try:
        spent = 0.0
        while spent < seconds:
            for name in ("idle", "loaded"):
                (load.set if name == "loaded" else load.clear)()
                time.sleep(0.2)  # the fetchers are in step
                end = time.monotonic() + phase
                while time.monotonic() < end:
                    started = time.perf_counter()
                    if client.read_input_registers(0, 2, slave=1).isError():
                        failures += 1
                    times[name].append((time.perf_counter() - started) * 1000)
            spent += phase
    finally:
        stop.set()
        for t in fetchers:
            t.join()
        client.close()
    idle, loaded = percentile(times["idle"], 0.999), percentile(times["loaded"], 0.999)
    return {"modbus_idle_p999_ms": round(idle, 3), "modbus_loaded_p999_ms": round(loaded, 3),
            "modbus_p999_ratio": round(loaded / idle, 2) if idle else None,
            "modbus_reads": len(times["idle"]) + len(times["loaded"]), "modbus_failures": failures}


def measure(build, lines, seconds, warmup, latency_seconds=0):
    started = []
    # Port names hold 31 characters: "/tmp/velk-p-XXXXXXXX/line256" fits.
    with tempfile.TemporaryDirectory(prefix="velk-p-") as tmp:
        try:
            broker_port = free_port()
            broker = subprocess.Popen(["mosquitto", "-p", str(broker_port)], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            started.append(broker)
            files = []
            modbus_ports = []
            for n in range(1, lines + 1):
                link = os.path.join(tmp, "line%d" % n)
                started.append(subprocess.Popen(
                    [os.path.join(build, "tools/velksim/velksim"), os.path.join(ROOT, "examples/simulator.toml"),
                     "--plain", "--link", link], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
                # A port handed back may come round again: each line its own.
                port = free_port()
                while port in modbus_ports:
                    port = free_port()
                modbus_ports.append(port)
                files.append(line_file(tmp, n, link, broker_port, modbus_ports[-1]))
            if not wait_for(lambda: all(os.path.exists(os.path.join(tmp, "line%d" % n))
                                        for n in range(1, lines + 1)), 20):
                raise RuntimeError("the simulators did not start")
            http = "127.0.0.1:%d" % free_port()
            log = open(os.path.join(tmp, "velkd.log"), "w")
            velkd = subprocess.Popen([os.path.join(build, "tools/velkd/velkd"), "--http", http] + files,
                                     stdout=subprocess.DEVNULL, stderr=log)
            started.append(velkd)

            def answering():
                try:
                    return ok_packets(http) > 0
                except OSError:
                    return False
            if not wait_for(answering, 30):
                raise RuntimeError("velkd served no metrics: " + open(log.name).read()[-2000:])
            time.sleep(warmup)
            ok0, cpu0, t0 = ok_packets(http), cpu_seconds(velkd.pid), time.monotonic()
            time.sleep(seconds)
            ok1, cpu1, t1 = ok_packets(http), cpu_seconds(velkd.pid), time.monotonic()
            result = {"ok_per_s": (ok1 - ok0) / (t1 - t0), "cpu": (cpu1 - cpu0) / (t1 - t0),
                      "rss_mib": status(velkd.pid, "VmRSS") / 1024, "threads": status(velkd.pid, "Threads")}
            if latency_seconds > 0:
                result.update(modbus_latency(modbus_ports[0], http, latency_seconds))
            return result
        finally:
            for process in reversed(started):
                process.terminate()
            for process in started:
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lines", type=int, default=32)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--warmup", type=float, default=10)
    parser.add_argument("--latency-seconds", type=float, default=0)
    parser.add_argument("--build", default=os.path.join(ROOT, "build/linux64"))
    options = parser.parse_args()
    one = measure(options.build, 1, options.seconds, options.warmup)
    plant = measure(options.build, options.lines, options.seconds, options.warmup, options.latency_seconds)
    expected = one["ok_per_s"] * options.lines
    latency = {k: v for k, v in plant.items() if k.startswith("modbus_")}
    print(json.dumps({**latency,
        "lines": options.lines,
        "plant_ok_per_s": round(plant["ok_per_s"], 1), "one_line_ok_per_s": round(one["ok_per_s"], 2),
        "one_line_times_lines": round(expected, 1),
        "ratio": round(plant["ok_per_s"] / expected, 3) if expected else None,
        "plant_cpu_cores": round(plant["cpu"], 3), "one_line_cpu_cores": round(one["cpu"], 4),
        "plant_rss_mib": round(plant["rss_mib"], 1), "one_line_rss_mib": round(one["rss_mib"], 1),
        "plant_threads": plant["threads"], "one_line_threads": one["threads"],
        "seconds": options.seconds}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
