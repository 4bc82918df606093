#!/usr/bin/env python3
"""What one sick module costs the healthy modules of a line.

Polls examples/line.toml with velkhost (--interval-ms 0, 1000 ms time-out)
against velksim twice: once with every module healthy, once with the relays
module (5) silent and the Data7810 (10) always busy. Each run lasts SECONDS;
only its second half counts, so that start-up and the first back-off steps
drop out. Prints, as JSON on one line:

  healthy_rate, sick_rate   good readings per second of boiler, inputs, flow
  ratio                     sick_rate / healthy_rate (the goal is >= 0.9)
  busy_commands_per_s       commands the busy Data7810 received per second
  silent_commands_per_s     commands the silent module received per second

  scripts/sick-line-bench.py [--seconds 60] [--build build/linux64]
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HEALTHY = {"boiler", "inputs", "flow"}
COMMAND = re.compile(r"^\[\s*([0-9.]+)\]\s+(\S+)")


def command_address(command):
    """The module address of a command line as velksim prints it (hex)."""
    text = command.replace("<CR>", "")
    if len(text) >= 3 and text[0] in "$#@%~":
        return text[1:3].upper()
    return None


def run(build, seconds, faults):
    sim_bin = os.path.join(build, "tools/velksim/velksim")
    host_bin = os.path.join(build, "tools/velkhost/velkhost")
    with tempfile.TemporaryDirectory(prefix="velk-sick-") as tmp:
        path_file = os.path.join(tmp, "path")
        args = [sim_bin, os.path.join(ROOT, "examples/simulator.toml"), "--plain", "--path-file", path_file]
        for fault in faults:
            args += ["--fault", fault]
        sim = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        commands = []  # (sim seconds, address)
        reader = threading.Thread(
            target=lambda: [commands.append((float(m.group(1)), command_address(m.group(2))))
                            for m in map(COMMAND.match, sim.stdout) if m], daemon=True)
        reader.start()
        try:
            for _ in range(100):
                if os.path.exists(path_file) and open(path_file).read().strip():
                    break
                time.sleep(0.05)
            port = open(path_file).read().strip()
            host = subprocess.Popen([host_bin, "poll", os.path.join(ROOT, "examples/line.toml"), "--port", port,
                                     "--json", "--interval-ms", "0", "--timeout-ms", "1000"],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            start = time.monotonic()
            sim_start = commands[-1][0] if commands else 0.0
            good = 0
            half = seconds / 2
            deadline = threading.Timer(seconds, host.terminate)
            deadline.start()
            for line in host.stdout:
                if time.monotonic() - start < half:
                    continue
                try:
                    cycle = json.loads(line)
                except ValueError:
                    continue
                good += sum(1 for tag in cycle.get("tags", []) if tag.get("device") in HEALTHY and tag.get("good"))
            deadline.cancel()
            host.wait(timeout=10)
            elapsed = time.monotonic() - start
        finally:
            sim.terminate()
            sim.wait(timeout=10)
            reader.join(timeout=5)
        window = elapsed - half
        # velksim's clock starts with its own run; take the window's end as the
        # last command it printed.
        end = commands[-1][0] if commands else sim_start
        counted = [a for t, a in commands if t >= end - window]
        per_s = lambda address: sum(1 for a in counted if a == address) / window
        return good / window, per_s("0A"), per_s("05")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--build", default=os.path.join(ROOT, "build/linux64"))
    options = parser.parse_args()
    healthy, _, _ = run(options.build, options.seconds, [])
    sick, busy, silent = run(options.build, options.seconds, ["5:silent", "10:always_busy"])
    print(json.dumps({"healthy_rate": round(healthy, 2), "sick_rate": round(sick, 2),
                      "ratio": round(sick / healthy, 3) if healthy else None,
                      "busy_commands_per_s": round(busy, 1), "silent_commands_per_s": round(silent, 2),
                      "seconds": options.seconds}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
