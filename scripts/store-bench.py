#!/usr/bin/env python3
"""velkd's store and forward end to end: velksim plays the example line,
velkd publishes it to a mosquitto of the bench's own (loopback, a session
kept across restarts) and mosquitto_sub records every message.

Rows (one run, each beside its own peer):
  - forwarding rate: velkd started with a backlog of readings in its store
    and the broker there; readings forwarded a second, and the live
    readings' delay (arrival less their time stamp) while the backlog goes
    out against the same delay once it is gone (goal: at least 10,000/s,
    at most 2 times);
  - velkd's CPU time while the broker is away (storing) against connected,
    over the same length of time (goal: at most 1.2 times);
  - readings lost across a broker outage: those velkd stored
    (velk_store_stored_total) that never reached the subscriber as history
    (goal: 0).

  scripts/store-bench.py [--build build/linux64] [--outage 60] [--backlog 50000]
"""
import argparse
import calendar
import json
import os
import re
import shutil
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from datetime import datetime

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, seconds=10):
    end = time.time() + seconds
    while time.time() < end:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return True
        time.sleep(0.05)
    return False


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def metric(url, name):
    text = urllib.request.urlopen(url + "/metrics", timeout=5).read().decode()
    found = re.search(r"^%s (\S+)$" % name, text, re.M)
    return float(found.group(1)) if found else 0.0


def ts_seconds(payload):
    ts = payload.get("ts") if isinstance(payload, dict) else None
    if not isinstance(ts, str):
        return None
    when = datetime.strptime(ts, "%Y-%m-%dT%H:%M:%S.%fZ")
    return calendar.timegm(when.timetuple()) + when.microsecond / 1e6


def prefill(folder, count):
    """A backlog as velkd leaves it when it stops while the broker is away."""
    os.makedirs(folder, exist_ok=True)
    db = sqlite3.connect(os.path.join(folder, "readings.sqlite"))
    db.execute("PRAGMA journal_mode=WAL")
    db.executescript(
        "CREATE TABLE record(id INTEGER PRIMARY KEY AUTOINCREMENT, stream TEXT NOT NULL, key TEXT NOT NULL,"
        " kind INTEGER NOT NULL, type INTEGER NOT NULL, value, quality INTEGER NOT NULL, reason TEXT NOT NULL,"
        " time_ms INTEGER NOT NULL);"
        "CREATE INDEX record_stream ON record(stream);"
        "PRAGMA user_version=1;")
    start = int(time.time() * 1000) - count * 10
    db.executemany(
        "INSERT INTO record(stream, key, kind, type, value, quality, reason, time_ms) VALUES(?,?,?,?,?,?,?,?)",
        (("mqtt", "bus1/inputs/backlog", 0, 3, float(i), 192, "", start + i * 10) for i in range(count)))
    db.commit()
    db.close()


class Recorder:
    """mosquitto_sub with a persistent QoS 1 session, every message to a file."""

    def __init__(self, port, path):
        self.path = path
        self.out = open(path, "w")
        self.proc = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-c", "-i", "store-bench",
             "-t", "velk/#", "-F", "%U %r %t %p"], stdout=self.out, stderr=subprocess.DEVNULL)

    def messages(self):
        self.out.flush()
        found = []
        for line in open(self.path, encoding="utf-8", errors="replace"):
            parts = line.rstrip("\n").split(" ", 3)
            if len(parts) < 4:
                continue
            try:
                payload = json.loads(parts[3])
            except ValueError:
                payload = None
            found.append((float(parts[0]), parts[1] == "1", parts[2], payload))
        return found

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        self.out.close()


