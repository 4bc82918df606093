#!/usr/bin/python3
"""velkd's Modbus TCP face, read and written by clients nobody here wrote:
Debian's mbpoll and Python's pymodbus, against velkd polling velksim's
example line (a module of every family) over a pseudo-terminal.

  velkd_modbus_test.py VELKD VELKSIM VELKHOST SOURCE_DIR [sanitized]

Every process started here is stopped here; everything stays on loopback.
"""
import atexit
import csv
import io
import json
import logging
import os
import random
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tomllib
import urllib.error
import urllib.request

from pymodbus.client import ModbusTcpClient
from pymodbus.exceptions import ModbusException, ModbusIOException

VELKD, VELKSIM, VELKHOST, SOURCE = sys.argv[1:5]
# A sanitizer keeps freed memory aside for a while: resident size says
# nothing then.
SANITIZED = sys.argv[5:] == ["sanitized"]
logging.getLogger("pymodbus").setLevel(logging.CRITICAL)  # a refused connection while velkd starts is expected
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)


def wait_for(condition, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Program:
    running = []  # every program started here, stopped at the latest when the test ends

    def __init__(self, args, log):
        self.log = log
        self.process = subprocess.Popen(args, stdout=open(log, "w"), stderr=subprocess.STDOUT)
        Program.running.append(self)

    def output(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def stop(self, sig=signal.SIGINT):
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode


def start_simulator(directory, name, modules, link, extra=()):
    if os.path.lexists(link):
        os.remove(link)
    sim = Program([VELKSIM, modules, "--plain", "--link", link, *extra], os.path.join(directory, name + ".log"))
    if not wait_for(lambda: os.path.exists(link) and " on " in sim.output(), 10):
        sys.exit("velksim did not start: " + sim.output())  # the programs are stopped at exit
    return sim


def swap_simulator(directory, old, name, modules, link, extra=()):
    """A new simulator behind `link`, as an adapter is replaced: it is up
    before the old one goes, so the line is never without a port."""
    sim = start_simulator(directory, name, modules, os.path.join(directory, name), extra)
    os.symlink(os.path.join(directory, name), link + ".new")
    os.replace(link + ".new", link)
    old.stop()
    return sim


def get_url(url):
    """(status, headers, body); 0 when nobody answers."""
    try:
        with urllib.request.urlopen(url, timeout=5) as response:
            return response.status, response.headers, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()
    except (urllib.error.URLError, OSError):
        return 0, {}, b""


def modbus_exception(response):
    """The exception code of a response, 0 for a normal one."""
    return getattr(response, "exception_code", 0) if response.isError() else 0


def decode(kind, registers):
    data = struct.pack(">%dH" % len(registers), *registers)
    if kind == "float":
        return struct.unpack(">f", data)[0]
    if kind == "long":
        return struct.unpack(">i", data)[0]
    if kind == "short":
        return struct.unpack(">h", data)[0]
    if kind == "string":
        return data.rstrip(b"\0").decode("utf-8", "replace")
    return registers[0]


def as_float32(value):
    return struct.unpack(">f", struct.pack(">f", value))[0]


def read_row(client, row):
    """(exception, value) of one map row read as the map says."""
    unit, address, count = int(row["unit"]), int(row["address"]), int(row["count"])
    table = row["table"]
    if table in ("coil", "discrete"):
        call = client.read_coils if table == "coil" else client.read_discrete_inputs
        r = call(address, 1, slave=unit)
        return (modbus_exception(r), None) if r.isError() else (0, int(r.bits[0]))
    call = client.read_holding_registers if table == "holding" else client.read_input_registers
    r = call(address, count, slave=unit)
    return (modbus_exception(r), None) if r.isError() else (0, decode(row["type"], r.registers))


def mbpoll(port, *args, values=()):
    return subprocess.run(["mbpoll", "-m", "tcp", "-p", str(port), "-1", "-q", *args, "127.0.0.1", *values],
                          capture_output=True, text=True, timeout=20)


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def malformed(port, n, seed):
    """Sends `n` malformed frames, each on its own connection; the frames
    velkd cannot take as a request must close the connection unanswered."""
    rng = random.Random(seed)
    request = bytes.fromhex("000100000006020400000002")
    unanswered = 0
    for i in range(n):
        kind = i % 5
        if kind == 0:
            frame = request[:2] + b"\x00\x01" + request[4:]          # another protocol
        elif kind == 1:
            frame = request[:4] + b"\x00\x09" + request[6:]          # a length that is not the frame's
        elif kind == 2:
            frame = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300)))  # noise
        elif kind == 3:
            frame = request[:4] + b"\x00\x06\x02\x10\x00\x00\x00\x7f"  # a write cut short
        else:
            frame = request[:7] + b"\x83" + request[8:]  # a function of the answers' range (131)
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            try:
                s.sendall(frame)
                if kind in (2, 3):
                    s.shutdown(socket.SHUT_WR)
                unanswered += s.recv(300) == b""
            except (ConnectionResetError, BrokenPipeError, OSError) as e:
                # Closed before all of it was sent or read.
                unanswered += not isinstance(e, socket.timeout)
    return unanswered


