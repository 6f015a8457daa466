#include "page.h"

namespace orvel_server {

// Speak streams raw 24 kHz PCM and plays each piece as it arrives through Web
// Audio; Download fetches the chosen format whole and reports its decoded length.
// A server started with --api-key refuses the page's requests until the key
// row, shown on the first refusal, is filled in; the key then goes with every
// request as a Bearer header and is kept for the browser tab's session.
const char *const kPageHtml = R"PAGE(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>orvel-server</title>
<style>
  body { font: 16px/1.4 system-ui, sans-serif; max-width: 44rem; margin: 2rem auto; padding: 0 1rem; color: #222; }
  h1 { font-size: 1.4rem; }
  textarea { width: 100%; box-sizing: border-box; min-height: 9rem; font: inherit; padding: .5rem; }
  .row { display: flex; flex-wrap: wrap; gap: .8rem 1.2rem; align-items: center; margin: .8rem 0; }
  .row[hidden] { display: none; }
  label { display: flex; gap: .4rem; align-items: center; }
  button { font: inherit; padding: .4rem 1.2rem; cursor: pointer; }
  #error { color: #b00020; min-height: 1.4em; }
  #status { color: #444; min-height: 1.4em; }
  output { min-width: 3em; display: inline-block; }
</style>
</head>
<body>
<h1>orvel-server</h1>
<form class="row" id="key-row" hidden>
  <label>API key <input id="key" type="password" autocomplete="off"></label>
  <button id="use-key">Use key</button>
</form>
<textarea id="text" aria-label="Text to speak">Hello! This is orvel-server speaking, sentence by sentence.</textarea>
<div class="row">
  <label>Voice <select id="voice"></select></label>
  <label>Speaker <select id="speaker" disabled></select></label>
  <label>Speed <input id="speed" type="range" min="0.25" max="4" step="0.05" value="1"> <output id="speed-value">1.00</output></label>
</div>
<div class="row">
  <button id="speak">Speak</button>
  <label>Format <select id="format">
    <option>mp3</option><option>opus</option><option>flac</option><option>wav</option>
  </select></label>
  <button id="download">Download</button>
</div>
<div id="error" role="alert"></div>
<div id="status" aria-live="polite"></div>
<script>
"use strict";
const $ = (id) => document.getElementById(id);
const PCM_RATE = 24000;
let voices = [];
let audio = null;
let apiKey = sessionStorage.getItem("orvel-api-key") || "";

function showError(message) { $("error").textContent = message; }
function showStatus(message, seconds) {
  $("status").textContent = message;
  if (seconds !== undefined) $("status").dataset.seconds = seconds.toFixed(4);
}

function headers(extra) {
  return apiKey ? { ...extra, Authorization: "Bearer " + apiKey } : extra;
}

// Shows the key row after the server refused a request for want of the key.
function askForKey() {
  $("key-row").hidden = false;
  $("key").value = apiKey;
  showError(apiKey ? "The server refused this API key: enter the key it was started with."
                   : "This server needs an API key: enter it above.");
  $("key").focus();
}

function useKey(event) {
  event.preventDefault();
  apiKey = $("key").value.trim();
  sessionStorage.setItem("orvel-api-key", apiKey);
  showError("");
  loadVoices();
}

async function loadVoices() {
  try {
    const response = await fetch("/v1/audio/voices", { headers: headers({}) });
    if (response.status === 401) { askForKey(); return; }
    const body = await response.json();
    if (!response.ok) throw new Error(body.error ? body.error.message : response.statusText);
    // Whole voices only, each with its language; their speakers go in the second list.
    voices = body.voices.filter((v) => v.speakers !== undefined);
    $("voice").replaceChildren(...voices.map((v) => new Option(v.name + " (" + v.language + ")", v.id)));
    fillSpeakers();
  } catch (e) {
    showError("Could not list the voices: " + e.message);
  }
}

function fillSpeakers() {
  const voice = voices.find((v) => v.id === $("voice").value);
  const speakers = voice ? voice.speakers : [];
  $("speaker").replaceChildren(...speakers.map((s) => new Option(s, s)));
  $("speaker").disabled = speakers.length === 0;
}

function request(format) {
  const voice = $("voice").value + ($("speaker").disabled ? "" : ":" + $("speaker").value);
  return fetch("/v1/audio/speech", {
    method: "POST",
    headers: headers({ "Content-Type": "application/json" }),
    body: JSON.stringify({ model: "tts-1", input: $("text").value, voice: voice,
                           response_format: format, speed: Number($("speed").value) }),
  });
}

async function failure(response) {
  if (response.status === 401) { askForKey(); return $("error").textContent; }
  try {
    const body = await response.json();
    return body.error.message;
  } catch (e) {
    return "the server answered " + response.status;
  }
}

async function speak() {
  showError("");
  if (!$("text").value.trim()) { showError("Type some text first: it is empty."); return; }
  $("speak").disabled = true;
  try {
    const response = await request("pcm");
    if (!response.ok) { showError(await failure(response)); showStatus(""); return; }
    if (!audio) audio = new AudioContext({ sampleRate: PCM_RATE });
    await audio.resume();
    let at = audio.currentTime + 0.05;
    let samples = 0;
    let odd = null;  // a byte of a sample split between chunks
    const reader = response.body.getReader();
    showStatus("Speaking...");
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      let bytes = value;
      if (odd !== null) {
        bytes = new Uint8Array(value.length + 1);
        bytes[0] = odd;
        bytes.set(value, 1);
        odd = null;
      }
      if (bytes.length % 2) { odd = bytes[bytes.length - 1]; bytes = bytes.subarray(0, bytes.length - 1); }
      const count = bytes.length / 2;
      if (count === 0) continue;
      const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.length);
      const buffer = audio.createBuffer(1, count, PCM_RATE);
      const channel = buffer.getChannelData(0);
      for (let i = 0; i < count; ++i) channel[i] = view.getInt16(2 * i, true) / 32768;
      const source = audio.createBufferSource();
      source.buffer = buffer;
      source.connect(audio.destination);
      at = Math.max(at, audio.currentTime);
      source.start(at);
      at += buffer.duration;
      samples += count;
    }
    showStatus("Played " + (samples / PCM_RATE).toFixed(2) + " s of audio.", samples / PCM_RATE);
  } catch (e) {
    showError("Speaking failed: " + e.message);
  } finally {
    $("speak").disabled = false;
  }
}

