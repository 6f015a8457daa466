// orvel-server over real sockets on 127.0.0.1: the official openai client for
// every format, streaming and SSE; raw HTTP for every refusal; a bounded load
// test; cancellation and shutdown. Run by CTest: node test_server.mjs GROUP.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import {
  Server, SERVER, VOICES, makeVoiceDir, rawRequest, decode, referenceSeconds, sentences, fixedSeconds, probeReading, wavSamples, requireNpm,
  RATE,
} from './harness.mjs';

const group = process.argv[2];
const OpenAI = requireNpm('openai').default || requireNpm('openai');

// Decoded length in seconds, and the slack each codec needs: a streamed MP3
// keeps the encoder's delay and the last frame's padding (together at most two
// frames of 1152 samples), Opus rounds to its frames, resampling to 24 kHz rounds.
async function decodedSeconds(format, bytes) {
  const { samples, rate } = await decode(format, Buffer.from(bytes));
  return samples / rate;
}
const SLACK = { mp3: 2 * 1152 / 22050, opus: 0.03, flac: 0.001, wav: 0.001, pcm: 0.001 };

if (group === 'OpenAIClient') {
  describe('the official openai client', () => {
    let server, client;
    before(async () => {
      server = await Server.start();
      client = new OpenAI({ baseURL: server.url + '/v1', apiKey: 'unused', maxRetries: 0 });
    });
    after(async () => assert.deepEqual(await server.stop(), { code: 0, signal: null }, server.log()));

    it('speaks every format to the duration of a direct library call', async () => {
      const text = sentences(3);
      const expected = referenceSeconds('fixed_1s', text);
      assert.ok(Math.abs(expected - fixedSeconds(3)) < 0.001, `reference ${expected}`);
      for (const format of ['mp3', 'opus', 'flac', 'wav', 'pcm']) {
        const response = await client.audio.speech.create({ model: 'tts-1', voice: 'fixed_1s', input: text,
                                                            response_format: format });
        const type = { mp3: 'audio/mpeg', opus: 'audio/ogg', flac: 'audio/flac', wav: 'audio/wav', pcm: 'audio/pcm' };
        assert.equal(response.headers.get('content-type'), type[format]);
        const seconds = await decodedSeconds(format, await response.arrayBuffer());
        assert.ok(seconds > expected - 0.001 && seconds - expected <= SLACK[format],
                  `${format}: ${seconds} s, expected ${expected} s`);
      }
    });

    it('defaults to MP3 when no format is given', async () => {
      const response = await client.audio.speech.create({ model: 'tts-1', voice: 'fixed_1s', input: 'Hello!' });
      assert.equal(response.headers.get('content-type'), 'audio/mpeg');
      const seconds = await decodedSeconds('mp3', await response.arrayBuffer());
      assert.ok(seconds > 1 && seconds - 1 <= SLACK.mp3, `${seconds} s`);
    });

    it('starts a WAV stream with the canonical header, its sizes unknown', async () => {
      const response = await client.audio.speech.create({ model: 'tts-1', voice: 'fixed_1s', input: 'Hello!',
                                                          response_format: 'wav' });
      const bytes = Buffer.from(await response.arrayBuffer());
      assert.equal(bytes.toString('latin1', 0, 4), 'RIFF');
      assert.equal(bytes.readUInt32LE(4), 0xFFFFFFFF);
      assert.equal(bytes.toString('latin1', 8, 16), 'WAVEfmt ');
      const rate = bytes.readUInt32LE(24);
      assert.deepEqual([bytes.readUInt32LE(16), bytes.readUInt16LE(20), bytes.readUInt16LE(22), rate,
                        bytes.readUInt32LE(28), bytes.readUInt16LE(32), bytes.readUInt16LE(34)],
                       [16, 1, 1, 22050, 44100, 2, 16]);
      assert.equal(bytes.toString('latin1', 36, 40), 'data');
      assert.equal(bytes.readUInt32LE(40), 0xFFFFFFFF);
      assert.ok(bytes.length > 44 && bytes.length % 2 === 0, `${bytes.length} bytes`);
    });

    it('streams a long text in chunks as it is spoken', async () => {
      const n = 12;
      const response = await client.audio.speech.create({ model: 'tts-1', voice: 'fixed_1s', input: sentences(n),
                                                          response_format: 'pcm' });
      assert.equal(response.headers.get('transfer-encoding'), 'chunked');
      const parts = [];
      for await (const part of response.body) parts.push(Buffer.from(part));
      assert.ok(parts.length > 1, `${parts.length} part(s)`);
      const seconds = Buffer.concat(parts).length / 2 / 24000;
      assert.ok(Math.abs(seconds - fixedSeconds(n)) <= SLACK.pcm, `${seconds} s`);
    });

    it('sends server-sent events: audio deltas, then done', async () => {
      const n = 4;
      const response = await client.audio.speech.create({ model: 'gpt-4o-mini-tts', voice: 'fixed_1s',
                                                          input: sentences(n), response_format: 'pcm',
                                                          stream_format: 'sse' });
      assert.equal(response.headers.get('content-type'), 'text/event-stream');
      const events = (await response.text()).split('\n\n').filter(Boolean).map((e) => {
        assert.ok(e.startsWith('data: '), e.slice(0, 80));
        return JSON.parse(e.slice(6));
      });
      const deltas = events.filter((e) => e.type === 'speech.audio.delta');
      // One event per sentence at least (the resampler's last samples may add one).
      assert.ok(deltas.length >= n, `${deltas.length} deltas`);
      assert.equal(events.at(-1).type, 'speech.audio.done');
      const bytes = Buffer.concat(deltas.map((e) => Buffer.from(e.audio, 'base64')));
      assert.ok(Math.abs(bytes.length / 2 / 24000 - fixedSeconds(n)) <= SLACK.pcm);
    });

    it('applies speed and speaker per request, never to the next one', async () => {
      const probe = async (voice, speed) => {
        const response = await client.audio.speech.create({ model: 'tts-1', voice, input: 'Hi.', response_format: 'wav',
                                                            ...(speed ? { speed } : {}) });
        return probeReading(wavSamples(Buffer.from(await response.arrayBuffer())));
      };
      assert.equal((await probe('probe', 2)).length, 500);    // the configured 1.0 divided by 2
      assert.equal((await probe('probe')).length, 1000);
      assert.equal((await probe('probe', 0.25)).length, 4000);
      assert.equal((await probe('multi:bea')).sid, 1);
      assert.equal((await probe('cy')).sid, 2);                 // a speaker name alone
      assert.equal((await probe('multi:3')).sid, 3);
      assert.equal((await probe('multi')).sid, 0);
      // OpenAI's names go round the default voice's speakers in a fixed order.
      const openai = ['alloy', 'ash', 'ballad', 'coral', 'echo', 'fable', 'onyx', 'nova', 'sage', 'shimmer', 'verse'];
      for (const [i, name] of openai.entries()) assert.equal((await probe(name)).sid, i % 4, name);
    });

    it('lists models and voices', async () => {
      const models = await client.models.list();
      assert.ok(models.data.some((m) => m.id === 'tts-1'));
      const plain = await (await fetch(server.url + '/v1/audio/models')).json();
      assert.ok(plain.models.some((m) => m.id === 'tts-1'));
      const { voices } = await (await fetch(server.url + '/v1/audio/voices')).json();
      const ids = voices.map((v) => v.id);
      for (const id of ['multi', 'fixed_1s', 'probe', 'multi:ada', 'multi:dot']) assert.ok(ids.includes(id), id);
      assert.ok(voices.every((v) => typeof v.name === 'string'));
    });

    it('chooses the voice by language where OpenAI\'s names leave it open', async () => {
      // The harness's voices (English, "multi" the default) and four of test-voices/languages,
      // each echoing a noise scale of its own.
      const dir = makeVoiceDir();
      for (const name of ['czech_a', 'czech_cz', 'russian_multi', 'british'])
        for (const suffix of ['.onnx', '.onnx.json'])
          fs.symlinkSync(path.join(VOICES, 'languages', name + suffix), path.join(dir, name + suffix));
      const languages = await Server.start([], { voiceDir: dir });
      try {
        const { voices } = await (await fetch(languages.url + '/v1/audio/voices')).json();
        const language = Object.fromEntries(voices.map((v) => [v.id, v.language]));
        assert.deepEqual([language.multi, language.czech_a, language.czech_cz, language.british,
                          language.russian_multi, language['russian_multi:boris']],
                         ['en-us', 'cs', 'cs-cz', 'en-gb', 'ru', 'ru']);

        const languageClient = new OpenAI({ baseURL: languages.url + '/v1', apiKey: 'unused', maxRetries: 0 });
        const probe = async (body) => {
          const response = await languageClient.audio.speech.create({ model: 'tts-1', input: 'Ahoj.',
                                                                      response_format: 'wav', ...body });
          return probeReading(wavSamples(Buffer.from(await response.arrayBuffer())));
        };
        const noise = { multi: 667, czech_a: 111, czech_cz: 113, british: 115, russian_multi: 117 };
        for (const [body, voice, sid] of [
          [{ voice: 'alloy', language: 'cs' }, 'czech_a', -1],   // a cs voice before a cs-cz one
          [{ voice: 'alloy', language: 'cs_CZ' }, 'czech_cz', -1],
          [{ voice: 'ash', language: 'ru' }, 'russian_multi', 1],  // OpenAI's names: the voice's speakers
          [{ voice: 'onyx', language: 'RU' }, 'russian_multi', 2],
          [{ voice: 'alloy', language: 'en' }, 'multi', 0],      // the default voice leads its equals
          [{ voice: 'alloy', language: 'en-gb' }, 'british', -1],
          [{ voice: 'russian_multi:boris', language: 'ru' }, 'russian_multi', 1],  // ours, and it fits
          [{ voice: 'czech_cz', language: 'cs' }, 'czech_cz', -1],
        ]) {
          const got = await probe(body);
          assert.deepEqual([got.noise, got.sid], [noise[voice], sid], JSON.stringify(body));
        }
        // No voice at all: the language's.
        const response = await languages.speech({ input: 'Ahoj.', language: 'cs-cz', response_format: 'wav' });
        assert.equal(probeReading(wavSamples(Buffer.from(await response.arrayBuffer()))).noise, noise.czech_cz);

        for (const [body, message] of [
          [{ voice: 'alloy', language: 'fi' }, "no voice speaks the language 'fi' (the voices speak cs, cs-cz, en-gb, en-us, ru)"],
          [{ voice: 'czech_a', language: 'ru' }, "the voice 'czech_a' speaks cs, not 'ru'"],
          [{ voice: 'alloy', language: 5 }, "'language' must be a string"],
        ]) {
          const refused = await languages.speech({ model: 'tts-1', input: 'Hi.', ...body });
          assert.equal(refused.status, 400, JSON.stringify(body));
          const { error } = await refused.json();
          assert.deepEqual([error.message, error.param], [message, 'language']);
        }
      } finally {
        assert.deepEqual(await languages.stop(), { code: 0, signal: null }, languages.log());
      }
    });

    it('reports errors in OpenAI\'s shape through the client', async () => {
      await assert.rejects(client.audio.speech.create({ model: 'tts-1', voice: 'nobody', input: 'Hi.' }), (e) => {
        assert.equal(e.status, 400);
        assert.equal(e.param, 'voice');
        assert.equal(e.type, 'invalid_request_error');
        return true;
      });
    });

    it('passes over sentences eSpeak NG has no phonemes for', async () => {
      // Arabic-Indic three, Cherokee: first (before the response starts) and in the middle of the stream.
      const input = '\u0663\n\nSentence one.\n\n\u13e3\n\nSentence two.';
      const response = await client.audio.speech.create({ model: 'tts-1', voice: 'fixed_1s', input,
                                                          response_format: 'pcm' });
      const seconds = Buffer.from(await response.arrayBuffer()).length / 2 / 24000;
      assert.ok(Math.abs(seconds - fixedSeconds(2)) <= SLACK.pcm, `${seconds} s`);
      const lines = server.log().split('\n').filter((l) => l.includes('no phonemes for'));
      assert.equal(lines.length, 1, server.log());
      await assert.rejects(client.audio.speech.create({ model: 'tts-1', voice: 'fixed_1s', input: '\u0663 \u13e3' }),
                           (e) => e.status === 400 && e.param === 'input');
    });
  });
}

