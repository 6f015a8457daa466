"""Open-vocabulary intelligibility: the word error rate of pocketsphinx with its
general en-us language model (no grammar) over plain sentences written for
this check (training/intelligibility.txt), for every speaker of a voice and,
on the same sentences, for its teachers and eSpeak NG.

    /usr/bin/python3 training/intelligibility.py --voice voices/orvel-en-us-arctic.onnx \
        [--systems voice,flite,hts,espeak] [--runs 3] [--speakers 0,1,2] [--out report.json]

A closed grammar no longer tells these voices apart (every one of them gets
nearly all words right); with the general model the recogniser's errors grow
as the audio gets less clear, and eSpeak NG, far from a human voice, comes out
much worse. The voice is spoken through the built library (ORVEL_LIBRARY or
build*/), the teachers as they are: Flite's
slt, rms and awb, and Festival's HTS slt resampled from 32 to 16 kHz.

The voice's source noise is drawn afresh on every request, and one reading of
the 60 sentences moves its word error by about 1.5 points either way: with
--runs N each speaker reads them N times and the report gives every run and
their mean (the teachers are repeatable and read once).
"""

import argparse
import json
import os
import re
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
import evaluate_teachers  # noqa: E402
import festival_teacher  # noqa: E402
import teacher  # noqa: E402

SR = evaluate_teachers.SR
SENTENCES = os.path.join(HERE, "intelligibility.txt")
FLITE = ["slt", "rms", "awb"]
HTS_VOICE = "cmu_us_slt_arctic_hts"


def read_sentences(path=SENTENCES):
    with open(path, encoding="utf-8") as f:
        return [line.strip() for line in f if line.strip() and not line.startswith("#")]


def words(text):
    """Lower-case words without punctuation; pocketsphinx marks a second
    pronunciation as "word(2)", which is the same word."""
    text = re.sub(r"\(\d+\)", "", text.lower())
    return re.findall(r"[a-z']+", text)


def word_errors(ref, hyp):
    """Substitutions + deletions + insertions turning ref into hyp (word lists)."""
    prev = list(range(len(hyp) + 1))
    for i, r in enumerate(ref, 1):
        cur = [i] + [0] * len(hyp)
        for j, h in enumerate(hyp, 1):
            cur[j] = min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (r != h))
        prev = cur
    return prev[-1]


def wer(refs, hyps):
    """(errors, reference words) summed over sentences."""
    errors = sum(word_errors(words(r), words(h)) for r, h in zip(refs, hyps))
    return errors, sum(len(words(r)) for r in refs)


def run_name(system, run):
    return system if run == 0 else "%s #%d" % (system, run)


def split_run(name):
    system, _, run = name.partition(" #")
    return system, int(run or 0)


def hts_clips(sentences, folder):
    out = []
    for row in festival_teacher.synthesize(HTS_VOICE, "latin-1", sentences, folder):
        if row is None:
            out.append(np.zeros(SR // 10, np.int16))  # counted as all words lost
            continue
        audio, rate, _ = row
        out.append(festival_teacher.resample(audio, rate, SR))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--voice", default=os.path.join(os.path.dirname(HERE), "voices",
                                                    "orvel-en-us-arctic.onnx"))
    ap.add_argument("--systems", default="voice,flite,hts,espeak",
                    help="any of voice, flite, hts, espeak")
    ap.add_argument("--sentences", default=SENTENCES)
    ap.add_argument("--runs", type=int, default=1, help="readings of each voice speaker")
    ap.add_argument("--speakers", default="", help="voice speakers to check (default: all)")
    ap.add_argument("--out", default="", help="JSON report")
    ap.add_argument("-v", action="store_true", help="print every recognised sentence")
    args = ap.parse_args()
    systems = set(args.systems.split(","))
    sentences = read_sentences(args.sentences)
    tmp = tempfile.mkdtemp(prefix="orvel-wer-")
    clips = {}   # name -> [int16 audio at 16 kHz]

    if "voice" in systems:
        import built_library
        import talmerin_orvel
        engine = talmerin_orvel.Engine(library=built_library.find())
        voice = engine.load_voice(args.voice)
        if voice.sample_rate != SR:
            raise SystemExit("intelligibility: the voice speaks at %d Hz, the recogniser needs %d"
                             % (voice.sample_rate, SR))
        wanted = ([int(k) for k in args.speakers.split(",")] if args.speakers
                  else range(max(1, voice.num_speakers)))
        for k in wanted:
            voice.set_speaker(k)
            for run in range(args.runs):
                clips[run_name("voice %d" % k, run)] = [voice.speak(s, numpy=True) for s in sentences]
        voice.close()
        engine.close()
    if "flite" in systems:
        helper = teacher.build_helper(os.path.join(tmp, "flite_teacher"))
        for name in FLITE:
            rows = teacher.synthesize(helper, name, sentences, os.path.join(tmp, "flite-%s.raw" % name))
            clips["Flite " + name] = [a for a, _, _ in rows]
    if "hts" in systems:
        clips["Festival HTS slt"] = hts_clips(sentences, os.path.join(tmp, "hts"))
    if "espeak" in systems:
        clips["eSpeak NG en-us"] = evaluate_teachers.espeak_clips(sentences)

    names = list(clips)
    # Two recognisers at a time: the machine has two cores.
    with ThreadPoolExecutor(2) as pool:
        hyps = list(pool.map(lambda n: evaluate_teachers.recognise(
            clips[n], os.path.join(tmp, "rec%d" % names.index(n))), names))
    report = {"sentences": len(sentences), "words": wer(sentences, sentences)[1], "systems": {}}
    for name, hyp in zip(names, hyps):
        texts = [" ".join(h) for h in hyp]
        errors, total = wer(sentences, texts)
        system, run = split_run(name)
        entry = report["systems"].setdefault(system, {"runs": []})
        entry["runs"].append(errors)
        entry["word_errors"] = round(sum(entry["runs"]) / len(entry["runs"]), 1)
        entry["wer_percent"] = round(100.0 * entry["word_errors"] / total, 1)
        if args.v:
            print("%-18s run %d: %5.1f %%" % (system, run, 100.0 * errors / total))
            for s, t in zip(sentences, texts):
                print("   %s\n -> %s" % (s, t))
    total = report["words"]
    for system, entry in report["systems"].items():
        spread = ""
        if len(entry["runs"]) > 1:
            spread = " (runs %s)" % ", ".join("%.1f" % (100.0 * e / total) for e in entry["runs"])
            entry["wer_percent_runs"] = [round(100.0 * e / total, 1) for e in entry["runs"]]
        else:
            del entry["runs"]
        print("%-18s %5.1f %% words wrong%s" % (system, entry["wer_percent"], spread))
    if args.out:
        with open(args.out, "w") as f:
            json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
