"""The languages taught by Debian's Festival voices, and the sentences they read.

Each language names its eSpeak NG voice (what the library phonemizes with),
its Festival teacher with the encoding Festival must be given text in, and
the Debian packages its sentences come from. Sentences are plain prose of
4 to 22 words without digits or Latin-only tokens (a number or an English
command name is read one way by the teacher and another by eSpeak NG, and
the alignment then drops the utterance anyway).

Everything is deterministic: the same installed packages give the same
sentences.
"""

import glob
import gzip
import hashlib
import html
import os
import re

LANGUAGES = {
    "ru": {"espeak": "ru", "festival": "msu_ru_nsh_clunits", "encoding": "utf-8",
           "package": "festvox-ru", "licence": "BSD-like (festvox-ru copyright file)",
           "sources": ["fortunes:ru", "help:ru"]},
    "cs": {"espeak": "cs", "festival": "czech_dita", "encoding": "iso-8859-2",
           "package": "festvox-czech-dita", "licence": "GPL-2+ (festvox-czech-dita copyright file)",
           "sources": ["fortunes:cs", "help:cs"]},
    "fi": {"espeak": "fi", "festival": "suo_fi_lj_diphone", "encoding": "iso-8859-1",
           "package": "festvox-suopuhe-lj", "licence": "LGPL-2+ (festvox-suopuhe-lj copyright file)",
           "sources": ["help:fi", "man:fi"]},
    "ca": {"espeak": "ca", "festival": "upc_ca_ona_hts", "encoding": "iso-8859-15",
           "package": "festvox-ca-ona-hts", "licence": "LGPL-2.1+ (festvox-ca-ona-hts copyright file)",
           "sources": ["help:ca"]},
    "it": {"espeak": "it", "festival": "lp_diphone", "encoding": "iso-8859-1",
           "package": "festvox-italp16k", "licence": "GPL-2+ (festvox-italp16k copyright file)",
           "sources": ["fortunes:it", "help:it", "man:it"]},
}

FORTUNES = {"ru": "/usr/share/games/fortunes/ru", "cs": "/usr/share/games/fortunes/cs",
            "it": "/usr/share/games/fortunes/it"}
HELP = "/usr/share/libreoffice/help/%s/text"
MAN = "/usr/share/man/%s"

_SPLIT = re.compile(r"(?<=[.!?…])\s+(?=[\"'«„“(]?[^\W\d_])")
_ENGLISH = set("the is are of and this that with for you your to be by can from".split())
_PUNCT = set(" ,.;:!?'-–—«»„“”\"()…")


def _good(s, encoding):
    words = s.split()
    if not 4 <= len(words) <= 22 or s[-1] not in ".!?":
        return False
    if any(not (c.isalpha() or c in _PUNCT) for c in s):
        return False
    if re.search(r"[\w]\.[\w]|--|\(\)", s) or any(a.islower() and b.isupper() for a, b in zip(s, s[1:])):
        return False
    # Help pages keep some strings untranslated: English is not the language.
    if sum(w.lower().strip(",.;:!?") in _ENGLISH for w in words) >= 2:
        return False
    if sum(w.isupper() and len(w) > 1 for w in words) > 1:
        return False
    try:
        s.encode(encoding)
    except UnicodeEncodeError:
        return False
    # Text in another script (an English command name in Russian help) is read
    # letter by letter by one of the two; keep the sentence in one script.
    latin = sum("a" <= c.lower() <= "z" for c in s)
    letters = sum(c.isalpha() for c in s)
    return (latin == 0) if encoding == "utf-8" else (latin >= 0.6 * letters)


def _sentences(text, encoding):
    for para in re.split(r"\n\s*\n", text):
        para = re.sub(r"\s+", " ", para).strip()
        for s in _SPLIT.split(para):
            s = s.strip().strip("\"'«»„“”").strip()
            if s and _good(s, encoding):
                yield s


def _fortunes(lang):
    out = []
    for path in sorted(glob.glob(FORTUNES[lang] + "/*")):
        if path.endswith((".dat", ".u8")) or os.path.islink(path) or os.path.isdir(path):
            continue
        with open(path, "rb") as f:
            raw = f.read()
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            text = raw.decode("koi8-r" if lang == "ru" else "iso-8859-2" if lang == "cs" else "latin-1")
        for entry in text.split("\n%\n"):
            # An attribution line ("-- Name") is not speech.
            body = "\n".join(l for l in entry.splitlines() if not l.strip().startswith(("--", "—")))
            out.append(body)
    return out


def _help(lang):
    out = []
    for path in sorted(glob.glob(HELP % lang + "/**/*.html", recursive=True)):
        with open(path, encoding="utf-8", errors="replace") as f:
            page = f.read()
        for para in re.findall(r"<p[^>]*>(.*?)</p>", page, re.S):
            out.append(html.unescape(re.sub(r"<[^>]+>", "", para)))
    return out


def _man(lang):
    out = []
    for path in sorted(glob.glob(MAN % lang + "/man*/*.gz")):
        try:
            with gzip.open(path, "rt", encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except OSError:
            continue
        para = []
        for line in lines:
            if line.startswith((".", "'")):
                if para:
                    out.append(" ".join(para))
                    para = []
                continue
            para.append(re.sub(r"\\f[BIRP]|\\f\(..|\\\(..|\\.", "", line))
        if para:
            out.append(" ".join(para))
    return out


def _key(s):
    return hashlib.sha1(s.encode("utf-8")).hexdigest()


def sentences(lang, limit):
    """Up to `limit` distinct sentences, each source giving an equal share
    where it can, in a fixed pseudo-random order."""
    cfg = LANGUAGES[lang]
    per_source = []
    for src in cfg["sources"]:
        kind, code = src.split(":")
        paras = {"fortunes": _fortunes, "help": _help, "man": _man}[kind](code)
        found = {}
        for p in paras:
            for s in _sentences(p, cfg["encoding"]):
                found.setdefault(s.lower(), s)
        per_source.append(sorted(found.values(), key=_key))
    out, seen = [], set()
    while len(out) < limit and any(per_source):
        for src in per_source:
            while src:
                s = src.pop(0)
                if s.lower() not in seen:
                    seen.add(s.lower())
                    out.append(s)
                    break
            if len(out) >= limit:
                break
    return out


RU_RECORDINGS = "/usr/share/festival/voices/russian/msu_ru_nsh_clunits"


def ru_recordings():
    """The festvox-ru speaker's own recordings: [(name, text)] with the stress
    marks ("+" before a stressed vowel) taken out."""
    rows = []
    with open(os.path.join(RU_RECORDINGS, "etc", "txt.done.data"), encoding="utf-8") as f:
        for m in re.finditer(r'\(\s*(\S+)\s+"(.*?)"\s*\)', f.read(), re.S):
            rows.append((m.group(1), re.sub(r"\s+", " ", m.group(2).replace("+", "")).strip()))
    return rows


if __name__ == "__main__":
    import sys
    for lang in sys.argv[1:] or LANGUAGES:
        got = sentences(lang, 100000)
        print(lang, len(got), "|", " | ".join(got[:4]))