if (group === 'BadRequests') {
  describe('refusals, each with a clear 4xx and the server still up', () => {
    let server;
    const KEY = 'sk-test-key';
    const auth = { Authorization: `Bearer ${KEY}` };
    before(async () => { server = await Server.start(['--api-key', KEY, '--max-input', '200']); });
    after(async () => assert.deepEqual(await server.stop(), { code: 0, signal: null }, server.log()));

    const up = async () => {
      const health = await fetch(server.url + '/health');
      assert.equal(health.status, 200);
      const good = await server.speech({ input: 'Still here.', voice: 'fixed_1s', response_format: 'pcm' }, auth);
      assert.equal(good.status, 200);
      assert.equal((await good.arrayBuffer()).byteLength, 48000);
    };
    const openaiError = async (response, status, param) => {
      assert.equal(response.status, status);
      const body = await response.json();
      assert.equal(typeof body.error.message, 'string');
      assert.ok(body.error.message.length > 0);
      assert.equal(typeof body.error.type, 'string');
      assert.ok('param' in body.error && 'code' in body.error);
      if (param !== undefined) assert.equal(body.error.param, param);
      return body.error;
    };

    it('answers 400 for each bad field, naming it', async () => {
      const cases = [
        [{ voice: 'fixed_1s' }, 'input'],
        [{ input: 42 }, 'input'],
        [{ input: '' }, 'input'],
        [{ input: '   \n ' }, 'input'],
        [{ input: 'x'.repeat(201) }, 'input'],
        [{ input: 'Hi.', voice: 'nobody' }, 'voice'],
        [{ input: 'Hi.', voice: 'multi:nobody' }, 'voice'],
        [{ input: 'Hi.', voice: 'multi:4' }, 'voice'],
        [{ input: 'Hi.', voice: 7 }, 'voice'],
        [{ input: 'Hi.', response_format: 'ogg' }, 'response_format'],
        [{ input: 'Hi.', response_format: 'aac' }, 'response_format'],
        [{ input: 'Hi.', speed: 0.2 }, 'speed'],
        [{ input: 'Hi.', speed: 4.5 }, 'speed'],
        [{ input: 'Hi.', speed: 'fast' }, 'speed'],
        [{ input: 'Hi.', stream_format: 'websocket' }, 'stream_format'],
        [{ input: 'Hi.', model: ['tts-1'] }, 'model'],
      ];
      for (const [body, param] of cases) {
        await openaiError(await server.speech(body, auth), 400, param);
      }
      // 200 characters are accepted, multi-byte ones counted as one each.
      const limit = await server.speech({ input: 'é'.repeat(199) + '.', voice: 'fixed_1s', response_format: 'pcm' }, auth);
      assert.equal(limit.status, 200);
      await limit.arrayBuffer();
      const aac = await openaiError(await server.speech({ input: 'Hi.', response_format: 'aac' }, auth), 400);
      assert.match(aac.message, /aac/);
      await up();
    });

    it('answers 401 without the right key, on every API path', async () => {
      for (const headers of [{}, { Authorization: 'Bearer wrong' }, { Authorization: KEY }]) {
        const error = await openaiError(await server.speech({ input: 'Hi.' }, headers), 401, null);
        assert.equal(error.code, 'invalid_api_key');
        assert.equal((await fetch(server.url + '/v1/audio/voices', { headers })).status, 401);
      }
      // The page and the probes stay open.
      assert.equal((await fetch(server.url + '/')).status, 200);
      assert.equal((await fetch(server.url + '/metrics')).status, 200);
      await up();
    });

    it('answers 500 with the library\'s message when synthesis fails', async () => {
      const error = await openaiError(await server.speech({ input: 'Hi.', voice: 'broken' }, auth), 500);
      assert.match(error.message, /element type/);
      await up();
    });

    it('answers 400 for text with nothing to say', async () => {
      for (const input of ['...', '?!', ' . '])
        await openaiError(await server.speech({ input, voice: 'fixed_1s' }, auth), 400, 'input');
      await up();
    });

    it('survives malformed requests', async () => {
      const post = (body, { type = 'application/json', extra = '' } = {}) =>
        Buffer.concat([Buffer.from(`POST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer ${KEY}\r\n` +
                                   `Content-Type: ${type}\r\nContent-Length: ${body.length}\r\n${extra}Connection: close\r\n\r\n`),
                       body]);
      const expect4xx = async (bytes, want) => {
        const r = await rawRequest(server.port, bytes);
        if (want) assert.equal(r.status, want, r.raw.toString('latin1', 0, 300));
        else assert.ok(r.status >= 400 && r.status < 500, `status ${r.status}: ${r.raw.toString('latin1', 0, 200)}`);
        return r;
      };
      await expect4xx(post(Buffer.from('{"input": "Hello')), 400);                   // truncated JSON
      await expect4xx(post(Buffer.from('[1,2,3]')), 400);                             // not an object
      await expect4xx(post(Buffer.from('{"input":"Hi \xff\xfe there"}', 'latin1')), 400);  // invalid UTF-8
      await expect4xx(post(Buffer.from('{"input":"Hi\u0000there"}', 'latin1')), 400); // a raw NUL inside a string
      await expect4xx(post(Buffer.from('input=Hello'), { type: 'application/x-www-form-urlencoded' }), 415);
      const big = await expect4xx(post(Buffer.alloc(10 * 1024 * 1024, 0x61)), 413);  // 10 MB body
      assert.match(big.body.toString(), /too large/);
      // A NUL escaped in JSON is text like any other and is spoken around.
      const nul = await server.speech({ input: 'Hi\u0000there.', voice: 'fixed_1s', response_format: 'pcm' }, auth);
      assert.equal(nul.status, 200);
      await nul.arrayBuffer();
      // Header floods: many fields, and one field longer than a line may be.
      const fields = Array.from({ length: 500 }, (_, i) => `X-Flood-${i}: ${'y'.repeat(50)}\r\n`).join('');
      await expect4xx(post(Buffer.from('{"input":"Hi."}'), { extra: fields }), 431);
      await expect4xx(post(Buffer.from('{"input":"Hi."}'), { extra: `X-Long: ${'z'.repeat(20000)}\r\n` }));
      await expect4xx(Buffer.from('NONSENSE\r\n\r\n'));
      await expect4xx(Buffer.from(`GET /${'a'.repeat(20000)} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n`));
      await expect4xx(Buffer.from(`GET /nowhere HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer ${KEY}\r\nConnection: close\r\n\r\n`), 404);
      // A body shorter than announced, then the connection dropped.
      await rawRequest(server.port, Buffer.from(`POST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n` +
                                                `Content-Length: 1000\r\n\r\n{"input":`), { ms: 200 });
      await up();
    });
  });

  describe('a full queue', () => {
    it('answers 503 with Retry-After, then serves again', async () => {
      const server = await Server.start(['--max-queue', '1']);
      try {
        // A long response left unread keeps its request alive.
        const hold = await server.speech({ input: sentences(200), voice: 'fixed_1s', response_format: 'wav' });
        assert.equal(hold.status, 200);
        const refused = await server.speech({ input: 'Hi.', voice: 'fixed_1s' });
        assert.equal(refused.status, 503);
        assert.equal(refused.headers.get('retry-after'), '1');
        assert.equal((await refused.json()).error.code, 'queue_full');
        await hold.body.cancel();
        let status = 503;
        for (let i = 0; i < 100 && status === 503; ++i) {
          const again = await server.speech({ input: 'Hi.', voice: 'fixed_1s', response_format: 'pcm' });
          status = again.status;
          await again.arrayBuffer();
          if (status === 503) await new Promise((r) => setTimeout(r, 100));
        }
        assert.equal(status, 200);
      } finally {
        assert.deepEqual(await server.stop(), { code: 0, signal: null }, server.log());
      }
    });
  });
}

