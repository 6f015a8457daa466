#!/usr/bin/env python3
"""orvel-server's Wyoming service, driven over real sockets by a protocol client
written here from the protocol's description:

  an event is one JSON header line {"type", "data"?, "data_length"?,
  "payload_length"?, "version"} ending in "\\n", then data_length bytes of JSON
  merged over the header's data, then payload_length bytes of payload.

Voices: the bundled one (real speech), fixed_1s (one second of a fixed waveform
per request, so lengths are exact), probe_multi (its samples carry the speaker
id it was run with) and fixed_half (five fixed samples per request).

usage: test_wyoming.py ORVEL_SERVER TEST_VOICES BUNDLED_VOICE EXCHANGE_DIR GROUP
"""
import io
import json
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from pyutil import check, finish  # noqa: E402

RATE = 22050
SILENCE = int(0.2 * RATE)  # between sentences
TIMEOUT = 60               # bounds every wait; nothing is timed
END_WAIT = 10              # bounds a wait for the server to end an exchange


class Server:
    """orvel-server with the Wyoming service on a free port, stopped by SIGTERM."""

    def __init__(self, program, voices, *extra, env=None):
        self.process = subprocess.Popen(
            [program, "--port", "0", "--wyoming", "tcp://127.0.0.1:0", *sum((["-m", v] for v in voices), []),
             *extra], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
            env=dict(os.environ, **(env or {})))
        self.port = None
        self.http_port = None
        ready, _, _ = select.select([self.process.stdout], [], [], TIMEOUT)
        while ready:
            line = self.process.stdout.readline()
            if not line:
                break
            if "wyoming on tcp://127.0.0.1:" in line:
                self.port = int(line.rsplit(":", 1)[1])
            if "listening on http://127.0.0.1:" in line:
                self.http_port = int(line.rsplit(":", 1)[1])
                break
        if self.port is None:
            self.process.kill()
            raise SystemExit("orvel-server did not start its Wyoming service")

    def client(self):
        return Client(self.port)

    def metric(self, name):
        """A value from the HTTP side's /metrics, which counts the engine's work for both protocols."""
        with socket.create_connection(("127.0.0.1", self.http_port), timeout=TIMEOUT) as s:
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            reply = b""
            while True:
                data = s.recv(65536)
                if not data:
                    break
                reply += data
        for line in reply.decode(errors="replace").splitlines():
            if line.startswith(name + " "):
                return float(line.split()[1])
        return None

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.alive():
            self.process.kill()
            self.process.wait()


class Client:
    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.file = self.socket.makefile("rb")

    def close(self):
        self.file.close()
        self.socket.close()

    def send_raw(self, data):
        self.socket.sendall(data)

    def send(self, event_type, data=None, payload=b"", data_in_header=False):
        header = {"type": event_type, "version": "1.7.0"}
        block = b""
        if data is not None and data_in_header:
            header["data"] = data
        elif data is not None:
            block = json.dumps(data).encode()
            header["data_length"] = len(block)
        if payload:
            header["payload_length"] = len(payload)
        self.send_raw(json.dumps(header).encode() + b"\n" + block + payload)

    def receive(self):
        """(header, data, payload), or None at the end of the stream."""
        line = self.file.readline()
        if not line:
            return None
        header = json.loads(line)
        data = dict(header.get("data") or {})
        if header.get("data_length"):
            data.update(json.loads(self.file.read(header["data_length"])))
        payload = self.file.read(header["payload_length"]) if header.get("payload_length") else b""
        return header, data, payload

    def receive_to_end(self, bound=END_WAIT):
        """Every event until the server closes the connection, and whether it did within the bound."""
        events = []
        self.socket.settimeout(bound)
        try:
            while True:
                event = self.receive()
                if event is None:
                    return events, True
                events.append(event)
        except (socket.timeout, ConnectionError):
            return events, False
        finally:
            self.socket.settimeout(TIMEOUT)

    def receive_until(self, last_type, stop_on_error=True):
        events = []
        while True:
            event = self.receive()
            if event is None:
                return events
            events.append(event)
            if event[0]["type"] == last_type or (stop_on_error and event[0]["type"] == "error"):
                return events


