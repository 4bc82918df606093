#!/usr/bin/env node
'use strict';
// velkd's Sparkplug B face measured beside its JSON topics, on the same
// broker and lines (a private mosquitto, velksim on the example bus):
//   - bytes on the broker (topic and payload) per reading: Sparkplug DDATA
//     metrics against the JSON tag topics, one example line over SECONDS;
//   - the plant's NBIRTH and DBIRTHs: their bytes, and the time from a
//     rebirth command to the last DBIRTH, on LINES lines;
//   - velkd's CPU on the plant with [sparkplug] against without, over
//     CPU_SECONDS after a warm-up, and that of the face's own threads.
// Prints one JSON object. The Node packages are the test host's
// (tests/sparkplug, installed by scripts/install-deps.sh).
//
//   scripts/sparkplug-bench.js [--lines 32] [--seconds 20] [--cpu-seconds 20] [--build build/linux64]
const {spawn} = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const {createRequire} = require('node:module');

const root = path.dirname(__dirname);
const hostRequire = createRequire(path.join(root, 'tests/sparkplug/package.json'));
const mqtt = hostRequire('mqtt');
const sparkplug = hostRequire('sparkplug-payload').get('spBv1.0');
const {freePort, sleep, startBroker} = require(path.join(root, 'tests/sparkplug/local_broker.js'));

const options = {lines: 32, seconds: 20, 'cpu-seconds': 20, warmup: 10, build: path.join(root, 'build/linux64')};
for (let i = 2; i + 1 < process.argv.length; i += 2) {
  const key = process.argv[i].replace(/^--/, '');
  options[key] = key === 'build' ? process.argv[i + 1] : Number(process.argv[i + 1]);
}
const ticks = 100;  // USER_HZ of /proc/PID/stat on Linux

function cpuSeconds(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(')').pop().trim().split(/\s+/);
  return (Number(fields[11]) + Number(fields[12])) / ticks;
}

// The CPU of the Sparkplug face's own threads (named sparkplug*): a figure
// steadier than the whole process's, which the other faces' share sways.
function sparkplugCpuSeconds(pid) {
  let total = 0;
  for (const task of fs.readdirSync(`/proc/${pid}/task`)) {
    const stat = fs.readFileSync(`/proc/${pid}/task/${task}/stat`, 'utf8');
    if (!/\(sparkplug/.test(stat)) continue;
    const fields = stat.split(')').pop().trim().split(/\s+/);
    total += (Number(fields[11]) + Number(fields[12])) / ticks;
  }
  return total;
}

async function until(test, what, timeoutMs) {
  for (const end = Date.now() + timeoutMs; Date.now() < end; await sleep(50)) if (test()) return;
  throw new Error(`${what}: not within ${timeoutMs} ms`);
}

// LINES copies of the example line, each on its own velksim, and velkd over
// them; `onMessage(topic, payload)` hears everything under velk/ and spBv1.0/.
async function plant(lines, withSparkplug, onMessage) {
  // Port names hold 31 characters.
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'velk-s-'));
  const started = [];
  const port = await freePort();
  const broker = await startBroker('mosquitto', tmp, port);
  started.push(broker);
  const client = mqtt.connect(`mqtt://127.0.0.1:${port}`, {reconnectPeriod: 0});
  await new Promise((resolve, reject) => { client.once('connect', resolve); client.once('error', reject); });
  client.on('message', (topic, payload) => onMessage(topic, payload));
  await client.subscribeAsync(['velk/#', 'spBv1.0/#']);
  const example = fs.readFileSync(path.join(root, 'examples/gateway.toml'), 'utf8');
  const files = [];
  for (let n = 1; n <= lines; ++n) {
    const link = path.join(tmp, `line${n}`);
    started.push(spawn(path.join(options.build, 'tools/velksim/velksim'),
                       [path.join(root, 'examples/simulator.toml'), '--plain', '--link', link], {stdio: 'ignore'}));
    let text = example.replace(/^name = "ttyUSB0".*$/m, `name = "${link}"`)
                      .replace(/^broker = .*$/m, `broker = "mqtt://127.0.0.1:${port}"`)
                      .replace(/^line = "bus1".*$/m, `line = "bus${n}"`);
    if (withSparkplug)
      text += `\n[sparkplug]\ngroup_id = "bench"\nedge_node_id = "velkd"\nbdseq_file = "${tmp}/bdseq"\n`;
    files.push(path.join(tmp, `line${n}.toml`));
    fs.writeFileSync(files[files.length - 1], text);
  }
  await until(() => files.every((f, i) => fs.existsSync(path.join(tmp, `line${i + 1}`))), 'the simulators', 20000);
  const velkd = spawn(path.join(options.build, 'tools/velkd/velkd'), files, {stdio: 'ignore'});
  started.push(velkd);
  return {
    velkd, client,
    async stop() {
      await client.endAsync().catch(() => {});
      for (const child of started.reverse()) child.kill('SIGTERM');
      await sleep(500);
      fs.rmSync(tmp, {recursive: true, force: true});
    },
  };
}

