"""Evaluates the exported voice against its teacher, through the built library.

    /usr/bin/python3 training/evaluate.py --data training/work/data.npz \
        --voice voices/orvel-en-us.onnx --out training/work/eval

Reports (and writes <out>/report.json):
- mel-cepstral distortion (MCD, dB, after DTW) on held-out sentences, against
  eSpeak NG's audio; as a reference, eSpeak NG at another speaking rate
  against itself;
- closed-set word identification: each word spoken by the voice is matched by
  DTW against eSpeak NG's renderings of all the words of the set (and the same
  for eSpeak NG at another rate, as the reference);
- level in pauses and closures (frames where the teacher is silent), in dB
  below the utterance's peak frame;
- total duration ratio voice / teacher, and how length_scale changes it;
- a spectrogram PNG of one held-out sentence (teacher above, voice below).
Without a built library (ORVEL_LIBRARY or build*/), the torch checkpoint is used.
"""

import argparse
import json
import os
import sys
import zlib
import struct

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
import espeak  # noqa: E402

SR = 22050
N_FFT, HOP, N_MELS, N_CEP = 1024, 256, 80, 24

# Confusable sets: words differing in one consonant or vowel.
WORDS = ["beat", "bit", "bet", "bat", "but", "boot", "boat", "bought",
         "pin", "bin", "tin", "din", "kin", "fin", "sin", "thin",
         "ship", "chip", "sip", "zip", "lip", "dip", "tip", "hip",
         "map", "nap", "cap", "gap", "lap", "rap", "tap", "sap",
         "seven", "eleven", "twelve", "twenty", "thirty", "forty", "fifty", "sixty"]


