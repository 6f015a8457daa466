"""Teacher voices made from human recordings (Flite's built-in CMU ARCTIC
voices) and the alignment of their segments with our phoneme code points.

The teacher pronounces with its own lexicon, so its phones are not ours. Its
segment times are exact, though: a small DP over phone classes maps each of
our code points onto the teacher phones it covers, and the teacher's pauses
onto our word and clause boundaries (space and the clause marks).
"""

import hashlib
import os
import subprocess

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
HELPER_SRC = os.path.join(HERE, "flite_teacher.c")
FLITE_LIBS = ["-lflite_cmu_us_slt", "-lflite_cmu_us_rms", "-lflite_cmu_us_awb",
              "-lflite_cmu_us_kal16", "-lflite_usenglish", "-lflite_cmulex", "-lflite", "-lm"]

STRESS = {0x2C8, 0x2CC}
SPACE = 0x20
MARKS = {ord(c) for c in ",.?!;:"}
PAUSE = "pau"

# Teacher phones (CMU set) each of our code points may stand for.
_VOWEL_CP = "aæɐɑɒɔəɚɛɜɪiʊuʌeoᵻɝyøœɤɯɨʉɘɵɞɶʏ"
_LIKE = {
    "a": "aa ae aw ay ah", "æ": "ae aa eh", "ɐ": "ah ax aa", "ɑ": "aa ao ah", "ɒ": "aa ao",
    "ɔ": "ao oy aa ow", "ə": "ax ah ih er uh", "ɚ": "er ax r", "ɝ": "er", "ɛ": "eh ey ae er",
    "ɜ": "er", "ɪ": "ih iy ay ey oy ax", "i": "iy ih y", "ʊ": "uh uw aw ow", "u": "uw uh",
    "ʌ": "ah ax", "e": "ey eh", "o": "ow ao", "ᵻ": "ih ax",
    "b": "b", "d": "d dh t", "f": "f", "h": "hh", "j": "y", "k": "k", "l": "l", "m": "m",
    "n": "n ng", "p": "p", "s": "s", "t": "t ch d", "v": "v", "w": "w", "z": "z s",
    "ð": "dh", "ŋ": "ng n", "ɡ": "g", "ɹ": "r er", "ɾ": "t d", "ʃ": "sh ch", "ʒ": "zh jh",
    "θ": "th", "ʔ": "t", "x": "k hh", "ɬ": "l", "ɫ": "l", "r": "r",
}
LIKE = {ord(k): set(v.split()) for k, v in _LIKE.items()}
TEACHER_VOWELS = set("aa ae ah ao aw ax ay eh er ey ih iy ow oy uh uw".split())
SONORANT = set("l r w y er".split())


def build_helper(out_path):
    """Compiles the Flite helper once (it needs flite1-dev)."""
    if os.path.exists(out_path) and os.path.getmtime(out_path) >= os.path.getmtime(HELPER_SRC):
        return out_path
    tmp = out_path + ".tmp"
    subprocess.run(["cc", "-O2", "-o", tmp, HELPER_SRC] + FLITE_LIBS, check=True)
    os.replace(tmp, out_path)
    return out_path


def parse_line(line):
    """One helper output line -> (n_samples, rate, [(name, end_seconds, word)])."""
    parts = line.rstrip("\n").split("\t")
    n, rate = (int(x) for x in parts[0].split())
    segs = []
    for p in parts[1:]:
        name, end, word = p.rsplit(":", 2)
        segs.append((name, float(end), int(word)))
    return n, rate, segs


def synthesize(helper, voice, sentences, audio_path, stretch=None, keep=False):
    """Runs the helper over the sentences: [(audio int16, rate, segments)].
    With keep, the audio and the segment lines stay beside each other
    (audio_path, audio_path + ".txt") and a later call with the same
    sentences reads them instead of speaking again."""
    text = "".join(s.replace("\n", " ") + "\n" for s in sentences)
    seg_path = audio_path + ".txt"
    done = audio_path + ".done"
    if keep and _read(done) == _digest(text):
        with open(seg_path) as f:
            lines = f.read().splitlines()
    else:
        cmd = [helper, voice, audio_path] + ([str(stretch)] if stretch else [])
        out = subprocess.run(cmd, input=text, capture_output=True, text=True, check=True)
        lines = out.stdout.splitlines()
        if keep:
            with open(seg_path, "w") as f:
                f.write(out.stdout)
            with open(done, "w") as f:
                f.write(_digest(text))
    raw = np.fromfile(audio_path, dtype=np.int16)
    rows, pos = [], 0
    for line in lines:
        n, rate, segs = parse_line(line)
        rows.append((raw[pos:pos + n].copy(), rate, segs))
        pos += n
    if len(rows) != len(sentences) or pos != len(raw):
        raise RuntimeError("flite helper output does not match its input")
    return rows


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def _digest(text):
    return hashlib.sha1(text.encode("utf-8")).hexdigest()