def live_delays(messages, since, until):
    delays = []
    for at, _, _, payload in messages:
        if since <= at <= until and isinstance(payload, dict) and not payload.get("historical"):
            ts = ts_seconds(payload)
            if ts is not None:
                delays.append(at - ts)
    return delays


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "linux64"))
    parser.add_argument("--outage", type=float, default=60.0, help="seconds the broker is away")
    parser.add_argument("--backlog", type=int, default=50000, help="readings in the store at velkd's start")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (messages, velkd's log)")
    parser.add_argument("--json", action="store_true", help="the figures as one JSON object (scripts/bench.sh)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="velk-store-bench.")
    os.chmod(work, 0o755)
    sessions = os.path.join(work, "sessions")
    os.mkdir(sessions)
    os.chmod(sessions, 0o777)  # mosquitto started as root writes as its own user
    port, http = free_port(), free_port()
    conf = os.path.join(work, "mosquitto.conf")
    open(conf, "w").write("listener %d 127.0.0.1\nallow_anonymous true\npersistence true\n"
                          "persistence_location %s/\nmax_queued_messages 0\n" % (port, sessions))

    def broker():
        p = subprocess.Popen(["/usr/sbin/mosquitto", "-c", conf], stderr=subprocess.DEVNULL)
        if not wait_port(port):
            sys.exit("store-bench: mosquitto did not start")
        return p

    prefill(os.path.join(work, "velkd"), args.backlog)  # XDG_STATE_HOME/velkd
    env = dict(os.environ, XDG_STATE_HOME=work)
    env.pop("STATE_DIRECTORY", None)
    # Its output to a file: a pipe nobody reads would hold it at its end.
    sim_out = os.path.join(work, "velksim.out")
    sim = subprocess.Popen([os.path.join(args.build, "tools", "velksim", "velksim"),
                            os.path.join(ROOT, "examples", "simulator.toml"), "--plain"],
                           stdout=open(sim_out, "w"), stderr=subprocess.DEVNULL)
    pty = None
    for _ in range(100):
        found = re.search(r"modules? on (\S+)\n", open(sim_out).read())
        if found:
            pty = found.group(1)
            break
        time.sleep(0.1)
    if pty is None:
        sys.exit("store-bench: velksim did not start")
    mosq = broker()
    recorder = Recorder(port, os.path.join(work, "messages.txt"))
    time.sleep(0.5)
    url = "http://127.0.0.1:%d" % http
    velkd = subprocess.Popen([os.path.join(args.build, "tools", "velkd", "velkd"),
                              os.path.join(ROOT, "examples", "gateway.toml"), "--port", pty,
                              "--broker", "mqtt://127.0.0.1:%d" % port, "--http", "127.0.0.1:%d" % http],
                             env=env, stderr=open(os.path.join(work, "velkd.log"), "w"))
    try:
        # Forwarding the backlog, live readings going out meanwhile.
        wait_port(http)
        end = time.time() + 60
        while time.time() < end and metric(url, "velk_store_readings") > 0:
            time.sleep(0.05)
        time.sleep(5)
        messages = recorder.messages()
        history = [m for m in messages if isinstance(m[3], dict) and m[3].get("historical")]
        first, last = history[0][0], history[-1][0]
        rate = (len(history) - 1) / (last - first) if last > first else 0.0
        during = live_delays(messages, first, last)
        after = live_delays(messages, last + 0.5, last + 5)
        delay_during = statistics.median(during) * 1000 if during else float("nan")
        delay_idle = statistics.median(after) * 1000 if after else float("nan")

        # CPU connected, then with the broker away, over the same time.
        span = min(args.outage, 20.0)
        cpu0 = cpu_seconds(velkd.pid)
        time.sleep(span)
        connected_cpu = cpu_seconds(velkd.pid) - cpu0
        stored0 = metric(url, "velk_store_stored_total")
        before = len(recorder.messages())
        mosq.terminate()
        mosq.wait()
        cpu0 = cpu_seconds(velkd.pid)
        time.sleep(span)
        storing_cpu = cpu_seconds(velkd.pid) - cpu0
        time.sleep(max(0.0, args.outage - span))
        mosq = broker()
        end = time.time() + 60
        while time.time() < end and metric(url, "velk_store_readings") > 0:
            time.sleep(0.1)
        time.sleep(3)
        # Stored until the reconnect, which may come a back-off after the broker.
        stored = metric(url, "velk_store_stored_total") - stored0
        after_outage = recorder.messages()[before:]
        arrived = {(m[2], m[3].get("ts")) for m in after_outage if isinstance(m[3], dict) and m[3].get("historical")}
        lost = max(0, int(stored) - len(arrived))
    finally:
        velkd.terminate()
        velkd.wait()
        recorder.stop()
        for p in (mosq, sim):
            p.terminate()
            p.wait()
    ratio = storing_cpu / connected_cpu if connected_cpu > 0 else float("nan")
    if args.json:
        clean = lambda v: None if isinstance(v, float) and v != v else v  # jq takes no NaN
        print(json.dumps({k: clean(v) for k, v in {
            "backlog": len(history), "forward_per_s": rate, "live_delay_forwarding_ms": delay_during,
            "live_delay_idle_ms": delay_idle, "delay_ratio": delay_during / delay_idle,
            "cpu_storing_s": storing_cpu, "cpu_connected_s": connected_cpu, "cpu_ratio": ratio,
            "outage_s": args.outage, "stored": int(stored), "arrived": len(arrived), "lost": lost}.items()}))
    else:
        print("store-bench: %d readings of backlog forwarded at %.0f/s (goal >= 10000/s); live delay median %.1f ms "
              "while forwarding, %.1f ms after (%.2f times, goal <= 2)" %
              (len(history), rate, delay_during, delay_idle, delay_during / delay_idle))
        print("store-bench: velkd CPU %.3f s storing against %.3f s connected over %.0f s (%.2f times, goal <= 1.2)"
              % (storing_cpu, connected_cpu, span, ratio))
        print("store-bench: %.0f s broker outage: %d readings stored, %d arrived as history, %d lost (goal 0)" %
              (args.outage, int(stored), len(arrived), lost))
    if args.keep:
        print("store-bench: work folder %s" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
