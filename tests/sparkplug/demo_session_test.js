'use strict';
// The face's encoder and session against the reference payload library:
// a local mosquitto, the demo edge node, and the Sparkplug host, which
// decodes every message and checks the session's rules throughout.
//
//   node demo_session_test.js MOSQUITTO DEMO WORK_DIR
const assert = require('node:assert/strict');
const {spawn} = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const {SparkplugHost, num} = require('./sparkplug_host.js');
const {freePort, sleep, startBroker} = require('./local_broker.js');

const [mosquittoPath, demoPath, workDir] = process.argv.slice(2);
const group = 'plant';
const node = 'demo';

// The demo edge node; `lines` collects what it prints.
function startEdge(port, extra = []) {
  const edge = spawn(demoPath, ['--port', String(port), '--group', group, '--node', node,
                                '--bdseq-file', path.join(workDir, 'bdseq'), ...extra],
                     {stdio: ['pipe', 'pipe', 'inherit']});
  edge.lines = [];
  readline.createInterface({input: edge.stdout}).on('line', (line) => edge.lines.push(line));
  edge.order = (line) => edge.stdin.write(line + '\n');
  return edge;
}

const birthOf = (device) => (m) => m.kind === 'DBIRTH' && m.device === device;
const dataOf = (device) => (m) => m.kind === 'DDATA' && m.device === device;
const metricNamed = (message, name) => message.payload.metrics.find((m) => m.name === name);
const bdSeqOf = (message) => num(metricNamed(message, 'bdSeq').value);

