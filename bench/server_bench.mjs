// Benchmarks of orvel-server over 127.0.0.1 (not a test: nothing here fails on
// a number). Prints a table and writes JSON.
//   node server_bench.mjs URL PID OUT.json [--quick]
//   node server_bench.mjs URL PID OUT.json --workers N   (only requests per
//     second and latency for 1..8 clients, added to OUT.json under "workers")
// The server's /metrics gives the time spent inside the library, so the
// server's own share of each request's time can be told apart from synthesis.
// On a busy machine wall times mostly measure the wait for a core, so the
// server's share is also given in CPU time: the engine thread and the ONNX
// Runtime threads it starts are named "orvel-engine"; every other thread of
// the process (HTTP, JSON, planning, resampling, encoding) is the server's.
import fs from 'node:fs';
import os from 'node:os';
import { performance } from 'node:perf_hooks';

const [url, pid, out, mode, workersArg] = process.argv.slice(2);
const quick = mode === '--quick';

const WORDS = ('the quick brown fox jumps over a lazy dog while seven bright stars shine on every quiet ' +
               'village road and the river runs slowly toward an old stone bridge near the market').split(' ');
// n words in sentences of 8 to 14 words, the same text every run.
function text(n, seed = 1) {
  let s = seed, out = [], sentence = [];
  const next = () => (s = (s * 1103515245 + 12345) % 2147483648);
  let length = 8 + (next() % 7);
  for (let i = 0; i < n; ++i) {
    sentence.push(WORDS[next() % WORDS.length]);
    if (sentence.length === length || i === n - 1) {
      out.push(sentence.join(' ').replace(/^./, (c) => c.toUpperCase()) + '.');
      sentence = [];
      length = 8 + (next() % 7);
    }
  }
  return out.join(' ');
}

async function metric(name) {
  const metrics = await (await fetch(url + '/metrics')).text();
  return Number(metrics.match(new RegExp('^' + name + ' ([0-9.]+)$', 'm'))[1]);
}
const synthesisSeconds = () => metric('orvel_synthesis_seconds_total');

// CPU seconds of the server process: the engine's threads and the rest.
function cpuSeconds() {
  const tick = 100;  // USER_HZ on Linux
  const result = { engine: 0, server: 0 };
  for (const task of fs.readdirSync(`/proc/${pid}/task`)) {
    let stat;
    try { stat = fs.readFileSync(`/proc/${pid}/task/${task}/stat`, 'utf8'); } catch { continue; }
    const name = stat.slice(stat.indexOf('(') + 1, stat.lastIndexOf(')'));
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    const seconds = (Number(fields[11]) + Number(fields[12])) / tick;  // utime, stime
    result[name === 'orvel-engine' ? 'engine' : 'server'] += seconds;
  }
  return result;
}

// One request; times to the response head, the first body byte and the end.
async function speak(input, format) {
  const start = performance.now();
  const response = await fetch(url + '/v1/audio/speech', {
    method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ model: 'tts-1', input, response_format: format }),
  });
  if (!response.ok) throw new Error(`status ${response.status}: ${await response.text()}`);
  let first = 0, bytes = 0;
  for await (const chunk of response.body) {
    if (!first) first = performance.now();
    bytes += chunk.length;
  }
  const end = performance.now();
  return { first: first - start, total: end - start, bytes };
}

const percentile = (values, p) => {
  const sorted = values.slice().sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(p / 100 * sorted.length))];
};
const round = (x, digits = 1) => Number(x.toFixed(digits));

const results = { date: new Date().toISOString(), mode: quick ? 'quick' : 'full',
                  machine: `${os.cpus().length} x ${os.cpus()[0].model}`, first_byte: {}, throughput: [], overhead: {} };

// Warm-up: the first request pays for lazy set-up in eSpeak NG and ONNX Runtime.
for (let i = 0; i < 3; ++i) await speak(text(20, 99 + i), 'pcm');

// Requests per second and latency for 20-word requests from `clients`
// clients at once, each sending its next request when its last has ended.
async function throughput(clients, format, requests) {
  const latencies = [];
  let issued = 0;
  const start = performance.now();
  await Promise.all(Array.from({ length: clients }, async () => {
    while (issued < requests) {
      const seed = issued++;
      latencies.push((await speak(text(20, 1000 + seed), format)).total);
    }
  }));
  const seconds = (performance.now() - start) / 1000;
  return { clients, format, requests, requests_per_s: round(requests / seconds, 2),
           p50_ms: round(percentile(latencies, 50)), p99_ms: round(percentile(latencies, 99)) };
}

