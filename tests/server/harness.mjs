// What the orvel-server tests share: a server process on 127.0.0.1, a folder of
// test voices, raw HTTP, independent decoders and the reference durations.
//
// Environment (set by CTest): ORVEL_SERVER, ORVEL_SAY, ORVEL_TEST_VOICES,
// ORVEL_NPM_DIR (the folder holding node_modules).
import { spawn, execFile, execFileSync } from 'node:child_process';
import { promisify } from 'node:util';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const execFileAsync = promisify(execFile);

export const SERVER = process.env.ORVEL_SERVER;
export const SAY = process.env.ORVEL_SAY;
export const VOICES = path.resolve(process.env.ORVEL_TEST_VOICES || '.');
export const requireNpm = createRequire(path.resolve(process.env.ORVEL_NPM_DIR || '.', 'package.json'));

export const RATE = 22050;       // the test voices' rate
export const SILENCE_S = 0.2;    // between sentences, as orvel-say leaves

// A folder of voices for one server: fixed_1s (one second per request,
// whatever the text), probe (echoes what it was given), "multi" (the probe
// with four named speakers) and "broken" (loads, then fails every request).
// Each folder is removed when the test process exits, however it ends.
const voiceDirs = [];
process.on('exit', () => {
  for (const dir of voiceDirs) fs.rmSync(dir, { recursive: true, force: true });
});

export function makeVoiceDir() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-server-voices-'));
  voiceDirs.push(dir);
  const link = (from, to) => {
    fs.symlinkSync(path.join(VOICES, from + '.onnx'), path.join(dir, to + '.onnx'));
  };
  for (const [from, to] of [['fixed_1s', 'fixed_1s'], ['probe', 'probe'], ['probe_multi', 'multi'],
                            ['bad_int64_output', 'broken']]) {
    link(from, to);
    const config = JSON.parse(fs.readFileSync(path.join(VOICES, from + '.onnx.json'), 'utf8'));
    if (to === 'multi') config.speaker_id_map = { ada: 0, bea: 1, cy: 2, dot: 3 };
    fs.writeFileSync(path.join(dir, to + '.onnx.json'), JSON.stringify(config));
  }
  return dir;
}

export class Server {
  static async start(args = [], { voiceDir, env } = {}) {
    const dir = voiceDir || makeVoiceDir();
    const proc = spawn(SERVER, ['--port', '0', '--voice-dir', dir, '--default-voice', 'multi', ...args],
                       { stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env } });
    const server = new Server(proc);
    server.port = await new Promise((resolve, reject) => {
      let out = '';
      proc.stdout.on('data', (d) => {
        out += d;
        const m = out.match(/listening on http:\/\/127\.0\.0\.1:(\d+)/);
        if (m) resolve(Number(m[1]));
      });
      proc.on('exit', (code) => reject(new Error(`orvel-server exited (${code}) before listening:\n${server.log()}`)));
    });
    server.url = `http://127.0.0.1:${server.port}`;
    return server;
  }

  constructor(proc) {
    this.proc = proc;
    this.stderr = [];
    this.libraryLines = 0;  // the library's own, shown only with -v
    this.exited = new Promise((resolve) => proc.on('exit', (code, signal) => resolve({ code, signal })));
    proc.stderr.on('data', (d) => {
      for (const line of String(d).split('\n')) {
        if (line.startsWith('[orvel] ')) ++this.libraryLines;
        else if (line) this.stderr.push(line);
      }
    });
  }

  log() { return this.stderr.join('\n'); }

  // SIGTERM; resolves to the exit status.
  async stop() {
    if (this.proc.exitCode === null && this.proc.signalCode === null) this.proc.kill('SIGTERM');
    return this.exited;
  }

  rss() {
    const status = fs.readFileSync(`/proc/${this.proc.pid}/status`, 'utf8');
    return Number(status.match(/VmRSS:\s+(\d+)/)[1]) * 1024;
  }

  async metrics() {
    const text = await (await fetch(this.url + '/metrics')).text();
    const value = (name) => {
      const m = text.match(new RegExp('^' + name.replace(/[{}"]/g, '\\$&') + ' ([0-9.e+-]+)$', 'm'));
      return m ? Number(m[1]) : 0;
    };
    return { text, value };
  }

  // A request that finds its pooled keep-alive connection just closed by the
  // server (idle for its 5 s) is sent again, as the openai client does; the
  // server never saw it.
  async speech(body, headers = {}) {
    for (let attempt = 0; ; ++attempt) {
      try {
        return await fetch(this.url + '/v1/audio/speech', {
          method: 'POST',
          headers: { 'Content-Type': 'application/json', ...headers },
          body: typeof body === 'string' ? body : JSON.stringify(body),
        });
      } catch (e) {
        if (attempt < 3 && e.cause?.code === 'UND_ERR_SOCKET') continue;
        throw new Error(`request failed: ${e.cause?.code || ''} ${e.cause?.message || e.message}`);
      }
    }
  }
}

// Sends raw bytes over a fresh connection and reads until the server closes
// it or `ms` pass; returns { status, headers, body, raw }.
export function rawRequest(port, bytes, { ms = 10000 } = {}) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    const chunks = [];
    const finish = () => {
      socket.destroy();
      const raw = Buffer.concat(chunks);
      const text = raw.toString('latin1');
      const headEnd = text.indexOf('\r\n\r\n');
      const head = headEnd >= 0 ? text.slice(0, headEnd) : text;
      const m = head.match(/^HTTP\/1\.1 (\d{3})/);
      const headers = {};
      for (const line of head.split('\r\n').slice(1)) {
        const i = line.indexOf(':');
        if (i > 0) headers[line.slice(0, i).toLowerCase()] = line.slice(i + 1).trim();
      }
      resolve({ status: m ? Number(m[1]) : 0, headers, body: headEnd >= 0 ? raw.subarray(headEnd + 4) : Buffer.alloc(0), raw });
    };
    const timer = setTimeout(finish, ms);
    socket.on('data', (d) => {
      chunks.push(d);
      // One response is enough: stop at the end of a body with a length.
      const text = Buffer.concat(chunks).toString('latin1');
      const headEnd = text.indexOf('\r\n\r\n');
      const len = text.slice(0, headEnd).match(/content-length:\s*(\d+)/i);
      if (headEnd >= 0 && len && Buffer.byteLength(text, 'latin1') >= headEnd + 4 + Number(len[1])) {
        clearTimeout(timer);
        finish();
      }
    });
    socket.on('close', () => { clearTimeout(timer); finish(); });
    socket.on('error', () => {});
    socket.write(bytes);
  });
}

