"""The other languages' teachers: sentences, Festival's segment files, and the
phone sets the alignment learns. A fault here teaches a voice another
language's words, pauses where the teacher made none, or a consonant's
palatalisation as a sound of its own."""

import os
import tempfile
import unittest

import helpers  # noqa: F401  (puts training/ on the path)
import festival_teacher
import languages
import prep_languages
import teacher


def cps(text):
    return [ord(c) for c in text]


class Sentences(unittest.TestCase):
    def test_filter_keeps_plain_prose_in_the_voice_encoding(self):
        good = ["Můj bratr žije ve velkém městě a rád čte.", "Il treno parte alle otto di sera."]
        for s, enc in zip(good, ["iso-8859-2", "iso-8859-1"]):
            self.assertTrue(languages._good(s, enc), s)
        bad = [("Zvolte 3 položky a klikněte na OK.", "iso-8859-2"),      # digits
               ("Only databar is shown for this chart.", "iso-8859-1"),   # untranslated English
               ("Откройте меню Tools и выберите пункт.", "utf-8"),        # another script inside
               ("Funkce vracíHodnotu pro zadané pole.", "iso-8859-2"),    # code-ish token
               ("Без точки в конце это не предложение", "utf-8"),
               ("Questo ha un carattere € fuori codifica.", "iso-8859-1")]
        for s, enc in bad:
            self.assertFalse(languages._good(s, enc), s)


class Segments(unittest.TestCase):
    def test_every_silence_is_a_pause_and_the_header_is_skipped(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "a.segs")
            with open(path, "w") as f:
                f.write("#\n0.1000 100 #\n0.2000 100 m\n0.3500 100 u:\n0.5000 125 pau\n")
            self.assertEqual(festival_teacher.read_segs(path),
                             [("pau", 0.1, 0), ("m", 0.2, 0), ("u:", 0.35, 0), ("pau", 0.5, 0)])


class PhoneSets(unittest.TestCase):
    def test_palatalisation_belongs_to_its_consonant(self):
        self.assertEqual(teacher.tokens(cps("tʲa")), [("phone", [0, 1]), ("phone", [2])])

    def test_guess_spells_by_first_letter_and_learning_keeps_frequent_pairs(self):
        guess = prep_languages.guessed_phone_set(["S", "aa", "t", "tt", "ch"])
        self.assertIn("S", guess.like[ord("ʃ")])
        self.assertEqual(guess.vowels, {"aa"})
        links = [[(ord("ʃ"), "S")] * 9 + [(ord("ʃ"), "ch")], [(ord("x"), "ch")] * 3]
        learned = prep_languages.learned_phone_set(guess, links)
        self.assertEqual(learned.like[ord("ʃ")], {"S"})
        self.assertEqual(learned.like[ord("x")], {"ch"})

    def test_alignment_with_a_learned_set_times_each_code_point(self):
        pset = teacher.PhoneSet({ord("d"): {"d"}, ord("a"): {"aa"}}, {"aa"}, set())
        segs = [("pau", 0.1, 0), ("d", 0.2, 0), ("aa", 0.5, 0), ("pau", 0.6, 0)]
        slot, mean = teacher.align(cps("dˈa."), segs, 9600, 16000, pset)
        self.assertEqual(mean, 0.0)
        # ^ gets the leading pause, d and a their segments, $ the trailing one.
        self.assertAlmostEqual(slot[0], 1600)
        self.assertAlmostEqual(slot[2], 1600)
        self.assertAlmostEqual(slot[6], 4800)
        self.assertAlmostEqual(slot[-1], 1600)
        self.assertAlmostEqual(sum(slot), 9600)


if __name__ == "__main__":
    unittest.main()
