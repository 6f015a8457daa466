"""Training sentences: English prose that every Debian 12 machine with Python
carries (the licence texts of base-files and the docstrings of the Python 3.11
standard library), plus generated sentences with numbers, letters, dates and
short questions so the voice hears what eSpeak NG reads out for them.

Everything is deterministic: the same machine layout gives the same sentences.
"""

import ast
import glob
import hashlib
import random
import re

LICENSE_DIR = "/usr/share/common-licenses"
PY_STDLIB = "/usr/lib/python3.11"
# More docstring prose, from the packages training/setup installs anyway
# (numpy, SciPy and PyTorch, all BSD-3-Clause): about 12,900 sentences.
MORE_PACKAGES = ["numpy", "scipy", "torch"]
DIST_PACKAGES = "/usr/lib/python3/dist-packages"

_SENT_SPLIT = re.compile(r"(?<=[.!?])\s+(?=[A-Z\"'(])")
_ALLOWED = re.compile(r"^[A-Za-z0-9 ,.;:!?'\"()\-]+$")


def _clean(text):
    text = re.sub(r"\s+", " ", text).strip()
    return text


def _good(sentence):
    words = sentence.split()
    if not 4 <= len(words) <= 28:
        return False
    if not _ALLOWED.match(sentence):
        return False
    if sentence[-1] not in ".!?":
        return False
    letters = sum(c.isalpha() for c in sentence)
    if letters < 0.7 * len(sentence):
        return False
    # Code-ish tokens read badly and teach nothing useful.
    if re.search(r"[A-Za-z]\.[A-Za-z]|__|\(\)|[a-z][A-Z]", sentence):
        return False
    if sum(w.isupper() and len(w) > 1 for w in words) > 2:
        return False
    return True


def _sentences(text):
    for para in re.split(r"\n\s*\n", text):
        for s in _SENT_SPLIT.split(_clean(para)):
            s = s.strip()
            if _good(s):
                yield s


def license_sentences():
    out = []
    for path in sorted(glob.glob(LICENSE_DIR + "/*")):
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                out.extend(_sentences(f.read()))
        except (IsADirectoryError, OSError):
            continue
    return out


def docstring_sentences(paths=None):
    out = []
    for path in paths if paths is not None else sorted(glob.glob(PY_STDLIB + "/*.py")):
        try:
            with open(path, encoding="utf-8") as f:
                tree = ast.parse(f.read())
        except (SyntaxError, UnicodeDecodeError, OSError):
            continue
        for node in ast.walk(tree):
            if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                doc = ast.get_docstring(node)
                if doc:
                    out.extend(_sentences(doc))
    return out


_NAMES = ["Alice", "Bob", "Carol", "David", "Emma", "Frank", "Grace", "Henry", "Irene", "Jack",
          "Karen", "Leo", "Maria", "Nathan", "Olivia", "Peter", "Quinn", "Rosa", "Sam", "Tina"]
_PLACES = ["the station", "the old library", "the market", "Boston", "the north gate", "London",
           "the harbour", "a small village", "the museum", "Chicago", "the river bank", "Paris"]
_THINGS = ["apples", "books", "tickets", "chairs", "letters", "boxes", "coins", "pencils",
           "windows", "bottles", "stones", "houses", "cars", "birds", "cups", "songs"]
_VERBS = ["bought", "found", "counted", "sold", "painted", "carried", "lost", "moved", "packed",
          "cleaned", "checked", "ordered", "noticed", "gathered", "dropped", "fixed"]
_MONTHS = ["January", "February", "March", "April", "May", "June", "July", "August",
           "September", "October", "November", "December"]
_DAYS = ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"]
_ADJ = ["quiet", "bright", "heavy", "strange", "gentle", "quick", "cold", "warm", "tiny",
        "famous", "narrow", "broken", "fresh", "simple", "golden", "careful"]
_WORDS = ["yes", "no", "hello", "thanks", "please", "okay", "right", "left", "stop", "wait"]


def generated_sentences(count, seed=11):
    rng = random.Random(seed)
    out = []
    for i in range(count):
        k = i % 12
        n1, n2 = rng.randint(0, 999), rng.randint(2, 99999)
        name, other = rng.sample(_NAMES, 2)
        place, thing, verb, adj = (rng.choice(_PLACES), rng.choice(_THINGS), rng.choice(_VERBS),
                                   rng.choice(_ADJ))
        if k == 0:
            s = "%s %s %d %s at %s." % (name, verb, n1, thing, place)
        elif k == 1:
            s = "The meeting is on %s, %s %d, at %d:%02d." % (
                rng.choice(_DAYS), rng.choice(_MONTHS), rng.randint(1, 28), rng.randint(1, 12),
                rng.choice([0, 15, 30, 45, 5, 20]))
        elif k == 2:
            letters = " ".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ") for _ in range(rng.randint(2, 5)))
            s = "Please spell it as %s, then wait." % letters
        elif k == 3:
            s = "Did %s really see %d %s %s near %s?" % (other, n1, adj, thing, place)
        elif k == 4:
            s = "It costs $%d.%02d, or about %d percent more than last year." % (
                rng.randint(1, 500), rng.randint(0, 99), rng.randint(2, 80))
        elif k == 5:
            s = "Call %d %d %d %d, and ask for %s." % (
                rng.randint(100, 999), rng.randint(100, 999), rng.randint(10, 99),
                rng.randint(10, 99), name)
        elif k == 6:
            s = "In %d, %s moved to %s with %d %s." % (rng.randint(1800, 2030), name, place, n1 % 20 + 2, thing)
        elif k == 7:
            s = "%s! %s said %s, and then nothing happened." % (
                rng.choice(_WORDS).capitalize(), name, rng.choice(_WORDS))
        elif k == 8:
            s = "The %s road is %d.%d kilometres long; the %s one is shorter." % (
                adj, rng.randint(1, 90), rng.randint(0, 9), rng.choice(_ADJ))
        elif k == 9:
            s = "Room %d%s is on floor %d, next to the %s door." % (
                rng.randint(1, 40), rng.choice("ABCD"), rng.randint(1, 30), adj)
        elif k == 10:
            s = "Why would %s want %d %s, when %s has only %d?" % (name, n2, thing, other, n1)
        else:
            s = "Version %d.%d.%d fixed %d bugs in %s's code." % (
                rng.randint(0, 9), rng.randint(0, 20), rng.randint(0, 99), n1, name)
        out.append(s)
    return out


def _key(s):
    return hashlib.sha1(s.encode()).hexdigest()


def more_sentences(count):
    """`count` prose sentences from MORE_PACKAGES' docstrings (test modules left
    out), none of them in build()'s pool, in a fixed pseudo-random order."""
    paths = []
    for pkg in MORE_PACKAGES:
        paths += [p for p in sorted(glob.glob("%s/%s/**/*.py" % (DIST_PACKAGES, pkg), recursive=True))
                  if "/test" not in p]
    have = set(license_sentences() + docstring_sentences())
    more = [s for s in dict.fromkeys(docstring_sentences(paths)) if s not in have]
    more.sort(key=_key)
    return more[:count]


def build(prose_limit=2200, generated=1800):
    """(train-ish pool, in a fixed pseudo-random order). Duplicates removed."""
    prose = list(dict.fromkeys(license_sentences() + docstring_sentences()))
    prose.sort(key=_key)
    prose = prose[:prose_limit]
    gen = list(dict.fromkeys(generated_sentences(generated)))
    allsents = prose + gen
    allsents.sort(key=_key)
    return allsents
