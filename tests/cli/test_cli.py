#!/usr/bin/python3
"""Smoke tests of orvel-say with the project's test voices.

Run by CTest: test_cli.py ORVEL_SAY TEST_VOICES STUB_ESPEAK_DIR SOURCE_DIR VERSION [unittest args]
The probe voice echoes the ids of each request, so its raw output shows where
requests begin and end and whether one was cut; fixed_1s returns one second
(22050 samples) per request whatever the text.
"""
import array
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import wave

EXE, VOICES, STUB_DIR, SOURCE_DIR, VERSION = sys.argv[1:6]
del sys.argv[1:6]

PROBE = os.path.join(VOICES, "probe.onnx")
FIXED_1S = os.path.join(VOICES, "fixed_1s.onnx")
END_ID = 2  # "$" in the probe voice's map


def header_limit(name):
    """A request limit as orvel.h defines it."""
    with open(os.path.join(SOURCE_DIR, "include", "orvel.h"), encoding="utf-8") as f:
        return int(re.search(r"#define %s (\d+)" % name, f.read()).group(1))


MAX_IDS = header_limit("ORVEL_MAX_PHONEMES")


def run(args, stdin=b"", env=None, **kw):
    full_env = dict(os.environ, **(env or {}))
    return subprocess.run([EXE] + args, input=stdin, capture_output=True, env=full_env, timeout=600, **kw)


def samples_of(data):
    pcm = array.array("h")
    pcm.frombytes(data)
    if sys.byteorder == "big":
        pcm.byteswap()
    return pcm.tolist()


def speak_raw(args, stdin=b""):
    result = run(["--raw"] + args, stdin)
    if result.returncode != 0:
        raise AssertionError("orvel-say failed (%d): %s" % (result.returncode, result.stderr.decode()[-2000:]))
    return samples_of(result.stdout)


def probe_requests(samples):
    """Splits probe output into requests: [ref, len, sid, noise, length, noise_w, ids...]."""
    requests, i = [], 0
    while i < len(samples):
        if samples[i] == 0:  # sentence silence
            i += 1
            continue
        assert samples[i] == 32767, "no probe header at sample %d" % i
        n = samples[i + 1]
        ids = samples[i + 6:i + 6 + n]
        assert len(ids) == n, "truncated probe output"
        requests.append({"sid": samples[i + 2], "noise": samples[i + 3], "length": samples[i + 4],
                         "noise_w": samples[i + 5], "ids": ids})
        i += 6 + n
    return requests


SENTENCES = [
    "The quick brown fox jumps over the lazy dog.",
    "Mr. Smith paid $1,234.56 on 12/03/2024 for 17 items!",
    "Did you see \"the show\" at 8 p.m.?",
    "...",
    "Numbers like 3141592653 and 2718281828 are long.",
    "A semicolon; a colon: and a dash - all in one line.",
    "W. H. Auden wrote about NASA, the IBM PC and www.example.com.",
    "Caf\u00e9 na\u00efve r\u00e9sum\u00e9, with a \u2192 and a \u00a7 sign.",
]


def text_5k():
    parts, size, k = [], 0, 0
    while size < 5000:
        s = SENTENCES[k % len(SENTENCES)]
        parts.append(s)
        size += len(s.encode()) + 1
        k += 1
        if k % 12 == 0:
            parts.append("\n\n")
    return " ".join(parts)


