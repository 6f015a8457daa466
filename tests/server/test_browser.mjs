// The web page at "/" in Debian's chromium, driven headless by playwright-core:
// the voice lists fill from the API, Speak plays audio of the right length as
// it streams, Download gives a file of the right length, an empty text shows
// an error, and the page asks nothing of any other host. With --api-key the
// page asks for the key, and works once it is given.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Server, decode, sentences, fixedSeconds, requireNpm } from './harness.mjs';

const { chromium } = requireNpm('playwright-core');
const ARTIFACTS = process.env.ORVEL_ARTIFACT_DIR || os.tmpdir();

// A fresh chromium profile on the server's page; requests to any other host
// are refused and listed in `foreign`.
async function openPage(server) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    acceptDownloads: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--autoplay-policy=no-user-gesture-required'],
  });
  const foreign = [];
  await context.route('**/*', (route) => {
    const url = route.request().url();
    if (url.startsWith(server.url) || url.startsWith('blob:') || url.startsWith('data:')) return route.continue();
    foreign.push(url);
    return route.abort();
  });
  const page = context.pages()[0] || await context.newPage();
  await page.goto(server.url + '/');
  const close = async () => {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return { page, foreign, close };
}

describe('the web page in chromium', () => {
  let server, browser, page, foreign;
  before(async () => {
    server = await Server.start();
    browser = await openPage(server);
    ({ page, foreign } = browser);
  });
  after(async () => {
    await browser?.close();
    assert.deepEqual(await server.stop(), { code: 0, signal: null }, server.log());
  });

  it('fills the voice and speaker lists from the API', async () => {
    await page.waitForFunction(() => document.getElementById('voice').options.length > 0);
    assert.equal(await page.isVisible('#key'), false);  // no key asked of an open server
    const voices = await page.$$eval('#voice option', (o) => o.map((x) => x.value));
    assert.deepEqual(voices.slice().sort(), ['broken', 'fixed_1s', 'multi', 'probe']);
    assert.equal(voices[0], 'multi');  // the default voice comes first
    // Each shows its language.
    assert.equal(await page.$eval('#voice option[value="probe"]', (o) => o.textContent), 'probe (en-us)');
    await page.selectOption('#voice', 'multi');
    assert.deepEqual(await page.$$eval('#speaker option', (o) => o.map((x) => x.value)), ['ada', 'bea', 'cy', 'dot']);
    await page.selectOption('#voice', 'fixed_1s');
    assert.equal(await page.$eval('#speaker', (s) => s.disabled), true);
  });

  it('speaks as it streams, for the full length', async () => {
    await page.selectOption('#voice', 'fixed_1s');
    await page.fill('#text', sentences(3));
    await page.click('#speak');
    await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Played'));
    const seconds = Number(await page.$eval('#status', (s) => s.dataset.seconds));
    assert.ok(Math.abs(seconds - fixedSeconds(3)) < 0.001, `${seconds} s`);
    assert.equal(await page.textContent('#error'), '');
    await page.screenshot({ path: path.join(ARTIFACTS, 'server-page.png') });
  });

  it('downloads the chosen format, decodable to the same length', async () => {
    for (const format of ['mp3', 'wav']) {
      await page.selectOption('#format', format);
      const [download] = await Promise.all([page.waitForEvent('download'), page.click('#download')]);
      assert.equal(download.suggestedFilename(), `speech.${format}`);
      const file = path.join(ARTIFACTS, `server-page-download.${format}`);
      await download.saveAs(file);
      const { samples, rate } = await decode(format, fs.readFileSync(file));
      const seconds = samples / rate;
      const slack = format === 'mp3' ? 2 * 1152 / 22050 : 0.001;
      assert.ok(seconds > fixedSeconds(3) - 0.001 && seconds - fixedSeconds(3) <= slack, `${format}: ${seconds} s`);
      // The browser's own decoder agrees.
      await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Downloaded'));
      const shown = Number(await page.$eval('#status', (s) => s.dataset.seconds));
      assert.ok(Math.abs(shown - seconds) <= slack, `${format}: the page decoded ${shown} s`);
    }
  });

  it('shows the server\'s message for a failure and the page\'s for empty text', async () => {
    await page.fill('#text', '   ');
    await page.click('#speak');
    await page.waitForFunction(() => document.getElementById('error').textContent !== '');
    assert.match(await page.textContent('#error'), /empty/);
    await page.selectOption('#voice', 'broken');
    await page.fill('#text', 'Hello.');
    await page.click('#speak');
    await page.waitForFunction(() => /element type/.test(document.getElementById('error').textContent));
  });

  it('made no request to any other host', () => {
    assert.deepEqual(foreign, []);
  });
});

describe('the web page of a server with an API key', () => {
  let server, browser, page;
  before(async () => {
    server = await Server.start(['--api-key', 'sesame']);
    browser = await openPage(server);
    ({ page } = browser);
  });
  after(async () => {
    await browser?.close();
    assert.deepEqual(await server.stop(), { code: 0, signal: null }, server.log());
  });

  it('asks for the key, refuses a wrong one, and speaks with the right one', async () => {
    await page.waitForSelector('#key', { state: 'visible' });
    assert.match(await page.textContent('#error'), /needs an API key/);
    assert.equal(await page.$eval('#voice', (s) => s.options.length), 0);

    await page.fill('#key', 'open');
    await page.click('#use-key');
    await page.waitForFunction(() => /refused this API key/.test(document.getElementById('error').textContent));
    assert.equal(await page.$eval('#voice', (s) => s.options.length), 0);

    await page.fill('#key', 'sesame');
    await page.click('#use-key');
    await page.waitForFunction(() => document.getElementById('voice').options.length > 0);
    assert.equal(await page.textContent('#error'), '');
    await page.selectOption('#voice', 'fixed_1s');
    await page.fill('#text', sentences(2));
    await page.click('#speak');
    await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Played'));
    const seconds = Number(await page.$eval('#status', (s) => s.dataset.seconds));
    assert.ok(Math.abs(seconds - fixedSeconds(2)) < 0.001, `${seconds} s`);

    // The key stays for the tab's session: a reload lists the voices at once.
    await page.reload();
    await page.waitForFunction(() => document.getElementById('voice').options.length > 0);
    assert.equal(await page.isVisible('#key'), false);
  });
});
