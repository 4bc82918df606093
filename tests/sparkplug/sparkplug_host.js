'use strict';
// A Sparkplug B host application for tests: it subscribes to one group,
// decodes every message with Eclipse Tahu's payload library and checks the
// rules of an edge node's session as messages arrive. Whatever breaks a
// rule is kept in `violations`; a test ends by asserting it is empty.
//
// Rules checked on every message:
//   - NBIRTH has seq 0 and a bdSeq; every later message of the node carries
//     the next seq modulo 256 (NDEATH carries none);
//   - a DBIRTH, DDATA or DDEATH comes only after the node's NBIRTH, and a
//     DDATA or DDEATH only while its device is born;
//   - every birth metric has a name, an alias unique in the node, and a
//     datatype; every DDATA metric names an alias of its device's birth;
//   - an NDEATH carries the bdSeq of the node's last NBIRTH.
const mqtt = require('mqtt');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

// Long (from protobufjs) or number, as a number.
function num(value) {
  if (value !== null && typeof value === 'object' && typeof value.toNumber === 'function') return value.toNumber();
  return value;
}

function property(metric, key) {
  const found = metric.properties && metric.properties[key];
  return found ? num(found.value) : undefined;
}

class SparkplugHost {
  constructor(url, group) {
    this.url = url;
    this.group = group;
    this.messages = [];      // {kind, node, device, payload, retained}
    this.violations = [];
    this.nodes = new Map();  // node id -> {born, bdSeq, seq, aliases: Map alias -> {device, metric}}
    this.waiters = [];
  }

  async connect() {
    this.client = mqtt.connect(this.url, {clientId: 'velkd-sparkplug-host-' + process.pid, clean: true,
                                          reconnectPeriod: 0});
    await new Promise((resolve, reject) => {
      this.client.once('connect', resolve);
      this.client.once('error', reject);
    });
    this.client.on('message', (topic, payload, packet) => this.receive(topic, payload, packet.retain));
    await this.client.subscribeAsync(`spBv1.0/${this.group}/#`, {qos: 1});
  }

  async close() {
    if (this.client) await this.client.endAsync();
  }

  violation(text) {
    this.violations.push(text);
  }

  receive(topic, raw, retained) {
    const [, group, kind, node, device] = topic.split('/');
    if (group !== this.group || kind.endsWith('CMD')) return;
    let payload;
    try {
      payload = sparkplug.decodePayload(raw);
    } catch (error) {
      this.violation(`${topic}: not a Sparkplug B payload (${error.message})`);
      return;
    }
    const message = {kind, node, device, payload, retained, at: Date.now()};
    this.messages.push(message);
    this.check(message);
    this.waiters = this.waiters.filter((waiter) => !waiter.test(message));
  }

