"""Data preparation for the multi-speaker voice: voices made from human
recordings as teachers (Flite's CMU ARCTIC voices, Festival's HTS slt), our
eSpeak NG code points as input.

    /usr/bin/python3 training/prep_teachers.py --out training/work-arctic/data.npz \
        [--teachers hts,flite,flite]

A speaker's teacher is Flite's voice of that name or, with "hts", Festival's
HTS voice of it (cmu_us_slt_arctic_hts for slt), resampled to the Flite
voices' 16 kHz and raised to a common peak (festival_teacher.raise_to_peak).
Festival's segment times are checked against its audio: an
utterance whose last segment does not end within END_SLACK of the audio is
dropped, and how loud its pauses are is reported.

Each sentence is spoken by every teacher; the teacher's segment times are
mapped onto our code points (teacher.align). An utterance is dropped when the
mean alignment cost is high: numbers, abbreviations and names read another way.
Word counts cannot decide this: eSpeak NG joins function words ("ʌvðə" for
"of the"), so ours are fewer in most sentences; how many agree is reported.
"""

import argparse
import json
import multiprocessing
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
import espeak  # noqa: E402
import festival_teacher  # noqa: E402
import prep  # noqa: E402
import symbols  # noqa: E402
import teacher  # noqa: E402

HOP = prep.HOP
SPEAKERS = ["slt", "rms", "awb"]   # speaker 0 first: the clearest
MAX_COST = 0.2   # mean cost per token; a number read another way costs 0.3 or more
ALWAYS = [" "] + list(",.?!;:")   # a voice learns pauses only where its map has the marks
HTS = {"slt": "cmu_us_slt_arctic_hts"}
END_SLACK = 0.05   # seconds between the last segment end and the end of the audio


def segment_check(audio, rate, segs):
    """(last segment end minus audio length in s, level of the frames inside
    the pauses in dB below the loudest 10 ms frame, or None without pauses)."""
    x = audio.astype(np.float64)
    hop = rate // 100
    n = len(x) // hop
    e = np.sqrt(np.mean(x[:n * hop].reshape(n, hop) ** 2, axis=1)) + 1e-9
    db = 20 * np.log10(e / e.max())
    quiet, prev = [], 0.0
    for k, (name, end, _) in enumerate(segs):
        if name == teacher.PAUSE and 0 < k < len(segs) - 1:
            # the middle of the pause: its edges hold the neighbours' decay
            a, b = int(prev * 100) + 2, int(end * 100) - 2
            quiet.extend(db[a:b])
        prev = end
    gap = (segs[-1][1] if segs else 0.0) - len(audio) / rate
    return gap, (float(np.mean(quiet)) if quiet else None)


def festival_rows(voice, sentences, folder, out_rate, jobs):
    """Festival's rows resampled to out_rate; None where it failed or its
    segments do not match its audio. Also the check figures."""
    rows, gaps, levels, dropped = [], [], [], 0
    for row in festival_teacher.synthesize(voice, "latin-1", sentences, folder, jobs):
        if row is None:
            rows.append(None)
            dropped += 1
            continue
        audio, rate, segs = row
        gap, level = segment_check(audio, rate, segs)
        gaps.append(gap)
        if level is not None:
            levels.append(level)
        if abs(gap) > END_SLACK:
            rows.append(None)
            dropped += 1
            continue
        audio = festival_teacher.raise_to_peak(festival_teacher.resample(audio, rate, out_rate))
        rows.append((audio, out_rate, segs))
    check = {"dropped": dropped, "end_gap_s_median": round(float(np.median(gaps)), 4),
             "end_gap_s_max_abs": round(float(np.max(np.abs(gaps))), 4),
             "pause_level_db_mean": round(float(np.mean(levels)), 1) if levels else None}
    return rows, check