def audio_of(events):
    return b"".join(payload for header, _, payload in events if header["type"] == "audio-chunk")


def samples_of(audio):
    return [int.from_bytes(audio[i:i + 2], "little", signed=True) for i in range(0, len(audio), 2)]


def types_of(events):
    return [header["type"] for header, _, _ in events]


def well_formed_audio(events, closing="audio-stop"):
    """audio-start first, chunks of one format, each at most a second, then audio-stop (and the closing event)."""
    types = types_of(events)
    if not types or types[0] != "audio-start" or types[-1] != closing:
        return False
    formats = [data for header, data, _ in events if header["type"] in ("audio-start", "audio-chunk")]
    one_format = all(d == {"rate": formats[0]["rate"], "width": 2, "channels": 1} for d in formats)
    chunks_fit = all(0 < len(p) <= 2 * formats[0]["rate"] for h, _, p in events if h["type"] == "audio-chunk")
    middle = types[1:types.index("audio-stop")]
    return one_format and chunks_fit and all(t == "audio-chunk" for t in middle) and types.count("audio-start") == 1


def probe_speakers(audio):
    """The speaker id each probe piece was run with (pieces start at a full-scale sample)."""
    samples = samples_of(audio)
    return [samples[i + 2] for i in range(len(samples) - 2) if samples[i] == 32767 and (i == 0 or samples[i - 1] == 0)]


def group_info(server_program, voices, bundled, exchange_dir):
    with Server(server_program, [bundled] + voices) as server:
        c = server.client()
        c.send("describe")
        header, info, payload = c.receive()
        check(header["type"] == "info" and "data" not in header and header.get("data_length", 0) > 0 and
              header.get("version", "").startswith("1.") and not payload,
              "info comes with its data as a separate block: %s" % header)
        tts = info.get("tts", [])
        check(len(tts) == 1, "one text-to-speech program is described")
        program = tts[0] if tts else {}
        for key in ("name", "attribution", "installed", "description", "version", "voices"):
            check(key in program, "the program has '%s'" % key)
        check(program.get("supports_synthesize_streaming") is True, "the program supports streamed synthesis")
        check(set(program.get("attribution", {})) >= {"name", "url"}, "the attribution has a name and a url")
        names = [v.get("name") for v in program.get("voices", [])]
        check(names == ["orvel-en-us", "fixed_1s", "probe_multi", "fixed_half"], "every loaded voice is listed, in order: %s" % names)
        for voice in program.get("voices", []):
            missing = [k for k in ("name", "attribution", "installed", "description", "version", "languages",
                                   "speakers") if k not in voice]
            check(not missing and voice["installed"] is True and voice["languages"] == ["en_US"],
                  "voice %s has every field and its language: missing %s" % (voice.get("name"), missing))
        multi = [v for v in program.get("voices", []) if v.get("name") == "probe_multi"]
        check(multi and multi[0]["speakers"] == [{"name": str(i)} for i in range(4)],
              "a multi-speaker voice lists its speakers")

        c.send("ping", {"text": "marco"})
        header, data, _ = c.receive()
        check(header["type"] == "pong" and data == {"text": "marco"}, "ping is answered with pong")
        c.close()
        check(server.stop() == 0, "SIGTERM stops the server cleanly with the Wyoming service on")


