"""eSpeak NG through ctypes: the phoneme code points exactly as the library makes
them, and the teacher's audio with its phoneme events for alignment.

The shared library is opened by its SONAME at run time, never linked, the same
way the inference library does it.
"""

import ctypes
import numpy as np

LIB_NAME = "libespeak-ng.so.1"

AUDIO_OUTPUT_SYNCHRONOUS = 2
INIT_PHONEME_EVENTS = 0x0001
INIT_PHONEME_IPA = 0x0002
INIT_DONT_EXIT = 0x8000
POS_CHARACTER = 1
CHARS_AUTO = 0
END_PAUSE = 0x1000
PHONEMES_IPA = 2

EVENT_LIST_TERMINATED = 0
EVENT_END = 5
EVENT_PHONEME = 7

# Code points the library drops from eSpeak NG's phoneme strings.
DROPPED = (0x200D, 0xFEFF)


# Clause-closing marks a voice may map, with the forms folded onto them.
CLAUSE_MARKS = {ord(c): ord(c) for c in ",.?!;:"}
CLAUSE_MARKS.update({0x2026: ord("."), 0xFF0C: ord(","), 0x3002: ord("."), 0xFF0E: ord("."),
                     0xFF1F: ord("?"), 0xFF01: ord("!"), 0xFF1B: ord(";"), 0xFF1A: ord(":")})


def back_one_char(data, pos):
    """Offset of the UTF-8 character that ends just before pos."""
    pos = min(pos, len(data))
    if pos == 0:
        return 0
    pos -= 1
    while pos > 0 and (data[pos] & 0xC0) == 0x80:
        pos -= 1
    return pos


def closing_mark(span):
    """The ASCII mark a clause's text ends with, or None: the last non-space
    character of the span, folded to ASCII."""
    text = span.decode("utf-8", "replace").rstrip()
    return CLAUSE_MARKS.get(ord(text[-1])) if text else None


class _EventId(ctypes.Union):
    _fields_ = [("number", ctypes.c_int), ("name", ctypes.c_char_p),
                ("string", ctypes.c_char * 8)]


class _Event(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("unique_identifier", ctypes.c_uint),
                ("text_position", ctypes.c_int), ("length", ctypes.c_int),
                ("audio_position", ctypes.c_int), ("sample", ctypes.c_int),
                ("user_data", ctypes.c_void_p), ("id", _EventId)]


_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_short), ctypes.c_int,
                             ctypes.POINTER(_Event))


def decode_clause(raw):
    """Code points of one clause's phoneme string, decoded by lead byte and
    filtered the way the library does it: "(" ... ")" groups (language switch
    markers) and U+200D / U+FEFF are dropped."""
    out = []
    in_group = False
    i, n = 0, len(raw)
    while i < n:
        b = raw[i]
        if b < 0x80:
            cp, take = b, 1
        elif 0xC0 <= b <= 0xDF:
            cp, take = b & 0x1F, 2
        elif 0xE0 <= b <= 0xEF:
            cp, take = b & 0x0F, 3
        elif 0xF0 <= b <= 0xF7:
            cp, take = b & 0x07, 4
        else:
            cp, take = b, 1
        for k in range(1, take):
            cp = (cp << 6) | ((raw[i + k] if i + k < n else 0) & 0x3F)
        i += take
        if in_group:
            if cp == 0x29:
                in_group = False
            continue
        if cp == 0x28:
            in_group = True
            continue
        if cp in DROPPED:
            continue
        out.append(cp)
    return out


