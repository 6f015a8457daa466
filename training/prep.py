"""Data preparation: teacher audio, ids, per-id frame durations and pitch.

    /usr/bin/python3 training/prep.py --out training/work/data.npz

One eSpeak NG synthesis call per sentence gives both the audio and the phoneme
events the durations come from, so no learned aligner is needed.
"""

import argparse
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
import espeak  # noqa: E402
import symbols  # noqa: E402

HOP = 256
# A frame (HOP samples) whose rms lies below this, in dB below full scale, is
# silence to the voice's gate: it learns to make such frames silent.
SILENT_DBFS = -50.0
# Stress marks, word spaces and clause marks have no phoneme event.
SKIP = {0x2C8, 0x2CC, 0x20} | {ord(c) for c in ",.?!;:"}


def align(cps, events, n_samples):
    """Samples per id slot of `^ _ (cp _)* $`, or None when the events do not
    spell the code points. Slot of code point i is 2 + 2i, its pad 3 + 2i."""
    evs = [(s, name) for s, name in events if name is not None]
    if not evs:
        return None
    n_slots = 3 + 2 * len(cps)
    slot = np.zeros(n_slots, np.float64)
    last_phoneme_event = max((k for k, (_, nm) in enumerate(evs) if nm and not nm.startswith("(")),
                             default=-1)
    if last_phoneme_event < 0:
        return None
    slot[0] += evs[0][0]  # leading silence
    j = 0
    last_cp = -1
    for k, (start, name) in enumerate(evs):
        end = evs[k + 1][0] if k + 1 < len(evs) else n_samples
        span = max(0, end - start)
        if not name or name.startswith("("):
            if last_cp < 0:
                slot[0] += span
            elif k > last_phoneme_event:
                slot[n_slots - 1] += span
            else:
                slot[3 + 2 * last_cp] += span
            continue
        want = [ord(c) for c in name]
        while j < len(cps) and cps[j] in SKIP:
            j += 1
        if cps[j:j + len(want)] != want:
            return None
        for i in range(j, j + len(want)):
            slot[2 + 2 * i] += span / len(want)
        last_cp = j + len(want) - 1
        j += len(want)
    while j < len(cps) and cps[j] in SKIP:
        j += 1
    if j != len(cps):
        return None
    return slot


def slots_to_frames(slot, n_frames):
    bounds = np.rint(np.cumsum(slot) / HOP).astype(np.int64)
    bounds[-1] = n_frames
    bounds = np.minimum(bounds, n_frames)
    return np.diff(np.concatenate([[0], bounds]))


def pitch(audio, n_frames, sr, fmin=50.0, fmax=400.0, thr=0.15):
    """YIN-style f0 per hop frame (Hz, 0 when unvoiced), vectorised over frames.
    Works on the audio decimated by two: plenty for a voice below 400 Hz."""
    try:
        import scipy.fft as fft
    except ImportError:  # numpy's is slower but gives the same result
        fft = np.fft
    x = audio.astype(np.float32) / 32768.0
    x = np.convolve(x, np.array([0.25, 0.5, 0.25], np.float32), mode="same")[::2]
    sr2, hop, win = sr / 2.0, HOP // 2, 256
    tmin, tmax = int(sr2 / fmax), int(sr2 / fmin)
    span = win + tmax
    pad = np.concatenate([np.zeros(span, np.float32), x, np.zeros(2 * span, np.float32)])
    starts = np.arange(n_frames) * hop + hop // 2 - win // 2 + span - tmax // 2
    idx = starts[:, None] + np.arange(span)[None, :]
    frames = pad[idx]
    a = frames[:, :win]
    nfft = 1024
    corr = fft.irfft(np.conj(fft.rfft(a, nfft)) * fft.rfft(frames, nfft), nfft)[:, :tmax + 1]
    sq = np.concatenate([np.zeros((n_frames, 1), np.float32), np.cumsum(frames ** 2, axis=1)], axis=1)
    e_shift = sq[:, win:win + tmax + 1] - sq[:, :tmax + 1]
    d = sq[:, win:win + 1] + e_shift - 2 * corr
    d[:, 0] = 0
    cum = np.cumsum(d[:, 1:], axis=1)
    cmnd = np.ones_like(d)
    taus = np.arange(1, tmax + 1)
    cmnd[:, 1:] = d[:, 1:] * taus / np.maximum(cum, 1e-9)
    seg = cmnd[:, tmin:tmax + 1]
    below = seg < thr
    first = np.where(below.any(axis=1), below.argmax(axis=1), seg.argmin(axis=1))
    rows = np.arange(n_frames)
    for _ in range(20):  # walk down to the local minimum
        nxt = np.minimum(first + 1, seg.shape[1] - 1)
        better = seg[rows, nxt] < seg[rows, first]
        if not better.any():
            break
        first = np.where(better, nxt, first)
    best = seg[rows, first]
    lo = seg[rows, np.maximum(first - 1, 0)]
    hi = seg[rows, np.minimum(first + 1, seg.shape[1] - 1)]
    den = lo - 2 * best + hi
    shift = np.where(np.abs(den) > 1e-9, 0.5 * (lo - hi) / np.where(den == 0, 1, den), 0.0)
    tau = first + tmin + np.clip(shift, -1, 1)
    energy = np.sqrt(np.mean(a ** 2, axis=1))
    voiced = (best < 0.3) & (energy > 3e-3)
    return np.where(voiced, sr2 / tau, 0.0)