if (group === 'Load') {
  describe('load: 8 clients x 25 requests of mixed lengths', () => {
    it('loses nothing, never fails, keeps memory flat and does not starve short requests', async () => {
      const server = await Server.start(['--max-queue', '32']);
      try {
        const lengths = [1, 3, 7, 2, 12, 1, 5];
        const formats = ['pcm', 'wav', 'pcm', 'flac'];
        const client = async (c, rounds) => {
          for (let r = 0; r < rounds; ++r) {
            const n = lengths[(c + r) % lengths.length];
            const format = formats[(c * 3 + r) % formats.length];
            const response = await server.speech({ input: sentences(n, c * 100 + r), voice: 'fixed_1s',
                                                   response_format: format });
            assert.equal(response.status, 200, `client ${c} request ${r}`);
            const seconds = await decodedSeconds(format, await response.arrayBuffer());
            assert.ok(Math.abs(seconds - fixedSeconds(n)) <= SLACK[format], `client ${c} request ${r}: ${seconds} s for ${n}`);
          }
        };
        // Warm-up round, then the measured rounds.
        await Promise.all(Array.from({ length: 8 }, (_, c) => client(c, 3)));
        const rssWarm = server.rss();
        await Promise.all(Array.from({ length: 8 }, (_, c) => client(c, 22)));
        const rssEnd = server.rss();
        // AddressSanitizer's quarantine keeps freed memory resident on purpose.
        if (!process.env.ORVEL_SERVER_SANITIZED)
          assert.ok(rssEnd - rssWarm < 24 * 1024 * 1024, `RSS grew from ${rssWarm} to ${rssEnd}`);

        // Fairness: a one-sentence request sent after a 400-sentence one
        // finishes first, because the engine takes turns by sentence.
        const order = [];
        const long = server.speech({ input: sentences(400), voice: 'fixed_1s', response_format: 'pcm' })
          .then(async (r) => { await r.arrayBuffer(); order.push('long'); });
        await new Promise((r) => setTimeout(r, 20));
        const short = server.speech({ input: 'Short.', voice: 'fixed_1s', response_format: 'pcm' })
          .then(async (r) => { await r.arrayBuffer(); order.push('short'); });
        await Promise.all([long, short]);
        assert.deepEqual(order, ['short', 'long']);

        const { value } = await server.metrics();
        assert.equal(value('orvel_requests_total{status="500"}'), 0);
        assert.equal(value('orvel_requests_total{status="503"}'), 0);
        assert.equal(value('orvel_requests_total{status="200"}'), 8 * 25 + 2);
        assert.equal(value('orvel_speech_completed_total'), 8 * 25 + 2);
        assert.ok(value('orvel_speech_request_seconds_total') > value('orvel_synthesis_seconds_total') / 2);
        assert.equal(value('orvel_requests_in_flight'), 0);
      } finally {
        assert.deepEqual(await server.stop(), { code: 0, signal: null }, server.log());
      }
    });
  });
}

