#!/usr/bin/python3
"""velkd's HTTP face between real parts, all on loopback: velksim plays the
example line, Debian's prometheus scrapes /metrics, headless chromium (through
chromedriver and selenium) watches the live page, and promtool judges the
metrics text. Every process started here is stopped here; every wait is
bounded.

    velkd_http_test.py VELKD VELKSIM SOURCE_DIR [--screenshot FILE]
"""
import argparse
import ctypes
import http.client
import json
import os
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import tomllib
import unittest
import urllib.error
import urllib.parse
import urllib.request

ARGS = None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, check, seconds):
    end = time.monotonic() + seconds
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > end:
            raise AssertionError("gave up waiting: " + what)
        time.sleep(0.2)


def get(url, token=None, method="GET", headers=None):
    """(status, headers, body) of one request; errors are answers too."""
    request = urllib.request.Request(url, method=method, headers=dict(headers or {}))
    if token is not None:
        request.add_header("Authorization", "Bearer " + token)
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, response.headers, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()
    except (urllib.error.URLError, OSError):
        return 0, {}, b""  # nobody listens (yet)


def range_rows(size):
    """(path, Range, status, body bytes) for a page file of `size` bytes:
    every range is cut to the body, one wholly beyond it is 416, and the
    answers built per request come whole."""
    return [
        ("/page.css", "bytes=%d-%d" % (size - 30, size + 70), 206, 30),
        ("/page.css", "bytes=99999999-", 416, None),
        ("/page.css", "bytes=1000-99999999", 206, size - 1000),
        ("/page.css", "bytes=%d-" % size, 416, None),
        ("/page.css", "bytes=-100", 206, 100),
        ("/page.css", "bytes=-%d" % (size + 5000), 206, size),
        ("/page.css", "bytes=0-0,%d-%d" % (size + 10, size + 20), 206, 1),
        ("/metrics", "bytes=0-5000", 200, None),
        ("/api/state", "bytes=100-3000", 200, None),
        ("/nowhere", "bytes=0-0,5000-6000", 404, None),
    ]


def check_ranges(test, base, token, context=None):
    def fetch(path, headers):
        request = urllib.request.Request(base + path, headers=dict(headers, Authorization="Bearer " + token))
        try:
            with urllib.request.urlopen(request, timeout=10, context=context) as response:
                return response.status, response.headers, response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers, error.read()
    whole = fetch("/page.css", {})[2]
    for path, asked, status, length in range_rows(len(whole)):
        got, headers, body = fetch(path, {"Range": asked})
        test.assertEqual(got, status, (path, asked))
        test.assertEqual(int(headers["Content-Length"]), len(body), (path, asked))
        if length is not None:
            test.assertEqual(len(body), length, (path, asked))
            test.assertIn(body, whole, (path, asked))


def left_to_read(connection):
    """What a closed connection was sent before it closed."""
    try:
        return connection.recv(100) if select.select([connection], [], [], 0.5)[0] else b""
    except OSError:
        return b""


def end_with_this_test():
    """In the child: SIGTERM when the test's process ends, however it ends
    (a time-out's SIGKILL too), so nothing it started outlives it."""
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Process:
    def __init__(self, args, env=None):
        self.log = tempfile.TemporaryFile()
        self.popen = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT, env=env,
                                      start_new_session=True, preexec_fn=end_with_this_test)

    def output(self):
        if self.log.closed:
            return ""
        self.log.seek(0)
        return self.log.read().decode(errors="replace")

    def stop(self):
        if self.popen.poll() is None:
            self.popen.send_signal(signal.SIGTERM)
            try:
                self.popen.wait(10)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait()
        return self.popen.returncode

    def close(self):
        self.stop()
        self.log.close()


def simulator(tmp, *extra):
    """A velksim on a pseudo-terminal; returns (process, its path)."""
    path_file = os.path.join(tmp, "pts-%d" % time.monotonic_ns())
    process = Process([ARGS.velksim, os.path.join(ARGS.source, "examples/simulator.toml"), "--plain",
                       "--path-file", path_file, *extra])
    wait_for("velksim's port", lambda: os.path.exists(path_file) and os.path.getsize(path_file) > 0, 10)
    with open(path_file) as f:
        return process, f.read().strip()