def interp_log_f0(f0):
    voiced = f0 > 0
    lf = np.zeros_like(f0)
    if voiced.any():
        t = np.arange(len(f0))
        lf = np.interp(t, t[voiced], np.log(f0[voiced]))
    else:
        lf[:] = np.log(120.0)
    return lf.astype(np.float32), voiced



def quiet_share(audio, spans):
    """Share of the HOP frames inside the sample spans [(start, end)] whose rms
    lies below SILENT_DBFS: for phone spans, how much speech the gate would
    learn to silence."""
    x = audio.astype(np.float64) / 32768.0
    quiet = total = 0
    for a, b in spans:
        n = (int(b) - int(a)) // HOP
        if n <= 0:
            continue
        rms = np.sqrt(np.mean(x[int(a):int(a) + n * HOP].reshape(n, HOP) ** 2, axis=1))
        quiet += int(np.sum(rms < 10 ** (SILENT_DBFS / 20)))
        total += n
    return quiet / total if total else 0.0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--prose", type=int, default=2200)
    ap.add_argument("--generated", type=int, default=1800)
    ap.add_argument("--heldout", type=int, default=100)
    args = ap.parse_args()

    t0 = time.time()
    sentences = corpus.build(args.prose, args.generated)
    es = espeak.ESpeak("en-us")
    sr = es.sample_rate
    rows = []
    failed = 0
    symbol_set = set()
    for text in sentences:
        cps = es.codepoints(text)
        if not cps:
            continue
        audio, events = es.synth(text)
        slot = align(cps, events, len(audio))
        if slot is None:
            failed += 1
            continue
        n_frames = int(round(len(audio) / HOP))
        audio = np.concatenate([audio, np.zeros(max(0, n_frames * HOP - len(audio)), np.int16)])
        audio = audio[:n_frames * HOP]
        durs = slots_to_frames(slot, n_frames)
        f0 = pitch(audio, n_frames, sr)
        symbol_set.update(cps)
        rows.append((text, cps, durs, audio, f0))
        if len(rows) % 500 == 0:
            print("prep: %d utterances, %.0f s" % (len(rows), time.time() - t0), flush=True)
    table = symbols.build_map(symbol_set)
    ids, durs_all, audio_all, f0_all, voiced_all = [], [], [], [], []
    id_off, fr_off, texts = [0], [0], []
    for text, cps, durs, audio, f0 in rows:
        seq = symbols.encode(cps, table)
        assert len(seq) == len(durs)
        lf0, voiced = interp_log_f0(f0)
        ids.append(np.asarray(seq, np.int64))
        durs_all.append(durs.astype(np.int32))
        audio_all.append(audio)
        f0_all.append(lf0)
        voiced_all.append(voiced)
        id_off.append(id_off[-1] + len(seq))
        fr_off.append(fr_off[-1] + int(durs.sum()))
        texts.append(text)
    n = len(texts)
    heldout = np.zeros(n, bool)
    heldout[n - args.heldout:] = True
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    np.savez(args.out, ids=np.concatenate(ids), durs=np.concatenate(durs_all),
             audio=np.concatenate(audio_all), lf0=np.concatenate(f0_all),
             voiced=np.concatenate(voiced_all), id_off=np.asarray(id_off), fr_off=np.asarray(fr_off),
             heldout=heldout, texts=np.asarray(texts), sample_rate=sr)
    with open(os.path.splitext(args.out)[0] + ".map.json", "w", encoding="utf-8") as f:
        json.dump(table, f, ensure_ascii=False, indent=0)
    hours = sum(len(r[3]) for r in rows) / sr / 3600
    print("prep: %d utterances (%d failed to align), %.2f h, %d symbols, %.1f s"
          % (n, failed, hours, len(table), time.time() - t0))


if __name__ == "__main__":
    main()