if (group === 'Formats') {
  describe('every format is sent as it is spoken', () => {
    const FORMATS = ['mp3', 'opus', 'flac', 'wav', 'pcm'];
    let server;
    before(async () => { server = await Server.start(); });
    after(async () => assert.deepEqual(await server.stop(), { code: 0, signal: null }, server.log()));

    // The seconds of audio spoken so far, once no request is in flight.
    const settled = async () => {
      let m;
      for (let i = 0; i < 200; ++i) {
        m = await server.metrics();
        if (m.value('orvel_requests_in_flight') === 0) break;
        await new Promise((r) => setTimeout(r, 50));
      }
      assert.equal(m.value('orvel_requests_in_flight'), 0);
      assert.equal(m.value('orvel_queue_length'), 0);
      return m.value('orvel_audio_seconds_total');
    };

    it('holds only a window of a long answer, for two at once', async () => {
      // About 99,000 characters each: over an hour of audio, 46 MB of FLAC.
      let n = 0, text = '';
      while (text.length + sentences(1, n).length < 99000) text += (n ? ' ' : '') + sentences(1, n++);
      const rssStart = server.rss();
      let rssPeak = rssStart;
      const sampler = setInterval(() => { rssPeak = Math.max(rssPeak, server.rss()); }, 20);
      try {
        const bodies = await Promise.all([0, 1].map(async (k) => {
          const response = await server.speech({ input: text, voice: 'fixed_1s', response_format: 'flac' });
          assert.equal(response.status, 200);
          const parts = [];
          let bytes = 0;
          for await (const part of response.body) {
            bytes += part.length;
            if (k === 0) parts.push(Buffer.from(part));
          }
          return k === 0 ? Buffer.concat(parts) : bytes;
        }));
        // A header sent before the length is known: decoders read to the end.
        const seconds = await decodedSeconds('flac', bodies[0]);
        assert.ok(Math.abs(seconds - fixedSeconds(n)) <= SLACK.flac, `${seconds} s for ${n} sentences`);
        assert.equal(bodies[1], bodies[0].length);
      } finally {
        clearInterval(sampler);
      }
      if (!process.env.ORVEL_SERVER_SANITIZED)
        assert.ok(rssPeak - rssStart < 24 * 1024 * 1024, `RSS went from ${rssStart} to ${rssPeak}`);
      await settled();
    });

    it('stops speaking for a client that leaves once the answer starts', async () => {
      const n = 1500;
      const body = JSON.stringify({ input: sentences(n), voice: 'fixed_1s' });
      for (const format of FORMATS) {
        const before = await settled();
        const json = body.replace(/}$/, `,"response_format":"${format}"}`);
        const head = await new Promise((resolve) => {
          const socket = net.connect(server.port, '127.0.0.1', () => {
            socket.write(`POST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1:${server.port}\r\n` +
                         `Content-Type: application/json\r\nContent-Length: ${Buffer.byteLength(json)}\r\n\r\n${json}`);
          });
          socket.once('data', (d) => { socket.destroy(); resolve(String(d).split('\r\n')[0]); });
        });
        assert.equal(head, 'HTTP/1.1 200 OK', format);
        // The test voice speaks a second in about a millisecond: what went
        // into the socket's buffers before the client left (and the engine's
        // 16 chunks ahead) is spoken too, 8 to 60 s here.
        const spoken = (await settled()) - before;
        assert.ok(spoken < fixedSeconds(n) / 5, `${format}: ${spoken} s of ${fixedSeconds(n)} s were spoken`);
      }
      const response = await server.speech({ input: 'Still here.', voice: 'fixed_1s', response_format: 'flac' });
      assert.ok(Math.abs(await decodedSeconds('flac', await response.arrayBuffer()) - 1) <= SLACK.flac);
    });
  });
}

