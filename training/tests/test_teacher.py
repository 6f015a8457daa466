"""Alignment of a Flite teacher's segments with our code points.

The DP checks need only numpy; the checks on real teacher audio also need
Flite's C library (flite1-dev) and a C compiler, and eSpeak NG. A silent fault
here (a pause on a phoneme, time lost between slots) teaches the voice wrong
durations and pauses where there are none.
"""

import os
import re
import shutil
import tempfile
import unittest
import wave
from unittest import mock

import numpy as np

import helpers  # noqa: F401  (puts training/ on the path)
import festival_teacher
import prep
import prep_teachers
import teacher


def cps(text):
    return [ord(c) for c in text]


def have_flite():
    return os.path.exists("/usr/include/flite/flite.h") and shutil.which("cc") is not None


class Tokens(unittest.TestCase):
    def test_stress_length_and_gaps(self):
        toks = teacher.tokens(cps("hˈɜːl, dˌæ."))
        self.assertEqual(toks, [("phone", [0]), ("phone", [2, 3]), ("phone", [4]), ("gap", [5, 6]),
                                ("phone", [7]), ("phone", [9]), ("gap", [10])])

    def test_word_count_ignores_marks(self):
        self.assertEqual(teacher.word_count(cps("ˈa b, c. d")), 4)
        self.assertEqual(teacher.word_count(cps(", .")), 0)


class DP(unittest.TestCase):
    def test_pause_goes_to_the_gap_and_a_diphthong_shares_its_phone(self):
        ours = cps("həlˈoʊ, wˈɜːld")
        toks = teacher.tokens(ours)
        phones = "hh ax l ow pau w er l d".split()
        cost, links = teacher.dp_align(toks, ours, phones)
        self.assertAlmostEqual(cost, teacher.SHARE)  # the diphthong's second letter only
        linked = {}
        for t, p in links:
            linked.setdefault(p, []).append("".join(chr(ours[i]) for i in toks[t][1]))
        self.assertEqual(linked[3], ["o", "ʊ"])
        self.assertEqual(linked[4], [", "])
        self.assertEqual(sorted(linked), list(range(len(phones))))  # every phone has a token

    def test_a_gap_without_a_pause_gets_no_time(self):
        ours = cps("ɐ bˈiː")
        toks = teacher.tokens(ours)
        _, links = teacher.dp_align(toks, ours, "ax b iy".split())
        self.assertNotIn(1, [t for t, _ in links])  # the space token

    def test_unrelated_phones_cost_more_than_the_threshold(self):
        ours = cps("fˈaɪv hˈʌndɹɪd")
        toks = teacher.tokens(ours)
        cost, _ = teacher.dp_align(toks, ours, "f ay v f ay v".split())
        self.assertGreater(cost / len(toks), prep_teachers.MAX_COST)


class PauseFloor(unittest.TestCase):
    def test_short_pauses_at_marks_grow_inside_the_pause(self):
        rate = 1000
        ours = cps("ab, cd. ef g")
        # time of each code point: the comma's gap 0.05 s, the full stop's 0.4 s
        # (already long enough), the space between "ef" and "g" none
        times = [80, 80, 30, 20, 80, 80, 300, 100, 80, 80, 0, 80]
        slot = np.zeros(3 + 2 * len(ours))
        slot[2:-1:2] = times
        slot[0], slot[-1] = 50, 150
        audio = np.arange(1, int(slot.sum()) + 1, dtype=np.int16)
        new_slot, new_audio = teacher.lengthen_pauses(ours, slot, audio, rate)
        comma = 2 + 2 * ours.index(ord(","))
        added = int(teacher.MIN_PAUSE[","] * rate) - 50
        self.assertEqual(len(new_audio), len(audio) + added)
        self.assertEqual(float(new_slot.sum()), float(len(new_audio)))
        self.assertEqual(new_slot[comma], slot[comma] + added)
        self.assertEqual(np.delete(new_slot, comma).tolist(), np.delete(slot, comma).tolist())
        # the silence starts where the comma's time ends, before the space's
        at = int(slot[:comma + 1].sum())
        self.assertEqual(new_audio[:at].tolist(), audio[:at].tolist())
        self.assertFalse(new_audio[at:at + added].any())
        self.assertEqual(new_audio[at + added:].tolist(), audio[at:].tolist())

    def test_a_gap_the_teacher_did_not_pause_at_stays(self):
        ours = cps("a, b")
        slot = np.array([10, 0, 50, 0, 0, 0, 0, 0, 50, 0, 10], np.float64)
        audio = np.ones(int(slot.sum()), np.int16)
        new_slot, new_audio = teacher.lengthen_pauses(ours, slot, audio, 1000)
        self.assertEqual(new_slot.tolist(), slot.tolist())
        self.assertEqual(len(new_audio), len(audio))