# -- our side: tokens --------------------------------------------------------------

def tokens(cps):
    """Groups code points into alignment tokens: (kind, [indices]) with kind
    "phone" or "gap" (a space and/or clause mark). Stress marks belong to no
    token; length marks and combining marks join the phone before them."""
    out = []
    for i, cp in enumerate(cps):
        if cp in STRESS:
            continue
        if cp == SPACE or cp in MARKS:
            if out and out[-1][0] == "gap":
                out[-1][1].append(i)
            else:
                out.append(("gap", [i]))
        elif (0x2B0 <= cp <= 0x2FF or 0x300 <= cp <= 0x36F) and out and out[-1][0] == "phone":
            # length, palatalisation (ʲ) and other modifier letters belong to
            # the phone before them, as the teacher's one phone does
            out[-1][1].append(i)
        else:
            out.append(("phone", [i]))
    return out


def word_count(cps):
    words, inside = 0, False
    for cp in cps:
        if cp == SPACE or cp in MARKS:
            inside = False
        elif cp not in STRESS and not inside:
            words += 1
            inside = True
    return words


class PhoneSet:
    """A teacher's phones as the alignment sees them: which of them each of
    our code points may stand for, which are vowels, which are sonorants."""

    def __init__(self, like, vowels, sonorant):
        self.like, self.vowels, self.sonorant = like, vowels, sonorant


CMU = PhoneSet(LIKE, TEACHER_VOWELS, SONORANT)


def cost(cp_first, kind, phone, pset=CMU):
    if kind == "gap":
        return 0.0 if phone == PAUSE else 5.0
    if phone == PAUSE:
        return 3.0
    if phone in pset.like.get(cp_first, ()):
        return 0.0
    ours_vowel = chr(cp_first) in _VOWEL_CP
    theirs_vowel = phone in pset.vowels
    if ours_vowel == theirs_vowel:
        return 1.0
    return 1.3 if (phone in pset.sonorant or cp_first in (ord("j"), ord("w"), ord("l"), ord("ɹ"))) else 2.0


SHARE = 0.3      # several of our tokens share one teacher phone (a diphthong's letters)
SPREAD = 0.3     # one token takes several teacher phones
SKIP_PHONE = 2.0  # one of our phones gets no time (the teacher did not say it)
INF = 1e9


def dp_align(toks, cps, phones, pset=CMU):
    """Monotonic alignment of tokens with teacher phones. Returns (cost, links)
    with links a list of (token index, phone index); tokens without a link get
    no time. Every phone is linked to at least one token."""
    n, m = len(toks), len(phones)
    M = np.full((n + 1, m + 1), INF)
    K = np.full((n + 1, m + 1), INF)
    bm = np.zeros((n + 1, m + 1), np.int8)
    bk = np.zeros((n + 1, m + 1), np.int8)
    K[0, 0] = 0.0
    for i in range(1, n + 1):
        kind, idx = toks[i - 1]
        first = cps[idx[0]]
        skip = 0.0 if kind == "gap" else SKIP_PHONE
        Mi, Mp, Kp, Ki = M[i], M[i - 1], K[i - 1], K[i]
        for j in range(0, m + 1):
            # skipped token: the previous state keeps its phone
            a, b = Mp[j], Kp[j]
            if a <= b:
                Ki[j], bk[i, j] = a + skip, 0
            else:
                Ki[j], bk[i, j] = b + skip, 1
            if j == 0:
                continue
            c = cost(first, kind, phones[j - 1], pset)
            cands = (Mp[j - 1], Kp[j - 1], Mp[j] + SHARE, Mi[j - 1] + SPREAD, Kp[j] + SHARE)
            best = min(range(5), key=cands.__getitem__)
            Mi[j], bm[i, j] = c + cands[best], best
    if M[n, m] <= K[n, m]:
        total, state = M[n, m], "M"
    else:
        total, state = K[n, m], "K"
    links = []
    i, j = n, m
    while i > 0:
        if state == "K":
            state = "M" if bk[i, j] == 0 else "K"
            i -= 1
            continue
        links.append((i - 1, j - 1))
        move = bm[i, j]
        if move == 0:
            i, j, state = i - 1, j - 1, "M"
        elif move == 1:
            i, j, state = i - 1, j - 1, "K"
        elif move == 2:
            i, state = i - 1, "M"
        elif move == 3:
            j, state = j - 1, "M"
        else:
            i, state = i - 1, "K"
    if j != 0:
        return INF, []
    links.reverse()
    return float(total), links


