#!/usr/bin/env python3
"""One velkd at plant size: LINES copies of the example line, each on its own
velksim pseudo-terminal, with MQTT (a private mosquitto), Modbus TCP (a
listener per line) and HTTP on. The same is run with one line, so that the
plant's good packets per second stand beside one line's times LINES.

Counts come from velkd's own /metrics (velk_packets_total{reason="ok"}),
CPU from /proc/PID/stat, resident memory and threads from /proc/PID/status,
over SECONDS after a warm-up. Prints one JSON object.

  scripts/plant-bench.py [--lines 32] [--seconds 30] [--build build/linux64]
"""
import argparse
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
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


def measure(build, lines, seconds, warmup):
    started = []
    with tempfile.TemporaryDirectory(prefix="velk-plant-") as tmp:
        try:
            broker_port = free_port()
            broker = subprocess.Popen(["mosquitto", "-p", str(broker_port)], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            started.append(broker)
            files = []
            for n in range(1, lines + 1):
                link = os.path.join(tmp, "line%d" % n)
                started.append(subprocess.Popen(
                    [os.path.join(build, "tools/velksim/velksim"), os.path.join(ROOT, "examples/simulator.toml"),
                     "--plain", "--link", link], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
                files.append(line_file(tmp, n, link, broker_port, free_port()))
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
            return {"ok_per_s": (ok1 - ok0) / (t1 - t0), "cpu": (cpu1 - cpu0) / (t1 - t0),
                    "rss_mib": status(velkd.pid, "VmRSS") / 1024, "threads": status(velkd.pid, "Threads")}
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
    parser.add_argument("--build", default=os.path.join(ROOT, "build/linux64"))
    options = parser.parse_args()
    one = measure(options.build, 1, options.seconds, options.warmup)
    plant = measure(options.build, options.lines, options.seconds, options.warmup)
    expected = one["ok_per_s"] * options.lines
    print(json.dumps({
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