def point(link, target):
    os.symlink(target, link + ".new")
    os.replace(link + ".new", link)


class ExampleLine(unittest.TestCase):
    """The example line served to prometheus and to a browser at once."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="vh")
        cls.processes = []
        cls.driver = None
        cls.sim, pts = simulator(cls.tmp)
        cls.processes.append(cls.sim)
        cls.link = os.path.join(cls.tmp, "bus")
        point(cls.link, pts)
        cls.port = free_port()
        cls.base = "http://127.0.0.1:%d/" % cls.port
        # The example line and a module that never answers.
        with open(os.path.join(ARGS.source, "examples/gateway.toml")) as f:
            text = f.read() + ('\n[[device]]\nname = "spare"\ntype = "Velk4017"\naddress = "30"\n'
                               '[[tag]]\nname = "spare_level"\ndevice = "spare"\naddress = "AI0"\ntype = "float"\n'
                               'unit = "m"\n')
        line = os.path.join(cls.tmp, "gateway.toml")
        with open(line, "w") as f:
            f.write(text)
        # No broker listens on the port named: the MQTT face stays down.
        cls.velkd = Process([ARGS.velkd, line, "--port", cls.link,
                             "--broker", "mqtt://127.0.0.1:%d" % free_port(), "--http", "127.0.0.1:%d" % cls.port])
        cls.processes.append(cls.velkd)
        cls.devices = [d["name"] for d in tomllib.loads(text)["device"]]
        cls.answering = [name for name in cls.devices if name != "spare"]

    @classmethod
    def tearDownClass(cls):
        if cls.driver is not None:
            cls.driver.quit()
        for p in reversed(cls.processes):
            p.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def state(self):
        status, _, body = get(self.base + "api/state")
        return json.loads(body) if status == 200 else {"lines": [{"devices": [{"name": "", "state": "none yet"}]}]}

    def devices_of(self, state):
        return {d["name"]: d for line in state["lines"] for d in line["devices"]}

    def start_prometheus(self):
        port = free_port()
        config = os.path.join(self.tmp, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: velkd\n    static_configs:\n"
                    "      - targets: ['127.0.0.1:%d']\n" % self.port)
        self.processes.append(Process(["prometheus", "--config.file=" + config,
                                       "--storage.tsdb.path=" + os.path.join(self.tmp, "tsdb"),
                                       "--web.listen-address=127.0.0.1:%d" % port, "--log.level=warn"]))
        return "http://127.0.0.1:%d/api/v1/query?query=" % port

    def query(self, api, expression):
        status, _, body = get(api + urllib.parse.quote(expression))
        if status != 200:
            return []
        return json.loads(body)["data"]["result"]

    def start_browser(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1000,1180", "--hide-scrollbars", "--user-data-dir=" + os.path.join(self.tmp, "chromium"),
                     "--no-first-run", "--disable-extensions", "--disable-background-networking"):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        type(self).driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        return self.driver

    def row_class(self, driver, key):
        return driver.execute_script(
            "const r = document.querySelector('tr[data-device=\"' + arguments[0] + '\"]');"
            "return r ? r.className : null;", key)

    def tag_text(self, driver, key):
        return driver.execute_script(
            "const r = document.querySelector('tr[data-tag=\"' + arguments[0] + '\"] td.value');"
            "return r ? r.textContent : null;", key)

    def cell(self, driver, selector, name):
        return driver.execute_script(
            "const r = document.querySelector(arguments[0]);"
            "return r ? r.querySelector('td.' + arguments[1]).textContent : null;", selector, name)

    def test_scraped_and_watched_through_a_module_failure(self):
        wait_for("every answering device online", lambda: all(
            self.devices_of(self.state()).get(name, {}).get("state") == "online" for name in self.answering), 20)
        # The broker it was given listens nowhere: the state says so, and why.
        mqtt = wait_for("the broker's cause", lambda: self.state()["mqtt"].get("reason", "").startswith(
            "not reachable") and self.state()["mqtt"], 10)
        self.assertEqual(mqtt, {"connected": False, "reason": "not reachable: Connection refused"})
        prometheus = self.start_prometheus()
        driver = self.start_browser()

        # The page: every device, all online, a value that moves by itself.
        driver.get(self.base)
        driver.execute_script("window.velkLoadMark = 'same page';")
        for name in self.answering:
            wait_for("row of " + name, lambda: self.row_class(driver, "bus1/" + name) == "device online", 10)
        first = wait_for("a ramp value", lambda: self.tag_text(driver, "bus1/inputs/ramp"), 5)
        wait_for("the ramp to move", lambda: self.tag_text(driver, "bus1/inputs/ramp") not in ("", first), 10)
        # Values with their units, the ramp's 0 to 10 V scaled to 0 to 100 %.
        self.assertRegex(self.tag_text(driver, "bus1/boiler/boiler_temp"), r"^-?[0-9.]+\u202f°C$")
        ramp = self.devices_of(self.state())["inputs"]["tags"][1]
        self.assertEqual((ramp["name"], ramp["unit"]), ("ramp", "%"))
        self.assertTrue(0 <= ramp["value"] <= 100, ramp)
        # A module never heard from says so, and its tag was never good.
        spare = 'tr[data-device="bus1/spare"]'
        wait_for("the spare module to fail", lambda: self.cell(driver, spare, "reason") == "no answer, never good", 15)
        self.assertEqual(self.cell(driver, spare, "last-good"), "never")
        level = 'tr[data-tag="bus1/spare/spare_level"]'
        # (While it is held back, its tag's reason says until when.)
        self.assertRegex(self.cell(driver, level, "quality"), r"^\S.*, never good$")
        self.assertEqual(self.cell(driver, level, "age"), "never")
        # Nothing came from anywhere but velkd, and its own policy blocked nothing.
        resources = driver.execute_script(
            "return performance.getEntriesByType('resource').map(e => e.name);")
        self.assertTrue(resources and all(r.startswith(self.base) for r in resources), resources)
        problems = [e["message"] for e in driver.get_log("browser")
                    if e["level"] == "SEVERE" and "favicon" not in e["message"]]
        self.assertEqual(problems, [])

        # Prometheus holds a series for every device of the file.
        api = prometheus
        wait_for("every device in prometheus", lambda: {
            r["metric"]["device"] for r in self.query(api, 'velk_device_online{job="velkd"}')} == set(self.devices),
            20)
        self.assertEqual({r["metric"]["device"] for r in self.query(api, "velk_packet_duration_seconds_count")},
                         set(self.devices))
        self.assertTrue(self.query(api, 'up{job="velkd"} == 1'))

        # The relays module goes silent: the line moves to a simulator where
        # it is, and the first one stops.
        silent, pts = simulator(self.tmp, "--fault", "5:silent")
        self.processes.append(silent)
        point(self.link, pts)
        self.sim.stop()
        reason = ("return document.querySelector('tr[data-device=\"bus1/relays\"] td.reason').textContent;")
        # The line is lost for a moment, then only the relays stay silent.
        since = r"^no answer since (\d\d:\d\d:\d\d)$"
        wait_for("relays to fail on the page", lambda: self.row_class(driver, "bus1/relays") == "device offline"
                 and re.match(since, driver.execute_script(reason) or ""), 30)
        # Their tags say the same, in 24-hour time, once their packets ran.
        relay3 = 'tr[data-tag="bus1/relays/relay3"]'
        wait_for("relay3 to fail", lambda: re.match(since, self.cell(driver, relay3, "quality")), 10)
        self.assertRegex(self.cell(driver, relay3, "age"), r"^\d\d:\d\d:\d\d \(")
        self.assertEqual(driver.execute_script("return window.velkLoadMark;"), "same page")
        wait_for("inputs online again", lambda: self.row_class(driver, "bus1/inputs") == "device online", 15)
        if ARGS.screenshot:
            # The picture shows the line settled: only the relays silent.
            wait_for("thermo online again", lambda: self.row_class(driver, "bus1/thermo") == "device online", 15)
            driver.save_screenshot(ARGS.screenshot)

        # The filter keeps the rows that hold every word, with their devices.
        hidden = "return [...document.querySelectorAll('tbody tr')].filter(r => !r.hidden).map(r => r.dataset.device || r.dataset.tag);"
        box = driver.find_element("id", "filter")
        box.send_keys("relay3")
        self.assertEqual(wait_for("the filter", lambda: driver.execute_script(hidden) if len(
            driver.execute_script(hidden)) == 2 else None, 5), ["bus1/relays", "bus1/relays/relay3"])
        box.clear()
        box.send_keys("offline")
        wait_for("offline devices with all their tags", lambda: {
            r.split("/")[1] for r in driver.execute_script(hidden)} == {"relays", "spare"}, 5)
        box.clear()
        box.send_keys(" ")
        wait_for("every row again", lambda: len(driver.execute_script(hidden)) > 30, 5)

        no_answer = 'velk_packets_total{device="relays",reason="no answer"}'
        low = float(wait_for("a no-answer count", lambda: [
            r for r in self.query(api, no_answer) if float(r["value"][1]) > 0], 15)[0]["value"][1])
        wait_for("the no-answer count to rise", lambda: [
            r for r in self.query(api, no_answer) if float(r["value"][1]) > low], 15)
        self.assertEqual(self.query(api, 'velk_device_online{device="relays"}')[0]["value"][1], "0")
        # Tag values: the good ones only. The silent module's tags keep no
        # value (a graph would draw its last one as live) and say why.
        self.assertTrue(self.query(api, 'velk_tag_value{device="inputs",tag="ramp"}'))
        wait_for("the relays' values to go", lambda: not self.query(api, 'velk_tag_value{device="relays"}')
                 and self.query(api, 'velk_tag_good{device="relays"} == 0'), 10)

        # Every query of the dashboard (its variables' and its panels') finds
        # series in this prometheus, a failing module and all.
        with open(os.path.join(ARGS.source, "docs/grafana/velkd.json")) as f:
            dashboard = json.load(f)
        expressions = [re.match(r"label_values\((.*), \w+\)$", v["definition"]).group(1)
                       for v in dashboard["templating"]["list"] if v["type"] == "query"]
        expressions += [(p["title"], t["expr"]) for p in dashboard["panels"] for t in p["targets"]]
        for expression in expressions:
            title, expr = expression if isinstance(expression, tuple) else ("variable", expression)
            expr = expr.replace("$__rate_interval", "1m").replace("$line", ".*").replace("$device", ".*")
            self.assertTrue(self.query(api, expr), (title, expr))

        # promtool finds nothing to say about the text, failures included.
        _, _, text = get(self.base + "metrics")
        check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, timeout=20)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, b""))

        # SIGTERM ends velkd cleanly with clients about (and, in a sanitized
        # build, without a finding).
        self.assertEqual(self.velkd.stop(), 0, self.velkd.output()[-3000:])
        self.assertNotIn("Sanitizer", self.velkd.output())


class Guard(unittest.TestCase):
    """The face's defences, against a line with no port behind it."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="vg")
        cls.line = os.path.join(cls.tmp, "line.toml")
        # Names that need escaping in labels and JSON.
        with open(cls.line, "w") as f:
            f.write('[port]\nname = "%s"\n[gateway]\nline = \'plant "7"\\west\'\n'
                    '[http]\ntoken_env = "VELKD_TEST_HTTP_TOKEN"\n'
                    '[[device]]\nname = "relays \\"a\\""\ntype = "Velk4050"\naddress = "5"\n'
                    '[[tag]]\nname = "relay3"\ndevice = "relays \\"a\\""\naddress = "DO3"\ntype = "bit"\n'
                    % os.path.join(cls.tmp, "none"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def velkd(self, listen, token=None):
        env = dict(os.environ)
        env.pop("VELKD_TEST_HTTP_TOKEN", None)
        if token is not None:
            env["VELKD_TEST_HTTP_TOKEN"] = token
        return Process([ARGS.velkd, self.line, "--broker", "mqtt://127.0.0.1:%d" % free_port(), "--http", listen],
                       env=env)

    def test_beyond_loopback_a_token_is_needed(self):
        port = free_port()
        # 127.0.0.2 is not the loopback address velkd trusts; without a
        # token it does not start at all.
        refused = self.velkd("127.0.0.2:%d" % port)
        self.assertEqual(refused.popen.wait(20), 2, refused.output())
        self.assertIn("VELKD_TEST_HTTP_TOKEN named by token_env is not set", refused.output())
        refused.close()
        # A token handed over by systemd's LoadCredential=: read from the
        # service's credentials, and refused by name outside a service.
        credentials = os.path.join(self.tmp, "credentials")
        os.makedirs(credentials, exist_ok=True)
        with open(os.path.join(credentials, "http-token"), "w") as f:
            f.write("c" * 32 + "\n")
        line = os.path.join(self.tmp, "credential.toml")
        with open(self.line) as f:
            text = f.read().replace('token_env = "VELKD_TEST_HTTP_TOKEN"',
                                    'token_file = "${CREDENTIALS_DIRECTORY}/http-token"')
        with open(line, "w") as f:
            f.write(text)
        env = dict(os.environ)
        env.pop("CREDENTIALS_DIRECTORY", None)
        for directory, code in ((None, 2), (credentials, None)):
            if directory:
                env["CREDENTIALS_DIRECTORY"] = directory
            given = Process([ARGS.velkd, line, "--broker", "mqtt://127.0.0.1:%d" % free_port(), "--http",
                             "127.0.0.2:%d" % port], env=env)
            try:
                if code is not None:
                    self.assertEqual(given.popen.wait(20), code, given.output())
                    self.assertIn("CREDENTIALS_DIRECTORY is not set; it is systemd's", given.output())
                    # Outside the journal, every line has its time.
                    self.assertRegex(given.output(), r"(?m)^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z <3>velkd: ")
                else:
                    wait_for("the credential's token", lambda: get("http://127.0.0.2:%d/metrics" % port,
                                                                   "c" * 32)[0] == 200, 15)
            finally:
                given.close()

        token = "k3Y-" + "x" * 28
        served = self.velkd("127.0.0.2:%d" % port, token)
        try:
            base = "http://127.0.0.2:%d" % port
            wait_for("velkd to listen", lambda: get(base + "/metrics", token)[0] == 200, 15)
            cases = [  # (path, token, status)
                ("/metrics", None, 401), ("/", None, 401), ("/api/state", None, 401), ("/page.js", None, 401),
                ("/nowhere", None, 401), ("/metrics", token[:-1] + "y", 401), ("/metrics", token + "x", 401),
                ("/metrics", token, 200), ("/", token, 200), ("/api/state", token, 200), ("/page.css", token, 200),
            ]
            for path, given, expected in cases:
                status, headers, _ = get(base + path, given)
                self.assertEqual(status, expected, (path, given))
                self.assertEqual(headers.get("X-Content-Type-Options"), "nosniff", path)
                self.assertIn("default-src 'none'", headers.get("Content-Security-Policy", ""), path)
                if expected == 401:
                    self.assertTrue(headers.get("WWW-Authenticate", "").startswith("Bearer"), path)

            # A browser shows the token once in the address and then
            # carries it in a cookie for this origin alone.
            for given, expected in ((token[:-1] + "y", 401), (token, 303)):
                connection = http.client.HTTPConnection("127.0.0.2", port, timeout=10)
                connection.request("GET", "/?token=" + given)
                answer = connection.getresponse()
                answer.read()
                connection.close()
                self.assertEqual(answer.status, expected)
            self.assertEqual(answer.getheader("Location"), "/")
            cookie = answer.getheader("Set-Cookie")
            self.assertIn("HttpOnly", cookie)
            self.assertIn("SameSite=Strict", cookie)
            pair = cookie.split(";")[0]
            for cookies, expected in ((pair, 200), ("a=b; " + pair, 200), ("velkd_token=" + token[:-1], 401),
                                      ("x" + pair, 401)):
                self.assertEqual(get(base + "/api/state", headers={"Cookie": cookies})[0], expected, cookies)

            # Escaped label values parse: promtool has nothing to say.
            _, _, text = get(base + "/metrics", token)
            self.assertIn(b'line="plant \\"7\\"\\\\west",device="relays \\"a\\""', text)
            check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, timeout=20)
            self.assertEqual((check.returncode, check.stdout + check.stderr), (0, b""))
            state = json.loads(get(base + "/api/state", token)[2])
            tag = state["lines"][0]["devices"][0]["tags"][0]
            self.assertEqual(state["lines"][0]["name"], 'plant "7"\\west')
            self.assertEqual({k: tag[k] for k in ("value", "quality", "good", "ts", "last_good", "unit")},
                             {"value": None, "quality": 0, "good": False, "ts": None, "last_good": None,
                              "unit": None})
            # The missing port's message points to what velkd's reader has.
            port_error = json.dumps(state["lines"][0])
            self.assertIn("does not exist", port_error)
            self.assertIn("velksim", port_error)
            self.assertNotIn("velkhost", port_error)
        finally:
            served.close()

    def test_https_with_the_files_named(self):
        cert, key = os.path.join(self.tmp, "http.crt"), os.path.join(self.tmp, "http.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                        "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, capture_output=True, timeout=30)
        line = os.path.join(self.tmp, "tls.toml")
        with open(self.line) as f:
            text = f.read()
        for files, exit_code in (((cert, cert), 2), ((cert, key), None)):
            with open(line, "w") as f:
                f.write(text.replace("[http]\n", '[http]\ncert_file = "%s"\nkey_file = "%s"\n' % files))
            port = free_port()
            served = Process([ARGS.velkd, line, "--broker", "mqtt://127.0.0.1:%d" % free_port(), "--http",
                              "127.0.0.1:%d" % port], env=dict(os.environ, VELKD_TEST_HTTP_TOKEN="t" * 32))
            try:
                if exit_code is not None:  # a certificate is no key: refused at start
                    self.assertEqual(served.popen.wait(20), exit_code, served.output())
                    self.assertIn("cannot use cert_file", served.output())
                    continue
                context = ssl.create_default_context(cafile=cert)
                request = urllib.request.Request("https://127.0.0.1:%d/metrics" % port,
                                                 headers={"Authorization": "Bearer " + "t" * 32})
                def fetch():
                    try:
                        with urllib.request.urlopen(request, timeout=10, context=context) as response:
                            return response.read()
                    except (urllib.error.URLError, OSError):
                        return None
                self.assertIn(b"velk_device_online", wait_for("HTTPS", fetch, 15))
                check_ranges(self, "https://127.0.0.1:%d" % port, "t" * 32, context)
                # 32 connections that never begin their handshake hold no
                # worker: a request beside them is answered within a second.
                idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(32)]
                time.sleep(0.2)
                asked = time.monotonic()
                self.assertIn(b"velk_device_online", fetch())
                self.assertLess(time.monotonic() - asked, 1)
                for c in idle:
                    c.close()
                self.assertEqual(get("http://127.0.0.1:%d/metrics" % port)[0], 0)  # no plain HTTP beside it
            finally:
                served.close()

    def test_bad_requests_get_bounded_4xx_answers(self):
        port = free_port()
        token = "t" * 32
        served = self.velkd("127.0.0.1:%d" % port, token)
        try:
            base = "http://127.0.0.1:%d" % port
            wait_for("velkd to listen", lambda: get(base + "/metrics", token)[0] == 200, 15)
            cases = [  # (method, path, headers, status)
                ("GET", "/nowhere", {}, 404),
                ("GET", "/metrics/../etc/passwd", {}, 404),
                ("POST", "/api/state", {}, 405),
                ("DELETE", "/", {}, 405),
                ("GET", "/", {"X-Huge": "a" * 20000}, 400),
                ("GET", "/" + "a" * 20000, {}, 414),
            ]
            for method, path, headers, expected in cases:
                self.assertEqual(get(base + path, token, method, headers)[0], expected, (method, path[:20]))
            check_ranges(self, base, token)
            # A request with bare LF line ends is answered at once, not after
            # the request's time.
            with socket.create_connection(("127.0.0.1", port), timeout=3) as bare:
                bare.sendall(b"GET /metrics HTTP/1.1\nHost: x\n\n")
                self.assertEqual(bare.recv(12), b"HTTP/1.1 400")
            # 32 clients that dribble their headers, a byte every 0.9 s, hold
            # nothing up: requests beside them are answered within a second,
            # and each of them is answered 408 five seconds after it connected.
            crowd = [socket.create_connection(("127.0.0.1", port), timeout=15) for _ in range(32)]
            started = time.monotonic()
            for c in crowd:
                c.sendall(b"GET / HTTP/1.1\r\nX-Slow: ")
            ends, quick = {}, []
            while len(ends) < len(crowd) and time.monotonic() - started < 9:
                asked = time.monotonic()
                quick.append((get(base + "/metrics", token)[0], round(time.monotonic() - asked, 3)))
                for c in crowd:
                    try:
                        if c not in ends:
                            c.send(b"x")
                    except OSError:  # answered and closed meanwhile: the answer waits to be read
                        ends[c] = (time.monotonic() - started, left_to_read(c))
                waiting = [c for c in crowd if c not in ends]
                for c in select.select(waiting, [], [], 0.9)[0]:
                    ends[c] = (time.monotonic() - started, left_to_read(c))
            for c in crowd:
                c.close()
            print("beside 32 dribbling clients: %d requests, the slowest %.3f s; 408 after %.2f to %.2f s"
                  % (len(quick), max(t for _, t in quick), min(t for t, _ in ends.values()),
                     max(t for t, _ in ends.values())), file=sys.stderr)
            self.assertTrue(all(status == 200 and took < 1 for status, took in quick), quick)
            self.assertEqual(len(ends), 32)
            for took, answer in ends.values():
                self.assertTrue(answer.startswith(b"HTTP/1.1 408") and 4.5 < took < 7, (took, answer))

            # 500 connections at once, each with its request: every one is
            # answered, by the page or by a clean 503.
            many = []
            for _ in range(500):
                c = socket.create_connection(("127.0.0.1", port), timeout=15)
                c.sendall(b"GET /page.css HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token.encode() + b"\r\n\r\n")
                many.append(c)
            statuses = []
            for c in many:
                try:
                    statuses.append(c.recv(12))
                except OSError as error:
                    statuses.append(repr(error).encode())
                c.close()
            print("500 connections at once: %d answered 200, %d 503" % (statuses.count(b"HTTP/1.1 200"),
                                                                       statuses.count(b"HTTP/1.1 503")), file=sys.stderr)
            self.assertEqual({s for s in statuses if s not in (b"HTTP/1.1 200", b"HTTP/1.1 503")}, set())
            # 800 idle connections (beyond one address's places and all the
            # places) lock nobody out: the ones silent longest give way.
            idle = []
            for _ in range(800):
                idle.append(socket.create_connection(("127.0.0.1", port), timeout=15))
            time.sleep(0.7)
            for _ in range(3):
                self.assertEqual(get(base + "/metrics", token)[0], 200)
            for c in idle:
                c.close()
            # One that sends headers without end is cut off, not stored.
            with socket.create_connection(("127.0.0.1", port), timeout=15) as flood:
                sent = 0
                try:
                    while sent < 64 << 20:
                        flood.sendall(b"X-A: " + b"b" * 1000 + b"\r\n")
                        sent += 1007
                except OSError:
                    pass
                self.assertLess(sent, 64 << 20)
            self.assertEqual(get(base + "/metrics", token)[0], 200)
            # Ctrl-C is a stop asked for, as SIGTERM is: 0.
            served.popen.send_signal(signal.SIGINT)
            self.assertEqual(served.popen.wait(15), 0, served.output()[-2000:])
        finally:
            served.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("velkd")
    parser.add_argument("velksim")
    parser.add_argument("source")
    parser.add_argument("--screenshot")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