if (group === 'Lifecycle') {
  describe('cancellation and shutdown', () => {
    it('a client that disconnects cancels its remaining sentences', async () => {
      const server = await Server.start();
      try {
        const n = 400;
        const response = await server.speech({ input: sentences(n), voice: 'fixed_1s', response_format: 'pcm' });
        const reader = response.body.getReader();
        await reader.read();
        await reader.cancel();
        let m;
        for (let i = 0; i < 200; ++i) {
          m = await server.metrics();
          if (m.value('orvel_requests_in_flight') === 0) break;
          await new Promise((r) => setTimeout(r, 50));
        }
        assert.equal(m.value('orvel_requests_in_flight'), 0);
        assert.equal(m.value('orvel_queue_length'), 0);
        const spoken = m.value('orvel_audio_seconds_total');
        assert.ok(spoken < fixedSeconds(n) / 2, `${spoken} s of ${fixedSeconds(n)} s were spoken`);
      } finally {
        await server.stop();
      }
    });

    it('SIGTERM closes the listener at once and finishes the work it had taken on', async () => {
      const server = await Server.start(['--grace', '30']);
      try {
        // Connected before the signal, sent after: a balancer that has connected
        // has no other server to send its request to. Read from the start, so
        // that a server closing them is seen.
        const open = () => new Promise((resolve, reject) => {
          const socket = net.connect(server.port, '127.0.0.1', () => resolve({ socket, answer }));
          socket.on('error', reject);
          const chunks = [];
          socket.on('data', (d) => chunks.push(d));
          const answer = new Promise((done) => socket.on('close', () => {
            const raw = Buffer.concat(chunks);
            const end = raw.indexOf('\r\n\r\n');
            const head = raw.subarray(0, Math.max(0, end)).toString('latin1');
            let body = raw.subarray(end + 4);
            if (/transfer-encoding: chunked/i.test(head)) {
              const parts = [];
              for (let at = 0; ;) {
                const line = body.indexOf('\r\n', at);
                const size = parseInt(body.subarray(at, line).toString('latin1'), 16);
                if (!(size > 0)) break;
                parts.push(body.subarray(line + 2, line + 2 + size));
                at = line + 2 + size + 2;
              }
              body = Buffer.concat(parts);
            }
            done({ head, body });
          }));
        });
        const [early, probe] = [await open(), await open()];
        const response = await server.speech({ input: sentences(400), voice: 'fixed_1s', response_format: 'pcm' });
        const reader = response.body.getReader();
        let held = (await reader.read()).value.length;
        // Unread, the response holds the server in its grace time.
        server.proc.kill('SIGTERM');
        let refused = false;
        for (let i = 0; i < 250 && !refused && server.proc.exitCode === null; ++i) {
          refused = await new Promise((resolve) => {
            const socket = net.connect(server.port, '127.0.0.1', () => { socket.destroy(); resolve(false); });
            socket.on('error', (e) => resolve(e.code === 'ECONNREFUSED'));
          });
          if (!refused) await new Promise((r) => setTimeout(r, 20));
        }
        assert.ok(refused, 'new connections were still accepted during the grace time');
        assert.equal(server.proc.exitCode, null);
        const ask = ({ socket, answer }, head, body = '') => {
          socket.write(head + `Content-Length: ${Buffer.byteLength(body)}\r\n\r\n` + body);
          return answer;
        };
        const json = JSON.stringify({ input: 'Hi.', voice: 'fixed_1s', response_format: 'pcm' });
        const [speech, health] = await Promise.all([
          ask(early, 'POST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n', json),
          ask(probe, 'GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n'),
        ]);
        assert.match(speech.head, /^HTTP\/1\.1 200 /);
        assert.match(speech.head, /Connection: close/i);
        assert.equal(speech.body.length, 48000, speech.head);
        assert.match(health.head, /^HTTP\/1\.1 503 /);
        assert.equal(JSON.parse(health.body).status, 'stopping');
        // The request in progress is spoken to its end, well inside the grace time.
        for (let chunk; !(chunk = await reader.read()).done;) held += chunk.value.length;
        assert.equal(held, 48000 * fixedSeconds(400));
        assert.deepEqual(await server.exited, { code: 0, signal: null }, server.log());
        assert.doesNotMatch(server.log(), /cancelling/);
      } finally {
        if (server.proc.exitCode === null) server.proc.kill('SIGKILL');
      }
    });

    it('SIGTERM: what is left after the grace time is cut short, and it exits 0', async () => {
      const server = await Server.start(['--grace', '1']);
      const response = await server.speech({ input: sentences(400), voice: 'fixed_1s', response_format: 'pcm' });
      const reader = response.body.getReader();
      await reader.read();
      server.proc.kill('SIGTERM');
      // Read slowly, a sentence each 20 ms, the answer outlasts the grace
      // time; it ends cut short and the process exits cleanly.
      await assert.rejects(async () => {
        for (;;) {
          const { done } = await reader.read();
          if (done) throw new Error('ended without error');
          await new Promise((r) => setTimeout(r, 20));
        }
      });
      assert.deepEqual(await server.exited, { code: 0, signal: null }, server.log());
      assert.match(server.log(), /cancelling 1 request/);
      assert.match(server.log(), /stopped/);
    });

    it('a stop signal that comes before the listener has started still stops it', async () => {
      // "listening on" is printed, then the listener starts 1.5 s later.
      const server = await Server.start([], { env: { ORVEL_SERVER_TEST_SERVE_DELAY_MS: '1500' } });
      server.proc.kill('SIGTERM');
      const timer = setTimeout(() => server.proc.kill('SIGKILL'), 15000);
      const status = await server.exited;
      clearTimeout(timer);
      assert.deepEqual(status, { code: 0, signal: null }, server.log());
    });

    it('a client that leaves before its first sentence is let go at once', async () => {
      // A long sentence of the real voice holds the engine for seconds; a
      // request queued behind it whose client leaves is cancelled before its
      // turn, not spoken and found gone at the first write.
      const real = new URL('../../voices/orvel-en-us.onnx', import.meta.url).pathname;
      const server = await Server.start(['-m', real]);
      try {
        const long = 'This one sentence goes on and on, ' + 'and on and on and on, '.repeat(30) + 'until it ends.';
        const holding = server.speech({ input: long, voice: 'orvel-en-us', response_format: 'wav', speed: 0.25 });
        await new Promise((r) => setTimeout(r, 200));
        const json = JSON.stringify({ input: 'Never heard.', voice: 'fixed_1s', response_format: 'pcm' });
        await new Promise((resolve) => {
          const socket = net.connect(server.port, '127.0.0.1', () => {
            socket.end(`POST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n` +
                       `Content-Length: ${Buffer.byteLength(json)}\r\n\r\n${json}`, () => setTimeout(() => { socket.destroy(); resolve(); }, 50));
          });
        });
        const held = Buffer.from(await (await holding).arrayBuffer());
        const heldSeconds = wavSamples(held).length / held.readUInt32LE(24);
        let m;
        for (let i = 0; i < 200; ++i) {
          m = await server.metrics();
          if (m.value('orvel_requests_in_flight') === 0) break;
          await new Promise((r) => setTimeout(r, 50));
        }
        const unheard = m.value('orvel_audio_seconds_total') - heldSeconds;
        assert.ok(Math.abs(unheard) < 0.01, `${unheard} s spoken for the client that left`);
        assert.equal(m.value('orvel_requests_total{status="499"}'), 1, m.text);
      } finally {
        await server.stop();
      }
    });

    it('a request whose client has already gone is never queued', async () => {
      // Nothing holds the engine: only the check before queueing keeps this
      // request from being spoken before any wait could notice the client left.
      const server = await Server.start([]);
      try {
        const json = JSON.stringify({ input: 'Never heard.', voice: 'fixed_1s', response_format: 'pcm' });
        const socket = net.connect(server.port, '127.0.0.1');
        socket.end(`POST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n` +
                   `Content-Length: ${Buffer.byteLength(json)}\r\n\r\n${json}`);
        socket.on('error', () => {});
        let m;
        for (let i = 0; i < 200; ++i) {
          m = await server.metrics();
          if (m.value('orvel_requests_total{status="499"}') === 1 && m.value('orvel_requests_in_flight') === 0) break;
          await new Promise((r) => setTimeout(r, 20));
        }
        assert.equal(m.value('orvel_requests_total{status="499"}'), 1, m.text);
        assert.equal(m.value('orvel_audio_seconds_total'), 0, m.text);
        socket.destroy();
      } finally {
        await server.stop();
      }
    });

    it('--workers 2: two engine processes on one port, restarted and stopped together', async () => {
      const server = await Server.start(['--workers', '2']);
      try {
        const workers = () => fs.readFileSync(`/proc/${server.proc.pid}/task/${server.proc.pid}/children`, 'utf8')
          .trim().split(/\s+/).filter(Boolean).map(Number);
        assert.equal(workers().length, 2);
        // Connections go to either; each worker's /metrics says which it is.
        const seen = new Set();
        for (let i = 0; i < 40 && seen.size < 2; ++i) {
          const text = await (await fetch(server.url + '/metrics', { headers: { Connection: 'close' } })).text();
          seen.add(text.match(/orvel_worker\{worker="(\d)",workers="2"\} 1/)[1]);
        }
        assert.deepEqual([...seen].sort(), ['1', '2']);
        const response = await server.speech({ input: 'One. Two.', voice: 'fixed_1s', response_format: 'wav' });
        assert.equal(wavSamples(Buffer.from(await response.arrayBuffer())).length, 2 * 22050 + 0.2 * 22050);
        // A worker that dies is started again; the port is served meanwhile by the other.
        const [first] = workers();
        process.kill(first, 'SIGKILL');
        for (let i = 0; i < 300 && !(workers().length === 2 && !workers().includes(first)); ++i)
          await new Promise((r) => setTimeout(r, 20));
        assert.equal(workers().length, 2, server.log());
        assert.match(server.log(), /worker \d ended \(signal 9\); starting it again/);
      } finally {
        assert.deepEqual(await server.stop(), { code: 0, signal: null }, server.log());
      }
    });

    it('SIGINT with nothing in progress exits at once with 0', async () => {
      const server = await Server.start();
      server.proc.kill('SIGINT');
      assert.deepEqual(await server.exited, { code: 0, signal: null }, server.log());
    });

    it('refuses to start without a usable voice, with one message', async () => {
      await assert.rejects(Server.start([], { voiceDir: '/nonexistent-voices' }), /cannot list the voice folder/);
    });

    it('a second signal during the grace time cancels at once', async () => {
      // A real voice, so that the request takes far longer than the grace time.
      const real = new URL('../../voices/orvel-en-us.onnx', import.meta.url).pathname;
      const server = await Server.start(['--grace', '30', '-m', real]);
      const response = await server.speech({ input: sentences(2000), voice: 'orvel-en-us', response_format: 'pcm' });
      const reader = response.body.getReader();
      await reader.read();
      // Unread, the response holds the request in progress through the grace time.
      server.proc.kill('SIGINT');
      for (let i = 0; i < 250 && !/stopping/.test(server.log()); ++i) await new Promise((r) => setTimeout(r, 20));
      assert.match(server.log(), /SIGINT|Interrupt/);
      const second = Date.now();
      server.proc.kill('SIGTERM');
      const drained = (async () => { try { while (!(await reader.read()).done); } catch { /* cut short */ } })();
      const status = await server.exited;
      const waited = (Date.now() - second) / 1000;
      await drained;
      assert.deepEqual(status, { code: 0, signal: null }, server.log());
      // Well inside the 30 s of grace: the cancellation's own settling takes at most 2 s.
      assert.ok(waited < 10, `exited ${waited} s after the second signal:\n${server.log()}`);
      assert.match(server.log(), /cancelling 1 request/);
    });
  });
}