class ESpeak:
    """One eSpeak NG instance (process-wide in eSpeak NG itself)."""

    def __init__(self, voice="en-us"):
        self.lib = ctypes.CDLL(LIB_NAME)
        lib = self.lib
        lib.espeak_Initialize.restype = ctypes.c_int
        lib.espeak_Initialize.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_int]
        lib.espeak_SetVoiceByName.restype = ctypes.c_int
        lib.espeak_SetVoiceByName.argtypes = [ctypes.c_char_p]
        lib.espeak_TextToPhonemes.restype = ctypes.c_void_p
        lib.espeak_TextToPhonemes.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_int,
                                              ctypes.c_int]
        lib.espeak_Synth.restype = ctypes.c_int
        lib.espeak_Synth.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint, ctypes.c_int,
                                     ctypes.c_uint, ctypes.c_uint, ctypes.c_void_p, ctypes.c_void_p]
        lib.espeak_SetSynthCallback.argtypes = [_CALLBACK]
        lib.espeak_SetParameter.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int]
        rate = lib.espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, None,
                                     INIT_PHONEME_EVENTS | INIT_PHONEME_IPA | INIT_DONT_EXIT)
        if rate <= 0:
            raise RuntimeError("espeak_Initialize failed")
        self.sample_rate = rate
        self.voice = voice
        self._chunks = []
        self._events = []
        self._callback = _CALLBACK(self._on_synth)  # kept alive with the instance
        lib.espeak_SetSynthCallback(self._callback)
        self.select()

    def select(self):
        if self.lib.espeak_SetVoiceByName(self.voice.encode()) != 0:
            raise RuntimeError("cannot select eSpeak NG voice " + self.voice)

    def set_rate(self, words_per_minute):
        self.lib.espeak_SetParameter(1, int(words_per_minute), 0)  # espeakRATE

    # -- phonemes -----------------------------------------------------------

    def codepoints(self, text, limit=8191):  # ORVEL_MAX_TEXT_BYTES in orvel.h
        """The code points the library phonemizes the text to: every clause ends
        with the punctuation eSpeak NG consumed for it, and one space sets it
        apart from the next; groups and zero-width code points dropped."""
        self.select()
        data = text.encode("utf-8")[:limit]
        buf = ctypes.create_string_buffer(data, len(data) + 1)
        base = ctypes.addressof(buf)
        ptr = ctypes.c_void_p(base)
        clauses = []
        start = 0
        while ptr.value is not None:
            res = self.lib.espeak_TextToPhonemes(ctypes.byref(ptr), CHARS_AUTO, PHONEMES_IPA)
            # eSpeak NG holds back the character before the pointer: it starts the next clause.
            end = len(data) if ptr.value is None else back_one_char(data, ptr.value - base)
            cps = decode_clause(ctypes.string_at(res)) if res else []
            clauses.append((cps, closing_mark(data[start:end])))
            start = end
        out = []
        for cps, mark in clauses:
            if not cps:
                continue  # a clause that adds nothing adds no mark or space either
            if out:
                out.append(0x20)
            out.extend(cps)
            if mark is not None:
                out.append(mark)
        return out

    # -- audio and events ---------------------------------------------------

    def _on_synth(self, wav, count, events):
        if count > 0 and wav:
            self._chunks.append(np.ctypeslib.as_array(wav, shape=(count,)).copy())
        i = 0
        while events[i].type != EVENT_LIST_TERMINATED:
            ev = events[i]
            if ev.type == EVENT_PHONEME:
                name = bytes(ev.id.string).split(b"\0")[0].decode("utf-8", "replace")
                self._events.append((ev.sample, name))
            elif ev.type == EVENT_END:
                self._events.append((ev.sample, None))
            i += 1
        return 0

    def synth(self, text, end_pause=True):
        """Teacher audio (int16) and its phoneme events [(sample, name)], name ""
        for a pause and None for the end of a sentence."""
        self.select()
        self._chunks, self._events = [], []
        data = text.encode("utf-8")
        buf = ctypes.create_string_buffer(data, len(data) + 1)
        flags = CHARS_AUTO | (END_PAUSE if end_pause else 0)
        self.lib.espeak_Synth(buf, len(data) + 1, 0, POS_CHARACTER, 0, flags, None, None)
        audio = np.concatenate(self._chunks) if self._chunks else np.zeros(0, np.int16)
        return audio.astype(np.int16), list(self._events)
