'use strict';
// A mosquitto of the test's own on a free loopback port.
const {spawn} = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');

function freePort() {
  return new Promise((resolve) => {
    const server = net.createServer().listen(0, '127.0.0.1', () => {
      const {port} = server.address();
      server.close(() => resolve(port));
    });
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function startBroker(mosquittoPath, workDir, port) {
  const conf = path.join(workDir, 'mosquitto.conf');
  fs.writeFileSync(conf, `listener ${port} 127.0.0.1\nallow_anonymous true\npersistence false\n`);
  const broker = spawn(mosquittoPath, ['-c', conf], {stdio: 'ignore'});
  for (let i = 0; i < 100; ++i) {
    const up = await new Promise((resolve) => {
      const socket = net.connect(port, '127.0.0.1', () => { socket.end(); resolve(true); });
      socket.on('error', () => resolve(false));
    });
    if (up) return broker;
    await sleep(50);
  }
  throw new Error('mosquitto did not start');
}

module.exports = {freePort, sleep, startBroker};