def mel_matrix(sr=SR, n_fft=N_FFT, n_mels=N_MELS, fmin=60.0, fmax=8000.0):
    def hz2mel(f):
        return 2595.0 * np.log10(1.0 + f / 700.0)

    def mel2hz(m):
        return 700.0 * (10 ** (m / 2595.0) - 1.0)

    pts = mel2hz(np.linspace(hz2mel(fmin), hz2mel(fmax), n_mels + 2))
    freqs = np.arange(n_fft // 2 + 1) * sr / n_fft
    m = np.zeros((n_mels, len(freqs)))
    for i in range(n_mels):
        lo, c, hi = pts[i], pts[i + 1], pts[i + 2]
        m[i] = np.clip(np.minimum((freqs - lo) / (c - lo), (hi - freqs) / (hi - c)), 0, None)
    return m


MEL = mel_matrix()
# Cepstrum of the natural-log amplitude: log A(w) = c0 + 2 sum c_k cos(k w).
DCT = np.cos(np.pi / N_MELS * (np.arange(N_MELS)[None, :] + 0.5) * np.arange(N_CEP + 1)[:, None]) \
    / N_MELS


def log_mel(x):
    x = np.asarray(x, np.float64)
    x = x / (np.max(np.abs(x)) + 1e-9)
    x = np.concatenate([np.zeros(N_FFT // 2), x, np.zeros(N_FFT // 2)])
    n = 1 + max(0, (len(x) - N_FFT) // HOP)
    idx = np.arange(n)[:, None] * HOP + np.arange(N_FFT)[None, :]
    spectral = np.abs(np.fft.rfft(x[idx] * np.hanning(N_FFT), axis=1)) ** 2
    return np.log(np.maximum(spectral @ MEL.T, 1e-8))


def mcep(x):
    """Mel cepstrum c1..c24 of the log amplitude (c0, the level, is left out)."""
    return (0.5 * log_mel(x) @ DCT.T)[:, 1:]


def dtw(a, b):
    """Mean Euclidean distance of a and b along the best DTW path, and the path."""
    cost = np.sqrt(((a[:, None, :] - b[None, :, :]) ** 2).sum(-1))
    n, m = cost.shape
    acc = np.full((n + 1, m + 1), np.inf)
    acc[0, 0] = 0.0
    for i in range(1, n + 1):
        row = cost[i - 1]
        prev = acc[i - 1]
        cur = acc[i]
        best = np.minimum(prev[1:], prev[:-1])  # from above / diagonal
        for j in range(1, m + 1):
            cur[j] = row[j - 1] + min(best[j - 1], cur[j - 1])
    # Backtrack for the path length.
    i, j, path = n, m, []
    while i > 0 and j > 0:
        path.append((i - 1, j - 1))
        options = (acc[i - 1, j - 1], acc[i - 1, j], acc[i, j - 1])
        k = int(np.argmin(options))
        i, j = (i - 1, j - 1) if k == 0 else ((i - 1, j) if k == 1 else (i, j - 1))
    path.reverse()
    return acc[n, m] / len(path), path


def mcd(x, y):
    """MCD in dB between two waveforms, after DTW on their mel cepstra."""
    a, b = mcep(x), mcep(y)
    # The usual definition: (10 / ln 10) * sqrt(2 * sum_k (c_k - c'_k)^2).
    k = 10.0 / np.log(10.0) * np.sqrt(2.0)
    dist, path = dtw(a, b)
    return k * dist, path


def png_gray(path, img):
    """Writes an 8-bit grayscale PNG (rows top to bottom) with zlib only."""
    img = np.asarray(img, np.uint8)
    h, w = img.shape
    raw = b"".join(b"\0" + img[r].tobytes() for r in range(h))

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 0, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def spectrogram_image(x, height=160):
    lm = log_mel(x).T[::-1]  # low frequencies at the bottom
    lm = np.repeat(lm, max(1, height // N_MELS), axis=0)
    top = lm.max()
    db = np.clip((lm - top) / np.log(10) * 10.0, -80.0, 0.0)
    return ((db + 80.0) / 80.0 * 255.0).astype(np.uint8)


class Speaker:
    """The voice under test: the library when built, else the checkpoint."""

    def __init__(self, voice, ckpt):
        self.kind = None
        try:
            import built_library
            import talmerin_orvel
            library = built_library.find()
            self.engine = talmerin_orvel.Engine(library=library)
            self.voice = self.engine.load_voice(voice)
            self.kind = "library %s" % library
        except (OSError, RuntimeError) as e:
            print("evaluate: library not usable (%s), using the checkpoint" % e)
            import torch
            import export
            import symbols
            self.torch = torch
            self.model = export.load(ckpt)
            with open(voice + ".json", encoding="utf-8") as f:
                self.table = json.load(f)["phoneme_id_map"]
            self.es = espeak.ESpeak()
            self.symbols = symbols
            self.scale = 1.0
            self.kind = "checkpoint " + ckpt

    def set_speed(self, length_scale):
        if hasattr(self, "voice"):
            self.voice.set_speed(length_scale)
        else:
            self.scale = length_scale

    def speak(self, text):
        if hasattr(self, "voice"):
            return self.voice.speak(text, numpy=True).astype(np.float32) / 32767.0
        ids = self.symbols.encode(self.es.codepoints(text), self.table)
        with self.torch.no_grad():
            y = self.model(self.torch.tensor([ids]), self.torch.tensor([len(ids)]),
                           self.torch.tensor([0.667, self.scale, 0.8]))
        return y[0, 0].numpy()


def silent_level(model_audio, teacher_audio, path):
    """Mean level (dB below the peak frame) of the voice's frames that DTW maps
    onto frames where the teacher is digitally silent."""
    def frame_db(x):
        x = np.asarray(x, np.float64)
        x = x / (np.max(np.abs(x)) + 1e-9)
        x = np.concatenate([np.zeros(N_FFT // 2), x, np.zeros(N_FFT // 2)])
        n = 1 + max(0, (len(x) - N_FFT) // HOP)
        idx = np.arange(n)[:, None] * HOP + np.arange(N_FFT)[None, :]
        e = np.mean(x[idx] ** 2, axis=1)
        return 10 * np.log10(e + 1e-12) - 10 * np.log10(e.max() + 1e-12)

    t_db, m_db = frame_db(teacher_audio), frame_db(model_audio)
    vals = [m_db[j] for j, i in path if t_db[i] < -70.0]
    return float(np.mean(vals)) if vals else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", required=True)
    ap.add_argument("--voice", required=True)
    ap.add_argument("--ckpt", default="")
    ap.add_argument("--out", required=True)
    ap.add_argument("--sentences", type=int, default=40)
    ap.add_argument("--png", default="")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)

    z = np.load(args.data)
    texts, heldout = z["texts"], z["heldout"]
    fr_off = z["fr_off"]
    held = np.nonzero(heldout)[0][:args.sentences]
    sp = Speaker(args.voice, args.ckpt)
    es = espeak.ESpeak()
    print("evaluate: voice from the %s" % sp.kind, flush=True)

    report = {"voice": sp.kind}
    mcds, ref_mcds, silent, ratios = [], [], [], []
    for k, i in enumerate(held):
        text = str(texts[i])
        teacher = z["audio"][fr_off[i] * 256:fr_off[i + 1] * 256].astype(np.float32) / 32768.0
        voice = sp.speak(text)
        d, path = mcd(voice, teacher)
        mcds.append(d)
        ratios.append(len(voice) / len(teacher))
        lvl = silent_level(voice, teacher, [(a, b) for a, b in path])
        if lvl is not None:
            silent.append(lvl)
        if k < 15:
            es.set_rate(140)
            slow, _ = es.synth(text)
            es.set_rate(175)
            ref_mcds.append(mcd(slow.astype(np.float32) / 32768.0, teacher)[0])
        if k == 0:
            top = spectrogram_image(teacher)
            bottom = spectrogram_image(voice)
            width = max(top.shape[1], bottom.shape[1])
            pad = lambda im: np.pad(im, ((0, 0), (0, width - im.shape[1])))  # noqa: E731
            img = np.concatenate([pad(top), np.full((4, width), 255, np.uint8), pad(bottom)])
            png = args.png or os.path.join(args.out, "teacher-vs-voice.png")
            png_gray(png, img)
            report["spectrogram_text"] = text
            np.save(os.path.join(args.out, "sample_voice.npy"), voice)
    report["mcd_db"] = float(np.mean(mcds))
    report["mcd_reference_db"] = float(np.mean(ref_mcds))
    report["silent_frames_db"] = float(np.mean(silent)) if silent else None
    report["duration_ratio"] = float(np.mean(ratios))
    print("evaluate: MCD %.2f dB over %d held-out sentences (eSpeak NG 140 vs 175 wpm: %.2f dB)"
          % (report["mcd_db"], len(mcds), report["mcd_reference_db"]), flush=True)
    print("evaluate: teacher-silent frames at %.1f dB below peak; duration ratio %.3f"
          % (report["silent_frames_db"] or 0.0, report["duration_ratio"]), flush=True)

    # Speaking rate control.
    probe = str(texts[held[0]])
    base = len(sp.speak(probe))
    for ls in (1.3, 0.8):
        sp.set_speed(ls)
        report["length_scale_%.1f" % ls] = len(sp.speak(probe)) / base
        sp.set_speed(1.0)
    print("evaluate: length_scale 1.3 -> x%.2f, 0.8 -> x%.2f"
          % (report["length_scale_1.3"], report["length_scale_0.8"]), flush=True)

    # Closed-set word identification.
    templates = [mcep(es.synth(w + ".")[0].astype(np.float32)) for w in WORDS]
    es.set_rate(140)
    ref_words = [es.synth(w + ".")[0].astype(np.float32) for w in WORDS]
    es.set_rate(175)
    hits, ref_hits, confusions = 0, 0, []
    for k, w in enumerate(WORDS):
        for which, audio in (("voice", sp.speak(w + ".")), ("ref", ref_words[k])):
            c = mcep(audio)
            dists = [dtw(c, t)[0] for t in templates]
            best = int(np.argmin(dists))
            if which == "voice":
                hits += best == k
                if best != k:
                    confusions.append("%s->%s" % (w, WORDS[best]))
            else:
                ref_hits += best == k
    report["words_correct"] = hits
    report["words_reference_correct"] = ref_hits
    report["words_total"] = len(WORDS)
    report["word_confusions"] = confusions
    print("evaluate: words identified %d/%d (eSpeak NG at 140 wpm: %d/%d); confusions: %s"
          % (hits, len(WORDS), ref_hits, len(WORDS), ", ".join(confusions) or "none"), flush=True)
    with open(os.path.join(args.out, "report.json"), "w") as f:
        json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