def align(cps, segs, n_samples, rate, pset=CMU, want_links=False):
    """Samples per id slot of `^ _ (cp _)* $` (slot of code point i is 2 + 2i),
    and the mean alignment cost per token; (None, cost) when it cannot align.
    The leading pause goes to "^", the trailing one to "$". With want_links,
    the (our first code point, teacher phone) pairs the alignment linked
    instead of the slots, to learn a new teacher's phone set from."""
    starts, names = [], []
    prev = 0.0
    for name, end, _ in segs:
        starts.append(prev)
        names.append(name)
        prev = end
    ends = [e for _, e, _ in segs]
    n_slots = 3 + 2 * len(cps)
    slot = np.zeros(n_slots, np.float64)
    lo, hi = 0, len(segs)
    if lo < hi and names[lo] == PAUSE:
        slot[0] += ends[lo] * rate
        lo += 1
    if hi > lo and names[hi - 1] == PAUSE:
        slot[-1] += (ends[hi - 1] - starts[hi - 1]) * rate
        hi -= 1
    # Whatever audio lies past the last segment end is more end pause.
    slot[-1] += max(0.0, n_samples - (ends[-1] * rate if ends else 0.0))
    toks = tokens(cps)
    phones = names[lo:hi]
    if not toks or not phones:
        return None, INF
    total, links = dp_align(toks, cps, phones, pset)
    if not links:
        return None, INF
    if want_links:
        return [(cps[toks[t][1][0]], phones[p]) for t, p in links], total / len(toks)
    sharers = {}
    for t, p in links:
        sharers.setdefault(p, []).append(t)
    for p, ts in sharers.items():
        span = (ends[lo + p] - starts[lo + p]) * rate
        for t in ts:
            idx = toks[t][1]
            for i in idx:
                slot[2 + 2 * i] += span / len(ts) / len(idx)
    return slot, total / len(toks)


# Flite pauses 0.10-0.14 s (median) at a comma and about 0.1 s at a full stop
# inside one utterance: shorter than a reader, and too short to be heard as a
# pause. A pause inside an utterance that the alignment put on a clause mark is
# lengthened with silence to at least these.
MIN_PAUSE = {",": 0.2, ";": 0.2, ":": 0.2, ".": 0.35, "?": 0.35, "!": 0.35}
PAUSED = 0.03  # a gap with less time than this had no teacher pause: left alone


def lengthen_pauses(cps, slot, audio, rate, minimum=MIN_PAUSE):
    """Silence inserted into the audio inside each pause at a clause mark that
    is shorter than its minimum; returns (slot, audio), the slot of the mark
    taking the added samples. Gaps the teacher did not pause at stay as they
    are: silence between two joined words is not a pause."""
    slot = slot.copy()
    ends = np.cumsum(slot)
    pieces, taken = [], 0
    for i, cp in enumerate(cps):
        floor = minimum.get(chr(cp))
        if floor is None:
            continue
        k = 2 + 2 * i
        span = slot[k]
        if i + 1 < len(cps) and cps[i + 1] == SPACE:
            span += slot[k + 2]
        if span < PAUSED * rate or span >= floor * rate:
            continue
        add = int(round(floor * rate - span))
        at = int(round(ends[k]))  # between the mark's time and the space's
        pieces.append(audio[taken:at])
        pieces.append(np.zeros(add, audio.dtype))
        taken = at
        slot[k] += add
    if not pieces:
        return slot, audio
    pieces.append(audio[taken:])
    return slot, np.concatenate(pieces)