def work_item(args):
    """Alignment and pitch for one utterance (runs in a worker process)."""
    cps, audio, rate, segs = args
    words_teacher = max((w for _, _, w in segs), default=-1) + 1
    # Before the pauses are lengthened, while the segment times hold.
    quiet = prep.quiet_share(audio, phone_spans(segs, rate))
    same_words = teacher.word_count(cps) == words_teacher
    slot, mean_cost = teacher.align(cps, segs, len(audio), rate)
    if slot is None or mean_cost > MAX_COST:
        return "cost", (same_words, quiet)
    slot, audio = teacher.lengthen_pauses(cps, slot, audio, rate)
    n_frames = int(round(len(audio) / HOP))
    audio = np.concatenate([audio, np.zeros(max(0, n_frames * HOP - len(audio)), np.int16)])
    audio = audio[:n_frames * HOP]
    durs = prep.slots_to_frames(slot, n_frames)
    f0 = prep.pitch(audio, n_frames, rate, fmax=400.0)
    return "ok", (durs, audio, f0, mean_cost, same_words, quiet)


def phone_spans(segs, rate):
    """Sample spans of the segments that are not pauses."""
    spans, prev = [], 0.0
    for name, end, _ in segs:
        if name != teacher.PAUSE:
            spans.append((prev * rate, end * rate))
        prev = end
    return spans


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--prose", type=int, default=2000)
    ap.add_argument("--generated", type=int, default=700)
    ap.add_argument("--heldout", type=int, default=60, help="held-out sentences (all speakers)")
    ap.add_argument("--speakers", default=",".join(SPEAKERS))
    ap.add_argument("--teachers", default="", help="per speaker flite or hts (default: all flite)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--more", type=int, default=0,
                    help="instead of the pool, this many more prose sentences outside it (corpus.more_sentences)")
    ap.add_argument("--map", default="", help="encode with this phoneme map (of the data this one joins)")
    args = ap.parse_args()
    speakers = args.speakers.split(",")
    kinds = args.teachers.split(",") if args.teachers else ["flite"] * len(speakers)
    if len(kinds) != len(speakers) or any(k not in ("flite", "hts") for k in kinds):
        raise SystemExit("prep: --teachers needs flite or hts for each of %s" % ",".join(speakers))
    work = os.path.dirname(os.path.abspath(args.out))
    os.makedirs(work, exist_ok=True)
    t0 = time.time()

    sentences = corpus.more_sentences(args.more) if args.more else corpus.build(args.prose, args.generated)
    es = espeak.ESpeak("en-us")
    cps_all = [es.codepoints(s) for s in sentences]
    table = None
    if args.map:
        with open(args.map, encoding="utf-8") as f:
            table = json.load(f)
    # Joining data encoded with another map: a sentence with a code point that
    # map lacks is left out, so every id means what it meant there.
    known = {ord(k) for k in table} if table else None
    keep = [k for k, c in enumerate(cps_all) if c and (known is None or set(c) <= known)]
    sentences = [sentences[k] for k in keep]
    cps_all = [cps_all[k] for k in keep]
    print("prep: %d sentences, phonemized in %.0f s" % (len(sentences), time.time() - t0), flush=True)

    helper = teacher.build_helper(os.path.join(work, "flite_teacher"))
    # All Flite teachers at once: on a busy machine that takes the larger share of it.
    flite = [sp for sp, kind in zip(speakers, kinds) if kind == "flite"]
    # Festival speaks meanwhile, in processes of its own.
    flite_rate = teacher.synthesize(helper, flite[0] if flite else "slt", ["Yes."],
                                    os.path.join(work, "rate.raw"))[0][1]
    spoken, festival_checks = {}, {}
    with multiprocessing.Pool(max(1, len(flite))) as pool:
        pending = pool.starmap_async(
            teacher.synthesize, [(helper, sp, sentences, os.path.join(work, "teacher-%s.raw" % sp),
                                  None, True) for sp in flite])
        for sp, kind in zip(speakers, kinds):
            if kind == "hts":
                rows, check = festival_rows(HTS[sp], sentences, os.path.join(work, "hts-" + sp),
                                            flite_rate, args.jobs)
                festival_checks[sp] = check
                print("prep: Festival %s: %s" % (HTS[sp], json.dumps(check)), flush=True)
                spoken[sp] = rows
        spoken.update(zip(flite, pending.get()))
    spoken = [spoken[sp] for sp in speakers]
    print("prep: teachers spoke in %.0f s" % (time.time() - t0), flush=True)

    jobs = []
    for s_id, rows in enumerate(spoken):
        for k, row in enumerate(rows):
            if row is not None:
                jobs.append((s_id, k, (cps_all[k], row[0], row[1], row[2])))
    rates = {row[1] for rows in spoken for row in rows if row is not None and row[1]}
    if len(rates) != 1:
        raise SystemExit("teachers disagree on the sample rate: %s" % sorted(rates))
    sr = rates.pop()
    with multiprocessing.Pool(args.jobs) as pool:
        results = pool.map(work_item, [j[2] for j in jobs], chunksize=32)
    print("prep: aligned in %.0f s" % (time.time() - t0), flush=True)

    n_sent = len(sentences)
    held_sent = set(range(n_sent - args.heldout, n_sent))
    if table is None:
        symbol_set = {ord(c) for c in ALWAYS}
        for c in cps_all:
            symbol_set.update(c)
        table = symbols.build_map(symbol_set)
    ids, durs_all, audio_all, f0_all, voiced_all, spk = [], [], [], [], [], []
    id_off, fr_off, texts, heldout, sent_idx, costs = [0], [0], [], [], [], []
    stats = {sp: {"ok": 0, "cost": 0, "same_word_count": 0} for sp in speakers}
    quiet = {sp: [] for sp in speakers}
    for (s_id, k, _), (status, res) in zip(jobs, results):
        st = stats[speakers[s_id]]
        st[status] += 1
        quiet[speakers[s_id]].append(res[-1])
        if status != "ok":
            st["same_word_count"] += int(res[0])
            continue
        durs, audio, f0, mean_cost, same, _ = res
        st["same_word_count"] += int(same)
        seq = symbols.encode(cps_all[k], table)
        assert len(seq) == len(durs)
        lf0, voiced = prep.interp_log_f0(f0)
        ids.append(np.asarray(seq, np.int64))
        durs_all.append(durs.astype(np.int32))
        audio_all.append(audio)
        f0_all.append(lf0)
        voiced_all.append(voiced)
        id_off.append(id_off[-1] + len(seq))
        fr_off.append(fr_off[-1] + int(durs.sum()))
        texts.append(sentences[k])
        heldout.append(k in held_sent)
        spk.append(s_id)
        sent_idx.append(k)
        costs.append(mean_cost)
    np.savez(args.out, ids=np.concatenate(ids), durs=np.concatenate(durs_all),
             audio=np.concatenate(audio_all), lf0=np.concatenate(f0_all),
             voiced=np.concatenate(voiced_all), id_off=np.asarray(id_off), fr_off=np.asarray(fr_off),
             heldout=np.asarray(heldout), texts=np.asarray(texts), sample_rate=sr,
             speaker=np.asarray(spk, np.int64), speakers=np.asarray(speakers),
             teachers=np.asarray(kinds),
             sentence=np.asarray(sent_idx, np.int64))
    with open(os.path.splitext(args.out)[0] + ".map.json", "w", encoding="utf-8") as f:
        json.dump(table, f, ensure_ascii=False, indent=0)
    hours = sum(len(a) for a in audio_all) / sr / 3600
    for sp in speakers:
        # Speech the silence gate would learn to drop: a few stop closures, no more.
        stats[sp]["phone_frames_below_gate"] = round(float(np.mean(quiet[sp])), 3) if quiet[sp] else 0.0
    report = {"sentences": n_sent, "utterances": len(texts), "hours": round(hours, 2),
              "per_speaker": stats, "teachers": dict(zip(speakers, kinds)),
              "festival_checks": festival_checks, "mean_cost": round(float(np.mean(costs)), 3),
              "symbols": len(table), "seconds": round(time.time() - t0)}
    with open(os.path.splitext(args.out)[0] + ".prep.json", "w") as f:
        json.dump(report, f, indent=1)
    print("prep:", json.dumps(report), flush=True)


if __name__ == "__main__":
    main()