// Samples (mono s16) that an independent decoder gets from encoded bytes,
// and their rate. Asynchronous: a test with many clients keeps its event loop
// free, so its connections see the server's keep-alive closes in time.
export async function decode(format, bytes) {
  if (format === 'pcm') return { samples: bytes.length / 2, rate: 24000 };
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-decode-'));
  try {
    const file = path.join(dir, 'audio.' + format);
    fs.writeFileSync(file, bytes);
    const run = async (cmd, args) =>
      (await execFileAsync(cmd, args, { maxBuffer: 1 << 30, encoding: 'buffer' })).stdout;
    switch (format) {
      case 'mp3': {
        // mpg123 -t -v tells the stream's rate on standard error ("MPEG 2.0 L III vbr 22050 mono").
        const info = await execFileAsync('mpg123', ['-t', '-v', file], { encoding: 'utf8' });
        const rate = Number(info.stderr.match(/L III \S+ (\d+) /)[1]);
        return { samples: (await run('mpg123', ['-q', '--mono', '-s', file])).length / 2, rate };
      }
      case 'opus': {
        const out = path.join(dir, 'audio.raw');
        await run('opusdec', ['--quiet', '--rate', '24000', file, out]);
        return { samples: fs.statSync(out).size / 2, rate: 24000 };
      }
      default: { // wav, flac
        const rate = Number(String(await run('soxi', ['-r', file])).trim());
        return { samples: (await run('sox', [file, '-t', 'raw', '-e', 'signed', '-b', '16', '-c', '1', '-'])).length / 2,
                 rate };
      }
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

// What the library itself says for the text: orvel-say --raw with the same
// voice and the same planner, in seconds.
export function referenceSeconds(voice, text) {
  const raw = execFileSync(SAY, ['-m', path.join(VOICES, voice + '.onnx'), '--raw', text],
                           { maxBuffer: 1 << 30, stdio: ['ignore', 'pipe', 'ignore'] });
  return raw.length / 2 / RATE;
}

// Sentences for fixed_1s: n sentences give n seconds plus the pauses between.
export function sentences(n, offset = 0) {
  return Array.from({ length: n }, (_, i) => `Sentence number ${i + 1 + offset} is here.`).join(' ');
}
export const fixedSeconds = (n) => n + (n - 1) * SILENCE_S;

// Reads the probe voice's header back from 16-bit samples.
export function probeReading(samples) {
  return { sid: samples[2], noise: samples[3], length: samples[4], noiseW: samples[5] };
}

export function wavSamples(bytes) {
  const data = bytes.indexOf(Buffer.from('data')) + 8;
  const out = [];
  for (let i = data; i + 1 < bytes.length; i += 2) out.push(bytes.readInt16LE(i));
  return out;
}
