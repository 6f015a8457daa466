"""Evaluates the multi-speaker voice against its teachers, through the built
library (the project's Python binding).

    /usr/bin/python3 training/evaluate_teachers.py --data training/work-arctic/data.npz \
        --voice voices/orvel-en-us-arctic.onnx --out training/work-arctic/eval

For every speaker, against its teacher (Flite's voice of its name, or
Festival's HTS voice where the data's "teachers" says "hts", resampled to
16 kHz):
- closeness to its teacher on held-out sentences: mel-cepstral distortion (MCD,
  dB, after DTW) of the voice against the teacher, beside the teacher at a 15 %
  slower speaking rate against itself (the reference: what a change of timing
  alone costs);
- intelligibility: pocketsphinx (en-us model) under a closed grammar over
  sentences of six words, each word one of eight; the teacher's score on the
  same sentences beside the voice's, and eSpeak NG's;
- pauses: the silences inside "Hello, world. How are you today?" (at the
  comma and between the sentences) and at the end, beside the teacher's on the
  same text (its audio, and its own segment times); level of frames where the
  teacher is silent;
- speaking rate: audio length at length_scale 1.3 and 0.8 against 1.0;
- a picture (--png): log-mel spectrograms of a held-out sentence with a comma,
  speaker 0's teacher above the voice.
The teacher's held-out audio is spoken again here, not read from the training
data, whose pauses at clause marks are lengthened.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
import built_library  # noqa: E402
import evaluate  # noqa: E402
import festival_teacher  # noqa: E402
import prep_teachers  # noqa: E402
import talmerin_orvel  # noqa: E402
import teacher  # noqa: E402

SR = 16000
PS_MODEL = "/usr/share/pocketsphinx/model/en-us"
SLOTS = [
    "anna peter lucy david sarah thomas mary james",
    "bought found sold painted moved lost carried washed",
    "two three four five six seven eight nine",
    "red green blue white black brown yellow purple",
    "boxes cups books chairs lamps keys bags coats",
    "today yesterday quickly slowly again later early tonight",
]
SLOT_NAMES = ["name", "verb", "num", "color", "thing", "adv"]
PAUSE_TEXT = "Hello, world. How are you today?"
SPEED_TEXT = "The quick brown fox jumps over the lazy dog, and then it rests for a while."


def check_sentences(count=40, seed=5):
    rng = random.Random(seed)
    words = [s.split() for s in SLOTS]
    out = []
    for _ in range(count):
        w = [rng.choice(options) for options in words]
        out.append(" ".join(w))
    return out


def grammar():
    lines = ["#JSGF V1.0;", "grammar check;",
             "public <s> = %s;" % " ".join("<%s>" % n for n in SLOT_NAMES)]
    lines += ["<%s> = %s;" % (n, " | ".join(s.split())) for n, s in zip(SLOT_NAMES, SLOTS)]
    return "\n".join(lines) + "\n"


def spoken(sentence):
    return sentence[0].upper() + sentence[1:] + "."


def recognise(clips, workdir, jsgf=None):
    """The words pocketsphinx_batch hears in each 16 kHz int16 clip: under the
    JSGF grammar text jsgf, or with the general en-us language model."""
    os.makedirs(workdir, exist_ok=True)
    if jsgf is None:
        language = ["-lm", PS_MODEL + "/en-us.lm.bin"]
    else:
        with open(os.path.join(workdir, "g.jsgf"), "w") as f:
            f.write(jsgf)
        language = ["-jsgf", os.path.join(workdir, "g.jsgf")]
    names = []
    for k, audio in enumerate(clips):
        name = "c%03d" % k
        pad = np.zeros(SR // 4, np.int16)  # the recogniser wants a little silence around speech
        np.concatenate([pad, audio.astype(np.int16), pad]).tofile(os.path.join(workdir, name + ".raw"))
        names.append(name)
    with open(os.path.join(workdir, "ctl"), "w") as f:
        f.write("\n".join(names) + "\n")
    hyp = os.path.join(workdir, "hyp.txt")
    subprocess.run(["pocketsphinx_batch", "-hmm", PS_MODEL + "/en-us",
                    "-dict", PS_MODEL + "/cmudict-en-us.dict"] + language + [
                    "-ctl", os.path.join(workdir, "ctl"), "-cepdir", workdir, "-cepext", ".raw",
                    "-adcin", "yes", "-adchdr", "0", "-samprate", str(SR), "-hyp", hyp],
                   check=True, capture_output=True)
    got = {}
    with open(hyp) as f:
        for line in f:
            text, _, rest = line.rpartition("(")
            got[rest.split()[0]] = text.split()
    return [got.get(n, []) for n in names]


def score(hyps, sentences):
    right = 0
    for h, s in zip(hyps, sentences):
        want = s.split()
        right += sum(1 for a, b in zip(h, want) if a == b) if len(h) == len(want) else 0
    return right


def teacher_rows(kind, helper, name, texts, folder, stretch=None):
    """[(int16 audio at SR, SR, segments)] of speaker `name`'s teacher: Flite's
    voice, or with kind "hts" Festival's HTS voice resampled to SR. Every call
    needs a folder of its own."""
    if kind == "flite":
        return teacher.synthesize(helper, name, texts, folder + ".raw", stretch)
    rows = festival_teacher.synthesize(prep_teachers.HTS[name], "latin-1", texts, folder,
                                       stretch=stretch)
    if any(r is None for r in rows):
        raise SystemExit("evaluate: Festival failed on a sentence of %s" % name)
    return [(festival_teacher.resample(a, r, SR), SR, segs) for a, r, segs in rows]


def espeak_clips(texts):
    """eSpeak NG's audio at 16 kHz, made in a child process: one eSpeak NG
    instance per process, the library has its own."""
    code = ("import json, sys\nsys.path.insert(0, %r)\nimport numpy as np, espeak\n"
            "from scipy.signal import resample_poly\n"
            "es = espeak.ESpeak('en-us')\nout = []\n"
            "for t in json.loads(sys.stdin.read()):\n"
            "    a, _ = es.synth(t)\n"
            "    out.append(np.clip(resample_poly(a.astype(np.float64), 320, 441), -32768, 32767)"
            ".astype(np.int16).tolist())\n"
            "print(json.dumps(out))\n") % HERE
    res = subprocess.run([sys.executable, "-c", code], input=json.dumps(texts), capture_output=True,
                         text=True, check=True)
    return [np.asarray(a, np.int16) for a in json.loads(res.stdout)]


def silences(audio, threshold_db=-45.0, shortest=0.05):
    """(pauses inside, trailing silence) in seconds: runs of 10 ms frames below
    threshold_db relative to the loudest frame, between the first and the last
    loud frame, of at least `shortest`."""
    x = audio.astype(np.float64)
    n = len(x) // 160
    if n == 0:
        return [], 0.0
    e = np.sqrt(np.mean(x[:n * 160].reshape(n, 160) ** 2, axis=1)) + 1e-9
    quiet = 20 * np.log10(e / e.max()) < threshold_db
    loud = np.nonzero(~quiet)[0]
    first, last = loud[0], loud[-1]
    inner, run = [], 0
    for q in quiet[first:last + 2]:
        if q:
            run += 1
            continue
        if run * 0.01 >= shortest:
            inner.append(round(run * 0.01, 2))
        run = 0
    return inner, (n - 1 - last) * 0.01


def segment_pauses(segs):
    """The teacher's own pauses inside an utterance from its segment times (s)."""
    out, prev = [], 0.0
    for k, (name, end, _) in enumerate(segs):
        if name == teacher.PAUSE and 0 < k < len(segs) - 1:
            out.append(round(end - prev, 2))
        prev = end
    return out


