#!/usr/bin/python3
"""What velkd's HTTP face costs: velkd's own CPU time while it polls the
example line from velksim, alone and with a headless chromium showing the
live page and prometheus scraping /metrics every second, in alternating
rounds. Everything on loopback; everything started is stopped.

    scripts/velkd-http-cost.py BUILD_DIR [--round-s 30] [--rounds 2] [--scrape-s 1]
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

parser = argparse.ArgumentParser()
parser.add_argument("build")
parser.add_argument("--round-s", type=float, default=30)
parser.add_argument("--rounds", type=int, default=2)
parser.add_argument("--scrape-s", type=int, default=1)
args = parser.parse_args()
source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start(command):
    return subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)


def stop(process):
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


tmp = tempfile.mkdtemp(prefix="vc")
started = []
try:
    path_file = os.path.join(tmp, "pts")
    started.append(start([os.path.join(args.build, "tools/velksim/velksim"),
                          os.path.join(source, "examples/simulator.toml"), "--plain", "--path-file", path_file]))
    while not os.path.exists(path_file) or os.path.getsize(path_file) == 0:
        time.sleep(0.1)
    with open(path_file) as f:
        pts = f.read().strip()
    port = free_port()
    velkd = start([os.path.join(args.build, "tools/velkd/velkd"), os.path.join(source, "examples/gateway.toml"),
                   "--port", pts, "--broker", "mqtt://127.0.0.1:%d" % free_port(), "--http", "127.0.0.1:%d" % port])
    started.append(velkd)
    time.sleep(5)  # past the first packets and the port's opening

    def measure(label):
        before, at = cpu_seconds(velkd.pid), time.monotonic()
        time.sleep(args.round_s)
        share = (cpu_seconds(velkd.pid) - before) / (time.monotonic() - at)
        print("%-28s %5.2f %% of a core" % (label, share * 100), flush=True)
        return share

    alone, watched = [], []
    for _ in range(args.rounds):
        alone.append(measure("alone"))
        config = os.path.join(tmp, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: %ds\nscrape_configs:\n  - job_name: velkd\n"
                    "    static_configs:\n      - targets: ['127.0.0.1:%d']\n" % (args.scrape_s, port))
        shutil.rmtree(os.path.join(tmp, "tsdb"), ignore_errors=True)
        prometheus = start(["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(tmp, "tsdb"),
                            "--web.listen-address=127.0.0.1:%d" % free_port()])
        browser = start(["chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
                         "--user-data-dir=" + os.path.join(tmp, "chromium"), "--remote-debugging-port=0",
                         "http://127.0.0.1:%d/" % port])
        time.sleep(3)
        watched.append(measure("page open, scraped each %d s" % args.scrape_s))
        stop(browser)
        stop(prometheus)
        time.sleep(1)
    a, w = sum(alone) / len(alone), sum(watched) / len(watched)
    print("mean: alone %.2f %%, watched %.2f %% (%+.0f %%)" % (a * 100, w * 100, (w / a - 1) * 100 if a else 0))
finally:
    for p in reversed(started):
        stop(p)
    shutil.rmtree(tmp, ignore_errors=True)
