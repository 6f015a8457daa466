// orvel-server replicas behind a balancer on 127.0.0.1, with the example
// configuration (examples/) and only its ports changed: clients speak without
// pause while each replica in turn gets SIGTERM and is started again once it
// has exited, and no request fails. Run by CTest: node test_balancer.mjs
// GROUP; exits 77 (skipped) when the balancer is not installed.
import { describe, it, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { Server, makeVoiceDir, sentences, fixedSeconds, wavSamples, RATE } from './harness.mjs';

const group = process.argv[2];
const EXAMPLES = new URL('../../examples/', import.meta.url).pathname;

function installed(program) {
  try {
    execFileSync('sh', ['-c', `command -v ${program}`], { stdio: 'ignore' });
    return true;
  } catch {
    return false;
  }
}

// A port free a moment ago, below the kernel's range for outgoing
// connections (32768 and up): a replica starts again on its port, which
// must not be taken meanwhile as the local end of a connection.
async function freePort() {
  for (;;) {
    const port = 20000 + Math.floor(Math.random() * 12000);
    const free = await new Promise((resolve) => {
      const probe = net.createServer();
      probe.on('error', () => resolve(false));
      probe.listen(port, '127.0.0.1', () => probe.close(() => resolve(true)));
    });
    if (free) return port;
  }
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls `test` (async) every 50 ms until it is true, at most `ms`.
async function until(what, test, ms) {
  const end = Date.now() + ms;
  while (!(await test())) {
    if (Date.now() > end) throw new Error(`timed out after ${ms} ms waiting for ${what}`);
    await sleep(50);
  }
}

// Clients that speak without pause: each sends a request as soon as its
// last answer has been read and checked. The last one reads as a player
// would, a chunk at a time, so that some answers are still streaming when
// a replica is told to stop. Bounded by count; stop() ends them sooner.
class Clients {
  constructor(url, count, maxRequests) {
    this.served = 0;
    this.failures = [];
    this.stopping = false;
    this.runs = Array.from({ length: count }, (_, i) => this.run(url, i, i === count - 1, maxRequests));
  }

  async run(url, index, player, maxRequests) {
    for (let n = 0; n < maxRequests && !this.stopping; ++n) {
      const sentencesIn = 1 + ((index + n) % 5);
      const expected = Math.round(RATE * fixedSeconds(sentencesIn));
      const started = Date.now();
      try {
        const response = await fetch(url + '/v1/audio/speech', {
          method: 'POST',
          headers: { 'Content-Type': 'application/json' },
          body: JSON.stringify({ input: sentences(sentencesIn, n), voice: 'fixed_1s', response_format: 'wav' }),
          signal: AbortSignal.timeout(60000),
        });
        const chunks = [];
        for await (const chunk of response.body) {
          chunks.push(chunk);
          if (player) await sleep(30);
        }
        const body = Buffer.concat(chunks);
        if (response.status !== 200) throw new Error(`status ${response.status}: ${body.toString().slice(0, 200)}`);
        const samples = wavSamples(body).length;
        if (samples !== expected) throw new Error(`${samples} samples, expected ${expected}`);
        ++this.served;
      } catch (e) {
        this.failures.push(`client ${index} request ${n} (${Date.now() - started} ms): ${e.cause?.code || ''} ${e.message}`);
      }
    }
  }

  async stop() {
    this.stopping = true;
    await Promise.all(this.runs);
  }
}

// Replicas on ports of their own, each started again on its port.
class Replicas {
  static async start(count) {
    const replicas = new Replicas();
    replicas.voiceDir = makeVoiceDir();
    replicas.servers = [];
    replicas.ports = [];
    while (replicas.ports.length < count) {
      const port = await freePort();
      if (!replicas.ports.includes(port)) replicas.ports.push(port);
    }
    for (const port of replicas.ports)
      replicas.servers.push(await Server.start(['--port', String(port), '--grace', '30'], { voiceDir: replicas.voiceDir }));
    return replicas;
  }

  // SIGTERM, its exit, and the same port served again; returns how long
  // the replica took to exit.
  async restart(i) {
    const server = this.servers[i];
    const signalled = Date.now();
    server.proc.kill('SIGTERM');
    const timer = setTimeout(() => server.proc.kill('SIGKILL'), 45000);
    const status = await server.exited;
    clearTimeout(timer);
    const stopped = Date.now() - signalled;
    assert.deepEqual(status, { code: 0, signal: null }, server.log());
    assert.doesNotMatch(server.log(), /cancelling/, 'requests were cut short');
    this.servers[i] = await Server.start(['--port', String(this.ports[i]), '--grace', '30'], { voiceDir: this.voiceDir });
    return stopped;
  }

  async stop() {
    for (const server of this.servers) {
      if (server.proc.exitCode === null) server.proc.kill('SIGTERM');
      await server.exited;
    }
    fs.rmSync(this.voiceDir, { recursive: true, force: true });
  }
}

// The rolling restart through a balancer at frontUrl, once `ready()`;
// `replicasUp()` tells whether it sends requests to every replica again.
async function rollingRestart({ frontUrl, replicas, ready, replicasUp, rounds = 2, requestsBetween = 15 }) {
  await until('the balancer', ready, 30000);
  const clients = new Clients(frontUrl, 3, 4000);
  const stopTimes = [];
  try {
    const servedSince = async (mark) => until(`${requestsBetween} more answers`, () => clients.served >= mark + requestsBetween || clients.failures.length > 0, 60000);
    for (let round = 0; round < rounds; ++round) {
      for (let i = 0; i < replicas.servers.length; ++i) {
        await until('every replica up in the balancer', replicasUp, 30000);
        await servedSince(clients.served);
        stopTimes.push(await replicas.restart(i));
      }
    }
    await until('every replica up in the balancer', replicasUp, 30000);
    await servedSince(clients.served);
  } finally {
    await clients.stop();
  }
  return { served: clients.served, failures: clients.failures, stopTimes };
}

if (group === 'HAProxy') {
  if (!installed('haproxy')) {
    console.log('SKIP: haproxy is not installed (scripts/setup installs Debian\'s haproxy)');
    process.exit(77);
  }

  describe('a rolling restart behind HAProxy', () => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-haproxy-'));
    let replicas, haproxy, haproxyLog = '';
    after(async () => {
      if (haproxy && haproxy.exitCode === null) {
        haproxy.kill('SIGTERM');
        await new Promise((r) => haproxy.on('exit', r));
      }
      if (replicas) await replicas.stop();
      fs.rmSync(dir, { recursive: true, force: true });
    });

    // `show stat` on HAProxy's admin socket: each backend server's state.
    const serverStates = (socketPath) => new Promise((resolve) => {
      const socket = net.connect(socketPath, () => socket.end('show stat\n'));
      let text = '';
      socket.on('data', (d) => { text += d; });
      socket.on('error', () => resolve({}));
      socket.on('close', () => {
        const lines = text.split('\n');
        if (!lines[0].startsWith('# ')) return resolve({});
        const columns = lines[0].slice(2).split(',');
        const states = {};
        for (const line of lines.slice(1)) {
          const row = Object.fromEntries(line.split(',').map((v, i) => [columns[i], v]));
          if (row.pxname === 'orvel' && row.svname && row.svname !== 'BACKEND') states[row.svname] = row;
        }
        resolve(states);
      });
    });

    it('loses no request while each replica in turn gets SIGTERM and comes back', async () => {
      replicas = await Replicas.start(2);
      const front = await freePort();
      const adminSocket = path.join(dir, 'admin.sock');
      // The example file, its ports changed, and an admin socket to read
      // the servers' states from.
      let config = fs.readFileSync(path.join(EXAMPLES, 'haproxy.cfg'), 'utf8');
      for (const [from, to] of [['8080', front], ['5501', replicas.ports[0]], ['5502', replicas.ports[1]]]) {
        assert.ok(config.includes(`127.0.0.1:${from}`), `examples/haproxy.cfg has no 127.0.0.1:${from}`);
        config = config.replaceAll(`127.0.0.1:${from}`, `127.0.0.1:${to}`);
      }
      config = config.replace(/^global\n/m, `global\n    stats socket ${adminSocket} mode 600 level admin\n`);
      const configPath = path.join(dir, 'haproxy.cfg');
      fs.writeFileSync(configPath, config);
      execFileSync('haproxy', ['-c', '-q', '-f', configPath]);

      haproxy = spawn('haproxy', ['-db', '-f', configPath], { stdio: ['ignore', 'pipe', 'pipe'] });
      haproxy.stdout.on('data', (d) => { haproxyLog += d; });
      haproxy.stderr.on('data', (d) => { haproxyLog += d; });
      const names = ['orvel1', 'orvel2'];
      const replicasUp = async () => {
        const states = await serverStates(adminSocket);
        return names.every((name) => states[name]?.status === 'UP');
      };
      const result = await rollingRestart({ frontUrl: `http://127.0.0.1:${front}`, replicas, ready: replicasUp,
                                            replicasUp });

      const states = await serverStates(adminSocket);
      // httplog's connection counts end with the request's retries ("+" when redispatched).
      const retried = haproxyLog.split('\n').filter((line) => / [-A-Za-z]{4} \d+\/\d+\/\d+\/\d+\/\+?[1-9]\d* /.test(line)).length;
      console.log(`# ${result.served} answers through HAProxy, ${result.failures.length} failed, ` +
                  `${retried} retried by HAProxy on the other replica; replicas exited ` +
                  `${result.stopTimes.join(', ')} ms after SIGTERM; answered per replica: ` +
                  names.map((n) => `${n} ${states[n]?.stot}`).join(', '));
      assert.deepEqual(result.failures, [], haproxyLog.split('\n').slice(-40).join('\n'));
      assert.equal(result.stopTimes.length, 4);
      for (const name of names) assert.ok(Number(states[name]?.stot) > 0, `${name} answered nothing`);
    });
  });
}

if (group === 'Nginx') {
  if (!installed('nginx')) {
    console.log('SKIP: nginx is not installed (scripts/setup installs Debian\'s nginx)');
    process.exit(77);
  }

  describe('a rolling restart behind nginx', () => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-nginx-'));
    let replicas, nginx, nginxLog = '';
    after(async () => {
      if (nginx && nginx.exitCode === null) {
        nginx.kill('SIGTERM');
        await new Promise((r) => nginx.on('exit', r));
      }
      if (replicas) await replicas.stop();
      fs.rmSync(dir, { recursive: true, force: true });
    });

    it('loses no request while each replica in turn gets SIGTERM and comes back', async () => {
      replicas = await Replicas.start(2);
      const front = await freePort();
      let config = fs.readFileSync(path.join(EXAMPLES, 'nginx.conf'), 'utf8');
      for (const [from, to] of [['8080', front], ['5501', replicas.ports[0]], ['5502', replicas.ports[1]]]) {
        assert.ok(config.includes(`127.0.0.1:${from}`), `examples/nginx.conf has no 127.0.0.1:${from}`);
        config = config.replaceAll(`127.0.0.1:${from}`, `127.0.0.1:${to}`);
      }
      const configPath = path.join(dir, 'nginx.conf');
      fs.writeFileSync(configPath, config);
      // Its own prefix, log and pid file: nothing of the machine's nginx is touched.
      const args = ['-p', dir, '-e', path.join(dir, 'error.log'), '-c', configPath];
      execFileSync('nginx', ['-t', '-q', ...args, '-g', `pid ${dir}/nginx-t.pid;`], { stdio: ['ignore', 'pipe', 'pipe'] });
      nginx = spawn('nginx', [...args, '-g', `daemon off; pid ${dir}/nginx.pid;`], { stdio: ['ignore', 'pipe', 'pipe'] });
      nginx.stdout.on('data', (d) => { nginxLog += d; });
      nginx.stderr.on('data', (d) => { nginxLog += d; });
      const ready = () => new Promise((resolve) => {
        const socket = net.connect(front, '127.0.0.1', () => { socket.destroy(); resolve(true); });
        socket.on('error', () => resolve(false));
      });
      // nginx tells nothing of its upstreams: a replica is back once nginx
      // has sent it a request again (after fail_timeout).
      const replicasUp = async () => replicas.servers.every((server) => /POST \/v1\/audio\/speech 200/.test(server.log()));
      const result = await rollingRestart({ frontUrl: `http://127.0.0.1:${front}`, replicas, ready, replicasUp });
      console.log(`# ${result.served} answers through nginx, ${result.failures.length} failed; replicas exited ` +
                  `${result.stopTimes.join(', ')} ms after SIGTERM`);
      assert.deepEqual(result.failures, [], nginxLog.split('\n').slice(-40).join('\n'));
      assert.equal(result.stopTimes.length, 4);
    });
  });
}
