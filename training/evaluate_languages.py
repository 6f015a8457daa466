"""Evaluates the voices of other languages against their Festival teachers,
through the built library (the project's Python binding).

    /usr/bin/python3 training/evaluate_languages.py --data training/work-languages/data.npz \
        --voices voices --out training/work-languages/eval [--both-ru training/work-languages/ru-both.onnx]

For every language, on held-out sentences (never trained on), at 16 kHz:
- mel-cepstral distortion (dB, after DTW) of the voice against its teacher,
  beside the teacher at a 15 % slower rate against itself (what a change of
  timing alone costs) and eSpeak NG against the same teacher;
- the voice's length against the teacher's;
- pauses inside a two-sentence text with a comma, and at its end;
- speaking rate: audio length at length_scale 1.3 and 0.8 against 1.0.
For Russian also the distance to the speaker's own held-out recordings: of
the voice, of the teacher, of eSpeak NG and, with --both-ru (a two-speaker
export of the same checkpoint), of the voice taught by the teacher's output
beside the one taught by the recordings.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
from scipy.signal import resample_poly

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
import built_library  # noqa: E402
import evaluate  # noqa: E402
import evaluate_teachers  # noqa: E402
import festival_teacher  # noqa: E402
import languages  # noqa: E402
import talmerin_orvel  # noqa: E402

SR = 16000
PAUSE_TEXT = {
    "ru": "Привет, друзья. Как у вас дела?",
    "cs": "Ahoj, přátelé. Jak se máte?",
    "fi": "Hei, ystävät. Mitä teille kuuluu?",
    "ca": "Hola, amics. Com esteu avui?",
    "it": "Ciao, amici. Come state oggi?",
}
SPEED_TEXT = {
    "ru": "Мой брат живёт в большом городе, и каждый день ездит на работу.",
    "cs": "Můj bratr žije ve velkém městě, a každý den jezdí do práce.",
    "fi": "Veljeni asuu isossa kaupungissa, ja hän ajaa töihin joka päivä.",
    "ca": "El meu germà viu en una gran ciutat, i cada dia va a treballar.",
    "it": "Mio fratello vive in una grande città, e ogni giorno va al lavoro.",
}


def to_eval_rate(audio, rate):
    x = audio.astype(np.float64) / 32768.0
    if rate != SR:
        g = np.gcd(rate, SR)
        x = resample_poly(x, SR // g, rate // g)
    return x.astype(np.float32)


def espeak_audio(voice, texts):
    """eSpeak NG's audio in a child process (one eSpeak NG instance per
    process; the library has its own): [(int16 audio, rate)]."""
    code = ("import json, sys\nsys.path.insert(0, %r)\nimport espeak\n"
            "es = espeak.ESpeak(%r)\nout = []\n"
            "for t in json.loads(sys.stdin.read()):\n"
            "    a, _ = es.synth(t)\n"
            "    out.append(a.tolist())\n"
            "print(json.dumps([es.sample_rate, out]))\n") % (HERE, voice)
    res = subprocess.run([sys.executable, "-c", code], input=json.dumps(texts), capture_output=True,
                         text=True, check=True)
    rate, clips = json.loads(res.stdout)
    return [(np.asarray(a, np.int16), rate) for a in clips]


def mean(values):
    return round(float(np.mean(values)), 2) if values else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", required=True)
    ap.add_argument("--voices", required=True, help="folder with orvel-<language>.onnx")
    ap.add_argument("--out", required=True)
    ap.add_argument("--sentences", type=int, default=20, help="held-out sentences per language")
    ap.add_argument("--both-ru", default="", help="two-speaker export (ru, ru-recorded) to compare")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    evaluate.MEL = evaluate.mel_matrix(sr=SR, fmax=SR / 2)
    evaluate.SR = SR

    z = np.load(args.data)
    speakers = [str(s) for s in z["speakers"]]
    texts, heldout, spk = z["texts"], z["heldout"], z["speaker"]
    engine = talmerin_orvel.Engine(library=built_library.find())
    tmp = tempfile.mkdtemp(prefix="orvel-eval-languages-")
    report = {"sample_rate_compared": SR, "languages": {}}

    for k, name in enumerate(speakers):
        if name not in languages.LANGUAGES:
            continue
        cfg = languages.LANGUAGES[name]
        path = os.path.join(args.voices, "orvel-%s.onnx" % name)
        voice = engine.load_voice(path)
        held = [str(texts[i]) for i in np.nonzero(heldout & (spk == k))[0]][:args.sentences]
        same = festival_teacher.synthesize(cfg["festival"], cfg["encoding"], held,
                                           os.path.join(tmp, name + "-held"))
        slow = festival_teacher.synthesize(cfg["festival"], cfg["encoding"], held,
                                           os.path.join(tmp, name + "-slow"), stretch=1.15)
        es = espeak_audio(cfg["espeak"], held)
        mcds, refs, es_mcds, ratios, stretched = [], [], [], [], []
        for text, t_row, s_row, (e_audio, e_rate) in zip(held, same, slow, es):
            if t_row is None or s_row is None:
                continue
            t_audio = to_eval_rate(t_row[0], t_row[1])
            v_audio = to_eval_rate(voice.speak(text, numpy=True), voice.sample_rate)
            mcds.append(evaluate.mcd(v_audio, t_audio)[0])
            refs.append(evaluate.mcd(to_eval_rate(s_row[0], s_row[1]), t_audio)[0])
            stretched.append(len(s_row[0]) / len(t_row[0]))
            es_mcds.append(evaluate.mcd(to_eval_rate(e_audio, e_rate), t_audio)[0])
            ratios.append(len(v_audio) / len(t_audio))
        inner, tail = evaluate_teachers.silences(voice.speak(PAUSE_TEXT[name], numpy=True))
        p_row = festival_teacher.synthesize(cfg["festival"], cfg["encoding"], [PAUSE_TEXT[name]],
                                            os.path.join(tmp, name + "-pause"))[0]
        t_inner, t_tail = evaluate_teachers.silences(p_row[0]) if p_row else ([], None)
        recorded = recordings_check(engine, voice, z, speakers, cfg, args, tmp) if name == "ru" else None
        voice.set_noise(1e-6, 1e-6)  # lengths without the duration noise: the scale alone
        base = len(voice.speak(SPEED_TEXT[name], numpy=True))
        voice.set_speed(1.3)
        slow_ratio = len(voice.speak(SPEED_TEXT[name], numpy=True)) / base
        voice.set_speed(0.8)
        fast_ratio = len(voice.speak(SPEED_TEXT[name], numpy=True)) / base
        r = {
            "teacher": cfg["festival"],
            "heldout_sentences": len(mcds),
            "mcd_db": mean(mcds),
            # Unit selection (ru) keeps its recordings' timing whatever the
            # rate asked: then there is no reference of this kind.
            "mcd_teacher_reference_db": mean(refs) if stretched and np.mean(stretched) > 1.05 else None,
            "teacher_slowed_length": round(float(np.mean(stretched)), 3) if stretched else None,
            "mcd_espeak_db": mean(es_mcds),
            "duration_ratio": round(float(np.mean(ratios)), 3) if ratios else None,
            "pauses_s": inner,
            "end_silence_s": round(tail, 2),
            "teacher_pauses_s": t_inner,
            "teacher_end_silence_s": round(t_tail, 2) if t_tail is not None else None,
            "length_scale_1.3": round(slow_ratio, 3),
            "length_scale_0.8": round(fast_ratio, 3),
        }
        if recorded:
            r["recordings"] = recorded
        voice.close()
        report["languages"][name] = r
        print("evaluate: %s %s" % (name, json.dumps(r, ensure_ascii=False)), flush=True)
    engine.close()
    with open(os.path.join(args.out, "report.json"), "w", encoding="utf-8") as f:
        json.dump(report, f, indent=1, ensure_ascii=False)


def recordings_check(engine, voice, z, speakers, cfg, args, tmp):
    """Distances to the festvox-ru speaker's held-out recordings."""
    if "ru-recorded" not in speakers:
        return None
    k = speakers.index("ru-recorded")
    held = set(str(t) for t in z["texts"][np.nonzero(z["heldout"] & (z["speaker"] == k))[0]])
    rows = [(n, t) for n, t in languages.ru_recordings() if t in held][:args.sentences]
    real = []
    for name, _ in rows:
        audio, rate = festival_teacher.read_wav(os.path.join(languages.RU_RECORDINGS, "wav", name + ".wav"))
        real.append(to_eval_rate(audio, rate))
    texts = [t for _, t in rows]
    out = {"sentences": len(rows)}
    t_rows = festival_teacher.synthesize(cfg["festival"], cfg["encoding"], texts, os.path.join(tmp, "ru-real"))
    out["teacher_db"] = mean([evaluate.mcd(to_eval_rate(t[0], t[1]), r)[0] for t, r in zip(t_rows, real) if t])
    out["espeak_db"] = mean([evaluate.mcd(to_eval_rate(a, rate), r)[0]
                             for (a, rate), r in zip(espeak_audio(cfg["espeak"], texts), real)])
    out["voice_db"] = mean([evaluate.mcd(to_eval_rate(voice.speak(t, numpy=True), voice.sample_rate), r)[0]
                            for t, r in zip(texts, real)])
    if args.both_ru:
        both = engine.load_voice(args.both_ru)
        for sid, label in enumerate(["taught_by_teacher_db", "taught_by_recordings_db"]):
            both.set_speaker(sid)
            out[label] = mean([evaluate.mcd(to_eval_rate(both.speak(t, numpy=True), both.sample_rate), r)[0]
                               for t, r in zip(texts, real)])
        both.close()
    return out


if __name__ == "__main__":
    main()