if (group === 'Hostile') {
  describe('hostile clients do not take the server down', () => {
    let server;
    const KEY = 'sk-test-key';
    const auth = { Authorization: `Bearer ${KEY}` };
    // Ten request workers: before the connection reader, a dozen slow clients held them all.
    before(async () => { server = await Server.start(['--api-key', KEY, '--max-queue', '2']); });
    after(async () => assert.deepEqual(await server.stop(), { code: 0, signal: null }, server.log()));

    // /health and a real speech request are answered; a starved server never answers.
    const answered = async () => {
      const health = await fetch(server.url + '/health', { signal: AbortSignal.timeout(5000) });
      assert.equal(health.status, 200);
      const good = await fetch(server.url + '/v1/audio/speech', {
        method: 'POST', signal: AbortSignal.timeout(5000),
        headers: { 'Content-Type': 'application/json', ...auth },
        body: JSON.stringify({ input: 'Still here.', voice: 'fixed_1s', response_format: 'pcm' }),
      });
      assert.equal(good.status, 200);
      assert.equal((await good.arrayBuffer()).byteLength, 48000);
    };
    const connect = () => new Promise((resolve, reject) => {
      const socket = net.connect(server.port, '127.0.0.1', () => resolve(socket));
      socket.on('error', reject);
    });
    // Writes header lines as fast as the server takes them; resolves to the
    // bytes written and what came back once the server closes the connection.
    const flood = async (limit) => {
      const socket = await connect();
      const received = [];
      let closed = false;
      socket.on('data', (d) => received.push(d));
      socket.on('error', () => { closed = true; });
      socket.on('close', () => { closed = true; });
      socket.write('GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n');
      const line = Buffer.from(`X-Flood: ${'y'.repeat(1000)}\r\n`);
      const block = Buffer.concat(Array(64).fill(line));
      while (!closed && socket.bytesWritten < limit) {
        if (!socket.write(block)) await new Promise((r) => { socket.once('drain', r); socket.once('close', r); });
      }
      const written = socket.bytesWritten;
      socket.destroy();
      return { written, answer: Buffer.concat(received).toString('latin1') };
    };

    it('cuts a header flood off early and keeps its memory', async () => {
      const before = server.rss();
      const floods = await Promise.all([1, 2, 3, 4].map(() => flood(60 * 1024 * 1024)));
      for (const { written, answer } of floods) {
        // Dropped unread, up to 16 MB, so that a client can read its answer;
        // the kernel's socket buffers take a few megabytes more.
        assert.ok(written < 32 * 1024 * 1024, `${written} bytes taken before the close`);
        if (answer) assert.match(answer, /^HTTP\/1\.1 431 /);
      }
      if (!process.env.ORVEL_SERVER_SANITIZED) {
        const grown = server.rss() - before;
        assert.ok(grown < 32 * 1024 * 1024, `resident size grew by ${grown} bytes`);
      }
      await answered();
    });

    it('keeps answering beside 200 slow and flooding connections, and times the slow ones out', async () => {
      const slow = [];
      for (let i = 0; i < 160; ++i) {
        const socket = await connect();
        const state = { socket, answer: '', closed: false };
        socket.on('data', (d) => { state.answer += d.toString('latin1'); });
        socket.on('close', () => { state.closed = true; });
        socket.on('error', () => {});
        socket.write('GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n');
        slow.push(state);
      }
      // A byte every 200 ms from each: never a whole head.
      const trickle = setInterval(() => { for (const s of slow) if (!s.closed) s.socket.write('X'); }, 200);
      try {
        const floods = Promise.all(Array.from({ length: 40 }, () => flood(4 * 1024 * 1024)));
        await answered();
        await floods;
        await answered();
        // The head has a deadline of its own, whatever trickles in.
        const start = Date.now();
        while (slow.some((s) => !s.closed) && Date.now() - start < 20000) await new Promise((r) => setTimeout(r, 200));
        assert.ok(slow.every((s) => s.closed), `${slow.filter((s) => !s.closed).length} slow connections still open`);
        assert.ok(slow.every((s) => /^HTTP\/1\.1 408 /.test(s.answer)), slow[0].answer.slice(0, 80));
      } finally {
        clearInterval(trickle);
        for (const s of slow) s.socket.destroy();
      }
      await answered();
    });

    it('answers pipelined requests in order', async () => {
      const body = JSON.stringify({ input: 'Hi.', voice: 'fixed_1s', response_format: 'pcm' });
      const get = (p) => `GET ${p} HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer ${KEY}\r\n\r\n`;
      const bytes = get('/health') + get('/v1/models') + get('/nowhere') +
        `POST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer ${KEY}\r\n` +
        `Content-Type: application/json\r\nContent-Length: ${body.length}\r\nConnection: close\r\n\r\n${body}`;
      const socket = await connect();
      const chunks = [];
      socket.on('data', (d) => chunks.push(d));
      const closed = new Promise((r) => socket.on('close', r));
      socket.write(bytes);
      await Promise.race([closed, new Promise((r) => setTimeout(r, 10000))]);
      socket.destroy();
      const raw = Buffer.concat(chunks).toString('latin1');
      assert.deepEqual([...raw.matchAll(/HTTP\/1\.1 (\d{3}) /g)].map((m) => Number(m[1])), [200, 200, 404, 200]);
      assert.match(raw, /"status":"ok"[\s\S]*"tts-1"[\s\S]*no such endpoint/);
      assert.ok(raw.length > 48000, `${raw.length} bytes`);
    });

    it('reads every framing a client may use, and refuses the ambiguous ones at once', async () => {
      const body = JSON.stringify({ input: 'Hi.', voice: 'fixed_1s', response_format: 'pcm' });
      const head = (extra) => `POST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer ${KEY}\r\n` +
        `Content-Type: application/json\r\n${extra}Connection: close\r\n\r\n`;
      // Chunked, in two chunks, one with an extension.
      const half = Math.floor(body.length / 2);
      const chunked = head('Transfer-Encoding: chunked\r\n') +
        `${half.toString(16)};x=1\r\n${body.slice(0, half)}\r\n${(body.length - half).toString(16)}\r\n${body.slice(half)}\r\n` +
        '0\r\n\r\n';
      let r = await rawRequest(server.port, Buffer.from(chunked));
      assert.equal(r.status, 200, r.raw.toString('latin1', 0, 200));
      assert.ok(r.body.length >= 48000, `${r.body.length} bytes`);  // in chunks of its own
      // Expect: 100-continue gets its interim answer before the body is sent.
      const socket = await connect();
      let text = '';
      socket.on('data', (d) => { text += d.toString('latin1'); });
      socket.write(head(`Content-Length: ${body.length}\r\nExpect: 100-continue\r\n`));
      for (let i = 0; i < 100 && !text.includes('\r\n\r\n'); ++i) await new Promise((res) => setTimeout(res, 50));
      assert.match(text, /^HTTP\/1\.1 100 Continue\r\n\r\n$/);
      socket.write(body);
      await new Promise((res) => socket.on('close', res));
      assert.match(text, /^HTTP\/1\.1 100 Continue\r\n\r\nHTTP\/1\.1 200 /);
      // Refused from the head alone, without waiting for a body.
      const refusals = [
        [head('Content-Length: 100000000\r\n'), 413],
        [head(''), 411],
        [head(`Content-Length: ${body.length}\r\nTransfer-Encoding: chunked\r\n`), 400],
        [head('Transfer-Encoding: gzip\r\n'), 400],
        [head('Content-Length: 12, 13\r\n'), 400],
      ];
      for (const [bytes, status] of refusals) {
        r = await rawRequest(server.port, Buffer.from(bytes), { ms: 3000 });
        assert.equal(r.status, status, bytes);
        assert.equal(typeof JSON.parse(r.body.toString()).error.message, 'string');
      }
      await answered();
    });

    it('takes the key in any scheme case, and JSON in any media type case', async () => {
      const speak = (headers) => fetch(server.url + '/v1/audio/speech', {
        method: 'POST', headers,
        body: JSON.stringify({ input: 'Hi.', voice: 'fixed_1s', response_format: 'pcm' }),
      });
      for (const authorization of [`bearer ${KEY}`, `BEARER  ${KEY}`])
        assert.equal((await speak({ Authorization: authorization, 'Content-Type': 'application/json' })).status, 200);
      for (const authorization of [`Bearer ${KEY}x`, `Bearer ${KEY.slice(0, -1)}`, `Basic ${KEY}`, `Bearer`, KEY])
        assert.equal((await speak({ Authorization: authorization, 'Content-Type': 'application/json' })).status, 401);
      assert.equal((await speak({ ...auth, 'Content-Type': 'APPLICATION/JSON; charset=utf-8' })).status, 200);
      for (const type of ['application/json-seq', 'application/jsonx', 'text/plain'])
        assert.equal((await speak({ ...auth, 'Content-Type': type })).status, 415, type);
    });

    it('answers only to loopback names, and a preflight without opening the API to other origins', async () => {
      const as = (host, path = '/health', extra = '') =>
        rawRequest(server.port, Buffer.from(`GET ${path} HTTP/1.1\r\nHost: ${host}\r\n${extra}Connection: close\r\n\r\n`));
      for (const host of ['127.0.0.1', `127.0.0.1:${server.port}`, `localhost:${server.port}`, '[::1]:80', 'a.localhost'])
        assert.equal((await as(host)).status, 200, host);
      // A page whose own name now points at 127.0.0.1 (DNS rebinding) sends its name.
      for (const host of ['attacker.example', `attacker.example:${server.port}`, '127.0.0.1.attacker.example']) {
        const r = await as(host, '/v1/audio/voices', `Authorization: Bearer ${KEY}\r\n`);
        assert.equal(r.status, 403, host);
        assert.equal(JSON.parse(r.body.toString()).error.code, 'host_not_allowed');
      }
      const preflight = await fetch(server.url + '/v1/audio/speech', {
        method: 'OPTIONS',
        headers: { Origin: 'http://elsewhere.example', 'Access-Control-Request-Method': 'POST' },
      });
      assert.equal(preflight.status, 204);
      assert.equal(preflight.headers.get('access-control-allow-origin'), null);
      const other = await Server.start(['--allow-host', 'tts.home.arpa']);
      try {
        const r = await rawRequest(other.port, Buffer.from('GET /health HTTP/1.1\r\nHost: TTS.home.arpa:8080\r\nConnection: close\r\n\r\n'));
        assert.equal(r.status, 200);
      } finally {
        await other.stop();
      }
    });

    it('refuses a port in use, and names the cause of a bad address', async () => {
      const run = (args) => new Promise((resolve) => {
        const proc = spawn(SERVER, ['--voice-dir', makeVoiceDir(), ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
        let out = '', err = '';
        proc.stdout.on('data', (d) => { out += d; });
        proc.stderr.on('data', (d) => { err += d; });
        const timer = setTimeout(() => proc.kill('SIGTERM'), 20000);
        proc.on('exit', (code) => { clearTimeout(timer); resolve({ code, out, err }); });
      });
      const second = await run(['--port', String(server.port)]);
      assert.equal(second.code, 4, second.out + second.err);
      assert.doesNotMatch(second.out, /listening on/);
      assert.match(second.err, /cannot listen on 127\.0\.0\.1:\d+: Address already in use/);
      const bad = await run(['--host', '256.1.1.1']);
      assert.equal(bad.code, 4);
      assert.match(bad.err, /cannot listen on 256\.1\.1\.1:5500: not an address of this machine/);
      await answered();
    });
  });
}

if (group === 'Ssml') {
  describe('SSML input', () => {
    let server;
    before(async () => { server = await Server.start(); });
    after(async () => assert.deepEqual(await server.stop(), { code: 0, signal: null }, server.log()));

    const speak = async (voice, input, extra = {}) => {
      const response = await server.speech({ model: 'tts-1', voice, input, response_format: 'wav', ...extra });
      assert.equal(response.status, 200, input);
      return wavSamples(Buffer.from(await response.arrayBuffer()));
    };

    it('a break adds its time, on top of the pause between sentences', async () => {
      const plain = await speak('fixed_1s', 'One. Two.');
      const broken = await speak('fixed_1s', '<speak>One. <break time="500ms"/> Two.</speak>');
      assert.equal(plain.length, Math.round(fixedSeconds(2) * RATE));
      assert.equal(broken.length - plain.length, 0.5 * RATE);
    });

    it('the voice gets the text the markup stands for, never tag names', async () => {
      for (const [ssml, text] of [
        ['<speak>Hello <emphasis>big</emphasis> <foo>world</foo>.</speak>', 'Hello big world.'],
        ['<speak>The <sub alias="World Wide Web">WWW</sub>.</speak>', 'The World Wide Web.'],
        ['<speak><say-as interpret-as="characters">abc</say-as></speak>', 'a b c'],
      ]) assert.deepEqual(await speak('probe', ssml), await speak('probe', text), ssml);
      assert.notDeepEqual(await speak('probe', 'The WWW.'), await speak('probe', 'The World Wide Web.'));
    });

    it('prosody rate scales the request speed', async () => {
      const samples = await speak('probe', '<speak><prosody rate="x-slow">Hi.</prosody></speak>', { speed: 2 });
      assert.equal(probeReading(samples).length, 1000);  // 1.0 / 2 speed / 0.5 rate
    });

    it('broken markup is spoken as plain text with one log line', async () => {
      const samples = await speak('probe', '<speak>Hello <b>world.</speak>');
      assert.deepEqual(samples, await speak('probe', 'Hello world.'));
      assert.ok(server.stderr.some((l) => /the SSML could not be read \(line 1: mismatched tag\)/.test(l)), server.log());
    });

    it('a --lexicon respells its words in plain, SSML and Wyoming-planned text', async () => {
      const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-lexicon-'));
      const file = path.join(dir, 'words.lex');
      fs.writeFileSync(file, 'nginx engine x\n');
      const other = await Server.start(['--lexicon', file]);
      try {
        const say = async (input) => {
          const response = await other.speech({ model: 'tts-1', voice: 'probe', input, response_format: 'wav' });
          assert.equal(response.status, 200);
          return wavSamples(Buffer.from(await response.arrayBuffer()));
        };
        assert.deepEqual(await say('Nginx serves.'), await say('engine x serves.'));
        assert.deepEqual(await say('<speak>nginx <emphasis>serves</emphasis>.</speak>'), await say('engine x serves.'));
        assert.notDeepEqual(await speak('probe', 'Nginx serves.'), await say('Nginx serves.'));
      } finally {
        assert.deepEqual(await other.stop(), { code: 0, signal: null }, other.log());
        fs.rmSync(dir, { recursive: true, force: true });
      }
      fs.writeFileSync(path.join(os.tmpdir(), 'orvel-bad.lex'), 'e.g. for example\n');
      await assert.rejects(Server.start(['--lexicon', path.join(os.tmpdir(), 'orvel-bad.lex')]), /exited \(2\)/);
      fs.rmSync(path.join(os.tmpdir(), 'orvel-bad.lex'));
    });

    it('an SSE stream gives each sentence\'s times after its audio', async () => {
      for (const format of ['pcm', 'mp3']) {
        const response = await server.speech({ model: 'tts-1', voice: 'fixed_1s', response_format: format,
          stream_format: 'sse', input: '<speak>One. <break time="500ms"/> Two, <sub alias="too">2</sub>. Three.</speak>' });
        assert.equal(response.status, 200);
        const events = (await response.text()).split('\n\n').filter((e) => e.startsWith('data: '))
          .map((e) => JSON.parse(e.slice(6)));
        const times = events.filter((e) => e.type === 'speech.timestamps');
        assert.deepEqual(times, [
          { type: 'speech.timestamps', text: 'One.', start: 0, end: 1 },
          { type: 'speech.timestamps', text: 'Two, too.', start: 1.7, end: 2.7 },
          { type: 'speech.timestamps', text: 'Three.', start: 2.9, end: 3.9 },
        ], format);
        // Each follows audio, and the stream still ends with done.
        const kinds = events.map((e) => e.type);
        assert.equal(kinds[0], 'speech.audio.delta', format);
        assert.equal(kinds.at(-1), 'speech.audio.done', format);
        if (format === 'pcm') {
          const first = kinds.indexOf('speech.timestamps');
          const bytes = events.slice(0, first).filter((e) => e.type === 'speech.audio.delta')
            .reduce((n, e) => n + Buffer.from(e.audio, 'base64').length, 0);
          // The resampler to 24 kHz holds back its last ~35 ms until more comes.
          assert.ok(Math.abs(bytes / 2 / 24000 - 1) < 0.05, `audio before the first times: ${bytes / 2 / 24000} s`);
        }
      }
    });

    it('logs one line per request and none of the library\'s', async () => {
      // A line is written once its response has gone out: the earlier tests' may still be on their way.
      const settle = () => new Promise((resolve) => setTimeout(resolve, 300));
      const count = () => server.stderr.filter((l) => l.includes('POST /v1/audio/speech')).length;
      await settle();
      const earlier = count();
      await speak('probe', 'One. Two. Three.');
      await settle();
      assert.equal(count(), earlier + 1, server.log());
      assert.match(server.stderr.at(-1), /^orvel-server: 127\.0\.0\.1 POST \/v1\/audio\/speech 200$/);
      assert.equal(server.libraryLines, 0);
    });
  });
}