async function main() {
  fs.mkdirSync(workDir, {recursive: true});
  fs.rmSync(path.join(workDir, 'bdseq'), {force: true});
  const port = await freePort();
  const broker = await startBroker(mosquittoPath, workDir, port);
  const host = new SparkplugHost(`mqtt://127.0.0.1:${port}`, group);
  let edge;
  try {
    await host.connect();

    // Births: the node, then each device that answers, every tag typed.
    const births = Promise.all([host.waitFor((m) => m.kind === 'NBIRTH', 'NBIRTH'),
                                host.waitFor(birthOf('bus1_thermo'), 'DBIRTH thermo'),
                                host.waitFor(birthOf('bus1_relays'), 'DBIRTH relays')]);
    edge = startEdge(port);
    const [nbirth, thermo, relays] = await births;
    assert.equal(bdSeqOf(nbirth), 0);
    assert.equal(metricNamed(nbirth, 'Node Control/Rebirth').value, false);
    assert.equal(metricNamed(nbirth, 'Node Info/Lines').value, 2);
    const expected = [
      [thermo, 'temperature', 'Double', 21.5, 192, '°C'], [thermo, 'status', 'UInt16', 3, 192],
      [thermo, 'offset', 'Int16', -2, 192, 'K'], [relays, 'relay1', 'Boolean', false, 192],
      [relays, 'counter', 'Int32', -100000, 192], [relays, 'label', 'String', 'pump', 192],
      [relays, 'level', 'UInt8', null, 0, '%'], [relays, 'setpoint', 'Float', 1.5, 192, 'bar'],
    ];
    for (const [birth, name, type, value, quality, unit] of expected) {
      const metric = metricNamed(birth, name);
      assert.ok(metric, `${name} in its DBIRTH`);
      assert.deepEqual([metric.type, num(metric.value), num(metric.properties.Quality.value)],
                       [type, value, quality], name);
      assert.equal(metric.properties.engUnit?.value, unit, `${name}'s unit`);
    }
    assert.ok(!host.messages.some((m) => m.device === 'bus2_0'), 'no birth for a device that never answered');

    // Data by exception: only what changed; a bad reading is null and bad.
    let data = host.waitFor(dataOf('bus1_thermo'), 'DDATA temperature');
    edge.order('value bus1_thermo temperature 22.25');
    assert.deepEqual((await data).payload.metrics.map((m) => [num(m.alias), m.value]),
                     [[num(metricNamed(thermo, 'temperature').alias), 22.25]]);
    data = host.waitFor(dataOf('bus1_thermo'), 'DDATA status bad');
    edge.order('bad bus1_thermo status');
    const bad = (await data).payload.metrics;
    assert.equal(bad.length, 1);
    assert.deepEqual([bad[0].value, num(bad[0].properties.Quality.value)], [null, 0]);

    // A silent module dies; its answer brings a birth that still says bad.
    const death = host.waitFor((m) => m.kind === 'DDEATH' && m.device === 'bus1_thermo', 'DDEATH');
    edge.order('offline bus1_thermo');
    await death;
    let birth = host.waitFor(birthOf('bus1_thermo'), 'DBIRTH after the return');
    edge.order('online bus1_thermo');
    const reborn = await birth;
    assert.deepEqual([metricNamed(reborn, 'status').value, num(metricNamed(reborn, 'status').properties.Quality.value)],
                     [null, 0]);
    assert.equal(metricNamed(reborn, 'temperature').value, 22.25);
    birth = host.waitFor(birthOf('bus2_0'), 'DBIRTH of a late device');
    edge.order('online bus2_0');
    assert.equal(metricNamed(await birth, 'pressure').value, null);

    // seq wraps past 255 without a gap.
    const last = host.waitFor((m) => dataOf('bus1_relays')(m) && m.payload.metrics[0].value === 299, 'DDATA 299');
    for (let i = 0; i < 300; ++i) edge.order(`value bus1_relays counter ${i}`);
    await last;

    // A rebirth command: the node and every device that answers.
    const rebirth = Promise.all(['NBIRTH', 'bus1_thermo', 'bus1_relays', 'bus2_0'].map((what) =>
      host.waitFor(what === 'NBIRTH' ? (m) => m.kind === 'NBIRTH' : birthOf(what), `rebirth ${what}`)));
    await host.rebirth(node);
    assert.equal(bdSeqOf((await rebirth)[0]), 0, 'a rebirth keeps the bdSeq of the connection');

    // Writes through DCMD come back in DDATA with the written value.
    const writes = [['bus1_thermo', 'offset', 'Int16', -7], ['bus1_relays', 'setpoint', 'Float', 2.5],
                    ['bus1_relays', 'relay1', 'Boolean', true], ['bus1_relays', 'label', 'String', 'valve']];
    for (const [device, name, type, value] of writes) {
      data = host.waitFor((m) => dataOf(device)(m) && m.payload.metrics.some((x) => x.value === value), `${name}`);
      await host.write(node, device, [{name, type, value}]);
      await data;
      assert.ok(edge.lines.includes(`write ${device} ${name} ${value}`), `${name} reached the line`);
    }

    // Refused and ignored commands change nothing and are said once.
    const before = {messages: host.messages.length, lines: edge.lines.filter((l) => l.startsWith('write')).length};
    await host.write(node, 'bus1_relays', [{name: 'nothing', type: 'Int32', value: 1}]);
    await host.write(node, 'bus1_relays', [{name: 'relay1', type: 'Int32', value: 1}]);
    await host.write(node, 'bus1_relays', [{name: 'level', type: 'UInt8', value: 300}]);
    await host.write(node, 'bus1_relays', [{name: 'counter', type: 'Int32', value: 5}]);
    await host.write(node, 'bus1_relays', [{name: 'level', type: 'UInt8', value: 7}], {retain: true});
    await host.write(node, 'bus1_relays', [], {raw: Buffer.from([0xff, 0xff, 0xff, 0x0f])});
    await host.write(node, 'bus1_relays', [], {raw: Buffer.from([0xff, 0xff, 0xff, 0x0f])});
    await host.write(node, 'bus1_relays', [{name: 'level', type: 'UInt8', value: 7}], {retain: true});
    await host.client.publishAsync(`spBv1.0/${group}/DCMD/${node}/bus1_relays`, '', {qos: 0, retain: true});
    await sleep(500);
    assert.equal(host.messages.length, before.messages, 'no message after refused commands');
    assert.equal(edge.lines.filter((l) => l.startsWith('write')).length, before.lines, 'no write after refusals');
    const notes = edge.lines.filter((l) => l.startsWith('note'));
    assert.equal(notes.length, 6, notes.join('\n'));

    // kill -9: the will is the NDEATH with the bdSeq of the last NBIRTH.
    let ndeath = host.waitFor((m) => m.kind === 'NDEATH', 'NDEATH after kill -9');
    edge.kill('SIGKILL');
    assert.equal(bdSeqOf(await ndeath), 0);
    // A restart counts on from the file.
    let nbirthAgain = host.waitFor((m) => m.kind === 'NBIRTH', 'NBIRTH after a restart');
    edge = startEdge(port);
    assert.equal(bdSeqOf(await nbirthAgain), 1);
    // An orderly stop says NDEATH itself, with the same bdSeq.
    ndeath = host.waitFor((m) => m.kind === 'NDEATH', 'NDEATH on stop');
    edge.order('stop');
    assert.equal(bdSeqOf(await ndeath), 1);

    // With a primary host: births only while it says online.
    await host.announce('scada', false);
    edge = startEdge(port, ['--primary-host', 'scada']);
    await sleep(1000);
    assert.ok(!host.messages.slice(-1)[0].kind.endsWith('BIRTH'), 'no birth while the host is offline');
    nbirthAgain = host.waitFor((m) => m.kind === 'NBIRTH', 'NBIRTH when the host comes online');
    await host.announce('scada', true);
    assert.equal(bdSeqOf(await nbirthAgain), 2);
    ndeath = host.waitFor((m) => m.kind === 'NDEATH', 'NDEATH when the host goes');
    await host.announce('scada', false);
    await ndeath;
    // ... and is born in a new session when the host is back.
    nbirthAgain = host.waitFor((m) => m.kind === 'NBIRTH', 'NBIRTH when the host is back');
    await host.announce('scada', true);
    assert.equal(bdSeqOf(await nbirthAgain), 3);
    edge.order('stop');
    await host.waitFor((m) => m.kind === 'NDEATH', 'NDEATH on the last stop');
    // One NDEATH a session: a stop's own, never the will after it too.
    await sleep(300);
    assert.equal(host.messages.filter((m) => m.kind === 'NDEATH').length, 4);

    assert.deepEqual(host.violations, []);
    console.log(`ok: ${host.messages.length} messages decoded and checked`);
  } finally {
    if (edge && edge.exitCode === null) edge.kill('SIGKILL');
    await host.close().catch(() => {});
    broker.kill('SIGTERM');
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