const jsonTag = /^velk\/[^/$][^/]*\/[^/$][^/]*\/[^/$][^/]*$/;

async function bytesPerReading() {
  const count = {on: false, json: {bytes: 0, readings: 0}, sparkplug: {bytes: 0, readings: 0}};
  const born = new Set();
  const run = await plant(1, true, (topic, payload) => {
    const kind = topic.split('/')[2];
    if (kind === 'DBIRTH') born.add(topic);
    if (!count.on) return;
    if (jsonTag.test(topic)) {
      count.json.bytes += topic.length + payload.length;
      count.json.readings += 1;
    } else if (kind === 'DDATA') {
      count.sparkplug.bytes += topic.length + payload.length;
      count.sparkplug.readings += (sparkplug.decodePayload(payload).metrics || []).length;
    }
  });
  try {
    await until(() => born.size >= 10, 'the example line\'s DBIRTHs', 20000);
    await sleep(3000);
    count.on = true;
    await sleep(options.seconds * 1000);
    count.on = false;
  } finally {
    await run.stop();
  }
  const per = (c) => (c.readings ? c.bytes / c.readings : null);
  return {json: per(count.json), sparkplug: per(count.sparkplug), jsonReadings: count.json.readings,
          sparkplugReadings: count.sparkplug.readings};
}

// The plant's CPU over the window; with Sparkplug, also a rebirth's size and time.
async function plantRun(withSparkplug) {
  const births = {devices: new Set(), bytes: 0, last: 0, counting: false};
  const run = await plant(options.lines, withSparkplug, (topic, payload) => {
    const kind = topic.split('/')[2];
    if (kind === 'DBIRTH') births.devices.add(topic);
    if (births.counting && (kind === 'NBIRTH' || kind === 'DBIRTH')) {
      births.bytes += topic.length + payload.length;
      births.last = Date.now();
      births.count += 1;
    }
  });
  try {
    const devices = options.lines * 10;
    if (withSparkplug) await until(() => births.devices.size >= devices, 'every DBIRTH', 60000);
    await sleep(options.warmup * 1000);
    const cpu0 = cpuSeconds(run.velkd.pid), face0 = sparkplugCpuSeconds(run.velkd.pid), t0 = Date.now();
    await sleep(options['cpu-seconds'] * 1000);
    const seconds = (Date.now() - t0) / 1000;
    const result = {cpu: (cpuSeconds(run.velkd.pid) - cpu0) / seconds,
                    faceCpu: (sparkplugCpuSeconds(run.velkd.pid) - face0) / seconds};
    if (withSparkplug) {
      Object.assign(births, {counting: true, bytes: 0, count: 0});
      const sent = Date.now();
      const rebirth = sparkplug.encodePayload({timestamp: sent, metrics: [
        {name: 'Node Control/Rebirth', type: 'Boolean', value: true}]});
      await run.client.publishAsync('spBv1.0/bench/NCMD/velkd', rebirth);
      await until(() => births.count >= devices + 1, 'the rebirth', 30000);
      result.birthBytes = births.bytes;
      result.birthMs = births.last - sent;
      result.births = births.count;
    }
    return result;
  } finally {
    await run.stop();
  }
}

async function main() {
  const bytes = await bytesPerReading();
  const off = await plantRun(false);
  const on = await plantRun(true);
  console.log(JSON.stringify({
    lines: options.lines, seconds: options.seconds, cpu_seconds: options['cpu-seconds'],
    json_bytes_per_reading: bytes.json && Number(bytes.json.toFixed(1)),
    sparkplug_bytes_per_reading: bytes.sparkplug && Number(bytes.sparkplug.toFixed(1)),
    bytes_ratio: bytes.json && bytes.sparkplug ? Number((bytes.sparkplug / bytes.json).toFixed(3)) : null,
    json_readings: bytes.jsonReadings, sparkplug_readings: bytes.sparkplugReadings,
    birth_messages: on.births, birth_bytes: on.birthBytes, birth_ms: on.birthMs,
    cpu_on_cores: Number(on.cpu.toFixed(4)), cpu_off_cores: Number(off.cpu.toFixed(4)),
    cpu_ratio: off.cpu ? Number((on.cpu / off.cpu).toFixed(3)) : null,
    sparkplug_threads_cores: Number(on.faceCpu.toFixed(4)),
    sparkplug_threads_share_of_off: off.cpu ? Number((on.faceCpu / off.cpu).toFixed(3)) : null,
  }));
}

main().then(() => process.exit(0), (error) => {
  console.error(error);
  process.exit(1);
});