class TeacherLevel(unittest.TestCase):
    """A quiet teacher's weak consonants must not reach the voice as silence."""

    def utterance(self, rate=16000):
        # a vowel peaking at -9.4 dBFS (Festival HTS slt's median), then an /f/
        # of noise at -53 dBFS rms: under the gate's -50 dBFS as Festival speaks it
        rng = np.random.default_rng(3)
        t = np.arange(rate // 4) / rate
        vowel = 32768 * 10 ** (-9.4 / 20) * np.sin(2 * np.pi * 180 * t)
        f = rng.normal(0.0, 32768 * 10 ** (-53 / 20), rate // 4)
        return np.round(np.concatenate([vowel, f])).astype(np.int16), [(rate // 4, rate // 2)]

    def test_a_quiet_teacher_is_raised_above_the_gate(self):
        audio, f_span = self.utterance()
        self.assertGreater(prep.quiet_share(audio, f_span), 0.9)
        raised = festival_teacher.raise_to_peak(audio)
        self.assertEqual(prep.quiet_share(raised, f_span), 0.0)
        self.assertAlmostEqual(20 * np.log10(np.abs(raised).max() / 32768), festival_teacher.PEAK_DBFS,
                               places=2)
        # one gain for the whole utterance: the vowel-to-/f/ contrast is kept
        self.assertAlmostEqual(float(raised[100]) / float(audio[100]),
                               float(raised.max()) / float(audio.max()), places=2)

    def test_loud_or_silent_audio_is_left_as_it_is(self):
        loud = (np.sin(np.arange(4000) / 10.0) * 32000).astype(np.int16)
        self.assertIs(festival_teacher.raise_to_peak(loud), loud)
        silent = np.zeros(4000, np.int16)
        self.assertFalse(festival_teacher.raise_to_peak(silent).any())
        self.assertEqual(len(festival_teacher.raise_to_peak(np.zeros(0, np.int16))), 0)
        # a full-scale negative sample is counted without int16 overflow
        edge = np.array([-32768, 0, 100], np.int16)
        self.assertIs(festival_teacher.raise_to_peak(edge), edge)


class FestivalKept(unittest.TestCase):
    """Festival's kept output must be the audio of the sentence asked for, even
    when the list grows or is reordered between two preparations."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.spoken = []

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def fake_festival(self, argv, **_):
        # Speaks each sentence of the batch as a wave whose length is its
        # text's length, so a row tells which sentence it holds.
        with open(argv[-1], encoding="latin-1") as f:
            script = f.read()
        for text, base in re.findall(r'\(Utterance Text "([^"]*)"\)+ \(utt.save.wave u "([^"]*)\.tmp\.wav"',
                                     script):
            self.spoken.append(text)
            with wave.open(base + ".wav", "wb") as w:
                w.setnchannels(1)
                w.setsampwidth(2)
                w.setframerate(16000)
                w.writeframes(b"\0\0" * len(text))
            with open(base + ".segs", "w") as f:
                f.write("#\n0.1 100 pau\n")
        return mock.Mock(wait=lambda: 0)

    def synthesize(self, sentences, stretch=None):
        with mock.patch.object(festival_teacher.subprocess, "Popen", self.fake_festival):
            rows = festival_teacher.synthesize("kal_diphone", "latin-1", sentences, self.tmp, stretch=stretch)
        return [len(r[0]) for r in rows]

    def test_a_grown_or_reordered_list_reads_each_sentence_s_own_audio(self):
        self.assertEqual(self.synthesize(["One.", "Two two."]), [4, 8])
        self.assertEqual(self.synthesize(["Three three three.", "One.", "Two two."]), [18, 4, 8])
        self.assertEqual(self.spoken, ["One.", "Two two.", "Three three three."])
        # A slower reading is another recording.
        self.assertEqual(self.synthesize(["One.", "One."], stretch=1.3), [4, 4])
        self.assertEqual(self.spoken[3:], ["One."])


@unittest.skipUnless(have_flite(), "needs flite1-dev and a C compiler")
class RealTeacher(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        import espeak
        cls.tmp = tempfile.mkdtemp()
        cls.helper = teacher.build_helper(os.path.join(cls.tmp, "flite_teacher"))
        cls.es = espeak.ESpeak("en-us")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def spoken(self, texts, voice="slt"):
        return teacher.synthesize(self.helper, voice, texts, os.path.join(self.tmp, "a.raw"))

    def test_time_is_kept_and_pauses_land_on_marks(self):
        text = "Hello, world. How are you today?"
        (audio, rate, segs), = self.spoken([text])
        self.assertEqual(rate, 16000)
        ours = self.es.codepoints(text)
        slot, mean_cost = teacher.align(ours, segs, len(audio), rate)
        self.assertLess(mean_cost, prep_teachers.MAX_COST)
        self.assertEqual(len(slot), 3 + 2 * len(ours))
        self.assertLess(abs(slot.sum() - len(audio)), 0.02 * rate)
        self.assertGreater(slot[0], 0.05 * rate)     # leading silence on "^"
        self.assertGreater(slot[-1], 0.1 * rate)     # the end pause on "$"
        for i, cp in enumerate(ours):
            t = slot[2 + 2 * i]
            if cp in teacher.STRESS:
                self.assertEqual(t, 0.0)
            elif cp == ord(","):
                self.assertGreater(t, 0.05 * rate)   # the comma's pause
        self.assertEqual(slot[3::2][:-1].sum(), 0.0)  # pads get no time

    def test_speakers_and_the_stretch_reference(self):
        text = ["Seven quiet birds sang near the river bank."]
        lengths = {v: len(self.spoken(text, v)[0][0]) for v in ("slt", "rms", "awb")}
        self.assertEqual(len(set(lengths.values())), 3)
        slow = teacher.synthesize(self.helper, "slt", text, os.path.join(self.tmp, "s.raw"), 1.3)
        self.assertGreater(len(slow[0][0]), 1.2 * lengths["slt"])

    def test_kept_output_is_reused_only_for_the_same_sentences(self):
        path = os.path.join(self.tmp, "kept.raw")
        first = teacher.synthesize(self.helper, "rms", ["One two."], path, keep=True)
        with open(path, "ab") as f:
            f.write(b"\0\0")  # a reuse would now see a length mismatch
        with self.assertRaises(RuntimeError):
            teacher.synthesize(self.helper, "rms", ["One two."], path, keep=True)
        again = teacher.synthesize(self.helper, "rms", ["Three four."], path, keep=True)
        self.assertNotEqual(len(first[0][0]), 0)
        self.assertNotEqual(len(again[0][0]), 0)

    def test_numbers_read_another_way_are_dropped(self):
        text = "Call 538 338 77 17, and ask for Karen."
        (audio, rate, segs), = self.spoken([text])
        _, mean_cost = teacher.align(self.es.codepoints(text), segs, len(audio), rate)
        self.assertGreater(mean_cost, prep_teachers.MAX_COST)


if __name__ == "__main__":
    unittest.main()
