"""Alignment of eSpeak NG's phoneme events with the library's code points.

Needs only numpy and eSpeak NG. A silent break here (an event name that no
longer matches, time lost between slots) would teach the voice wrong durations.
"""

import unittest

import numpy as np

import helpers  # noqa: F401  (puts training/ on the path)
import corpus
import espeak
import prep

SENTENCES = [
    "Hello world. How are you, friend?",
    "The meeting is on Tuesday, March 3, at 10:45.",
    "Please spell it as Q X Z, then wait.",
    "Why would Rosa want 46060 books, when Maria has only 424?",
    "Thoroughly judging the quick brown fox's measure.",
]


class Alignment(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.es = espeak.ESpeak("en-us")

    def aligned(self, text):
        cps = self.es.codepoints(text)
        audio, events = self.es.synth(text)
        return cps, audio, events, prep.align(cps, events, len(audio))

    def test_every_sample_lands_in_a_slot(self):
        for text in SENTENCES:
            with self.subTest(text=text):
                cps, audio, _, slot = self.aligned(text)
                self.assertIsNotNone(slot)
                self.assertEqual(len(slot), 3 + 2 * len(cps))
                self.assertAlmostEqual(float(slot.sum()), len(audio), delta=1e-6)

    def test_phonemes_get_time_and_marks_get_none(self):
        cps, _, _, slot = self.aligned(SENTENCES[0])
        for i, cp in enumerate(cps):
            if cp in prep.SKIP:
                self.assertEqual(slot[2 + 2 * i], 0.0, chr(cp))
            else:
                self.assertGreater(slot[2 + 2 * i], 0.0, chr(cp))

    def test_pauses_go_to_pads_and_the_end_pause_to_the_end_marker(self):
        cps, audio, _, slot = self.aligned("Hello world. How are you?")
        pads = slot[3:-1:2]
        self.assertGreater(pads.max(), 0.05 * 22050)   # the sentence pause
        self.assertGreater(slot[-1], 0.1 * 22050)      # the end pause
        self.assertLess(slot[0], 0.05 * 22050)         # little leading silence

    def test_frames_add_up(self):
        _, audio, _, slot = self.aligned(SENTENCES[1])
        n = int(round(len(audio) / prep.HOP))
        durs = prep.slots_to_frames(slot, n)
        self.assertEqual(int(durs.sum()), n)
        self.assertTrue((durs >= 0).all())

    def test_mismatch_is_refused(self):
        cps, audio, events, _ = self.aligned("Hello world.")
        self.assertIsNone(prep.align(cps[:-2], events, len(audio)))

    def test_generated_and_prose_sentences_align(self):
        texts = corpus.generated_sentences(24) + corpus.license_sentences()[:24]
        failed = [t for t in texts if self.aligned(t)[3] is None]
        self.assertEqual(failed, [])

    def test_pitch_of_a_steady_tone(self):
        sr = 22050
        t = np.arange(sr) / sr
        tone = (0.3 * np.sign(np.sin(2 * np.pi * 150.0 * t)) * 32767).astype(np.int16)
        f0 = prep.pitch(tone, sr // prep.HOP, sr)
        self.assertLess(abs(np.median(f0[5:-5]) - 150.0), 3.0)


class ClauseBoundaries(unittest.TestCase):
    """The training twin of the library's clause rule, on the real eSpeak NG."""

    @classmethod
    def setUpClass(cls):
        cls.es = espeak.ESpeak("en-us")

    def text(self, s):
        return "".join(map(chr, self.es.codepoints(s)))

    def test_each_clause_keeps_its_mark_and_a_space_separates_clauses(self):
        self.assertEqual(self.text("Hello, world."), "həlˈoʊ, wˈɜːld.")
        self.assertEqual(self.text("Why? Because: yes!"), "wˈaɪ? bɪkˈʌz: jˈɛs!")
        self.assertEqual(self.text("Wait… what？ ok"), "wˈeɪt. wˌʌt? ˌoʊkˈeɪ")

    def test_the_look_ahead_character_stays_with_its_clause(self):
        # eSpeak NG holds back the first character of the next clause; a
        # one-character last clause must neither be lost nor take a mark.
        self.assertEqual(self.text("Hello, x"), "həlˈoʊ, ˈɛks")
        self.assertEqual(self.text("Hi. A"), "hˈaɪ. ˈeɪ")
        self.assertEqual(self.text("Dog"), "dˈɑːɡ")  # nothing leaked from the text before

    def test_a_clause_without_a_mark_gets_only_the_space(self):
        words = " ".join(["word"] * 400)  # cut for length, no punctuation anywhere
        out = self.text(words)
        self.assertNotIn(",", out)
        self.assertNotIn(".", out)
        self.assertNotIn("  ", out)
        self.assertEqual(out.count("wˈɜːd"), 400)


if __name__ == "__main__":
    unittest.main()