if (mode === '--workers') {
  // With --workers N each process has its own engine: clients are spread
  // over them by the kernel, one connection at a time.
  const workers = Number(workersArg);
  const previous = fs.existsSync(out) ? JSON.parse(fs.readFileSync(out, 'utf8')) : {};
  const rows = [];
  for (let clients = 1; clients <= 8; ++clients) rows.push(await throughput(clients, 'pcm', 25 * clients));
  console.log(`--workers ${workers}: clients  req/s    p50 ms   p99 ms`);
  for (const r of rows)
    console.log(`  ${String(r.clients).padStart(16)} ${String(r.requests_per_s).padStart(7)} ${String(r.p50_ms).padStart(8)} ${String(r.p99_ms).padStart(8)}`);
  previous.date = new Date().toISOString();
  previous.machine = `${os.cpus().length} x ${os.cpus()[0].model}`;
  previous.workers = { ...(previous.workers || {}), [workers]: rows };
  previous.load_average = { ...(previous.load_average || {}), [workers]: os.loadavg().map((x) => round(x, 2)) };
  fs.writeFileSync(out, JSON.stringify(previous, null, 2) + '\n');
  process.exit(0);
}

// 1. Time to the first audio byte against the whole, for a 2,000-word text.
const long = text(2000);
const firstSentence = long.slice(0, long.indexOf('.') + 1);
for (const format of ['pcm', 'mp3']) {
  const runs = quick ? 1 : 3;
  let best = null;
  for (let i = 0; i < runs; ++i) {
    const before = await synthesisSeconds();
    await speak(firstSentence, format);
    const sentenceMs = (await synthesisSeconds() - before) * 1000;
    const r = await speak(long, format);
    if (!best || r.first < best.first) best = { ...r, sentenceMs };
  }
  results.first_byte[format] = { words: 2000, first_byte_ms: round(best.first), total_ms: round(best.total),
                                 first_sentence_synthesis_ms: round(best.sentenceMs), bytes: best.bytes };
}

// 2. Requests per second and latency for 20-word requests at 1, 2 and 8 clients.
const perLevel = quick ? 40 : 200;
for (const clients of [1, 2, 8])
  for (const format of ['pcm', 'mp3']) results.throughput.push(await throughput(clients, format, perLevel));

// 3. The server's added time: one client, one request at a time. The server
// times each request from its arrival to the last byte sent; the library's
// synthesis time is the direct call's. The client's view adds Node's fetch.
const overheadRequests = quick ? 30 : 150;
// The connections left idle by the many-client runs close after the server's
// 5 s keep-alive time; until then their threads poll, which is not this test's cost.
await new Promise((r) => setTimeout(r, 6000));
for (const format of ['pcm', 'mp3', 'wav']) {
  let wall = 0;
  const before = await synthesisSeconds();
  const serverBefore = await metric('orvel_speech_request_seconds_total');
  const cpuBefore = cpuSeconds();
  for (let i = 0; i < overheadRequests; ++i) wall += (await speak(text(20, 5000 + i), format)).total;
  const synthesis = (await synthesisSeconds() - before) * 1000;
  const server = (await metric('orvel_speech_request_seconds_total') - serverBefore) * 1000;
  const cpuAfter = cpuSeconds();
  const engineCpu = cpuAfter.engine - cpuBefore.engine, serverCpu = cpuAfter.server - cpuBefore.server;
  results.overhead[format] = { requests: overheadRequests, client_wall_ms: round(wall), server_wall_ms: round(server),
                               synthesis_ms: round(synthesis),
                               added_ms_per_request: round((server - synthesis) / overheadRequests, 2),
                               added_pct: round((server - synthesis) / synthesis * 100, 2),
                               client_added_pct: round((wall - synthesis) / synthesis * 100, 2),
                               engine_cpu_ms: round(engineCpu * 1000), server_cpu_ms: round(serverCpu * 1000),
                               server_cpu_pct: round(serverCpu / engineCpu * 100, 2) };
}


console.log(`orvel-server benchmarks (${results.mode}), ${results.machine}\n`);
console.log('2,000-word text      first byte   total     first sentence (library)');
for (const [format, r] of Object.entries(results.first_byte))
  console.log(`  ${format.padEnd(18)} ${String(r.first_byte_ms).padStart(8)} ms ${String(r.total_ms).padStart(8)} ms ${String(r.first_sentence_synthesis_ms).padStart(8)} ms`);
console.log('\n20-word requests     clients  req/s    p50 ms   p99 ms');
for (const r of results.throughput)
  console.log(`  ${r.format.padEnd(18)} ${String(r.clients).padStart(7)} ${String(r.requests_per_s).padStart(7)} ${String(r.p50_ms).padStart(8)} ${String(r.p99_ms).padStart(8)}`);
console.log('\nserver overhead      wall: added per request, share of synthesis (client\'s view)   CPU: server / engine');
for (const [format, r] of Object.entries(results.overhead))
  console.log(`  ${format.padEnd(18)} ${String(r.added_ms_per_request).padStart(8)} ms ${String(r.added_pct).padStart(8)} % (${r.client_added_pct} %) ${String(r.server_cpu_pct).padStart(18)} %`);
console.log(`\nload average during the run: ${os.loadavg().map((x) => x.toFixed(1)).join(' ')}`);
results.load_average = os.loadavg().map((x) => round(x, 2));
fs.writeFileSync(out, JSON.stringify(results, null, 2) + '\n');