async function download() {
  showError("");
  if (!$("text").value.trim()) { showError("Type some text first: it is empty."); return; }
  const format = $("format").value;
  $("download").disabled = true;
  try {
    const response = await request(format);
    if (!response.ok) { showError(await failure(response)); return; }
    const blob = await response.blob();
    let note = "";
    try {
      if (!audio) audio = new AudioContext({ sampleRate: PCM_RATE });
      const decoded = await audio.decodeAudioData(await blob.arrayBuffer());
      note = " (" + decoded.duration.toFixed(2) + " s)";
      $("status").dataset.seconds = decoded.duration.toFixed(4);
    } catch (e) {
      note = " (this browser cannot play " + format + ")";
    }
    const link = document.createElement("a");
    link.href = URL.createObjectURL(blob);
    link.download = "speech." + format;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
    $("status").textContent = "Downloaded speech." + format + note + ".";
  } catch (e) {
    showError("Download failed: " + e.message);
  } finally {
    $("download").disabled = false;
  }
}

$("key-row").addEventListener("submit", useKey);
$("voice").addEventListener("change", fillSpeakers);
$("speed").addEventListener("input", () => { $("speed-value").textContent = Number($("speed").value).toFixed(2); });
$("speak").addEventListener("click", speak);
$("download").addEventListener("click", download);
loadVoices();
</script>
</body>
</html>
)PAGE";

}  // namespace orvel_server
