'use strict';
// velkd as a Sparkplug B edge node, end to end: a local mosquitto, velksim
// playing the example bus, velkd with a [sparkplug] table, and the
// Sparkplug host, which decodes every message and checks the session's
// rules throughout (seq, births before data, aliases, bdSeq).
//
//   node velkd_session_test.js MOSQUITTO VELKD VELKSIM SOURCE_DIR WORK_DIR
const assert = require('node:assert/strict');
const {spawn} = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const {SparkplugHost, num} = require('./sparkplug_host.js');
const {freePort, sleep, startBroker} = require('./local_broker.js');

const [mosquittoPath, velkdPath, velksimPath, sourceDir, workDir] = process.argv.slice(2);
const group = 'plant';
const node = 'velkd';

// The example bus's tags by device, with the datatype each must be born with.
const expected = {
  bus1_inputs: {wave: 'Float', ramp: 'Double'},
  bus1_boiler: {boiler_temp: 'Float', boiler_cjc: 'Float', boiler_events: 'UInt16'},
  bus1_valve: {setpoint: 'Float'},
  bus1_outputs: {out1: 'Float', outputs_di: 'UInt8'},
  bus1_relays: {relay_bits: 'UInt8', relay3: 'Boolean', relay_inputs: 'UInt8'},
  bus1_switches: {switch_word: 'UInt16'},
  bus1_counter: {count_high: 'UInt16', count_low: 'UInt16'},
  bus1_strain: {strain1: 'Float'},
  bus1_thermo: {oven: 'Float', room: 'Float', thermo_in0: 'Boolean'},
  bus1_panel: {panel_name: 'String', display: 'Float'},
};
const devices = Object.keys(expected);

// A program whose output is kept, to read and to show when the test fails.
function start(program, args) {
  const child = spawn(program, args, {stdio: ['ignore', 'pipe', 'pipe']});
  child.output = '';
  child.stdout.on('data', (data) => { child.output += data; });
  child.stderr.on('data', (data) => { child.output += data; });
  return child;
}

async function until(test, what, timeoutMs = 10000) {
  for (const end = Date.now() + timeoutMs; Date.now() < end; await sleep(50)) if (test()) return;
  throw new Error(`${what}: not within ${timeoutMs} ms`);
}

// velksim on the example bus behind its own link, then `link` pointing at
// it: an adapter replaced under the line's port name.
async function simulator(name, link, extra = []) {
  const own = path.join(workDir, name);
  fs.rmSync(own, {force: true});
  const sim = start(velksimPath, [path.join(sourceDir, 'examples/simulator.toml'), '--plain', '--link', own, ...extra]);
  await until(() => fs.existsSync(own), `velksim ${name} up`);
  fs.rmSync(link + '.new', {force: true});
  fs.symlinkSync(own, link + '.new');
  fs.renameSync(link + '.new', link);
  return sim;
}

const birthOf = (device) => (m) => m.kind === 'DBIRTH' && m.device === device;
const metricNamed = (message, name) => message.payload.metrics.find((m) => m.name === name);
const bdSeqOf = (message) => num(metricNamed(message, 'bdSeq').value);
const allBirths = (host) => Promise.all([host.waitFor((m) => m.kind === 'NBIRTH', 'NBIRTH'),
                                         ...devices.map((d) => host.waitFor(birthOf(d), `DBIRTH ${d}`))]);

