// The live page: polls api/state every second and shows one table per line.
// Every text from the gateway goes in as text, never as markup.
'use strict';

const kPollMs = 1000;

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function seconds(value) {
  if (value === null || value === undefined) return '';
  if (value < 60) return value.toFixed(1) + ' s';
  if (value < 3600) return Math.floor(value / 60) + ' min ' + Math.floor(value % 60) + ' s';
  return (value / 3600).toFixed(1) + ' h';
}

// A time of the gateway's in 24-hour form, local to the reader: the time
// alone today, with its date on any other day.
function clock(iso) {
  const when = new Date(iso);
  if (iso === null || iso === undefined || isNaN(when)) return '';
  const two = n => String(n).padStart(2, '0');
  const time = two(when.getHours()) + ':' + two(when.getMinutes()) + ':' + two(when.getSeconds());
  const today = new Date();
  if (when.toDateString() === today.toDateString()) return time;
  return when.getFullYear() + '-' + two(when.getMonth() + 1) + '-' + two(when.getDate()) + ' ' + time;
}

function valueText(tag) {
  if (tag.value === null || tag.value === undefined) return '';
  let text = String(tag.value);
  if (typeof tag.value === 'number' && !Number.isInteger(tag.value)) text = String(Number(tag.value.toPrecision(7)));
  return tag.unit ? text + '\u202f' + tag.unit : text;
}

// Why a device or tag is not good, in words: since when it has failed, or
// that it never was good.
function failedSince(reason, lastGood) {
  return (reason || 'failed') + (lastGood ? ' since ' + clock(lastGood) : ', never good');
}

function lastGoodText(item) {
  return item.last_good === null || item.last_good === undefined ? 'never'
      : clock(item.last_good) + ' (' + seconds(item.last_good_s) + ' ago)';
}

function failureText(device) {
  const parts = [];
  for (const [reason, count] of Object.entries(device.packets_by_reason)) {
    if (reason !== 'ok') parts.push(reason + ' ' + count);
  }
  return parts.join(', ');
}

// The rows of one line, built once per shape and then only updated.
function buildLine(line) {
  const section = el('section');
  section.dataset.line = line.name;
  const title = el('h2');
  title.append(el('span', 'line-name', 'Line ' + line.name), el('span', 'line-figures'));
  section.append(title);
  const table = el('table');
  const head = el('tr');
  for (const [text, cls] of [['Device / tag', ''], ['State / value', ''], ['Failure', ''],
                             ['Last good', ''], ['Packets', 'num'], ['Failed packets', '']]) {
    head.append(el('th', cls, text));
  }
  const thead = el('thead');
  thead.append(head);
  table.append(thead);
  const body = el('tbody');
  const rows = {};
  for (const device of line.devices) {
    const row = el('tr', 'device');
    row.dataset.device = line.name + '/' + device.name;
    const name = el('td', 'name', device.name + ' ');
    name.append(el('small', '', device.type + ' @ ' + device.address));
    const state = el('td');
    state.append(el('span', 'state'));
    row.append(name, state, el('td', 'reason'), el('td', 'last-good'), el('td', 'num packets'),
               el('td', 'counters failures'));
    body.append(row);
    rows[device.name] = { row: row, tags: {} };
    for (const tag of device.tags) {
      const tagRow = el('tr', 'tag');
      tagRow.dataset.tag = line.name + '/' + device.name + '/' + tag.name;
      tagRow.append(el('td', 'name', tag.name), el('td', 'value'), el('td', 'quality'), el('td', 'age'),
                    el('td'), el('td'));
      body.append(tagRow);
      rows[device.name].tags[tag.name] = tagRow;
    }
  }
  table.append(body);
  section.append(table);
  return { section: section, rows: rows };
}

function shapeOf(line) {
  return JSON.stringify(line.devices.map(d => [d.name, d.type, d.address, d.tags.map(t => t.name)]));
}