def raw_exception(port, unit, pdu):
    """Sends one frame of `pdu` as it is: the exception code of its answer,
    0 for a normal answer, -1 when the connection is closed unanswered."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        try:
            s.sendall(struct.pack(">HHHB", 9, 0, len(pdu) + 1, unit) + pdu)
            answer = s.recv(300)
        except OSError:
            return -1
    if len(answer) < 9:
        return -1
    return answer[8] if answer[7] & 0x80 else 0


def most(function, address, count, data=b""):
    """A request of `count` (coils or registers) from `address`, with `data`."""
    if function in (15, 16):
        return struct.pack(">BHHB", function, address, count, len(data) & 0xFF) + data
    return struct.pack(">BHH", function, address, count)


def dribblers(port, clients, seconds):
    """`clients` connections that each send a frame a byte every 0.3 s, and
    connect again once closed; how long each frame lived, first byte to close."""
    frame = bytes.fromhex("000100000006020400000002")
    lived = []
    end = time.monotonic() + seconds

    def run():
        while time.monotonic() < end:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=3) as s:
                    first = time.monotonic()
                    for byte in frame[:-1]:
                        s.send(bytes([byte]))
                        if select.select([s], [], [], 0.3)[0]:
                            break
                    s.settimeout(max(0.1, end + 1 - time.monotonic()))
                    closed = s.recv(100) == b""
                    lived.append(time.monotonic() - first if closed else float("inf"))
            except OSError:
                time.sleep(0.05)  # refused or reset: try again

    threads = [threading.Thread(target=run) for _ in range(clients)]
    for t in threads:
        t.start()
    return threads, lived


def pollers(port, clients, seconds):
    """`clients` pymodbus clients reading at once; the reads that failed."""
    errors = []

    def run():
        client = ModbusTcpClient("127.0.0.1", port=port, timeout=3)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for unit, address, count in ((2, 0, 4), (1, 0, 5), (10, 0, 4), (11, 0, 8)):
                r = client.read_input_registers(address, count, slave=unit)
                if r.isError():
                    errors.append((unit, str(r)))
        client.close()

    threads = [threading.Thread(target=run) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def main():
    directory = tempfile.mkdtemp(prefix="vm-")  # the port's link name must stay short
    port = free_port()
    link = os.path.join(directory, "bus")
    # The example bus, with values that stand still so that two readers agree.
    with open(os.path.join(SOURCE, "examples/simulator.toml")) as f:
        modules_text = f.read()
    modules_text = re.sub(r"\{ (sine|ramp) = \[[^\]]*\], period_s = \d+ \}", "6.5", modules_text)
    modules_text = modules_text.replace("count_rate = [25.0, 0.0]", "count_rate = [0.0, 0.0]")
    modules = os.path.join(directory, "modules.toml")
    with open(modules, "w") as f:
        f.write(modules_text)
    # The example gateway file without [mqtt], with [modbus] and one tag
    # placed by hand.
    with open(os.path.join(SOURCE, "examples/gateway.toml")) as f:
        line_text = f.read()
    line_text = re.sub(r"^\[mqtt\]\n.*?\n\n", "", line_text, flags=re.S | re.M)
    line_text = line_text.replace('name = "ttyUSB0"', 'name = "%s"' % link)
    line_text = line_text.replace("interval_ms = 1000", "interval_ms = 300")
    line_text = line_text.replace('address = "EC"\ntype = "word"\n', 'address = "EC"\ntype = "word"\nmodbus = "holding:10"\n')
    # A scaled integer keeps the module's count in its register.
    line_text = line_text.replace('address = "PCVL0"\ntype = "word"\n', 'address = "PCVL0"\ntype = "word"\nscale = 0.5\n')
    line_text += '\n[modbus]\nlisten = "127.0.0.1:%d"\nmax_clients = 12\n' % port
    line = os.path.join(directory, "line.toml")
    with open(line, "w") as f:
        f.write(line_text)

    # A second line on the same address: its own unit number, the other
    # word order.
    far_link = os.path.join(directory, "far")
    far_modules = os.path.join(directory, "far-modules.toml")
    with open(far_modules, "w") as f:
        f.write('[[module]]\naddress = 1\ntype = "Velk4017"\nvalues = { ai = [1.5] }\n')
    far_line = os.path.join(directory, "far.toml")
    with open(far_line, "w") as f:
        f.write('[port]\nname = "%s"\ntimeout_ms = 200\n[gateway]\nline = "far"\ninterval_ms = 200\n'
                '[modbus]\nlisten = "127.0.0.1:%d"\nword_order = "low_first"\n'
                '[[device]]\nname = "far"\ntype = "Velk4017"\naddress = "1.1"\nmodbus_unit = 100\n'
                '[[tag]]\nname = "far_ai"\ndevice = "far"\naddress = "AI0"\ntype = "float"\n' % (far_link, port))
    far = start_simulator(directory, "far", far_modules, far_link)
    sim = start_simulator(directory, "sim", modules, link)
    polled = subprocess.run([VELKHOST, "poll", line, "--once", "--json"], capture_output=True, text=True, timeout=30)
    check(polled.returncode == 0, "velkhost poll: " + polled.stderr)
    expected = {t["name"]: t["value"] for t in json.loads(polled.stdout.splitlines()[0])["tags"] if t["good"]}
    mapped = subprocess.run([VELKD, "--modbus-map", line], capture_output=True, text=True, timeout=30)
    rows = list(csv.DictReader(io.StringIO(mapped.stdout)))
    check(mapped.returncode == 0 and len(rows) == 20, "--modbus-map: " + mapped.stdout + mapped.stderr)

    rows_by_tag = {r["tag"]: r for r in rows}
    http = "http://127.0.0.1:%d/api/state" % free_port()
    velkd = Program([VELKD, line, far_line, "--http", http[7:-10]], os.path.join(directory, "velkd.log"))
    client = ModbusTcpClient("127.0.0.1", port=port, timeout=3)
    try:
        readable = [r for r in rows if "r" in r["access"]]
        check(len(readable) == len(expected) == 19, "every polled tag is mapped: %d of %d" % (len(readable), len(expected)))
        check(wait_for(lambda: client.connect() and all(read_row(client, r)[0] == 0 for r in readable), 15),
              "every tag readable: " + velkd.output()[-2000:])
        # Every tag as the map says, equal to what velkhost read: a float
        # with the file's scale applied, any other as the module's count,
        # with the scale in the map.
        scaling = {t["name"]: (t.get("scale", 1.0), t.get("offset", 0.0)) for t in tomllib.loads(line_text)["tag"]}
        check((rows_by_tag["ramp"]["scale"], rows_by_tag["count_low"]["scale"]) == ("1", "0.5"),
              "the map's scales: %r" % rows)
        for row in readable:
            exception, value = read_row(client, row)
            want = expected[row["tag"]]
            if row["type"] == "float":
                scale, offset = scaling[row["tag"]]
                want = as_float32(want * scale + offset)
            check(exception == 0 and value == want, "%s: read %r (exception %d), velkhost %r" %
                  (row["tag"], value, exception, want))
        low_first = list(struct.unpack(">HH", struct.pack(">f", 1.5)))[::-1]
        check(wait_for(lambda: getattr(client.read_input_registers(0, 2, slave=100), "registers", None) == low_first, 5),
              "the second line's float, low word first")
        setpoint = mbpoll(port, "-a", "3", "-t", "4:float", "-B", "-r", "1")
        check("[1]: \t12.5" in setpoint.stdout, "mbpoll reads the setpoint: " + setpoint.stdout + setpoint.stderr)

        # Malformed frames and eight pollers at once: velkd stays up and
        # answers, and its memory stays where the first round left it.
        sizes = []
        for _ in range(3):
            errors = []
            flood = [threading.Thread(target=lambda s=s: errors.append(malformed(port, 50, s))) for s in range(2)]
            for t in flood:
                t.start()
            errors_polling = pollers(port, 8, 2.0)
            for t in flood:
                t.join()
            check(sum(errors) == 100, "malformed frames answered: %d of 100 closed unanswered" % sum(errors))
            check(not errors_polling, "pollers failed: %r" % errors_polling[:5])
            check(velkd.process.poll() is None, "velkd is up")
            sizes.append(rss_kb(velkd.process.pid))
        check(SANITIZED or sizes[2] - sizes[0] < 2048, "memory grows: %r kB" % sizes)
        print("velkd's resident memory after each round of 100 malformed frames and 8 pollers: %r kB" % sizes)

        # Writes: the simulator takes them (its log shows the commands), and
        # the very next reads show them: an acknowledged write is never
        # followed by the value from before it.
        wrote = mbpoll(port, "-a", "3", "-t", "4:float", "-B", "-r", "1", values=["7.25"])
        check(wrote.returncode == 0, "mbpoll writes the setpoint: " + wrote.stdout + wrote.stderr)
        r = client.write_coil(0, False, slave=5)
        check(not r.isError(), "relay3 written: %s" % r)
        r = client.write_registers(0, list(struct.unpack(">HH", struct.pack(">f", 2.5))), slave=4)
        check(not r.isError(), "out1 written: %s" % r)
        r = client.write_register(0, 0x05, slave=5)
        check(not r.isError(), "relay_bits written: %s" % r)
        check(wait_for(lambda: "#0307.250" in sim.output() and "#051300" in sim.output(), 5),
              "the simulator saw the writes")
        for tag, value in (("setpoint", 7.25), ("relay3", 0), ("out1", 2.5), ("relay_bits", 5)):
            check(read_row(client, rows_by_tag[tag]) == (0, value), tag + " reads back")
        # A write is read back in every tag that reads what it changed: the
        # relays' whole byte (DO0) shows a coil write of DO3 at once.
        for on in (True, False) * 4:
            r = client.write_coil(0, on, slave=5)
            byte = read_row(client, rows_by_tag["relay_bits"])
            check(not r.isError() and byte == (0, 5 | (8 if on else 0)), "relay_bits after relay3 = %r: %r" % (on, byte))
        for value in (3.75, 4.5, 5.25):
            r = client.write_registers(0, list(struct.unpack(">HH", struct.pack(">f", value))), slave=3)
            check(not r.isError() and read_row(client, rows_by_tag["setpoint"]) == (0, value),
                  "setpoint %r read at once after its write: %r" % (value, read_row(client, rows_by_tag["setpoint"])))

        # Refusals, each with its exception, before anything reaches the line.
        nan = [0x7FC0, 0]
        refusals = (
            ("byte beyond 255", lambda: client.write_register(0, 300, slave=5), 3),
            ("float not a number", lambda: client.write_registers(0, nan, slave=3), 3),
            ("beyond the module's field", lambda: client.write_registers(0, [0x4974, 0x2400], slave=3), 3),
            ("tag not writable", lambda: client.write_register(10, 1, slave=1), 2),
            ("no tag there", lambda: client.write_register(0, 1, slave=1), 2),
            ("half a float", lambda: client.write_register(0, 1, slave=3), 2),
            ("coils beyond the tags", lambda: client.write_coils(0, [True, True], slave=5), 2),
            ("range without tags", lambda: client.read_input_registers(50, 1, slave=2), 2),
            ("too many registers", lambda: client.read_input_registers(0, 126, slave=2), 3),
            ("written, never read", lambda: client.read_holding_registers(0, 2, slave=11), 4),
            ("no such unit", lambda: client.read_input_registers(0, 1, slave=99), 0x0A),
            # Every function at its largest quantity, and one beyond (as raw
            # frames: a client library would refuse to send them). A write
            # that long covers more than the unit's tags: 0x02.
            ("2000 coils read", lambda: raw_exception(port, 5, most(1, 0, 2000)), 0),
            ("2001 coils read", lambda: raw_exception(port, 5, most(1, 0, 2001)), 3),
            ("2000 discrete inputs read", lambda: raw_exception(port, 10, most(2, 0, 2000)), 0),
            ("2001 discrete inputs read", lambda: raw_exception(port, 10, most(2, 0, 2001)), 3),
            ("125 holding registers read", lambda: raw_exception(port, 3, most(3, 0, 125)), 0),
            ("126 holding registers read", lambda: raw_exception(port, 3, most(3, 0, 126)), 3),
            ("125 input registers read", lambda: raw_exception(port, 2, most(4, 0, 125)), 0),
            ("125 input registers from the last", lambda: raw_exception(port, 2, most(4, 65411, 125)), 2),
            ("a coil neither on nor off", lambda: raw_exception(port, 5, most(5, 0, 0x1234)), 3),
            ("1968 coils written", lambda: raw_exception(port, 5, most(15, 0, 1968, bytes(246))), 2),
            ("1968 coils, all on", lambda: raw_exception(port, 5, most(15, 0, 1968, b"\xff" * 246)), 2),
            ("1969 coils written", lambda: raw_exception(port, 5, most(15, 0, 1969, bytes(247))), 3),
            ("1968 coils, a byte count short", lambda: raw_exception(port, 5, most(15, 0, 1968, bytes(245))), 3),
            ("123 registers written", lambda: raw_exception(port, 3, most(16, 0, 123, bytes(246))), 2),
            ("124 registers: longer than a frame", lambda: raw_exception(port, 3, most(16, 0, 124, bytes(248))), -1),
            ("123 registers, a byte count short", lambda: raw_exception(port, 3, most(16, 0, 123, bytes(244))), 3),
        )
        for name, call, code in refusals:
            response = call()
            got = response if isinstance(response, int) else modbus_exception(response)
            check(got == code and velkd.process.poll() is None, "%s: %s" % (name, response))
        check(read_row(client, rows_by_tag["boiler_events"])[0] == 0, "a tag placed by hand reads")
        # A function not served (device identification), its data taken off
        # the line: 0x01, and the connection goes on.
        with socket.create_connection(("127.0.0.1", port), timeout=3) as s:
            s.sendall(bytes.fromhex("00070000000502" "2b0e0100" "00070000000602" "0400000001"))
            answers = s.recv(100)
            answers += s.recv(100) if len(answers) < 9 + 11 else b""
            check(answers[:9] == bytes.fromhex("000700000003" "02ab01") and answers[9:18] == bytes.fromhex("000700000005020402"),
                  "unserved function: %s" % answers.hex())

        # max_clients: a client beyond them takes the place of the one silent
        # longest, which is closed.
        client.close()
        extra = [socket.create_connection(("127.0.0.1", port)) for _ in range(12)]
        time.sleep(0.3)
        with socket.create_connection(("127.0.0.1", port), timeout=3) as s:
            s.sendall(bytes.fromhex("000100000006020400000002"))
            check(s.recv(100)[:9] == bytes.fromhex("000100000007020404"), "a client beyond max_clients is served")
        extra[0].settimeout(3)
        check(extra[0].recv(100) == b"", "the client silent longest made room")
        for s in extra:
            s.close()

        # A frame dribbled a byte every 0.3 s is cut a second after its first
        # byte, with places to spare (nobody needs its place).
        few, lived = dribblers(port, 4, 2.0)
        for t in few:
            t.join()
        check(lived and max(lived) < 2.0, "dribbled frames lived up to %.2f s (%d frames)" % (max(lived or [0]), len(lived)))
        # 32 of them against 12 places keep out no reader: each of its reads,
        # on a connection of its own, is answered within a second.
        dribbling, crowded = dribblers(port, 32, 3.0)
        took = []
        time.sleep(0.5)
        while any(t.is_alive() for t in dribbling) and len(took) < 8:
            started = time.monotonic()
            reader = ModbusTcpClient("127.0.0.1", port=port, timeout=3)
            r = reader.read_input_registers(0, 2, slave=2) if reader.connect() else None
            took.append(time.monotonic() - started if r is not None and not r.isError() else float("inf"))
            reader.close()
            time.sleep(0.2)
        for t in dribbling:
            t.join()
        check(took and max(took) < 1.0, "reads beside 32 dribbling clients took %r s" % took)
        print("%d dribbled frames, the longest cut after %.3f s; beside 32 dribbling clients: %d reads, the slowest %.3f s"
              % (len(lived), max(lived or [0]), len(took), max(took or [0])))
        client.connect()

        # A silent module's unit answers 0x0B while its neighbours answer,
        # and comes back with the module.
        sim = swap_simulator(directory, sim, "silent", modules, link, ("--fault", "5:silent"))
        # (All units answer 0x0B while the port is being opened again.)
        check(wait_for(lambda: read_row(client, rows_by_tag["switch_word"]) == (0, 0x1234) and
                       read_row(client, rows_by_tag["relay3"])[0] == 0x0B, 15),
              "silent unit answers 0x0B, its neighbour its value: " + velkd.output()[-1500:])
        check(modbus_exception(client.write_coil(0, True, slave=5)) == 0x0B, "a write nobody answers: 0x0B")
        # A module that answers "?" to everything refuses the write: 0x04.
        sim = swap_simulator(directory, sim, "refusing", modules, link, ("--fault", "5:refuse"))
        # It answers, so it stays online; its tags are not good.
        check(wait_for(lambda: read_row(client, rows_by_tag["relay3"])[0] == 4, 15), "the refusing module is polled")
        check(modbus_exception(client.write_coil(0, True, slave=5)) == 4, "a refused write: 0x04")
        sim = swap_simulator(directory, sim, "healthy", modules, link)
        check(wait_for(lambda: read_row(client, rows_by_tag["relay3"]) == (0, 1), 20),
              "the unit recovers: " + velkd.output()[-1500:])

        def good_on_http():
            status, _, body = get_url(http)
            tags = [t for line in json.loads(body)["lines"] if line["name"] == "bus1"
                    for d in line["devices"] for t in d["tags"] if t["polled"]] if status == 200 else []
            return [t["good"] for t in tags]

        def good_on_modbus():
            return [read_row(client, r)[0] == 0 for r in readable]

        check(wait_for(lambda: all(good_on_http()) and all(good_on_modbus()), 5),
              "all good: %r %r" % (good_on_http(), good_on_modbus()))
        # A reload that changes only an interval keeps the port and every
        # device's state: no unit answers 0x0B meanwhile, nothing goes offline.
        with open(line, "w") as f:
            f.write(line_text.replace("interval_ms = 300", "interval_ms = 250"))
        before = len(velkd.output())
        velkd.process.send_signal(signal.SIGHUP)
        reloads = []
        end = time.monotonic() + 10
        while "reloaded:" not in velkd.output()[before:] and time.monotonic() < end:
            reloads += [(r["tag"], read_row(client, r)) for r in readable if read_row(client, r)[0] != 0]
        after = velkd.output()[before:]
        check("1 with new settings on the same port" in after and not reloads and all(good_on_modbus()),
              "a new interval reloads without flap: %r %s" % (reloads, after))
        check(not re.search(r"offline|open|port", after.replace("same port", "")), "a quiet reload: " + after)

        # The port lost: within two intervals no tag is good on any face;
        # within 2 s of its return every tag is good again.
        before = len(velkd.output())
        sim.stop()
        lost = time.monotonic()
        check(wait_for(lambda: not any(good_on_modbus()) and not any(good_on_http()), 0.5),
              "no tag good after the port went: modbus %r, http %r" % (good_on_modbus(), good_on_http()))
        lost_s = time.monotonic() - lost
        time.sleep(1.5)  # a retry or two with the node gone, quietly
        sim = start_simulator(directory, "back", modules, link)
        back = time.monotonic()
        check(wait_for(lambda: all(good_on_modbus()) and all(good_on_http()), 5 if SANITIZED else 2),
              "every tag good within 2 s of the port's return: " + velkd.output()[before:])
        print("port lost: no tag good after %.2f s; all good %.2f s after its return" % (lost_s, time.monotonic() - back))
        outage = velkd.output()[before:]
        print(outage, end="")
        check(len(re.findall(r"line bus1: port lost", outage)) == 1 and "line bus1: port back after" in outage and
              "device" not in outage, "one line for the loss, one for the return: " + outage)

        # SIGTERM with writes waiting: each client has its answer, and a
        # write the module took was acknowledged (the one on the line), the
        # rest refused with 0x0B and never carried out.
        answers = {}

        def write_setpoint(value):
            c = ModbusTcpClient("127.0.0.1", port=port, timeout=5)
            try:
                c.connect()
                r = c.write_registers(0, list(struct.unpack(">HH", struct.pack(">f", value))), slave=3)
                answers[value] = "no answer" if isinstance(r, ModbusIOException) else modbus_exception(r)
            except ModbusException as e:  # a connection closed unanswered
                answers[value] = "no answer: %s" % e
            finally:
                c.close()

        values = [10.125, 11.125, 12.125, 13.125, 14.125, 15.125]
        writers = [threading.Thread(target=write_setpoint, args=(v,)) for v in values]
        before_sim = len(sim.output())
        for t in writers:
            t.start()
        time.sleep(0.05)
        code = velkd.stop(signal.SIGTERM)
        for t in writers:
            t.join()
        sim.stop()  # its log is complete once it has ended
        carried = {float(v) for v in re.findall(r"#03(\d\d\.\d{3})", sim.output()[before_sim:])}
        check(all(answers.get(v) in (0, 0x0B) for v in values), "every pending write answered: %r" % answers)
        check(carried == {v for v in values if answers.get(v) == 0} and 0x0B in answers.values(),
              "carried out = acknowledged: %r, answers %r" % (sorted(carried), answers))
    finally:
        client.close()
        code = velkd.stop(signal.SIGTERM)
        check(code == 0, "velkd ends with 0 on SIGTERM, not %r" % code)
        sim.stop()
        far.stop()
    if failures:
        print("\n".join(failures) + "\nlogs kept in " + directory)
    else:
        shutil.rmtree(directory, ignore_errors=True)
        print("velkd Modbus: all checks passed")
    return 1 if failures else 0


@atexit.register
def stop_everything():
    for program in Program.running:
        program.stop(signal.SIGKILL)


if __name__ == "__main__":
    sys.exit(main())
