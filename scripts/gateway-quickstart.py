#!/usr/bin/env python3
"""Runs the gateway's quick start (docs/velkd.md) as written and compares what
the broker carries with the page's sample output.

The commands are taken from the page itself: the ```sh block of its "Quick
start" section, then the mosquitto_sub and mosquitto_pub lines of
the sample that follows it. Two names are made private so that the check
can run beside other work on the same machine: the broker's port (1883 in
the gateway page) and the simulator's --link path. Everything started is stopped.

A sample line matches when the run published the same topic with a payload
of the same shape: the same keys in the same order, the same kind of value
for each, the same texts, and the same numbers where the run's value never
changed. Times ("ts", "last_good") are compared by form only.

  scripts/gateway-quickstart.py            # check; exit 1 on a difference
  scripts/gateway-quickstart.py --print    # print the run's output, for the gateway page
"""
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TS = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")


def readme_quick_start():
    text = open(os.path.join(ROOT, "docs", "velkd.md"), encoding="utf-8").read()
    section = text[text.index("## Quick start"):]
    blocks = re.findall(r"```(\w*)\n(.*?)```", section, re.S)
    commands = [b for lang, b in blocks if lang == "sh"][0]
    sample = [b for lang, b in blocks if lang == ""][0]
    commands = [shlex.split(line.split("#")[0]) for line in commands.splitlines() if line.split("#")[0].strip()]
    sub, pub, expected_sub, expected_pub, current = None, None, [], [], None
    for line in sample.splitlines():
        if line.startswith("$ mosquitto_sub"):
            sub, current = shlex.split(line[2:]), expected_sub
        elif line.startswith("$ mosquitto_pub"):
            pub, current = shlex.split(line[2:]), expected_pub
        elif line.strip() and line.strip() != "..." and current is not None:
            topic, _, payload = line.partition(" ")
            current.append((topic, payload))
    return commands, sub, pub, expected_sub + expected_pub


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def run(print_only):
    commands, sub, pub, expected = readme_quick_start()
    work = tempfile.mkdtemp(prefix="velk-quickstart.")
    # The host's port names hold 31 characters.
    line = "/tmp/velk-qs-%d" % os.getpid()
    port = free_port()
    started = []
    try:
        for argv in commands:
            argv = [a.replace("1883", str(port)) for a in argv]
            link = None
            if "--link" in argv:
                link = line
                argv[argv.index("--link") + 1] = link
            if "--port" in argv and argv[argv.index("--port") + 1].startswith("/tmp/"):
                argv[argv.index("--port") + 1] = line
            if os.path.basename(argv[0]) == "velkd":
                argv += ["--broker", "mqtt://127.0.0.1:%d" % port]
            log = open(os.path.join(work, os.path.basename(argv[0]) + ".log"), "w")
            started.append(subprocess.Popen(argv, cwd=ROOT, stdout=log, stderr=subprocess.STDOUT,
                                            stdin=subprocess.DEVNULL))
            if link and not wait_for(lambda: os.path.exists(link), 10):
                raise RuntimeError("the simulator made no line at " + link)
            if argv[0] == "mosquitto" and not wait_for(lambda: listening(port), 10):
                raise RuntimeError("the broker does not listen on port %d" % port)
        sub = sub + ["-p", str(port), "-W", "8"]
        watcher = subprocess.Popen(sub, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        time.sleep(5)
        subprocess.run(pub + ["-p", str(port)], check=True, timeout=10)
        out, _ = watcher.communicate(timeout=20)
    finally:
        for p in reversed(started):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        for name in os.listdir(work):
            if name.endswith(".log") and print_only:
                sys.stderr.write("--- %s\n%s" % (name, open(os.path.join(work, name)).read()[-2000:]))
        shutil.rmtree(work, ignore_errors=True)
        if os.path.islink(line):
            os.unlink(line)
    if print_only:
        sys.stdout.write(out)
        return 0
    return compare(expected, out)


def compare(expected, out):
    seen = {}
    for line in out.splitlines():
        topic, _, payload = line.partition(" ")
        seen.setdefault(topic, []).append(payload)
    problems = []
    for topic, payload in expected:
        if topic not in seen:
            problems.append("%s: never published" % topic)
            continue
        if not any(same_shape(payload, actual, seen[topic]) for actual in seen[topic]):
            problems.append("%s: gateway page says %s, the run published %s" % (topic, payload, seen[topic][-1]))
    for p in problems:
        print("gateway-quickstart: " + p, file=sys.stderr)
    print("gateway-quickstart: %d gateway page lines, %d differ" % (len(expected), len(problems)))
    return 1 if problems else 0


def same_shape(sample, actual, all_actual):
    try:
        s, a = json.loads(sample), json.loads(actual)
    except ValueError:
        return sample == actual
    if not (isinstance(s, dict) and isinstance(a, dict)):
        return s == a
    if list(s) != list(a):
        return False
    for key in s:
        x, y = s[key], a[key]
        if isinstance(x, str) and TS.match(x):
            if not (isinstance(y, str) and TS.match(y)):
                return False  # a time, compared by form
        elif type(x) != type(y):
            return False
        elif isinstance(x, (int, float)) and not isinstance(x, bool):
            values = {json.loads(p).get(key) for p in all_actual if p.startswith("{")}
            if len(values) == 1 and x != y:
                return False  # a value that never changes must be the gateway page's
        elif x != y:
            return False
    return True


if __name__ == "__main__":
    sys.exit(run("--print" in sys.argv[1:]))