def picture(path, teacher_audio, voice_audio):
    """Teacher above, voice below, 4 white rows between; grayscale PNG."""
    top = evaluate.spectrogram_image(teacher_audio)
    bottom = evaluate.spectrogram_image(voice_audio)
    width = max(top.shape[1], bottom.shape[1])
    pad = lambda im: np.pad(im, ((0, 0), (0, width - im.shape[1])))  # noqa: E731
    evaluate.png_gray(path, np.concatenate([pad(top), np.full((4, width), 255, np.uint8), pad(bottom)]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", required=True)
    ap.add_argument("--voice", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--sentences", type=int, default=20, help="held-out sentences per speaker")
    ap.add_argument("--png", default="", help="picture of teacher and voice (default: in --out)")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    evaluate.MEL = evaluate.mel_matrix(sr=SR, fmax=SR / 2)
    evaluate.SR = SR

    z = np.load(args.data)
    speakers = [str(s) for s in z["speakers"]]
    texts, heldout, spk = z["texts"], z["heldout"], z["speaker"]
    kinds = [str(t) for t in z["teachers"]] if "teachers" in z.files else ["flite"] * len(speakers)
    helper = teacher.build_helper(os.path.join(os.path.dirname(os.path.abspath(args.data)),
                                               "flite_teacher"))
    engine = talmerin_orvel.Engine(library=built_library.find())
    voice = engine.load_voice(args.voice)
    if voice.sample_rate != SR:
        raise SystemExit("the voice speaks at %d Hz, the checks need %d" % (voice.sample_rate, SR))
    checks = check_sentences()
    report = {"voice": os.path.basename(args.voice), "speakers": {}, "check_sentences": len(checks),
              "check_words": 6 * len(checks)}
    tmp = tempfile.mkdtemp(prefix="orvel-eval-")

    es_hyps = recognise(espeak_clips([spoken(s) for s in checks]), os.path.join(tmp, "espeak"), grammar())
    report["espeak_words_right"] = score(es_hyps, checks)
    print("evaluate: eSpeak NG %d/%d words" % (report["espeak_words_right"], 6 * len(checks)),
          flush=True)

    for k, name in enumerate(speakers):
        voice.set_speaker(k)
        voice.set_speed(1.0)
        held = [i for i in np.nonzero(heldout & (spk == k))[0]][:args.sentences]
        held_texts = [str(texts[i]) for i in held]
        kind, where = kinds[k], os.path.join(tmp, "t%d-" % k)
        slow = teacher_rows(kind, helper, name, held_texts, where + "slow", 1.15)
        same = teacher_rows(kind, helper, name, held_texts, where + "held")
        mcds, refs, ratios, silent = [], [], [], []
        for i, (slow_audio, _, _), (t_audio, _, _) in zip(held, slow, same):
            t_audio = t_audio.astype(np.float32) / 32768.0
            v_audio = voice.speak(str(texts[i]), numpy=True).astype(np.float32) / 32767.0
            if k == 0 and "picture_text" not in report and "," in str(texts[i]):
                picture(args.png or os.path.join(args.out, "teacher-vs-voice.png"), t_audio, v_audio)
                report["picture_text"] = str(texts[i])
            d, path = evaluate.mcd(v_audio, t_audio)
            mcds.append(d)
            refs.append(evaluate.mcd(slow_audio.astype(np.float32) / 32768.0, t_audio)[0])
            ratios.append(len(v_audio) / len(t_audio))
            lvl = evaluate.silent_level(v_audio, t_audio, path)
            if lvl is not None:
                silent.append(lvl)
        v_hyps = recognise([voice.speak(spoken(s), numpy=True) for s in checks],
                           os.path.join(tmp, "voice%d" % k), grammar())
        t_rows = teacher_rows(kind, helper, name, [spoken(s) for s in checks], where + "check")
        t_hyps = recognise([a for a, _, _ in t_rows], os.path.join(tmp, "teacher%d" % k), grammar())
        inner, tail = silences(voice.speak(PAUSE_TEXT, numpy=True))
        t_audio, _, t_segs = teacher_rows(kind, helper, name, [PAUSE_TEXT], where + "pause")[0]
        t_inner, t_tail = silences(t_audio)
        # Lengths without the duration noise, so the ratios show the scale alone.
        voice.set_noise(1e-6, 1e-6)
        base = len(voice.speak(SPEED_TEXT, numpy=True))
        voice.set_speed(1.3)
        slow_ratio = len(voice.speak(SPEED_TEXT, numpy=True)) / base
        voice.set_speed(0.8)
        fast_ratio = len(voice.speak(SPEED_TEXT, numpy=True)) / base
        voice.set_speed(1.0)
        voice.set_noise(0.0, 0.0)  # back to the configured values
        r = {
            "id": k,
            "teacher": kind,
            "heldout_sentences": len(held),
            "mcd_db": round(float(np.mean(mcds)), 2),
            "mcd_teacher_reference_db": round(float(np.mean(refs)), 2),
            "duration_ratio": round(float(np.mean(ratios)), 3),
            "teacher_silent_frames_db": round(float(np.mean(silent)), 1) if silent else None,
            "words_right": score(v_hyps, checks),
            "teacher_words_right": score(t_hyps, checks),
            "pauses_s": inner,
            "end_silence_s": round(tail, 2),
            "teacher_pauses_s": t_inner,
            "teacher_segment_pauses_s": segment_pauses(t_segs),
            "teacher_end_silence_s": round(t_tail, 2),
            "length_scale_1.3": round(slow_ratio, 3),
            "length_scale_0.8": round(fast_ratio, 3),
        }
        report["speakers"][name] = r
        print("evaluate: %s %s" % (name, json.dumps(r)), flush=True)
    voice.close()
    engine.close()
    with open(os.path.join(args.out, "report.json"), "w") as f:
        json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