async function main() {
  const began = Date.now();
  fs.mkdirSync(workDir, {recursive: true});
  const bdSeqFile = path.join(workDir, 'bdseq');
  fs.rmSync(bdSeqFile, {force: true});
  const port = await freePort();
  const broker = await startBroker(mosquittoPath, workDir, port);
  const host = new SparkplugHost(`mqtt://127.0.0.1:${port}`, group);
  const link = path.join(workDir, 'line');
  const children = [];
  try {
    await host.connect();
    let sim = await simulator('healthy', link);
    children.push(sim);
    const file = path.join(workDir, 'gateway.toml');
    fs.writeFileSync(file, fs.readFileSync(path.join(sourceDir, 'examples/gateway.toml'), 'utf8') +
                     `\n[sparkplug]\ngroup_id = "${group}"\nedge_node_id = "${node}"\nbdseq_file = "${bdSeqFile}"\n`);
    const velkdArgs = [file, '--port', link, '--broker', `mqtt://127.0.0.1:${port}`];

    // NBIRTH, then a DBIRTH for every module with every tag, aliased and typed.
    let births = allBirths(host);
    let velkd = start(velkdPath, velkdArgs);
    children.push(velkd);
    const [nbirth, ...dbirths] = await births;
    assert.equal(bdSeqOf(nbirth), 0);
    assert.equal(metricNamed(nbirth, 'Node Control/Rebirth').value, false);
    assert.equal(metricNamed(nbirth, 'Node Info/Lines').value, 1);
    for (const [i, device] of devices.entries()) {
      const got = Object.fromEntries(dbirths[i].payload.metrics.map((m) => [m.name, m.type]));
      assert.deepEqual(got, expected[device], `${device}'s DBIRTH`);
      for (const metric of dbirths[i].payload.metrics) assert.notEqual(num(metric.alias), undefined, metric.name);
    }
    await host.waitFor((m) => m.kind === 'DDATA' && m.device === 'bus1_inputs', 'DDATA of the moving wave');

    // A rebirth command: the node and every device again, in the same session.
    births = allBirths(host);
    await host.rebirth(node);
    assert.equal(bdSeqOf((await births)[0]), 0, 'a rebirth keeps the connection\'s bdSeq');

    // A DCMD write reaches the bus and comes back in a DDATA.
    const written = host.waitFor((m) => m.kind === 'DDATA' && m.device === 'bus1_valve' &&
                                 m.payload.metrics.some((x) => Math.abs(x.value - 7.25) < 1e-6), 'DDATA setpoint 7.25');
    await host.write(node, 'bus1_valve', [{name: 'setpoint', type: 'Float', value: 7.25}]);
    await written;
    await until(() => /#0307\.250/.test(sim.output), 'the simulator saw the write', 3000);

    // Retained, malformed, unknown and not writable commands change nothing,
    // and neither does a reload of unchanged files.
    const before = {messages: host.messages.length, sim: sim.output.length};
    await host.write(node, 'bus1_valve', [{name: 'setpoint', type: 'Float', value: 3.5}], {retain: true});
    await host.write(node, 'bus1_valve', [], {raw: Buffer.from([0xff, 0xff, 0xff, 0x0f])});
    await host.write(node, 'bus1_valve', [{name: 'nothing', type: 'Float', value: 1}]);
    await host.write(node, 'bus1_boiler', [{name: 'boiler_events', type: 'UInt16', value: 1}]);
    await host.client.publishAsync(`spBv1.0/${group}/DCMD/${node}/bus1_valve`, '', {qos: 0, retain: true});
    velkd.kill('SIGHUP');
    await sleep(1000);
    const after = host.messages.slice(before.messages);
    assert.ok(!after.some((m) => m.kind.endsWith('BIRTH') || m.device === 'bus1_valve' || m.device === 'bus1_boiler' &&
                                 m.payload.metrics.some((x) => x.name === 'boiler_events')),
              'no message about the commanded tags: ' + after.map((m) => `${m.kind} ${m.device}`).join(', '));
    assert.doesNotMatch(sim.output.slice(before.sim), /#03/, 'no write reached the bus');

    // The relays go silent: a DDEATH, and no birth while the rest answer;
    // their return brings a DBIRTH.
    const death = host.waitFor((m) => m.kind === 'DDEATH' && m.device === 'bus1_relays', 'DDEATH relays');
    const silent = await simulator('silent', link, ['--fault', '5:silent']);
    children.push(silent);
    sim.kill('SIGTERM');
    await death;
    const relaysDead = () => !host.nodes.get(node).devices.has('bus1_relays');
    await until(() => host.nodes.get(node).devices.has('bus1_inputs') && relaysDead(), 'the rest born, relays dead');
    await sleep(1500);
    assert.ok(relaysDead(), 'no DBIRTH for a silent module');
    const back = host.waitFor(birthOf('bus1_relays'), 'DBIRTH relays back');
    sim = await simulator('back', link);
    children.push(sim);
    silent.kill('SIGTERM');
    await back;

    // A reload with one more tag: the node is born again with it.
    const reloaded = Promise.all([host.waitFor((m) => m.kind === 'NBIRTH', 'NBIRTH after the reload'),
                                  host.waitFor((m) => birthOf('bus1_valve')(m) && metricNamed(m, 'valve_copy'),
                                               'DBIRTH of the valve with its new tag')]);
    fs.appendFileSync(file, '\n[[tag]]\nname = "valve_copy"\ndevice = "valve"\naddress = "AO"\ntype = "float"\n');
    velkd.kill('SIGHUP');
    assert.equal(bdSeqOf((await reloaded)[0]), 0, 'a reload keeps the connection\'s bdSeq');

    // kill -9: the will is the NDEATH with the bdSeq of the last NBIRTH.
    const lastBirth = [...host.messages].reverse().find((m) => m.kind === 'NBIRTH');
    const ndeath = host.waitFor((m) => m.kind === 'NDEATH', 'NDEATH after kill -9');
    velkd.kill('SIGKILL');
    assert.equal(bdSeqOf(await ndeath), bdSeqOf(lastBirth));
    // A restart counts on from the file; an orderly stop sends its own NDEATH.
    births = host.waitFor((m) => m.kind === 'NBIRTH', 'NBIRTH after the restart');
    velkd = start(velkdPath, velkdArgs);
    children.push(velkd);
    assert.equal(bdSeqOf(await births), bdSeqOf(lastBirth) + 1);
    const stopDeath = host.waitFor((m) => m.kind === 'NDEATH', 'NDEATH on SIGTERM');
    velkd.kill('SIGTERM');
    assert.equal(bdSeqOf(await stopDeath), bdSeqOf(lastBirth) + 1);

    assert.deepEqual(host.violations, []);
    console.log(`ok: ${host.messages.length} messages decoded and checked in ${((Date.now() - began) / 1000).toFixed(1)} s`);
  } catch (error) {
    for (const child of children) if (child.output) console.error(`--- ${child.spawnargs[0]}:\n${child.output.slice(-3000)}`);
    throw error;
  } finally {
    for (const child of children) if (child.exitCode === null) child.kill('SIGKILL');
    await host.close().catch(() => {});
    broker.kill('SIGTERM');
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