class Input(unittest.TestCase):
    def test_arguments_stdin_and_file_give_the_same_audio(self):
        text = "Hello there. Second sentence, with 42 words?\n\nNew paragraph \u00e9t\u00e9."
        expected = speak_raw(["-m", PROBE, text])
        self.assertGreater(len(probe_requests(expected)), 2)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "in.txt")
            with open(path, "wb") as f:
                f.write(text.encode())
            for name, args, stdin in [
                ("stdin", ["-m", PROBE], text.encode()),
                ("file", ["-m", PROBE, "-f", path], b""),
                ("file -", ["-m", PROBE, "-f", "-"], text.encode()),
                ("bom and crlf", ["-m", PROBE], b"\xef\xbb\xbf" + text.replace("\n", "\r\n").encode()),
                ("split arguments", ["-m", PROBE, "--"] + text.split(" "), b""),
            ]:
                with self.subTest(name):
                    self.assertEqual(speak_raw(args, stdin), expected)

    def test_wav_holds_the_raw_samples(self):
        text = "One sentence. And another one."
        raw = speak_raw(["-m", PROBE, text])
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "out.wav")
            result = run(["-m", PROBE, "-o", path, text])
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            self.assertEqual(result.stdout, b"")
            with wave.open(path, "rb") as w:
                self.assertEqual((w.getnchannels(), w.getsampwidth(), w.getframerate()), (1, 2, 22050))
                self.assertEqual(samples_of(w.readframes(w.getnframes())), raw)
            with open(path, "rb") as f:
                data = f.read()
            self.assertEqual(int.from_bytes(data[4:8], "little"), len(data) - 8)
            self.assertEqual(int.from_bytes(data[40:44], "little"), len(data) - 44)

    def test_voice_options_reach_the_model(self):
        multi = os.path.join(VOICES, "probe_multi.onnx")
        for args, field, value in [
            ([], "length", 1000), ([], "noise", 667), ([], "noise_w", 800), ([], "sid", -1),
            (["--speed", "1.5"], "length", 1500), (["--speed=0.5"], "length", 500),
            (["--speed", "20"], "length", 20000), (["--speed", "0.05"], "length", 50),
            (["--noise", "0.25"], "noise", 250), (["--noise-w", "0.4"], "noise_w", 400),
            (["--noise-w", "10"], "noise_w", 10000),
            (["-m", multi, "--speaker", "2"], "sid", 2),
        ]:
            with self.subTest(args=args):
                model = [] if "-m" in args else ["-m", PROBE]
                requests = probe_requests(speak_raw(model + args + ["First. Second."]))
                self.assertEqual(len(requests), 2)
                self.assertEqual([r[field] for r in requests], [value, value])


    def test_speaker_by_number_or_name(self):
        multi = os.path.join(VOICES, "probe_multi.onnx")
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        with open(multi + ".json", encoding="utf-8") as f:
            config = json.load(f)
        config["speaker_id_map"] = {"alice": 0, "bob": 2, "3": 1}
        config_path = os.path.join(tmp, "named.json")
        with open(config_path, "w", encoding="utf-8") as f:
            json.dump(config, f)
        for speaker, sid in [("bob", 2), ("alice", 0), ("1", 1), ("3", 1), ("0", 0)]:
            with self.subTest(speaker):
                requests = probe_requests(speak_raw(["-m", multi, "-c", config_path, "--speaker", speaker, "Hi."]))
                self.assertEqual([r["sid"] for r in requests], [sid])
        for speaker in ["carol", "4", "-1", "Bob"]:
            with self.subTest(speaker):
                result = run(["-m", multi, "-c", config_path, "--raw", "--speaker", speaker, "Hi."])
                self.assertEqual(result.returncode, 2)
                self.assertIn("orvel-say: speaker %s does not exist: the voice has 4 speakers (0-3; names: "
                              % speaker, result.stderr.decode())


    def test_speakers_of_a_configuration_the_library_loads(self):
        # The library reads past a trailing comma and a missing one; the
        # speaker names are read as far as the file is JSON.
        multi = os.path.join(VOICES, "probe_multi.onnx")
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        with open(multi + ".json", encoding="utf-8") as f:
            config = json.load(f)
        config.pop("speaker_id_map", None)
        start = json.dumps(config)[:-1]
        commas = os.path.join(tmp, "commas.json")
        with open(commas, "w", encoding="utf-8") as f:
            f.write(start + ', "speaker_id_map": {"ann": 0, "rms": 2,},}')
        requests = probe_requests(speak_raw(["-m", multi, "-c", commas, "--speaker", "rms", "Hi."]))
        self.assertEqual([r["sid"] for r in requests], [2])

        broken = os.path.join(tmp, "broken.json")
        with open(broken, "w", encoding="utf-8") as f:
            f.write(start + ' "speaker_id_map": {"ann": 0, "rms": 2}}')
        requests = probe_requests(speak_raw(["-m", multi, "-c", broken, "--speaker", "3", "Hi."]))
        self.assertEqual([r["sid"] for r in requests], [3])
        result = run(["-m", multi, "-c", broken, "--raw", "--speaker", "rms", "Hi."])
        self.assertEqual(result.returncode, 2)
        lines = result.stderr.decode().splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertRegex(lines[0], r"^orvel-say: cannot look up the speaker 'rms' by name: the configuration '"
                         + re.escape(broken) + r"' is not valid JSON \(line 1, column \d+: ")


