"""Data preparation for the voices of other languages: one Festival teacher
per language (training/languages.py), our eSpeak NG code points as input,
all in one multi-speaker set at one sample rate.

    /usr/bin/python3 training/prep_languages.py --out training/work-languages/data.npz

Each teacher has its own phone set. The alignment (teacher.align) learns it
in two passes: first with a guess from the phone names' first letters (most
Festival phone names are Latin spellings of the sound), then with the pairs
the first pass linked often enough for each of our code points. Russian also
brings its speaker's own recordings, as a speaker of its own ("ru-recorded"),
so the two can be compared against held-out recordings.
"""

import argparse
import collections
import json
import multiprocessing
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import espeak  # noqa: E402
import festival_teacher  # noqa: E402
import languages  # noqa: E402
import prep  # noqa: E402
import symbols  # noqa: E402
import teacher  # noqa: E402

HOP = prep.HOP
ALWAYS = [" "] + list(",.?!;:")
MAX_COST = 0.3

# Our code point -> the first letter of a teacher phone name that may spell it.
_FOLD = {"ɑ": "a", "ɐ": "a", "æ": "a", "ɛ": "e", "ə": "e", "ɪ": "i", "ɨ": "y", "ɔ": "o", "ʊ": "u",
         "ʉ": "u", "ɵ": "o", "ø": "o", "œ": "o", "ʃ": "s", "ʒ": "z", "ɕ": "s", "ʂ": "s", "ʐ": "z",
         "ɲ": "n", "ŋ": "n", "ʎ": "l", "ɫ": "l", "ɾ": "r", "ɣ": "g", "ɡ": "g", "β": "b", "ð": "d",
         "θ": "t", "x": "h", "ʋ": "v", "ɦ": "h", "ɟ": "d", "c": "t", "ç": "h", "ʝ": "j"}


def _fold(cp):
    ch = chr(cp)
    return _FOLD.get(ch, ch.lower())


def guessed_phone_set(names):
    vowels = {n for n in names if n[0].lower() in "aeiouy@"}
    sonorant = {n for n in names if n[0].lower() in "lrjw"}
    like = collections.defaultdict(set)
    for cp in range(0x20, 0x2B0):
        for n in names:
            if n[0].lower() == _fold(cp):
                like[cp].add(n)
    return teacher.PhoneSet(dict(like), vowels, sonorant)


def learned_phone_set(guess, link_lists, share=0.15):
    counts = collections.defaultdict(collections.Counter)
    for links in link_lists:
        for cp, phone in links or ():
            counts[cp][phone] += 1
    like = {}
    for cp, c in counts.items():
        total = sum(c.values())
        like[cp] = {p for p, n in c.items() if n >= share * total and p != teacher.PAUSE}
    return teacher.PhoneSet(like, guess.vowels, guess.sonorant)


def link_item(args):
    cps, audio, rate, segs, pset = args
    links, mean = teacher.align(cps, segs, len(audio), rate, pset, want_links=True)
    return links if links is not None and mean < 1.0 else None


def work_item(args):
    """Alignment and pitch for one utterance at the common rate."""
    cps, audio, rate, segs, pset, out_rate = args
    audio, rate = festival_teacher.resample(audio, rate, out_rate), out_rate
    slot, mean_cost = teacher.align(cps, segs, len(audio), rate, pset)
    if slot is None or mean_cost > MAX_COST:
        return "cost", mean_cost
    slot, audio = teacher.lengthen_pauses(cps, slot, audio, rate)
    n_frames = int(round(len(audio) / HOP))
    audio = np.concatenate([audio, np.zeros(max(0, n_frames * HOP - len(audio)), np.int16)])
    audio = audio[:n_frames * HOP]
    durs = prep.slots_to_frames(slot, n_frames)
    f0 = prep.pitch(audio, n_frames, rate, fmax=400.0)
    return "ok", (durs, audio, f0, mean_cost)


