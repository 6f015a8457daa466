"""The word error count of the intelligibility check: a wrong count would rank
voices wrongly, and it is easy to get subtly wrong (an insertion counted as a
substitution, a recogniser's "word(2)" counted as another word)."""

import unittest

import helpers  # noqa: F401  (puts training/ on the path)
import intelligibility as wer


class WordErrors(unittest.TestCase):
    def test_substitution_deletion_insertion(self):
        ref = "the cat sat on the mat".split()
        self.assertEqual(wer.word_errors(ref, ref), 0)
        self.assertEqual(wer.word_errors(ref, "the cat sat on a mat".split()), 1)
        self.assertEqual(wer.word_errors(ref, "the cat on the mat".split()), 1)
        self.assertEqual(wer.word_errors(ref, "the black cat sat on the mat".split()), 1)
        self.assertEqual(wer.word_errors(ref, []), 6)
        self.assertEqual(wer.word_errors([], ["uh", "um"]), 2)

    def test_rate_over_sentences_ignores_case_marks_and_variants(self):
        refs = ["Can you tell me where it is?", "Turn left, then stop."]
        hyps = ["can you tell me where it(2) is", "turn left and then stop"]
        self.assertEqual(wer.wer(refs, hyps), (1, 11))


if __name__ == "__main__":
    unittest.main()
