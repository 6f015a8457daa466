"""The Python side of the id encoding, on hand-made inputs (no eSpeak NG, no
library): the decoding and filtering of phoneme strings and the framing with
markers and pads must be the library's."""

import unittest

import helpers  # noqa: F401  (puts training/ on the path)
from espeak import back_one_char, closing_mark, decode_clause
from symbols import build_map, encode


def cps(text):
    return [ord(c) for c in text]


class DecodeClause(unittest.TestCase):
    def test_groups_are_dropped(self):
        self.assertEqual(decode_clause("h(en)i".encode()), cps("hi"))

    def test_groups_do_not_nest(self):
        self.assertEqual(decode_clause("a(x(y)z)w".encode()), cps("az)w"))

    def test_zero_width_code_points_are_dropped(self):
        self.assertEqual(decode_clause("a\u200db\ufeffc".encode()), cps("abc"))

    def test_stray_byte_is_its_own_code_point(self):
        self.assertEqual(decode_clause(b"a\x80b"), [0x61, 0x80, 0x62])

    def test_multibyte_ipa(self):
        self.assertEqual(decode_clause("həlˈoʊ".encode()), cps("həlˈoʊ"))


class ClauseMarks(unittest.TestCase):
    def test_last_non_space_character_decides(self):
        self.assertEqual(closing_mark("Hello, ".encode()), ord(","))
        self.assertEqual(closing_mark("world.\n\t ".encode()), ord("."))
        self.assertIsNone(closing_mark("no mark ".encode()))
        self.assertIsNone(closing_mark(b"   "))
        self.assertIsNone(closing_mark("a-".encode()))

    def test_wide_forms_and_the_ellipsis_fold_to_ascii(self):
        for text, mark in (("好，", ","), ("好。", "."), ("吗？", "?"), ("啊！", "!"), ("；", ";"),
                           ("：", ":"), ("wait…", ".")):
            self.assertEqual(closing_mark(text.encode()), ord(mark), text)

    def test_back_one_character_steps_over_a_whole_utf8_sequence(self):
        data = "aé€😀".encode()
        self.assertEqual(back_one_char(data, len(data)), 6)   # before the 4-byte emoji
        self.assertEqual(back_one_char(data, 6), 3)           # before the 3-byte euro sign
        self.assertEqual(back_one_char(data, 3), 1)
        self.assertEqual(back_one_char(data, 1), 0)
        self.assertEqual(back_one_char(data, 0), 0)


class Encode(unittest.TestCase):
    def setUp(self):
        self.table = {"_": [0], "^": [1], "$": [2], "a": [14]}

    def test_framing(self):
        self.assertEqual(encode(cps("aa"), self.table), [1, 0, 14, 0, 14, 0, 2])

    def test_unknown_code_point_leaves_no_trace(self):
        self.assertEqual(encode(cps("axa"), self.table), [1, 0, 14, 0, 14, 0, 2])

    def test_empty_and_pad_symbol(self):
        self.assertEqual(encode([], self.table), [1, 0, 2])
        self.assertEqual(encode(cps("_"), self.table), [1, 0, 0, 0, 2])

    def test_map_has_markers_first_and_one_id_per_code_point(self):
        table = build_map(cps("ba ˈ"))
        self.assertEqual(table["_"], [0])
        self.assertEqual(table["^"], [1])
        self.assertEqual(table["$"], [2])
        self.assertEqual([table[c][0] for c in " abˈ"], [3, 4, 5, 6])


if __name__ == "__main__":
    unittest.main()
