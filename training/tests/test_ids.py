"""The ids the voice was trained on must be the ids the library feeds it.

Needs only numpy, eSpeak NG and a build of the library with its test voices:
the probe voice, loaded with this voice's configuration, echoes the ids the
library made, and they are compared with training/symbols.py's encoding.
"""

import json
import os
import tempfile
import unittest

from helpers import CONFIG, built_library, decode_probe, find_probe, python_ids, shared_engine

TEXTS = [
    "Hello world. How are you, friend?",
    "The meeting is on Tuesday, March 3, at 10:45.",
    "It costs $450.22; or about 45 percent more!",
    "Please spell it as A B C, then wait.",
    "Naïve café owners bought 12345 chairs in 1999.",
    "Zero\u200dwidth and \ufeffmarks, (parentheses) and \"quotes\".",
    "Why? Because: yes!",
]

# Clause ends the twin must place exactly as the library does.
MARK_TEXTS = [
    "Hello, x",
    "Hi. A",
    "Wait… what？ ok。 Fine！ Really； yes： no，",
    "One; two: three!   Four?",
    "Dr. Smith arrived, late again.",
    # clauses that yield no phonemes add neither a mark nor a space
    "Hello, ... world",
    "1, , 2",
    "A, , , b.",
    "Hi . . . there",
    " ".join(["word"] * 300),
]


@unittest.skipUnless(find_probe() and built_library.find() and os.path.exists(CONFIG),
                     "needs a build with test voices and voices/orvel-en-us.onnx.json")
class IdSequence(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.engine = shared_engine()

    def library_ids(self, text, config):
        with self.engine.load_voice(find_probe(), config) as probe:
            count, _, _, ids = decode_probe(probe.speak(text))
        self.assertEqual(count, len(ids))
        return ids

    def check(self, config, texts=TEXTS):
        expected = python_ids(texts, config)
        for text, want in zip(texts, expected):
            with self.subTest(text=text):
                self.assertEqual(self.library_ids(text, config), want)

    def test_voice_map(self):
        self.check(CONFIG)

    def test_code_points_without_a_row_are_skipped(self):
        # A map without "ə" and "ˈ": both sides must drop them, pad included.
        with open(CONFIG, encoding="utf-8") as f:
            cfg = json.load(f)
        for sym in ("ə", "ˈ"):
            cfg["phoneme_id_map"].pop(sym)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "reduced.onnx.json")
            with open(path, "w", encoding="utf-8") as f:
                json.dump(cfg, f, ensure_ascii=False)
            self.check(path)

    def test_clause_marks_with_a_map_that_has_them(self):
        # A voice that maps the six marks gets them where each clause ended.
        with open(CONFIG, encoding="utf-8") as f:
            cfg = json.load(f)
        table = cfg["phoneme_id_map"]
        top = max(v[0] for v in table.values())
        for k, mark in enumerate(",.?!;:"):
            table[mark] = [top + 1 + k]
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "marks.onnx.json")
            with open(path, "w", encoding="utf-8") as f:
                json.dump(cfg, f, ensure_ascii=False)
            self.check(path, TEXTS + MARK_TEXTS)
            ids = self.library_ids("Hello, world.", path)
        self.assertIn(table[","][0], ids)
        self.assertEqual(ids[-3:], table["."] + table["_"] + table["$"])

    def test_markers_frame_the_sequence(self):
        with open(CONFIG, encoding="utf-8") as f:
            table = json.load(f)["phoneme_id_map"]
        ids = self.library_ids("Yes.", CONFIG)
        self.assertEqual(ids[:2], table["^"] + table["_"])
        self.assertEqual(ids[-1:], table["$"])
        self.assertTrue(all(i == table["_"][0] for i in ids[1:-1:2]))


if __name__ == "__main__":
    unittest.main()