def recordings():
    """The festvox-ru speaker's recordings: [(text, audio, rate, segs)]."""
    out = []
    for name, text in languages.ru_recordings():
        wav = os.path.join(languages.RU_RECORDINGS, "wav", name + ".wav")
        lab = os.path.join(languages.RU_RECORDINGS, "lab", name + ".lab")
        try:
            audio, rate = festival_teacher.read_wav(wav)
            segs = festival_teacher.read_segs(lab)
        except OSError:
            continue
        out.append((text, audio, rate, segs))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--languages", default=",".join(languages.LANGUAGES))
    ap.add_argument("--sentences", type=int, default=1200, help="per language")
    ap.add_argument("--heldout", type=int, default=30, help="held-out sentences per speaker")
    ap.add_argument("--rate", type=int, default=22050)
    ap.add_argument("--jobs", type=int, default=2)
    args = ap.parse_args()
    work = os.path.dirname(os.path.abspath(args.out))
    os.makedirs(work, exist_ok=True)
    t0 = time.time()
    es = espeak.ESpeak("en-us")

    # speakers: (name, language, [(text, cps, audio, rate, segs)])
    speakers = []
    for lang in args.languages.split(","):
        cfg = languages.LANGUAGES[lang]
        es.voice = cfg["espeak"]
        texts = languages.sentences(lang, args.sentences)
        rows = festival_teacher.synthesize(cfg["festival"], cfg["encoding"], texts,
                                           os.path.join(work, "festival-" + lang), args.jobs)
        items = []
        for text, row in zip(texts, rows):
            cps = es.codepoints(text)
            if row is not None and cps:
                items.append((text, cps) + row)
        speakers.append((lang, lang, items))
        print("prep: %s: %d of %d sentences spoken, %.0f s" % (lang, len(items), len(texts),
                                                               time.time() - t0), flush=True)
        if lang == "ru":
            es.voice = "ru"
            rec = [(t, es.codepoints(t), a, r, s) for t, a, r, s in recordings()]
            speakers.append(("ru-recorded", "ru", [x for x in rec if x[1]]))

    psets = {}
    with multiprocessing.Pool(args.jobs) as pool:
        for name, lang, items in speakers:
            names = sorted({s[0] for it in items for s in it[4]} - {teacher.PAUSE})
            guess = guessed_phone_set(names)
            links = pool.map(link_item, [(it[1], it[2], it[3], it[4], guess) for it in items],
                             chunksize=16)
            psets[name] = learned_phone_set(guess, links)
            print("prep: %s: phone set learned from %d of %d, %.0f s"
                  % (name, sum(l is not None for l in links), len(items), time.time() - t0), flush=True)
        jobs = [(s_id, k) for s_id, (_, _, items) in enumerate(speakers) for k in range(len(items))]
        results = pool.map(work_item, [speakers[s][2][k][1:5] + (psets[speakers[s][0]], args.rate)
                                       for s, k in jobs], chunksize=16)
    print("prep: aligned in %.0f s" % (time.time() - t0), flush=True)

    symbol_set = {ord(c) for c in ALWAYS}
    for _, _, items in speakers:
        for it in items:
            symbol_set.update(it[1])
    table = symbols.build_map(symbol_set)
    ids, durs_all, audio_all, f0_all, voiced_all, spk = [], [], [], [], [], []
    id_off, fr_off, texts, heldout, costs = [0], [0], [], [], []
    stats = {name: {"ok": 0, "cost": 0, "heldout": 0} for name, _, _ in speakers}
    kept = collections.Counter()
    for (s_id, k), (status, res) in zip(jobs, results):
        name, _, items = speakers[s_id]
        st = stats[name]
        st[status] += 1
        if status != "ok":
            continue
        durs, audio, f0, mean_cost = res
        seq = symbols.encode(items[k][1], table)
        assert len(seq) == len(durs)
        lf0, voiced = prep.interp_log_f0(f0)
        ids.append(np.asarray(seq, np.int64))
        durs_all.append(durs.astype(np.int32))
        audio_all.append(audio)
        f0_all.append(lf0)
        voiced_all.append(voiced)
        id_off.append(id_off[-1] + len(seq))
        fr_off.append(fr_off[-1] + int(durs.sum()))
        texts.append(items[k][0])
        # The first sentences of each speaker that aligned are held out.
        held = kept[s_id] < args.heldout
        kept[s_id] += 1
        st["heldout"] += int(held)
        heldout.append(held)
        spk.append(s_id)
        costs.append(mean_cost)
    names = [name for name, _, _ in speakers]
    np.savez(args.out, ids=np.concatenate(ids), durs=np.concatenate(durs_all),
             audio=np.concatenate(audio_all), lf0=np.concatenate(f0_all),
             voiced=np.concatenate(voiced_all), id_off=np.asarray(id_off), fr_off=np.asarray(fr_off),
             heldout=np.asarray(heldout), texts=np.asarray(texts), sample_rate=args.rate,
             speaker=np.asarray(spk, np.int64), speakers=np.asarray(names),
             languages=np.asarray([lang for _, lang, _ in speakers]))
    with open(os.path.splitext(args.out)[0] + ".map.json", "w", encoding="utf-8") as f:
        json.dump(table, f, ensure_ascii=False, indent=0)
    hours = sum(len(a) for a in audio_all) / args.rate / 3600
    report = {"utterances": len(texts), "hours": round(hours, 2), "per_speaker": stats,
              "mean_cost": round(float(np.mean(costs)), 3), "symbols": len(table),
              "seconds": round(time.time() - t0)}
    with open(os.path.splitext(args.out)[0] + ".prep.json", "w") as f:
        json.dump(report, f, indent=1)
    print("prep:", json.dumps(report), flush=True)


if __name__ == "__main__":
    main()