def group_synthesize(server_program, voices, bundled, exchange_dir):
    with Server(server_program, [bundled] + voices) as server:
        c = server.client()
        c.send("synthesize", {"text": "One. Two. Three.", "voice": {"name": "fixed_1s"}})
        events = c.receive_until("audio-stop")
        audio = audio_of(events)
        check(well_formed_audio(events), "synthesize: audio-start, audio-chunk..., audio-stop: %s" % types_of(events))
        check(len(audio) == 2 * (3 * RATE + 2 * SILENCE),
              "three sentences give three seconds and two pauses: %d samples" % (len(audio) // 2))
        check(types_of(events).count("audio-chunk") >= 3, "the audio comes sentence by sentence")

        # The data may come in the header, in the block, or both (the block wins).
        c.send("synthesize", {"text": "One. Two."}, data_in_header=True)
        events_header = c.receive_until("audio-stop")
        block = json.dumps({"text": "One. Two."}).encode()
        c.send_raw(json.dumps({"type": "synthesize", "data": {"text": "Not this one.", "voice": {"name": "fixed_1s"}},
                               "data_length": len(block)}).encode() + b"\n" + block)
        events_merged = c.receive_until("audio-stop")
        check(events_header and events_header[0][1]["rate"] == RATE and len(audio_of(events_header)) > 0,
              "data in the header is read (the default voice speaks)")
        check(len(audio_of(events_merged)) == 2 * (2 * RATE + SILENCE),
              "the data block is merged over the header's data: the block's text with the header's voice")

        for voice, speaker in (({"name": "probe_multi", "speaker": "2"}, 2), ({"name": "probe_multi:3"}, 3),
                               ({"name": "probe_multi", "speaker": 1}, 1)):
            c.send("synthesize", {"text": "First one. Second one.", "voice": voice})
            events = c.receive_until("audio-stop")
            speakers = probe_speakers(audio_of(events))
            check(speakers == [speaker, speaker], "voice %s speaks with speaker %d: %s" % (voice, speaker, speakers))

        c.send("synthesize", {"text": "Hello world, from the bundled voice.", "voice": {"language": "en"}})
        events = c.receive_until("audio-stop")
        samples = samples_of(audio_of(events))
        check(well_formed_audio(events) and 0.8 * RATE < len(samples) < 6 * RATE and max(samples) > 3000,
              "a language picks its voice and real speech comes out: %.2f s" % (len(samples) / RATE))

        # Home Assistant's automations send SSML: the break is heard, the tags are not.
        c.send("synthesize", {"text": '<speak>One. <break time="500ms"/> Two. Three.</speak>',
                              "voice": {"name": "fixed_1s"}})
        ssml_audio = audio_of(c.receive_until("audio-stop"))
        check(len(ssml_audio) == len(audio) + 2 * RATE // 2, "an SSML break adds its 500 ms: %d samples"
              % (len(ssml_audio) // 2))

        c.send("synthesize", {"text": "  \n "})
        events = c.receive_until("audio-stop")
        check(types_of(events) == ["audio-start", "audio-stop"], "empty text gives empty audio: %s" % types_of(events))

        c.close()

        # An error before any audio ends the exchange: a client reading until audio-stop sees the end of the stream.
        for voice, what in (({"name": "nobody"}, "an unknown voice"), ({"language": "de"}, "a language without a voice"),
                            ({"name": "probe_multi", "speaker": "9"}, "an unknown speaker"),
                            ("fixed_1s", "a voice that is not an object")):
            c = server.client()
            c.send("synthesize", {"text": "Hello.", "voice": voice})
            events, ended = c.receive_to_end()
            check(types_of(events) == ["error"] and events[0][1].get("text") and ended,
                  "%s is an error event, then the connection closes: %s %s"
                  % (what, events[0][1] if events else None, "closed" if ended else "left open"))
            c.close()

        # A client that leaves: the kernel's socket buffers hold some audio, the rest is never made.
        before = server.metric("orvel_audio_seconds_total")
        c = server.client()
        c.send("synthesize", {"text": "Go. " * 2000, "voice": {"name": "fixed_1s"}})
        c.receive()
        c.receive()
        c.close()
        for _ in range(TIMEOUT * 10):
            if server.metric("orvel_queue_length") == 0:
                break
            time.sleep(0.1)
        spoken = server.metric("orvel_audio_seconds_total") - before
        check(server.metric("orvel_queue_length") == 0 and spoken < 500,
              "a client that leaves mid-request has the rest cancelled: %.1f s of 2000 spoken" % spoken)
        check(server.alive(), "the server is up")

    # Failures of synthesis itself: before the first audio, and after it (requests cut off by a shutdown).
    broken = os.path.join(os.path.dirname(voices[0]), "bad_int64_output.onnx")
    with Server(server_program, voices + [broken], "--grace", "0") as server:
        c = server.client()
        c.send("synthesize", {"text": "Hello.", "voice": {"name": "bad_int64_output"}})
        events, ended = c.receive_to_end()
        check(types_of(events) == ["error"] and events[0][1].get("code") == "synthesis-failed" and ended,
              "a synthesis failure before any audio: an error event, then the connection closes: %s %s"
              % (types_of(events), "closed" if ended else "left open"))
        c.close()

        whole, streamed = server.client(), server.client()
        whole.send("synthesize", {"text": "Go. " * 2000, "voice": {"name": "fixed_1s"}})
        streamed.send("synthesize-start", {"voice": {"name": "fixed_1s"}})
        streamed.send("synthesize-chunk", {"text": "Go. " * 2000})
        firsts = [[c.receive(), c.receive()] for c in (whole, streamed)]
        server.process.send_signal(signal.SIGTERM)
        for c, first, closing, what in ((whole, firsts[0], ["error", "audio-stop"], "a request"),
                                        (streamed, firsts[1], ["error", "audio-stop", "synthesize-stopped"],
                                         "a stream")):
            events, _ = c.receive_to_end(TIMEOUT)
            types = types_of(first + events)
            check(types[:2] == ["audio-start", "audio-chunk"] and types[-len(closing):] == closing and
                  types.count("error") == 1,
                  "%s cut off after its audio began ends with %s: %s" % (what, closing, types[-4:]))
            c.close()


def group_streaming(server_program, voices, bundled, exchange_dir):
    with Server(server_program, [bundled] + voices) as server:
        c = server.client()
        c.send("synthesize-start", {"voice": {"name": "fixed_1s"}})
        c.send("synthesize-chunk", {"text": "One. Tw"})
        first = [c.receive(), c.receive()]
        check(types_of(first) == ["audio-start", "audio-chunk"] and len(first[1][2]) == 2 * RATE,
              "a sentence is spoken as soon as it is complete, before the stream ends: %s" % types_of(first))
        c.send("synthesize-chunk", {"text": "o. Thr"})
        c.send("synthesize-chunk", {"text": "ee"})
        # The full text that clients send for servers without streaming: not spoken again.
        c.send("synthesize", {"text": "One. Two. Three", "voice": {"name": "fixed_1s"}})
        c.send("synthesize-stop")
        rest = c.receive_until("synthesize-stopped")
        events = first + rest
        check(well_formed_audio(events, "synthesize-stopped") and types_of(events)[-2:] == ["audio-stop",
                                                                                             "synthesize-stopped"],
              "the stream ends with audio-stop, then synthesize-stopped; one audio-start")
        check(len(audio_of(events)) == 2 * (3 * RATE + 2 * SILENCE),
              "every sentence once, the synthesize inside the stream ignored: %d samples" % (len(audio_of(events)) // 2))

        c.send("synthesize-start")
        c.send("synthesize-chunk", {"text": "   "})
        c.send("synthesize-stop")
        check(types_of(c.receive_until("synthesize-stopped")) == ["audio-start", "audio-stop", "synthesize-stopped"],
              "a stream with nothing to say ends with empty audio")

        c.send("synthesize-start", {"voice": {"name": "probe_multi", "speaker": "1"}})
        for piece in ("First sen", "tence. Second", " sentence.\n\nA new paragraph"):
            c.send("synthesize-chunk", {"text": piece})
        c.send("synthesize-stop")
        speakers = probe_speakers(audio_of(c.receive_until("synthesize-stopped")))
        check(speakers == [1, 1, 1], "the stream's voice and speaker hold for every sentence: %s" % speakers)

        # Real speech, word by word, comes to about the length of the whole text at once.
        text = "The weather today is sunny and warm. Tomorrow it will rain in the afternoon."
        c.send("synthesize", {"text": text})
        whole = len(audio_of(c.receive_until("audio-stop")))
        c.send("synthesize-start")
        for word in text.split(" "):
            c.send("synthesize-chunk", {"text": word + " "})
        c.send("synthesize-stop")
        streamed = len(audio_of(c.receive_until("synthesize-stopped")))
        check(abs(streamed - whole) < 0.25 * whole, "streamed word by word: %.2f s, at once %.2f s"
              % (streamed / 2 / RATE, whole / 2 / RATE))
        c.close()
        check(server.alive(), "the server is up")

        # A client that leaves while its stream's audio is being written, the
        # stream still open. Each audio-chunk waits 0.5 s here: the client
        # leaves (FIN, then a reset for what it left unread) while the server
        # waits to write the second, so that write fails and the end of input
        # is read right after it.
        pause = {"ORVEL_WYOMING_TEST_CHUNK_PAUSE": "0.5"}
        with Server(server_program, voices, env=pause) as paused:
            for _ in range(2):
                c = paused.client()
                c.send("synthesize-start", {"voice": {"name": "fixed_1s"}})
                c.send("synthesize-chunk", {"text": "One. Two. Three. Four. Still open"})
                check(types_of([c.receive()]) == ["audio-start"], "the audio has begun")
                c.send("ping")  # its pong and the first chunk stay unread
                time.sleep(0.75)
                c.socket.shutdown(socket.SHUT_WR)
                c.close()
                time.sleep(1)
                check(paused.alive(), "a client that leaves mid-audio in an open stream leaves the server up")
            c = paused.client()
            c.send("synthesize", {"text": "Still here.", "voice": {"name": "fixed_1s"}})
            check(len(audio_of(c.receive_until("audio-stop"))) == 2 * RATE, "and it still speaks")
            c.close()


def group_bad(server_program, voices, bundled, exchange_dir):
    with Server(server_program, voices, "--max-input", "200") as server:
        def error_ends(raw, what):
            """An error, whatever its cause, is the last event: the server closes the connection after it."""
            c = server.client()
            c.send_raw(raw)
            c.send("describe")
            events, ended = c.receive_to_end()
            check(types_of(events) == ["error"] and events[0][1].get("text") and ended,
                  "%s: an error event, then the connection closes (%s, %s)"
                  % (what, events[0][1] if events else None, "closed" if ended else "left open"))
            c.close()
            return events[0][1] if events else {}

        error_ends(b"this is not json\n", "a line that is not JSON")
        error_ends(b"[1, 2]\n", "a header that is not an object")
        error_ends(b'{"data": {}}\n', "a header without a type")
        error_ends(b'{"type": "synthesize", "data": "text"}\n', "data that is not an object")
        error_ends(b'{"type": "synthesize", "data_length": -4}\n', "a negative length")
        error_ends(b'{"type": "synthesize", "data_length": 5}\n{"te]', "a data block that is not JSON")
        error_ends(b'{"type": "synth\xff\xfe"}\n', "a header that is not UTF-8")
        for raw, what in ((b'{"type": "transcribe", "payload_length": 6}\n123456', "an unknown event"),
                          (b"\n\r\n", "blank lines")):
            c = server.client()
            c.send_raw(raw)
            c.send("describe")
            first = c.receive()
            check(first and first[0]["type"] == "info", "%s: ignored, the next event is answered" % what)
            c.close()

        for event, data in (("synthesize", {}), ("synthesize", {"text": 42}), ("synthesize", {"text": "x" * 201}),
                            ("synthesize-chunk", {"text": "Hi."}), ("synthesize-stop", None)):
            c = server.client()
            c.send(event, data)
            events, ended = c.receive_to_end()
            check(types_of(events) == ["error"] and ended, "%s %s: %s, %s" % (
                event, json.dumps(data)[:40], events[0][1].get("text") if events else None,
                "closed" if ended else "left open"))
            c.close()
        reply = error_ends(json.dumps({"type": "synthesize-start"}).encode() + b"\n" +
                           json.dumps({"type": "synthesize-chunk", "data": {"text": "y " * 60}}).encode() + b"\n" +
                           json.dumps({"type": "synthesize-chunk", "data": {"text": "z " * 60}}).encode() + b"\n",
                           "a stream over the input limit before any audio")
        check("200" in reply.get("text", ""), "the error says the limit: %s" % reply.get("text"))

        # Once a stream's audio has begun, an error closes the audio and the stream, and the connection goes on.
        for chunk, what in (({"text": "z " * 120}, "over the input limit"), ({"text": 42}, "a chunk without text"),
                            (None, "a line that is not JSON")):
            c = server.client()
            c.send("synthesize-start", {"voice": {"name": "fixed_1s"}})
            c.send("synthesize-chunk", {"text": "One. Two"})
            first = [c.receive(), c.receive()]
            if chunk is None:
                c.send_raw(b"not json\n")
            else:
                c.send("synthesize-chunk", chunk)
            events = first + c.receive_until("synthesize-stopped", stop_on_error=False)
            check(types_of(events) == ["audio-start", "audio-chunk", "error", "audio-stop", "synthesize-stopped"],
                  "a stream with audio ended by %s: %s" % (what, types_of(events)))
            # What the client sends of that stream before it reads the error is passed over, the full text too.
            c.send("synthesize-chunk", {"text": " Three."})
            c.send("synthesize", {"text": "One. Two. Three.", "voice": {"name": "fixed_1s"}})
            c.send("synthesize-stop")
            c.send("describe")
            reply = c.receive()
            check(reply and reply[0]["type"] == "info",
                  "%s: the rest of the stream is passed over and the connection goes on: %s"
                  % (what, reply and reply[0]["type"]))
            c.close()

        for raw, what in ((b'{"type": "synthesize", "data_length": 99999999}\n', "a data_length over the limit"),
                          (b'{"type": "x", "payload_length": 99999999}\n', "a payload_length over the limit"),
                          (b"{" + b" " * (70 * 1024), "a header line over the limit")):
            c = server.client()
            c.send_raw(raw)
            events = []
            while True:
                event = c.receive()
                if event is None:
                    break
                events.append(event)
            check(types_of(events) == ["error"], "%s: an error event, then the connection closes" % what)
            c.close()

        # Clients that leave: mid-request, mid-stream, and one that only half-closes.
        c = server.client()
        c.send("synthesize-start")
        c.send("synthesize-chunk", {"text": "Left in the middle. Of a"})
        c.close()
        c = server.client()
        c.send("synthesize", {"text": "One. Two.", "voice": {"name": "fixed_1s"}})
        c.socket.shutdown(socket.SHUT_WR)
        events = []
        while True:
            event = c.receive()
            if event is None:
                break
            events.append(event)
        check(len(audio_of(events)) == 2 * (2 * RATE + SILENCE) and types_of(events)[-1] == "audio-stop",
              "a client that half-closes after its request still gets all of it, then the end of the stream")
        c.close()

        # Concurrent connections each get their own audio in full.
        results = [None] * 6

        def speak(i):
            client = server.client()
            client.send("synthesize", {"text": "One. Two.", "voice": {"name": "fixed_1s"}})
            results[i] = len(audio_of(client.receive_until("audio-stop")))
            client.close()

        threads = [threading.Thread(target=speak, args=(i,)) for i in range(len(results))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(TIMEOUT)
        check(results == [2 * (2 * RATE + SILENCE)] * len(results), "6 concurrent clients: %s" % results)
        check(server.alive(), "the server is up after every bad case")

    with Server(server_program, voices, "--max-queue", "2") as server:
        held = [server.client(), server.client()]
        for c in held:  # both are in a stream
            c.send("synthesize-start", {"voice": {"name": "fixed_1s"}})
            c.send("synthesize-chunk", {"text": "One. Two"})
            c.receive()
        extra = server.client()
        events, ended = extra.receive_to_end()
        check(types_of(events) == ["error"] and ended,
              "a connection over the limit, all others busy, is told so and closed: %s" % types_of(events))
        extra.close()
        for c in held:
            c.close()

    # Time limits, shortened for the test: an idle connection is let go after 2 s without a complete event,
    # and an event must arrive in full within 1 s of its first byte.
    short = {"ORVEL_WYOMING_IDLE_TIMEOUT": "2", "ORVEL_WYOMING_EVENT_TIMEOUT": "1"}
    with Server(server_program, voices, "--max-queue", "4", env=short) as server:
        c = server.client()
        events, ended = c.receive_to_end()
        check(not events and ended, "a connection that sends nothing is closed after the idle time")
        c.close()

        def trickle(data, seconds=8):
            """Sends data a byte every 0.1 s, round and round; the types of the events the server sent, and
            whether it closed the connection within `seconds`."""
            c = server.client()
            c.socket.settimeout(0.1)
            reply = b""
            end = time.monotonic() + seconds
            ended = False
            try:
                for at in range(10 ** 6):
                    if time.monotonic() > end:
                        break
                    c.send_raw(data[at % len(data):at % len(data) + 1])
                    try:
                        received = c.socket.recv(65536)
                    except socket.timeout:
                        continue
                    if not received:
                        ended = True
                        break
                    reply += received
            except ConnectionError:
                ended = True
            c.close()
            types, stream = [], io.BytesIO(reply)
            for line in iter(stream.readline, b""):
                header = json.loads(line)
                types.append(header["type"])
                stream.read(header.get("data_length", 0) + header.get("payload_length", 0))
            return types, ended

        types, ended = trickle(b"\n")
        check(ended and not types, "blank lines do not keep a connection open past the idle time: %s" % types)
        types, ended = trickle(json.dumps({"type": "describe", "data": {"padding": "x" * 200}}).encode() + b"\n")
        check(ended and types == ["error"],
              "an event trickled in a byte at a time is cut off at its time limit with an error: %s" % types)

        # As many idle connections as the limit, silent and trickling, do not lock out a client that speaks:
        # the one idle the longest makes room.
        idle = [server.client() for _ in range(3)]
        idle.append(server.client())
        idle[-1].send_raw(b'{"type": "synthes')
        c = server.client()
        c.socket.settimeout(END_WAIT)
        c.send("synthesize", {"text": "One.", "voice": {"name": "fixed_1s"}})
        try:
            events = c.receive_until("audio-stop")
        except (socket.timeout, ConnectionError):
            events = []
        check(well_formed_audio(events) and len(audio_of(events)) == 2 * RATE,
              "with every place taken by an idle connection, a new client gets its audio: %s" % types_of(events))
        c.close()
        ends = [s.receive_to_end()[1] for s in idle]
        check(ends[0], "the connection idle the longest was closed to make room")
        for s in idle:
            s.close()
        check(server.alive(), "the server is up")


def group_languages(server_program, voices, bundled, exchange_dir):
    """Voices of test-voices/languages: each echoes a noise scale of its own (x 1000)."""
    folder = os.path.join(os.path.dirname(voices[0]), "languages")
    names = ["plain", "czech_cz", "czech_a", "british", "russian_multi"]  # plain, the first -m, is the default
    noise = {"plain": 116, "czech_cz": 113, "czech_a": 111, "british": 115, "russian_multi": 117}
    with Server(server_program, [os.path.join(folder, name + ".onnx") for name in names]) as server:
        c = server.client()
        c.send("describe")
        _, info, _ = c.receive()
        listed = {v["name"]: v["languages"] for v in info["tts"][0]["voices"]}
        # Home Assistant's form: the language, and its region in capitals; never an eSpeak NG variant.
        check(listed == {"plain": ["en_US"], "czech_cz": ["cs_CZ"], "czech_a": ["cs"], "british": ["en_GB"],
                         "russian_multi": ["ru"]}, "each voice lists its own language: %s" % listed)

        for voice, want, speaker in (({"language": "cs"}, "czech_a", -1),      # a cs voice before a cs-cz one
                                     ({"language": "cs_CZ"}, "czech_cz", -1),
                                     ({"language": "en"}, "plain", -1),        # the default voice leads its equals
                                     ({"language": "en-GB"}, "british", -1),
                                     ({"language": "ru", "speaker": "boris"}, "russian_multi", 1),
                                     ({"name": "czech_a", "language": "ru"}, "czech_a", -1)):  # a name wins
            c.send("synthesize", {"text": "Ahoj.", "voice": voice})
            samples = samples_of(audio_of(c.receive_until("audio-stop")))
            got = (samples[3], samples[2]) if len(samples) > 6 else None
            check(got == (noise[want], speaker), "voice %s is %s, speaker %d: %s" % (voice, want, speaker, got))
        c.close()

        c = server.client()
        c.send("synthesize", {"text": "Hei.", "voice": {"language": "fi"}})
        events, ended = c.receive_to_end()
        text = events[0][1].get("text") if events else None
        check(types_of(events) == ["error"] and ended and
              text == "no voice speaks the language 'fi' (the voices speak cs, cs-cz, en-gb, en-us, ru)",
              "a language without a voice names the ones there are: %s" % text)
        c.close()


def group_recorded(server_program, voices, bundled, exchange_dir):
    """A whole exchange, sent at once and half-closed; the reply must match byte for byte."""
    with open(os.path.join(exchange_dir, "wyoming-exchange.client"), "rb") as f:
        request = f.read()
    with open(os.path.join(exchange_dir, "wyoming-exchange.server"), "rb") as f:
        expected = f.read()
    with Server(server_program, voices) as server:
        c = server.client()
        c.send_raw(request)
        c.socket.shutdown(socket.SHUT_WR)
        reply = b""
        while True:
            data = c.socket.recv(65536)
            if not data:
                break
            reply += data
        c.close()
        if os.environ.get("ORVEL_RECORD_WYOMING"):
            with open(os.path.join(exchange_dir, "wyoming-exchange.server"), "wb") as f:
                f.write(reply)
        check(reply == expected, "the reply matches the recorded one byte for byte (%d bytes, recorded %d)"
              % (len(reply), len(expected)))
        if reply != expected:
            at = next((i for i in range(min(len(reply), len(expected))) if reply[i] != expected[i]),
                      min(len(reply), len(expected)))
            print("first difference at byte %d:\n  got      %r\n  recorded %r" % (at, reply[at - 40:at + 80],
                                                                                 expected[at - 40:at + 80]))


def main():
    if len(sys.argv) != 6:
        raise SystemExit(__doc__)
    program, test_voices, bundled, exchange_dir, group = sys.argv[1:]
    voices = [os.path.join(test_voices, name + ".onnx") for name in ("fixed_1s", "probe_multi", "fixed_half")]
    {"Info": group_info, "Synthesize": group_synthesize, "Streaming": group_streaming, "Bad": group_bad,
     "Recorded": group_recorded, "Languages": group_languages}[group](program, voices, bundled, exchange_dir)
    finish()


if __name__ == "__main__":
    main()
