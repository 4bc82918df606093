#!/usr/bin/python3
"""velkd as a unit of Type=notify sees it, without systemd: a datagram socket
in NOTIFY_SOCKET takes what velkd says, with a watchdog of 2 s. velksim plays
the example line. Ready once the line runs, the watchdog fed while it runs,
stopping on SIGTERM, and exit status 0.

    velkd_notify_check.py VELKD VELKSIM LINE_FILE SIMULATOR_FILE
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time


def main():
    velkd, velksim, line, simulator = sys.argv[1:5]
    work = tempfile.mkdtemp(prefix="velkd-notify.")
    path_file = os.path.join(work, "pty")
    sim = subprocess.Popen([velksim, simulator, "--plain", "--duration", "60", "--path-file", path_file],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    gateway = None
    try:
        end = time.monotonic() + 10
        while time.monotonic() < end and not (os.path.exists(path_file) and os.path.getsize(path_file) > 0):
            time.sleep(0.1)
        with open(path_file) as f:
            pty = f.readline().strip()
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(os.path.join(work, "notify"))
        notify.settimeout(0.5)
        env = dict(os.environ, NOTIFY_SOCKET=os.path.join(work, "notify"), WATCHDOG_USEC="2000000")
        # WATCHDOG_PID must be velkd's own: the shell gives its pid and becomes velkd.
        gateway = subprocess.Popen(["sh", "-c", 'WATCHDOG_PID=$$ exec "$0" "$@"', velkd, line, "--port", pty],
                                   env=env, stderr=subprocess.PIPE, text=True)
        said = []
        end = time.monotonic() + 15
        while time.monotonic() < end and said.count("WATCHDOG=1") < 3:
            try:
                said.extend(notify.recv(4096).decode().split("\n"))
            except socket.timeout:
                pass
        gateway.send_signal(signal.SIGTERM)
        end = time.monotonic() + 15
        while time.monotonic() < end and "STOPPING=1" not in said:
            try:
                said.extend(notify.recv(4096).decode().split("\n"))
            except socket.timeout:
                pass
        status = gateway.wait(20)
        log = gateway.stderr.read()
        print("velkd said:", sorted(set(said)))
        problems = []
        if "READY=1" not in said or not any(s.startswith("STATUS=polling 1 line") for s in said):
            problems.append("no READY=1 with its status")
        if said.count("WATCHDOG=1") < 3:
            problems.append("the watchdog was fed %d times in 15 s" % said.count("WATCHDOG=1"))
        if "READY=1" in said and "WATCHDOG=1" in said and said.index("WATCHDOG=1") < said.index("READY=1"):
            problems.append("the watchdog was fed before READY=1")
        if "STOPPING=1" not in said:
            problems.append("no STOPPING=1 on SIGTERM")
        if status != 0:
            problems.append("exit status %d" % status)
        if problems:
            print(log, file=sys.stderr)
            print("velkd_notify_check: " + "; ".join(problems), file=sys.stderr)
            return 1
        return 0
    finally:
        if gateway is not None and gateway.poll() is None:
            gateway.kill()
            gateway.wait()
        sim.terminate()
        sim.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