function updateLine(view, line) {
  const figures = view.section.querySelector('.line-figures');
  figures.textContent = (line.port_open ? 'port open' : 'port closed' + (line.port_error ? ': ' + line.port_error : '')) +
      ' · ' + line.exchanges + ' exchanges · ' + line.bytes_sent + ' B sent · ' + line.bytes_received +
      ' B received · ' + line.writes_queued + ' writes queued';
  figures.classList.toggle('failures', !line.port_open);
  for (const device of line.devices) {
    const rows = view.rows[device.name];
    const cells = rows.row.cells;
    rows.row.className = 'device ' + device.state;
    const badge = cells[1].firstChild;
    badge.className = 'state ' + device.state;
    badge.textContent = device.state;
    cells[2].textContent = device.state === 'offline' ? failedSince(device.reason, device.last_good) : '';
    cells[3].textContent = lastGoodText(device);
    cells[3].title = device.last_good || '';
    cells[4].textContent = device.packets;
    cells[5].textContent = failureText(device);
    for (const tag of device.tags) {
      const row = rows.tags[tag.name];
      const idle = !tag.polled;
      row.className = 'tag' + (idle ? ' idle' : tag.good ? ' good' : ' bad');
      row.cells[1].textContent = idle ? '(written only)' : valueText(tag);
      row.cells[2].textContent = idle || tag.good ? (idle ? '' : 'good') : failedSince(tag.reason, tag.last_good);
      row.cells[2].title = idle ? '' : 'quality ' + tag.quality;
      row.cells[3].textContent = idle ? '' : lastGoodText(tag);
      row.cells[3].title = tag.last_good || '';
    }
  }
}

// Rows whose text holds every word of the filter box stay, with their
// device's row; a device that matches keeps all its tags.
function applyFilter() {
  const words = document.getElementById('filter').value.toLowerCase().split(/\s+/).filter(w => w);
  const matches = row => words.every(w => row.textContent.toLowerCase().includes(w));
  for (const view of Object.values(views)) {
    let shown = 0;
    for (const rows of Object.values(view.rows)) {
      const deviceMatches = matches(rows.row);
      let tagsShown = 0;
      for (const row of Object.values(rows.tags)) {
        const show = deviceMatches || matches(row);
        row.hidden = !show;
        if (show) tagsShown += 1;
      }
      rows.row.hidden = !deviceMatches && tagsShown === 0;
      if (!rows.row.hidden) shown += 1;
    }
    view.section.hidden = shown === 0 && words.length > 0;
  }
}

const views = {};

function render(state) {
  const main = document.getElementById('lines');
  const seen = new Set();
  let offline = 0;
  let devices = 0;
  for (const line of state.lines) {
    seen.add(line.name);
    const shape = shapeOf(line);
    let view = views[line.name];
    if (!view || view.shape !== shape) {
      const built = buildLine(line);
      built.shape = shape;
      if (view) view.section.replaceWith(built.section); else main.append(built.section);
      view = views[line.name] = built;
    }
    updateLine(view, line);
    for (const device of line.devices) {
      devices += 1;
      if (device.state !== 'online') offline += 1;
    }
  }
  for (const name of Object.keys(views)) {
    if (!seen.has(name)) {
      views[name].section.remove();
      delete views[name];
    }
  }
  applyFilter();
  const summary = document.getElementById('summary');
  summary.textContent = devices + ' devices, ' + offline + ' not online · MQTT ' +
      (state.mqtt.connected ? 'connected' : 'not connected' + (state.mqtt.reason ? ' (' + state.mqtt.reason + ')' : '')) +
      (state.modbus ? ' · Modbus clients ' + state.modbus.clients : '') +
      storeText(state.store);
}

// While the broker is away: "storing since 09:27:31, 312 readings".
function storeText(store) {
  if (!store || store.state === 'idle') return '';
  const since = new Date(store.since).toLocaleTimeString([], { hour12: false });
  return ' · ' + store.state + ' since ' + since + ', ' + store.readings + ' readings';
}

async function poll() {
  const status = document.getElementById('status');
  // A page nobody looks at costs the gateway nothing.
  if (document.hidden) {
    setTimeout(poll, kPollMs);
    return;
  }
  try {
    const response = await fetch('api/state', { cache: 'no-store', credentials: 'same-origin' });
    if (!response.ok) throw new Error('HTTP ' + response.status);
    render(await response.json());
    status.textContent = 'updated ' + clock(new Date().toISOString());
    status.classList.remove('lost');
    document.body.classList.remove('stale');
  } catch (error) {
    status.textContent = 'velkd not reachable (' + error.message + '); showing the last state';
    status.classList.add('lost');
    document.body.classList.add('stale');
  }
  setTimeout(poll, kPollMs);
}

document.getElementById('filter').addEventListener('input', applyFilter);
poll();