  check({kind, node, device, payload, retained}) {
    const where = device ? `${kind} ${node}/${device}` : `${kind} ${node}`;
    if (retained) this.violation(`${where}: retained`);
    let state = this.nodes.get(node);
    if (!state) {
      state = {born: false, bdSeq: undefined, seq: undefined, aliases: new Map(), devices: new Map()};
      this.nodes.set(node, state);
    }
    const metrics = payload.metrics || [];
    const seq = num(payload.seq);
    if (kind === 'NDEATH') {
      const bdSeq = metrics.find((m) => m.name === 'bdSeq');
      if (!bdSeq) this.violation(`${where}: no bdSeq`);
      else if (state.bdSeq !== undefined && num(bdSeq.value) !== state.bdSeq)
        this.violation(`${where}: bdSeq ${num(bdSeq.value)}, the last NBIRTH had ${state.bdSeq}`);
      state.born = false;
      state.devices.clear();
      return;
    }
    if (kind === 'NBIRTH') {
      const bdSeq = metrics.find((m) => m.name === 'bdSeq');
      if (!bdSeq) this.violation(`${where}: no bdSeq`);
      if (seq !== 0) this.violation(`${where}: seq ${seq}, not 0`);
      state.born = true;
      state.bdSeq = bdSeq ? num(bdSeq.value) : undefined;
      state.seq = seq;
      state.aliases = new Map();
      state.devices = new Map();
      this.checkBirthMetrics(where, state, undefined, metrics.filter((m) => m.name !== 'bdSeq'));
      return;
    }
    if (!state.born) {
      this.violation(`${where}: before its node's NBIRTH`);
      return;
    }
    if (seq !== (state.seq + 1) % 256) this.violation(`${where}: seq ${seq} after ${state.seq}`);
    state.seq = seq;
    if (kind === 'DBIRTH') {
      for (const [alias, owner] of state.aliases) if (owner.device === device) state.aliases.delete(alias);
      state.devices.set(device, new Map());
      this.checkBirthMetrics(where, state, device, metrics);
    } else if (kind === 'DDATA' || kind === 'DDEATH') {
      if (!state.devices.has(device)) this.violation(`${where}: its device is not born`);
      if (kind === 'DDEATH') state.devices.delete(device);
      for (const metric of kind === 'DDATA' ? metrics : []) {
        const owner = state.aliases.get(num(metric.alias));
        if (!owner || owner.device !== device) this.violation(`${where}: alias ${num(metric.alias)} not born here`);
        else {
          // A data metric carries the quality only when it changed.
          const known = state.devices.get(device);
          const before = known?.get(owner.name);
          known?.set(owner.name, {...metric, properties: {...before?.properties, ...metric.properties}});
        }
      }
    }
  }

  checkBirthMetrics(where, state, device, metrics) {
    const values = new Map();
    for (const metric of metrics) {
      const alias = num(metric.alias);
      if (!metric.name) this.violation(`${where}: a metric without a name`);
      if (alias === undefined) this.violation(`${where}: '${metric.name}' has no alias`);
      else if (state.aliases.has(alias)) this.violation(`${where}: alias ${alias} of '${metric.name}' is taken`);
      else state.aliases.set(alias, {device, name: metric.name});
      if (!metric.type || metric.type === 'Unknown') this.violation(`${where}: '${metric.name}' has no datatype`);
      values.set(metric.name, metric);
    }
    if (device) state.devices.set(device, values);
  }

  // The message for which `test(message)` holds, among those still to come
  // (or, with `past`, the latest one already here).
  waitFor(test, what, timeoutMs = 10000, past = false) {
    if (past) {
      const found = [...this.messages].reverse().find(test);
      if (found) return Promise.resolve(found);
    }
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no ${what} within ${timeoutMs} ms`)), timeoutMs);
      this.waiters.push({test: (message) => {
        if (!test(message)) return false;
        clearTimeout(timer);
        resolve(message);
        return true;
      }});
    });
  }

  // The last value the host holds for a device's metric (birth or data).
  value(node, device, name) {
    const metric = this.nodes.get(node)?.devices.get(device)?.get(name);
    return metric ? {value: num(metric.value), quality: property(metric, 'Quality')} : undefined;
  }

  rebirth(node) {
    const payload = sparkplug.encodePayload({timestamp: Date.now(), metrics: [
      {name: 'Node Control/Rebirth', type: 'Boolean', value: true}]});
    return this.client.publishAsync(`spBv1.0/${this.group}/NCMD/${node}`, payload, {qos: 0});
  }

  write(node, device, metrics, options = {}) {
    const payload = options.raw || sparkplug.encodePayload({timestamp: Date.now(), metrics});
    return this.client.publishAsync(`spBv1.0/${this.group}/DCMD/${node}/${device}`, payload,
                                    {qos: 0, retain: !!options.retain});
  }

  // Sparkplug 3.0: the primary host's state, retained.
  announce(hostId, online) {
    return this.client.publishAsync(`spBv1.0/STATE/${hostId}`,
                                    JSON.stringify({online, timestamp: Date.now()}), {qos: 1, retain: true});
  }
}

module.exports = {SparkplugHost, num, property};