class LongText(unittest.TestCase):
    def assert_nothing_cut(self, requests):
        for r in requests:
            self.assertLess(len(r["ids"]), MAX_IDS)
            self.assertEqual(r["ids"][-1], END_ID, "a request lost its end marker: it was cut")

    def test_50k_text_is_spoken_completely(self):
        small = text_5k()
        large = "\n\n".join([small] * 10)
        self.assertGreaterEqual(len(large.encode()), 50000)
        args = ["-m", PROBE, "--sentence-silence", "0"]
        small_requests = probe_requests(speak_raw(args, small.encode()))
        large_requests = probe_requests(speak_raw(args, large.encode()))
        self.assert_nothing_cut(large_requests)
        self.assertEqual([r["ids"] for r in large_requests], [r["ids"] for r in small_requests] * 10)

        # One second per request with fixed_1s: the request count shows as length.
        args = ["-m", FIXED_1S, "--sentence-silence", "0"]
        small_count = len(speak_raw(args, small.encode()))
        large_count = len(speak_raw(args, large.encode()))
        self.assertEqual(small_count % 22050, 0)
        self.assertGreater(small_count // 22050, 50)
        self.assertEqual(large_count, 10 * small_count)

    def test_oversized_sentences_and_words_are_split_not_cut(self):
        word = "banana"
        one = len(probe_requests(speak_raw(["-m", PROBE, word]))[0]["ids"])
        cases = {
            "words without punctuation": " ".join([word] * 3000),
            "one long number": "7" * 6000,
            "spelled letters": "w" * 3000,
            "symbols": "\u2167\U0001d56c*#" * 700,
            "ideographs": "\u4e2d\u6587\u5b57" * 700,
            "clauses": ", ".join(["one two three four five six"] * 400),
        }
        for name, text in cases.items():
            with self.subTest(name):
                requests = probe_requests(speak_raw(["-m", PROBE], text.encode()))
                self.assertGreater(len(requests), 1)
                self.assert_nothing_cut(requests)
                if name == "words without punctuation":
                    # ids hold the word's phonemes 3000 times (each id with its pad)
                    spoken = sum(len(r["ids"]) - 3 for r in requests)
                    self.assertGreater(spoken, 0.95 * 3000 * (one - 3))


    def test_every_script_is_spoken_in_full(self):
        # Letters eSpeak NG spells by their names cost up to ~45 phonemes each;
        # the planner must still keep each request whole. The same characters
        # spoken a few at a time (one paragraph per piece) show what is due.
        def letters(first, last):
            return "".join(chr(c) for c in range(first, last + 1) if chr(c).isalpha())
        scripts = {
            "Thai": letters(0x0E01, 0x0E2E),
            "Myanmar": letters(0x1000, 0x102A),
            "Ethiopic": letters(0x1200, 0x1248),
            "Khmer": letters(0x1780, 0x17A2),
            "Tibetan": letters(0x0F40, 0x0F6C),
            "Runic": letters(0x16A0, 0x16EA),
            "accented Latin": letters(0x00C0, 0x024F),
            "Braille": "".join(chr(c) for c in range(0x2801, 0x2900)),
            "Cyrillic words": "\u043f\u0440\u0438\u0432\u0435\u0442 \u043c\u0438\u0440 ",
        }
        args = ["-m", PROBE, "--sentence-silence", "0"]
        for name, alphabet in scripts.items():
            with self.subTest(name):
                text = (alphabet * (1000 // len(alphabet) + 1))[:1000]
                whole = probe_requests(speak_raw(args, text.encode()))
                self.assert_nothing_cut(whole)
                pieces = [text[i:i + 8] for i in range(0, len(text), 8)]
                apart = probe_requests(speak_raw(args, "\n\n".join(pieces).encode()))
                self.assert_nothing_cut(apart)
                spoken = sum(len(r["ids"]) - 3 for r in whole)
                due = sum(len(r["ids"]) - 3 for r in apart)
                self.assertGreater(spoken, 0.9 * due, "%d of %d ids in %d requests" % (spoken, due, len(whole)))


class Silence(unittest.TestCase):
    def test_silence_goes_between_sentences_only(self):
        second = speak_raw(["-m", FIXED_1S, "One."])
        self.assertEqual(len(second), 22050)
        gap = [0] * 2205  # 100 ms at 22050 Hz
        for name, text, silence, expected in [
            ("sentences", "One. Two. Three.", "100", second + gap + second + gap + second),
            ("none", "One. Two. Three.", "0", second * 3),
            ("paragraphs", "One.\n\nTwo.", "100", second + gap + second),
            ("skipped punctuation", "One. ... Two.", "100", second + gap + second),
            ("leading punctuation", "... One.", "100", second),
        ]:
            with self.subTest(name):
                self.assertEqual(speak_raw(["-m", FIXED_1S, "--sentence-silence", silence, text]), expected)

    def test_pieces_of_one_long_sentence_join_without_silence(self):
        samples = speak_raw(["-m", FIXED_1S, "--sentence-silence", "500", " ".join(["banana"] * 3000)])
        self.assertEqual(len(samples) % 22050, 0)
        self.assertGreater(len(samples) // 22050, 1)


class Failures(unittest.TestCase):
    def check(self, args, code, pattern, stdin=b"hello.", env=None):
        result = run(args, stdin, env)
        stderr = result.stderr.decode(errors="replace")
        self.assertEqual(result.returncode, code, stderr)
        # One line and nothing else: the library's own lines are hidden without -v.
        self.assertEqual(len(stderr.splitlines()), 1, stderr)
        self.assertRegex(stderr.splitlines()[0], pattern)
        return result

    def test_each_failure_class_has_its_code_and_one_message(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        out = os.path.join(tmp, "out.wav")
        # The stub beside a data folder of the installed data: the stub's
        # initialise is what fails.
        stub_data = os.path.join(tmp, "stub", "data")
        os.makedirs(stub_data)
        shutil.copy(os.path.join(STUB_DIR, "full", "libespeak-ng.so.1"), os.path.join(tmp, "stub"))
        os.symlink(glob.glob("/usr/lib/*/espeak-ng-data")[0], os.path.join(stub_data, "espeak-ng-data"))
        rows = [
            ("both outputs", ["-m", PROBE, "--raw", "-o", out, "hi"], 2, r"either -o"),
            ("unknown option", ["-m", PROBE, "--raw", "--loud", "hi"], 2, r"unknown option '--loud'"),
            ("missing value", ["-m", PROBE, "--raw", "--speed"], 2, r"needs a value"),
            ("bad number", ["-m", PROBE, "--raw", "--speed", "fast", "hi"], 2, r"bad value 'fast' for --speed"),
            # The audio and the model's memory grow with these: bounded, and the bounds named.
            ("speed too slow", ["-m", PROBE, "--raw", "--speed", "10000", "hi"], 2,
             r"bad value '10000' for --speed: give a length scale from 0\.05 to 20$"),
            ("speed too fast", ["-m", PROBE, "--raw", "--speed=0.01", "hi"], 2, r"from 0\.05 to 20$"),
            ("speed beyond float", ["-m", PROBE, "--raw", "--speed", "1e30", "hi"], 2, r"from 0\.05 to 20$"),
            ("noise width too wide", ["-m", PROBE, "--raw", "--noise-w", "50", "hi"], 2,
             r"bad value '50' for --noise-w: give a noise width above 0, at most 10$"),
            ("negative silence", ["-m", PROBE, "--raw", "--sentence-silence=-1", "hi"], 2, r"bad value"),
            ("text twice", ["-m", PROBE, "--raw", "-f", out, "hi"], 2, r"not both"),
            ("ssml and plain", ["-m", PROBE, "--raw", "--ssml", "--plain", "hi"], 2, r"--ssml or --plain, not both"),
            ("missing text file", ["-m", PROBE, "--raw", "-f", os.path.join(tmp, "none.txt")], 2,
             r"cannot open .*none\.txt"),
            ("text file is a folder", ["-m", PROBE, "--raw", "-f", tmp], 2, r"directory"),
            ("no speaker", ["-m", os.path.join(VOICES, "probe_multi.onnx"), "--raw", "--speaker", "4", "hi"], 2,
             r"speaker 4 does not exist: the voice has 4 speakers"),
            ("init", ["-m", PROBE, "--raw", "--espeak-data", stub_data, "hi"], 3,
             r"cannot start the library: Failed to initialize espeak-ng"),
            ("missing data folder", ["-m", PROBE, "--raw", "--espeak-data", os.path.join(tmp, "no-data"), "hi"], 3,
             r"cannot start the library: espeak-ng data folder not found: .*no-data$"),
            ("missing model", ["-m", os.path.join(tmp, "none.onnx"), "-o", out, "hi"], 4,
             r"cannot load the voice .*none\.onnx': \S"),
            ("not a model", ["-m", os.path.join(VOICES, "bad_not_onnx.onnx"), "-o", out, "hi"], 4,
             r"cannot load the voice .*: \S"),
            ("no config", ["-m", os.path.join(VOICES, "probe_broken_config.onnx"), "-o", out, "hi"], 4,
             r"cannot load the voice .*: \S"),
            ("model fails", ["-m", os.path.join(VOICES, "bad_int64_output.onnx"), "-o", out, "hi. there."], 5,
             r"synthesis failed: \S"),
            ("nothing to say", ["-m", PROBE, "-o", out, "... -- ?!"], 5, r"no part of the text could be spoken"),
            ("output folder missing", ["-m", PROBE, "-o", os.path.join(tmp, "no", "out.wav"), "hi"], 6,
             r"cannot open .*out\.wav' for writing"),
            ("output is a folder", ["-m", PROBE, "-o", tmp, "hi"], 6, r"is a directory"),
        ]
        for name, args, code, pattern in rows:
            with self.subTest(name):
                env = {"STUB_ESPEAK_INIT_RESULT": "0"} if code == 3 else None
                self.check(args, code, "^orvel-say: .*" + pattern, env=env)
                self.assertFalse(os.path.exists(out), "a failed run left its output file")
        with self.subTest("empty text"):
            self.check(["-m", PROBE, "--raw"], 2, r"text is empty", stdin=b" \n\t\r\n  ")

    def test_a_failure_that_would_repeat_ends_the_run_at_once(self):
        # A voice whose eSpeak NG voice cannot be selected fails every piece:
        # the first one's message is the one to see, not "nothing to say".
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        with open(PROBE + ".json", encoding="utf-8") as f:
            config = json.load(f)
        config["espeak"]["voice"] = "zz-nowhere"
        config_path = os.path.join(tmp, "unknown.json")
        with open(config_path, "w", encoding="utf-8") as f:
            json.dump(config, f)
        text = " ".join("Sentence number %d." % i for i in range(300)).encode()
        self.check(["-m", PROBE, "-c", config_path, "--raw"], 5, r"^orvel-say: synthesis failed: \S", stdin=text)
        # With -v the library's lines show how far the run went.
        result = run(["-v", "-m", PROBE, "-c", config_path, "--raw"], text)
        stderr = result.stderr.decode(errors="replace")
        self.assertEqual(result.returncode, 5, stderr)
        self.assertNotIn("no part of the text", stderr)
        self.assertLess(len(stderr.splitlines()), 30, "the run went on after the first failure")
        self.assertEqual(result.stdout, b"")

    def test_pieces_espeak_cannot_read_are_passed_over(self):
        # Arabic-Indic three, Cherokee, fullwidth pound, a combining titlo, an
        # unassigned code point: eSpeak NG gives none of them phonemes.
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        out = os.path.join(tmp, "out.wav")
        unread = ["\u0663", "\u13e3", "\uffe1", "\u0483", "\U00050000"]
        text = "Hello.\n\n" + "\n\n".join(unread) + "\n\nWorld.\n"
        result = self.check(["-m", FIXED_1S, "--sentence-silence", "100", "-o", out, "-f", "-"], 0,
                            r'^orvel-say: skipped 5 parts of the text .*no phonemes.*: "\u0663"$',
                            stdin=text.encode())
        with wave.open(out, "rb") as w:
            self.assertEqual(w.getnframes(), 2 * 22050 + 2205)
        self.assertEqual(result.stdout, b"")
        with self.subTest("nothing readable"):
            self.check(["-m", FIXED_1S, "-o", out, "-f", "-"], 5, r"^orvel-say: synthesis failed: no part of the text",
                       stdin=" ".join(unread).encode())

    def test_output_that_cannot_take_the_audio(self):
        with self.subTest("WAV into a pipe"):
            self.check(["-m", PROBE, "-o", "/dev/stdout", "hi"], 6, r"not seekable")
        with self.subTest("player quits"):
            proc = subprocess.Popen([EXE, "-m", PROBE, "--raw", "hi"], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            proc.stdout.close()
            stderr = proc.stderr.read().decode()
            proc.stderr.close()
            # A reader that went away is an ordinary end for a pipe: the exit
            # code tells, no message does.
            self.assertEqual(proc.wait(timeout=120), 6, stderr)
            self.assertNotIn("orvel-say:", stderr)


class Quiet(unittest.TestCase):
    def test_success_prints_nothing_and_verbose_shows_the_library(self):
        text = "Hello there. This is a test. Three sentences."
        result = run(["-m", PROBE, "--raw", text])
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        verbose = run(["-m", PROBE, "--raw", "--verbose", text])
        self.assertEqual(verbose.returncode, 0)
        self.assertIn(b"[orvel] ", verbose.stderr)
        self.assertEqual(verbose.stdout, result.stdout)

    def test_the_bundled_voice_is_quiet_too(self):
        # Its speaker input once made ONNX Runtime warn at every load, in
        # every host's log: not even -v may show a warning now.
        model = os.path.join(SOURCE_DIR, "voices", "orvel-en-us-arctic.onnx")
        if not os.path.exists(model):
            self.skipTest("the sources carry no bundled voice")
        result = run(["-m", model, "--raw", "Hi."])
        self.assertEqual((result.returncode, result.stderr.decode()), (0, ""))
        verbose = run(["-v", "-m", model, "--raw", "Hi."]).stderr
        self.assertIn(b"[orvel] ", verbose)
        self.assertNotIn(b"onnxruntime", verbose)


class Ssml(unittest.TestCase):
    def ids(self, args, text):
        return [r["ids"] for r in probe_requests(speak_raw(["-m", PROBE] + args, text.encode()))]

    def test_markup_reaches_the_voice_as_the_text_it_stands_for(self):
        rows = [
            ("tags are never spoken", "<speak>Hello <emphasis>big</emphasis> <foo>world</foo>.</speak>",
             "Hello big world."),
            ("sub", '<speak>The <sub alias="World Wide Web">WWW</sub>.</speak>', "The World Wide Web."),
            ("say-as characters", '<speak><say-as interpret-as="characters">abc</say-as></speak>', "a b c"),
            ("paragraphs", "<speak><p>One</p><p>Two</p></speak>", "One\n\nTwo"),
            ("--ssml without speak", "<s>Hi there</s>", "Hi there"),
        ]
        for name, ssml, plain in rows:
            with self.subTest(name):
                ours = self.ids(["--ssml"], ssml)
                self.assertEqual(ours, self.ids([], plain))
        self.assertNotEqual(self.ids([], "The WWW."), self.ids([], "The World Wide Web."))
        with self.subTest("--plain reads markup as written"):
            self.assertEqual(self.ids([], "<speak>Hi</speak>"), self.ids([], "Hi"))
            self.assertNotEqual(self.ids(["--plain"], "<speak>Hi</speak>"), self.ids([], "Hi"))
        self.assertNotEqual(self.ids([], "abc"), self.ids([], "a b c"))

    def test_break_adds_its_time(self):
        plain = speak_raw(["-m", FIXED_1S], b"One. Two.")
        for ssml, extra in [('<speak>One. <break time="500ms"/> Two.</speak>', 11025),
                            ('<speak>One. <break time="1s"/><break strength="weak"/> Two.</speak>', 22050 + 4410)]:
            with self.subTest(ssml):
                self.assertEqual(len(speak_raw(["-m", FIXED_1S], ssml.encode())), len(plain) + extra)

    def test_break_with_the_bundled_voice(self):
        model = os.path.join(SOURCE_DIR, "voices", "orvel-en-us-arctic.onnx")
        if not os.path.exists(model):
            self.skipTest("the sources carry no bundled voice")
        # Its durations vary by up to 80 ms from run to run; without the noise
        # width they do not, and the break is all that differs.
        args = ["-m", model, "--noise-w", "0.000001"]
        plain = len(speak_raw(args, b"One sentence. And another one."))
        broken = len(speak_raw(args, b'<speak>One sentence. <break time="500ms"/> And another one.</speak>'))
        self.assertLess(abs((broken - plain) / 16000 - 0.5), 0.03)

    def test_prosody_rate_divides_the_length_scale(self):
        requests = probe_requests(speak_raw(["-m", PROBE, "--speed", "2"],
                                            b'<speak>One. <prosody rate="200%">Two.</prosody></speak>'))
        self.assertEqual([r["length"] for r in requests][1] * 2, requests[0]["length"])

    def test_voice_names_a_speaker_for_its_part(self):
        multi = os.path.join(VOICES, "probe_multi.onnx")
        ssml = b'<speak>One. <voice name="2">Two. Three.</voice> Four. <voice name="nobody">Five.</voice></speak>'
        for args, after in [(["--speaker", "0"], 0), (["--speaker", "3"], 3)]:
            with self.subTest(args):
                requests = probe_requests(speak_raw(["-m", multi] + args, ssml))
                # A name the voice does not have keeps the run's speaker.
                self.assertEqual([r["sid"] for r in requests][1:], [2, 2, after, after])

    def test_broken_markup_is_spoken_as_plain_text_with_a_warning(self):
        result = run(["-m", PROBE, "--raw"], b"<speak>Hello <b>world.</speak>")
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stderr.decode(), r"^orvel-say: the SSML could not be read \(line 1: mismatched tag\); "
                                                 r"it is spoken as plain text\n$")
        self.assertEqual([r["ids"] for r in probe_requests(samples_of(result.stdout))], self.ids([], "Hello world."))


class Lexicon(unittest.TestCase):
    def test_listed_words_are_said_as_respelled(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        path = os.path.join(tmp, "words.lex")
        with open(path, "w", encoding="utf-8") as f:
            f.write("# test words\nnginx engine x\nSQL sequel\n")
        ids = lambda args, text: [r["ids"] for r in probe_requests(speak_raw(["-m", PROBE] + args, text.encode()))]
        self.assertEqual(ids(["--lexicon", path], "Nginx and SQL, not sql."), ids([], "engine x and sequel, not sql."))
        self.assertEqual(ids(["--lexicon", path], "<speak>nginx <break time='10ms'/> here</speak>"),
                         ids([], "<speak>engine x <break time='10ms'/> here</speak>"))
        self.assertEqual(ids(["--lexicon", path, "--plain"], "nginx"), ids([], "engine x"))
        with open(path, "a", encoding="utf-8") as f:
            f.write("e.g. for example\n")
        result = run(["-m", PROBE, "--raw", "--lexicon", path, "nginx"])
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stderr.decode(), "orvel-say: %s:4: 'e.g.' is not one word: letters and digits, "
                                                 "with ' or - inside\n" % path)
        self.assertEqual(result.stdout, b"")


class Captions(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)

    def cues(self, path):
        """(start, end, text) of each cue, times in seconds."""
        with open(path, encoding="utf-8") as f:
            text = f.read()
        out = []
        for start, end, words in re.findall(r"(\d\d:\d\d:\d\d[.,]\d{3}) --> (\d\d:\d\d:\d\d[.,]\d{3})\n(.*)\n", text):
            seconds = [sum(float(p) * m for p, m in zip(t.replace(",", ".").split(":"), (3600, 60, 1)))
                       for t in (start, end)]
            out.append((round(seconds[0], 3), round(seconds[1], 3), words))
        return out

    def test_a_cue_per_sentence_at_the_audio_times(self):
        vtt = os.path.join(self.tmp, "out.vtt")
        wav = os.path.join(self.tmp, "out.wav")
        result = run(["-m", FIXED_1S, "-o", wav, "--subtitles", vtt,
                      '<speak>One. <break time="500ms"/> Two, &lt;two&gt;. Three</speak>'])
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        with open(vtt, encoding="utf-8") as f:
            self.assertTrue(f.read().startswith("WEBVTT\n\n1\n00:00:00.000 --> 00:00:01.000\nOne.\n"))
        self.assertEqual(self.cues(vtt), [(0.0, 1.0, "One."), (1.7, 2.7, "Two, &lt;two&gt;."), (2.9, 3.9, "Three")])
        srt = os.path.join(self.tmp, "out.srt")
        self.assertEqual(run(["-m", FIXED_1S, "--raw", "--subtitles", srt, "One. Two."]).returncode, 0)
        self.assertEqual(self.cues(srt), [(0.0, 1.0, "One."), (1.2, 2.2, "Two.")])

    def test_cues_match_the_bundled_voice(self):
        model = os.path.join(SOURCE_DIR, "voices", "orvel-en-us-arctic.onnx")
        if not os.path.exists(model):
            self.skipTest("the sources carry no bundled voice")
        srt = os.path.join(self.tmp, "out.srt")
        wav = os.path.join(self.tmp, "out.wav")
        text = "Hello there. This is a longer sentence, with a clause in it. The third and last one."
        self.assertEqual(run(["-m", model, "-o", wav, "--subtitles", srt, text]).returncode, 0)
        with wave.open(wav, "rb") as w:
            rate = w.getframerate()
            samples = samples_of(w.readframes(w.getnframes()))
        cues = self.cues(srt)
        self.assertEqual([c[2] for c in cues], ["Hello there.", "This is a longer sentence, with a clause in it.",
                                                "The third and last one."])
        # Within 20 ms: each cue holds speech, the pauses between them are silent, the last ends with the audio.
        self.assertLess(abs(cues[-1][1] - len(samples) / rate), 0.02)
        for (_, end, _), (start, _, _) in zip(cues, cues[1:]):
            self.assertAlmostEqual(start - end, 0.2, delta=0.002)
            gap = samples[int(end * rate) + 1:int(start * rate) - 1]
            self.assertTrue(gap and not any(gap), "the pause between cues is silent")
        for start, end, _ in cues:
            self.assertGreater(max(abs(v) for v in samples[int(start * rate):int(end * rate)]), 3000)

    def test_bad_names_and_failed_runs_leave_no_captions(self):
        vtt = os.path.join(self.tmp, "out.vtt")
        result = run(["-m", FIXED_1S, "--raw", "--subtitles", os.path.join(self.tmp, "out.txt"), "Hi."])
        self.assertEqual(result.returncode, 2)
        self.assertRegex(result.stderr.decode(), r"^orvel-say: bad value .* for --subtitles: give a file name ending "
                                                 r"in \.vtt or \.srt\n$")
        self.assertEqual(run(["-m", PROBE, "--raw", "--subtitles", vtt, "... ?!"]).returncode, 5)
        self.assertEqual(os.listdir(self.tmp), [])


class Output(unittest.TestCase):
    """The WAV file appears complete or not at all; what was there survives a failure."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)
        self.out = os.path.join(self.tmp, "out.wav")
        with open(self.out, "wb") as f:
            f.write(b"the earlier file")

    def assert_untouched(self):
        self.assertEqual(sorted(os.listdir(self.tmp)), ["out.wav"], "a temporary file was left")
        with open(self.out, "rb") as f:
            self.assertEqual(f.read(), b"the earlier file")

    def long_text(self):
        return " ".join("Sentence number %d." % i for i in range(2000)).encode()

    def test_failed_runs_keep_the_existing_file(self):
        for name, args, code in [
            ("bad model", ["-m", os.path.join(VOICES, "bad_not_onnx.onnx"), "hi"], 4),
            ("nothing to say", ["-m", PROBE, "... ?!"], 5),
            ("model fails", ["-m", os.path.join(VOICES, "bad_int64_output.onnx"), "hi. there."], 5),
        ]:
            with self.subTest(name):
                result = run(args + ["-o", self.out])
                self.assertEqual(result.returncode, code, result.stderr.decode())
                self.assert_untouched()

    def test_success_replaces_the_file_through_a_link(self):
        os.chmod(self.out, 0o640)
        link = os.path.join(self.tmp, "link.wav")
        os.symlink("out.wav", link)
        result = run(["-m", PROBE, "-o", link, "Hello."])
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertTrue(os.path.islink(link))
        with wave.open(self.out, "rb") as w:
            self.assertEqual(samples_of(w.readframes(w.getnframes())), speak_raw(["-m", PROBE, "Hello."]))
        self.assertEqual(os.stat(self.out).st_mode & 0o777, 0o640)
        self.assertEqual(sorted(os.listdir(self.tmp)), ["link.wav", "out.wav"])

    def test_signals_leave_no_partial_file(self):
        import signal
        for sig in [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]:
            with self.subTest(signal.Signals(sig).name):
                proc = subprocess.Popen([EXE, "-m", FIXED_1S, "-o", self.out, "-f", "-"], stdin=subprocess.PIPE,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                proc.stdin.write(self.long_text())
                proc.stdin.close()
                # Signal once the temporary file holds audio (bounded wait).
                for _ in range(6000):
                    parts = [n for n in os.listdir(self.tmp) if n != "out.wav"]
                    if parts and os.path.getsize(os.path.join(self.tmp, parts[0])) > 100000:
                        break
                    if proc.poll() is not None:
                        break
                    time.sleep(0.01)
                self.assertIsNone(proc.poll(), "the run ended before it could be interrupted")
                proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=120), -sig)
                self.assert_untouched()

    def test_closed_stderr_does_not_end_the_run(self):
        proc = subprocess.Popen([EXE, "-m", PROBE, "-o", self.out, "One. Two. Three."], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        proc.stderr.close()
        self.assertEqual(proc.wait(timeout=120), 0)
        with wave.open(self.out, "rb") as w:
            self.assertEqual(samples_of(w.readframes(w.getnframes())),
                             speak_raw(["-m", PROBE, "One. Two. Three."]))

    def test_closed_standard_descriptors(self):
        # Closed at start, the descriptors must not be taken by the WAV file.
        expected = speak_raw(["-m", PROBE, "One. Two."])
        for closing in ["2>&-", ">&- 2>&-", "<&- >&- 2>&-"]:
            with self.subTest(closing):
                script = 'exec "$0" "$@" ' + closing
                result = subprocess.run(["sh", "-c", script, EXE, "-m", PROBE, "-o", self.out, "One. Two."],
                                        stdout=subprocess.DEVNULL, timeout=120)
                self.assertEqual(result.returncode, 0)
                with wave.open(self.out, "rb") as w:
                    self.assertEqual(samples_of(w.readframes(w.getnframes())), expected)

    @unittest.skipIf(os.environ.get("ORVEL_SANITIZED"), "AddressSanitizer needs more address space than the limit")
    def test_out_of_memory_is_one_line(self):
        import resource
        path = os.path.join(self.tmp, "big.txt")
        with open(path, "wb") as f:
            f.write(b"word " * (60 << 20))  # 300 MB

        def limit():
            resource.setrlimit(resource.RLIMIT_AS, (600 << 20, 600 << 20))
        result = subprocess.run([EXE, "-m", PROBE, "-o", self.out, "-f", path], capture_output=True,
                                preexec_fn=limit, timeout=600)
        stderr = result.stderr.decode(errors="replace")
        self.assertEqual(result.returncode, 2, stderr)
        self.assertEqual([l for l in stderr.splitlines() if l.startswith("orvel-say: ")],
                         ["orvel-say: out of memory (is the text too large to hold at once?)"])
        os.remove(path)
        self.assert_untouched()


class Play(unittest.TestCase):
    """Without -o or --raw the audio goes to the sound device through a player,
    as espeak-ng plays it; here a stand-in player on the PATH records it."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)
        self.bin = os.path.join(self.tmp, "bin")
        os.makedirs(self.bin)

    def player(self, name, status=0):
        path = os.path.join(self.bin, name)
        with open(path, "w") as f:
            f.write('#!/bin/sh\necho "$@" > "%s/args"\n/bin/cat > "%s/pcm"\nexit %d\n' % (self.tmp, self.tmp, status))
        os.chmod(path, 0o755)

    def test_the_first_player_found_gets_the_raw_stream(self):
        self.player("aplay")
        self.player("paplay")
        text = "Hello world. How are you?"
        result = run(["-m", PROBE, text], env={"PATH": self.bin})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, b"")
        with open(os.path.join(self.tmp, "args")) as f:
            self.assertEqual(f.read().split(), ["--raw", "--rate=22050", "--channels=1", "--format=s16le"])
        with open(os.path.join(self.tmp, "pcm"), "rb") as f:
            self.assertEqual(samples_of(f.read()), speak_raw(["-m", PROBE, text]))

    def test_no_player_or_a_failing_one_is_one_line(self):
        result = run(["-m", PROBE, "hi"], env={"PATH": self.bin})
        self.assertEqual(result.returncode, 6)
        self.assertRegex(result.stderr.decode(), r"^orvel-say: no audio player \(pw-play, paplay or aplay\) "
                                                 r"found: give -o FILE\.wav, or --raw for PCM\n$")
        self.player("aplay", status=1)
        result = run(["-m", PROBE, "hi"], env={"PATH": self.bin})
        self.assertEqual(result.returncode, 6)
        self.assertRegex(result.stderr.decode(), r"^orvel-say: aplay could not play the audio \(exit status 1\)\n$")


class Info(unittest.TestCase):
    def test_help_and_version(self):
        result = run(["--help"])
        self.assertEqual(result.returncode, 0)
        help_text = result.stdout.decode()
        for option in ["--model", "--config", "--output", "--file", "--raw", "--speed", "--speaker", "--noise",
                       "--noise-w", "--sentence-silence", "--espeak-data", "--version", "--language", "--voice-dir",
                       "--list-voices", "--verbose", "--ssml", "--plain", "--lexicon", "--subtitles"]:
            self.assertIn(option, help_text)
        self.assertIn("(default: 200)", help_text)
        for code in range(2, 7):
            self.assertRegex(help_text, r"\n  %d  \S" % code)
        result = run(["--version"])
        self.assertEqual((result.returncode, result.stdout.decode().split()[-1]), (0, VERSION))

    def test_bundled_voice_beside_the_executable(self):
        with tempfile.TemporaryDirectory() as prefix:
            os.mkdir(os.path.join(prefix, "bin"))
            voices = os.path.join(prefix, "share", "talmerin-orvel", "voices")
            os.makedirs(voices)
            exe = os.path.join(prefix, "bin", "orvel-say")
            shutil.copy(EXE, exe)
            for suffix in [".onnx", ".onnx.json"]:
                shutil.copy(os.path.join(VOICES, "probe" + suffix), os.path.join(voices, "orvel-en-us-arctic" + suffix))
            result = subprocess.run([exe, "--raw", "Hi."], capture_output=True, timeout=120)
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            self.assertEqual(len(probe_requests(samples_of(result.stdout))), 1)

    def test_without_a_voice(self):
        result = run(["--raw", "Hi."])
        if os.path.exists(os.path.join(SOURCE_DIR, "voices", "orvel-en-us-arctic.onnx")):
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            self.assertGreater(len(result.stdout), 0)
        else:
            self.assertEqual(result.returncode, 2)
            self.assertRegex(result.stderr.decode(), r"orvel-say: a voice is needed: give one with -m")


LANGUAGES = os.path.join(VOICES, "languages")
# The noise scale each voice of test-voices/languages is configured with, x 1000,
# which the probe echoes: the output names the voice that spoke.
NOISE_OF = {"czech_a": 111, "czech_b": 112, "czech_cz": 113, "russian": 114, "british": 115, "plain": 116,
            "russian_multi": 117}


def speaker_of(samples):
    """The voice of test-voices/languages that spoke, from the probe's noise slot."""
    noises = {r["noise"] for r in probe_requests(samples)}
    names = [name for name, noise in NOISE_OF.items() if {noise} == noises]
    return names[0] if names else noises


class Voices(unittest.TestCase):
    def listing(self, args):
        result = run(["--list-voices"] + args)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return [line.split() for line in result.stdout.decode().splitlines()]

    def test_list_shows_each_voice_with_its_language(self):
        rows = self.listing(["--voice-dir", LANGUAGES])
        self.assertEqual([row[:2] for row in rows],
                         [["british", "en-gb"], ["czech_a", "cs"], ["czech_b", "cs"], ["czech_cz", "cs-cz"],
                          ["plain", "en-us"], ["russian", "ru"], ["russian_multi", "ru"]])
        self.assertEqual(rows[-1][2:], ["22050", "Hz", "4", "speakers:", "anna,", "boris",
                                        os.path.join(LANGUAGES, "russian_multi.onnx")])
        # With a language: only its voices, the one --language takes first.
        self.assertEqual([row[0] for row in self.listing(["--voice-dir", LANGUAGES, "--language", "cs"])],
                         ["czech_a", "czech_b", "czech_cz"])
        # Voices that cannot be read are left out with a line each; the rest are listed.
        result = run(["--list-voices", "--voice-dir", VOICES])
        self.assertEqual(result.returncode, 0)
        self.assertEqual(len(re.findall(r"^orvel-say: skipping a voice: ", result.stderr.decode(), re.M)), 2)
        self.assertIn("probe", [line.split()[0] for line in result.stdout.decode().splitlines()])
        # The bundled voices, as orvel-say finds them without -m.
        if os.path.exists(os.path.join(SOURCE_DIR, "voices", "orvel-en-us-arctic.onnx")):
            self.assertIn(["orvel-en-us-arctic", "en-us", "16000", "Hz", "3", "speakers:", "slt,", "rms,", "awb"],
                          [row[:9] for row in self.listing([])])

    def test_language_picks_the_closest_voice_then_the_first_by_name(self):
        for language, voice in [("cs", "czech_a"), ("CS_cz", "czech_cz"), ("ru", "russian"), ("en-gb", "british"),
                                ("en-US", "plain"), ("en_us", "plain"),
                                # Region-less, or a region no voice has: the language's voices, by name.
                                ("en", "british"), ("en-au", "british")]:
            with self.subTest(language):
                self.assertEqual(speaker_of(speak_raw(["--voice-dir", LANGUAGES, "--language", language, "Ahoj."])),
                                 voice)

    def test_the_bundled_voice_leads_its_language(self):
        # In the installed folder beside the program, found as the bundled voice is.
        with tempfile.TemporaryDirectory() as prefix:
            os.mkdir(os.path.join(prefix, "bin"))
            voices = os.path.join(prefix, "share", "talmerin-orvel", "voices")
            os.makedirs(voices)
            exe = os.path.join(prefix, "bin", "orvel-say")
            shutil.copy(EXE, exe)
            for source, name in [("plain", "orvel-en-us-arctic"), ("british", "aaa"), ("czech_b", "czech_b")]:
                for suffix in [".onnx", ".onnx.json"]:
                    shutil.copy(os.path.join(LANGUAGES, source + suffix), os.path.join(voices, name + suffix))
            for language, voice in [("en", "plain"), ("cs", "czech_b"), ("en-gb", "british")]:
                with self.subTest(language):
                    result = subprocess.run([exe, "--raw", "--language", language, "Hi."], capture_output=True,
                                            timeout=120)
                    self.assertEqual(result.returncode, 0, result.stderr.decode())
                    self.assertEqual(speaker_of(samples_of(result.stdout)), voice)

    def test_no_voice_for_the_language_names_the_ones_there_are(self):
        rows = [
            (["--voice-dir", LANGUAGES, "--language", "fi", "--raw", "Hei."],
             r"no voice for the language 'fi': the voices in %s speak cs, cs-cz, en-gb, en-us, ru$"
             % re.escape(LANGUAGES)),
            (["--voice-dir", LANGUAGES, "--language", "fi", "--list-voices"], r"no voice for the language 'fi'"),
            (["--voice-dir", os.path.join(LANGUAGES, "none"), "--language", "cs", "--raw", "Hi."],
             r"cannot list the voice folder '.*none'"),
            (["--voice-dir", LANGUAGES, "--raw", "Hi."], r"a voice is needed: .* has no orvel-en-us-arctic\.onnx$"),
            (["-m", PROBE, "--language", "cs", "--raw", "Hi."], r"give either -m MODEL\.onnx or --language, not both"),
            (["--language=", "--raw", "Hi."], r"bad value '' for --language"),
        ]
        for args, pattern in rows:
            with self.subTest(args):
                result = run(args)
                self.assertEqual(result.returncode, 2, result.stderr.decode())
                self.assertEqual(result.stdout, b"")
                lines = result.stderr.decode().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertRegex(lines[0], "^orvel-say: " + pattern)
        with tempfile.TemporaryDirectory() as empty:
            result = run(["--voice-dir", empty, "--list-voices"])
            self.assertEqual((result.returncode, result.stderr.decode().strip()),
                             (2, "orvel-say: no voices to list: there are none in " + empty))


if __name__ == "__main__":
    unittest.main(verbosity=2)
