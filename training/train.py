"""Training loop with resumable checkpoints.

    /usr/bin/python3 training/train.py --data training/work/data.npz \
        --ckpt training/work/ckpt.pt --minutes 50

The learning-rate schedule is a cosine over a wall-clock budget (--minutes):
the machine is shared, so a step budget would finish at an unknown time.
Training time already spent is stored in the checkpoint, so a resumed run
continues the same schedule.
"""

import argparse
import json
import math
import os
import shutil
import sys
import time

import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from model import HOP, Voice, frame_features, head_split  # noqa: E402
import prep  # noqa: E402

RESOLUTIONS = [(2048, 512), (1024, 256), (512, 128), (256, 64), (128, 32)]


def load_sets(paths):
    """One data set from several prepared with one phoneme map (the first
    one's): offsets shifted, speakers matched by name, held-out flags kept
    as prepared (a set meant only for training is prepared with --heldout 0,
    so the held-out loss stays comparable with runs on the first alone)."""
    sets = [dict(np.load(p)) for p in paths]
    if len(sets) == 1:
        return sets[0]
    z = dict(sets[0])
    names = [str(x) for x in z["speakers"]]
    maps = []
    for p in paths:
        with open(os.path.splitext(p)[0] + ".map.json", encoding="utf-8") as f:
            maps.append(json.load(f))
    # Another map would give the same ids other phonemes, silently.
    if any(m != maps[0] for m in maps[1:]):
        raise SystemExit("train: the data sets have different phoneme maps (prepare with --map)")
    for other in sets[1:]:
        if int(other["sample_rate"]) != int(z["sample_rate"]):
            raise SystemExit("train: the data sets differ in sample rate")
        theirs = [str(x) for x in other["speakers"]]
        if any(n not in names for n in theirs):
            raise SystemExit("train: a data set has speakers the first lacks: %s" % ",".join(theirs))
        to_ours = np.asarray([names.index(n) for n in theirs], np.int64)
        z["id_off"] = np.concatenate([z["id_off"], other["id_off"][1:] + z["id_off"][-1]])
        z["fr_off"] = np.concatenate([z["fr_off"], other["fr_off"][1:] + z["fr_off"][-1]])
        z["speaker"] = np.concatenate([z["speaker"], to_ours[other["speaker"]]])
        for k in ("ids", "durs", "audio", "lf0", "voiced", "heldout", "texts"):
            z[k] = np.concatenate([z[k], other[k]])
    return z


class Data:
    def __init__(self, path):
        z = load_sets(path.split(","))
        self.ids = z["ids"]
        self.durs = z["durs"]
        self.audio = z["audio"]
        self.lf0 = z["lf0"]
        self.voiced = z["voiced"]
        self.id_off = z["id_off"]
        self.fr_off = z["fr_off"]
        self.heldout = z["heldout"]
        self.texts = z["texts"]
        self.sample_rate = int(z["sample_rate"])
        # A multi-speaker set names its speakers and gives each utterance's speaker.
        self.speakers = [str(x) for x in z["speakers"]] if "speakers" in z else []
        self.speaker = z["speaker"] if "speaker" in z else np.zeros(len(self.texts), np.int64)
        self.n = len(self.texts)
        self.train_idx = np.nonzero(~self.heldout)[0]
        self.held_idx = np.nonzero(self.heldout)[0]

    def join_sentences(self, count, space_id, pad_id, mark_ids, seed=17):
        """Adds `count` training items made of two training sentences of one
        speaker, as one request of two sentences reaches the voice. The pause
        between them is the one the teacher makes between two sentences it
        speaks apart: the first one's end pause (on its closing mark) and the
        second one's leading silence (on the space), 0.3 to 0.4 s. Single
        sentences alone never show a voice the pause after a full stop inside
        a request. Only a first sentence that ends in a clause mark joins."""
        rng = np.random.default_rng(seed)
        ids, durs, audio, lf0, voiced = [], [], [], [], []
        id_off, fr_off = [int(self.id_off[-1])], [int(self.fr_off[-1])]
        pool = self.train_idx
        marked = np.asarray([int(self.item_ids(i)[0][-3]) in mark_ids for i in pool], bool)
        firsts = pool[marked]
        for _ in range(count):
            a = int(rng.choice(firsts))
            same = pool[self.speaker[pool] == self.speaker[a]]
            b = int(rng.choice(same))
            ia, da = self.item_ids(a)
            ib, db = self.item_ids(b)
            j_ids = np.concatenate([ia[:-1], [space_id, pad_id], ib[2:]])
            # The mark takes the end pause and the space the leading silence
            # ("^" and its pad); the space's pad gets none.
            j_durs = np.concatenate([da[:-3], [da[-3] + da[-1], da[-2], db[0] + db[1], 0], db[2:]])
            aa, fa, va = self.item_frames(a)
            ab, fb, vb = self.item_frames(b)
            ids.append(j_ids)
            durs.append(j_durs.astype(self.durs.dtype))
            audio.append(np.concatenate([aa, ab]))
            lf0.append(np.concatenate([fa, fb]))
            voiced.append(np.concatenate([va, vb]))
            id_off.append(id_off[-1] + len(j_ids))
            fr_off.append(fr_off[-1] + int(j_durs.sum()))
            self.speaker = np.append(self.speaker, self.speaker[a])
        n0 = self.n
        self.ids = np.concatenate([self.ids] + ids)
        self.durs = np.concatenate([self.durs] + durs)
        self.audio = np.concatenate([self.audio] + audio)
        self.lf0 = np.concatenate([self.lf0] + lf0)
        self.voiced = np.concatenate([self.voiced] + voiced)
        self.id_off = np.concatenate([self.id_off, id_off[1:]])
        self.fr_off = np.concatenate([self.fr_off, fr_off[1:]])
        self.heldout = np.concatenate([self.heldout, np.zeros(count, bool)])
        self.n = n0 + count
        self.train_idx = np.nonzero(~self.heldout)[0]

    def item_ids(self, i):
        return self.ids[self.id_off[i]:self.id_off[i + 1]], self.durs[self.id_off[i]:self.id_off[i + 1]]

    def item_frames(self, i):
        a, b = self.fr_off[i], self.fr_off[i + 1]
        return self.audio[a * HOP:b * HOP], self.lf0[a:b], self.voiced[a:b]


def make_batch(data, items, wf, ctx, rng):
    length = wf + 2 * ctx
    n_max = max(len(data.item_ids(i)[0]) for i in items)
    b = len(items)
    ids = torch.zeros(b, n_max, dtype=torch.long)
    durs = torch.zeros(b, n_max, dtype=torch.long)
    mask = torch.zeros(b, 1, n_max)
    idx = torch.zeros(b, length, dtype=torch.long)
    feats = torch.zeros(b, 2, length)
    lf0 = torch.zeros(b, length)
    voiced = torch.zeros(b, length)
    audio = torch.zeros(b, length * HOP)
    sid = torch.from_numpy(np.asarray([data.speaker[i] for i in items], np.int64))
    for r, i in enumerate(items):
        s_ids, s_durs = data.item_ids(i)
        n = len(s_ids)
        ids[r, :n] = torch.from_numpy(s_ids)
        durs[r, :n] = torch.from_numpy(s_durs.astype(np.int64))
        mask[r, 0, :n] = 1
        a, f, v = data.item_frames(i)
        total = len(f)
        start = int(rng.integers(0, max(total - wf, 0) + 1)) - ctx
        j, frac, logd = frame_features(durs[r, :n], start, length)
        idx[r] = j
        feats[r, 0], feats[r, 1] = frac, logd
        t = np.clip(np.arange(start, start + length), 0, total - 1)
        inside = (np.arange(start, start + length) >= 0) & (np.arange(start, start + length) < total)
        lf0[r] = torch.from_numpy(f[t])
        voiced[r] = torch.from_numpy((v[t] & inside).astype(np.float32))
        lo, hi = max(start, 0), min(start + length, total)
        if hi > lo:
            audio[r, (lo - start) * HOP:(hi - start) * HOP] = torch.from_numpy(
                a[lo * HOP:hi * HOP].astype(np.float32) / 32768.0)
    return ids, durs, mask, idx, feats, lf0, voiced, audio, sid


def stft_loss(pred, target):
    total = 0.0
    for n_fft, hop in RESOLUTIONS:
        win = torch.hann_window(n_fft)
        p = torch.stft(pred, n_fft, hop, window=win, return_complex=True).abs()
        t = torch.stft(target, n_fft, hop, window=win, return_complex=True).abs()
        sc = torch.norm(t - p) / (torch.norm(t) + 1e-6)
        lm = torch.mean(torch.abs(torch.log(p + 1e-4) - torch.log(t + 1e-4)))
        total = total + sc + lm
    return total / len(RESOLUTIONS)


# The recogniser, like a listener, hears the spectrum on a mel scale: most of
# the linear bins above lie over 4 kHz, where the voice is noise and the
# formants that carry the words are not.
MEL_RESOLUTIONS = [(512, 128), (1024, 256)]
MEL_BANDS = 64
_MEL_CACHE = {}


def mel_filters(n_fft, sample_rate, bands=MEL_BANDS):
    """[bands, n_fft // 2 + 1] triangular filters, evenly spaced in mel
    (2595 log10(1 + f / 700)) from 0 to just under Nyquist, peak 1."""
    top = 2595.0 * math.log10(1.0 + 0.475 * sample_rate / 700.0)
    hz = 700.0 * (10.0 ** (torch.linspace(0.0, top, bands + 2, dtype=torch.float64) / 2595.0) - 1.0)
    f = torch.arange(n_fft // 2 + 1, dtype=torch.float64) * sample_rate / n_fft
    lo, mid, hi = hz[:-2, None], hz[1:-1, None], hz[2:, None]
    rise = (f[None] - lo) / (mid - lo)
    fall = (hi - f[None]) / (hi - mid)
    return torch.clamp(torch.minimum(rise, fall), min=0.0).float()


def mel_loss(pred, target, sample_rate):
    """Mean L1 distance of log mel magnitudes over MEL_RESOLUTIONS."""
    total = 0.0
    for n_fft, hop in MEL_RESOLUTIONS:
        key = (n_fft, sample_rate)
        if key not in _MEL_CACHE:
            _MEL_CACHE[key] = mel_filters(n_fft, sample_rate)
        fb = _MEL_CACHE[key]
        win = torch.hann_window(n_fft)
        p = torch.stft(pred, n_fft, hop, window=win, return_complex=True).abs()
        t = torch.stft(target, n_fft, hop, window=win, return_complex=True).abs()
        p, t = torch.matmul(fb, p), torch.matmul(fb, t)
        total = total + torch.mean(torch.abs(torch.log(p + 1e-3) - torch.log(t + 1e-3)))
    return total / len(MEL_RESOLUTIONS)


# A frame of the teacher quieter than this is a pause: the Flite teachers' own
# pauses carry a floor of -55 to -70 dBFS, which the voice should not copy.
SILENT_RMS = 10 ** (prep.SILENT_DBFS / 20)


def run_batch(model, batch, ctx, wf):
    """Losses (spectral, duration, f0 and gate, mel) of one batch."""
    ids, durs, mask, idx, feats, lf0, voiced, audio, sid = batch
    h, logd = model.encode(ids, mask, sid)
    dur_loss = (((logd - torch.log1p(durs.float())) ** 2) * mask[:, 0]).sum() / mask.sum()
    c = h.shape[1]
    h_frames = torch.gather(h, 2, idx.unsqueeze(1).expand(-1, c, -1))
    x, lf0_pred, ones = model.decode_pre(h_frames, feats, sid)
    f0_loss = (torch.abs(lf0_pred - lf0) * voiced).sum() / voiced.sum().clamp(min=1.0)
    henv, nenv, gate = model.decode_post(x, lf0, ones)
    wave = model.synthesize(model.window_f0(torch.exp(lf0)), henv, nenv, 1.0)
    a, b = ctx * HOP, (ctx + wf) * HOP
    spec_loss = stft_loss(wave[:, a:b], audio[:, a:b])
    heard = mel_loss(wave[:, a:b], audio[:, a:b], model.sample_rate)
    if gate is not None:
        rms = audio.reshape(audio.shape[0], -1, HOP).pow(2).mean(dim=2).sqrt()
        sound = (rms > SILENT_RMS).float()
        f0_loss = f0_loss + 0.2 * F.binary_cross_entropy_with_logits(gate[:, ctx:ctx + wf],
                                                                     sound[:, ctx:ctx + wf])
    return spec_loss, dur_loss, f0_loss, heard


def heldout_losses(model, data, wf, ctx):
    rng = np.random.default_rng(1234)
    model.eval()
    sums = np.zeros(4)
    count = 0
    with torch.no_grad():
        items = list(data.held_idx)[:64]  # enough to follow, cheap enough to run often
        for k in range(0, len(items), 16):
            batch = make_batch(data, items[k:k + 16], wf, ctx, rng)
            losses = run_batch(model, batch, ctx, wf)
            sums += np.array([float(x) for x in losses])
            count += 1
    model.train()
    return sums / max(count, 1)


def batch_drawer(data, share):
    """A function (rng, count) -> training items. By default every utterance is
    as likely as any other; with a share per speaker, a speaker whose teacher is
    harder to learn can get more of the steps than its count of utterances."""
    if not share:
        return lambda rng, count: rng.choice(data.train_idx, count, replace=False)
    n_speakers = max(len(data.speakers), 1)
    try:
        weights = np.asarray([float(x) for x in share.split(",")], np.float64)
    except ValueError:
        weights = np.zeros(0)
    if len(weights) != n_speakers or (weights < 0).any() or weights.sum() <= 0:
        raise SystemExit("train: --speaker-share needs %d non-negative shares" % n_speakers)
    pools = [data.train_idx[data.speaker[data.train_idx] == k] for k in range(n_speakers)]
    if any(len(p) == 0 and w > 0 for p, w in zip(pools, weights)):
        raise SystemExit("train: --speaker-share gives steps to a speaker without utterances")
    weights = weights / weights.sum()

    def draw(rng, count):
        counts = rng.multinomial(count, weights)
        return np.concatenate([rng.choice(p, c, replace=c > len(p)) for p, c in zip(pools, counts) if c])
    return draw


def init_from_voice(model, onnx_path, table, sample_rate):
    """Starts a new voice from an exported one of the same architecture: its
    weights by name, phoneme embeddings by symbol, and the spectral envelope
    heads resampled onto this voice's frequency bins. A start that can already
    speak needs far fewer steps than random weights on a busy machine."""
    import onnx
    from onnx import numpy_helper
    m = onnx.load(onnx_path)
    weights = {t.name: numpy_helper.to_array(t) for t in m.graph.initializer}
    with open(onnx_path + ".json", encoding="utf-8") as f:
        cfg = json.load(f)
    old_table, old_rate = cfg["phoneme_id_map"], cfg["audio"]["sample_rate"]
    state = model.state_dict()
    taken = 0
    for name, value in weights.items():
        if name not in state:
            continue
        value = torch.from_numpy(np.array(value, np.float32))
        if name == "embed.weight":
            for sym, ids in table.items():
                if sym in old_table and old_table[sym][0] < value.shape[0]:
                    state[name][ids[0]] = value[old_table[sym][0]]
        elif name in ("env_head.weight", "env_head.bias"):
            # Bin k here lies at k * rate / nfft: read the old head there, each
            # window from the old window at the same place in its frame.
            old_split = head_split(weights["env_head.weight"].shape[0])
            old_bins = HOP // old_split + 1
            pos = np.arange(model.nbins) * (sample_rate / model.nfft) / (old_rate / (2 * (old_bins - 1)))
            src = value.numpy().reshape(2, old_split, old_bins, -1)
            out = np.empty((2, model.split, model.nbins, src.shape[3]), np.float32)
            for half in range(2):
                for w in range(model.split):
                    for c in range(src.shape[3]):
                        out[half, w, :, c] = np.interp(pos, np.arange(old_bins),
                                                       src[half, w * old_split // model.split, :, c])
            state[name] = torch.from_numpy(out.reshape(state[name].shape))
        elif state[name].shape == value.shape:
            state[name] = value
        else:
            continue
        taken += 1
    model.load_state_dict(state)
    print("started from %s: %d of %d tensors" % (onnx_path, taken, len(state)), flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", required=True, help="prepared data; several, comma-separated, join")
    ap.add_argument("--ckpt", required=True)
    ap.add_argument("--minutes", type=float, default=50.0)
    ap.add_argument("--batch", type=int, default=16)
    ap.add_argument("--frames", type=int, default=96)
    ap.add_argument("--ctx", type=int, default=8)
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--channels", type=int, default=160)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--gate", action="store_true", help="learn a silence gate for pauses")
    ap.add_argument("--save-minutes", type=float, default=6.0)
    ap.add_argument("--joins", type=int, default=0, help="training items of two sentences each")
    ap.add_argument("--init", default="", help="exported voice to start from (new checkpoints only)")
    ap.add_argument("--split", type=int, default=1,
                    help="synthesis windows per frame (new checkpoints only): 2 halves the window")
    ap.add_argument("--mel", type=float, default=0.0,
                    help="weight of a log-mel loss beside the spectral one (0: none)")
    ap.add_argument("--keep-minutes", type=float, default=0.0,
                    help="also keep the checkpoint as CKPT.STEP this often, to choose among by ear")
    ap.add_argument("--speaker-share", default="",
                    help="share of the batch for each speaker, e.g. 0.5,0.25,0.25 (default: by utterances)")
    args = ap.parse_args()

    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    data = Data(args.data)
    with open(os.path.splitext(args.data.split(",")[0])[0] + ".map.json", encoding="utf-8") as f:
        table = json.load(f)
    if args.joins and " " in table:
        marks = {table[c][0] for c in ",.?!;:" if c in table}
        data.join_sentences(args.joins, table[" "][0], table["_"][0], marks)
        print("joined %d pairs of sentences" % args.joins, flush=True)
    n_symbols = max(v[0] for v in table.values()) + 1
    n_speakers = max(len(data.speakers), 1)
    ck = torch.load(args.ckpt) if os.path.exists(args.ckpt) else None
    split = ck.get("split", 1) if ck else args.split
    model = Voice(n_symbols, args.channels, data.sample_rate, n_speakers, args.gate, split)
    opt = torch.optim.AdamW(model.parameters(), lr=args.lr, weight_decay=0.01)
    step, spent = 0, 0.0
    if ck:
        model.load_state_dict(ck["model"])
        opt.load_state_dict(ck["opt"])
        step, spent = ck["step"], ck["spent"]
        print("resumed at step %d, %.1f min" % (step, spent / 60), flush=True)
    elif args.init and os.path.exists(args.init):
        init_from_voice(model, args.init, table, data.sample_rate)
    budget = args.minutes * 60.0
    n_params = sum(p.numel() for p in model.parameters())
    print("model: %d parameters, %d symbols, %d training utterances"
          % (n_params, n_symbols, len(data.train_idx)), flush=True)
    rng = np.random.default_rng(args.seed + step)
    draw = batch_drawer(data, args.speaker_share)

    def save():
        tmp = args.ckpt + ".tmp"
        torch.save({"model": model.state_dict(), "opt": opt.state_dict(), "step": step,
                    "spent": spent, "n_symbols": n_symbols, "channels": args.channels,
                    "sample_rate": data.sample_rate, "n_speakers": n_speakers, "gate": args.gate,
                    "split": split,
                    "speakers": data.speakers}, tmp)
        os.replace(tmp, args.ckpt)

    last_log = last_save = time.time()
    last_kept = spent
    acc = np.zeros(4)
    acc_n = 0
    while spent < budget:
        t0 = time.time()
        frac = spent / budget
        warm = min(1.0, (step + 1) / 200.0)
        lr = args.lr * warm * (0.02 + 0.98 * 0.5 * (1 + math.cos(math.pi * frac)))
        for g in opt.param_groups:
            g["lr"] = lr
        items = draw(rng, args.batch)
        batch = make_batch(data, items, args.frames, args.ctx, rng)
        spectral, dur, f0, heard = run_batch(model, batch, args.ctx, args.frames)
        loss = spectral + dur + f0 + args.mel * heard
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
        opt.step()
        step += 1
        spent += time.time() - t0
        acc += [float(spectral), float(dur), float(f0), float(heard)]
        acc_n += 1
        if step % 20 == 0:
            m = acc / acc_n
            print("step %d  %.1f min  lr %.2e  spectral %.4f  dur %.4f  f0 %.4f  mel %.4f  (%.2f s/step)"
                  % (step, spent / 60, lr, m[0], m[1], m[2], m[3], (time.time() - last_log) / acc_n),
                  flush=True)
            acc[:] = 0
            acc_n = 0
            last_log = time.time()
        # Every 300 steps, or every few minutes on a busy machine, so that a
        # checkpoint to export is never far behind.
        if step % 300 == 0 or time.time() - last_save > args.save_minutes * 60:
            last_save = time.time()
            h = heldout_losses(model, data, args.frames, args.ctx)
            print("heldout step %d  spectral %.4f  dur %.4f  f0 %.4f  mel %.4f"
                  % (step, h[0], h[1], h[2], h[3]), flush=True)
            save()
            if args.keep_minutes > 0 and spent - last_kept >= args.keep_minutes * 60:
                last_kept = spent
                shutil.copyfile(args.ckpt, "%s.%d" % (args.ckpt, step))
    save()
    h = heldout_losses(model, data, args.frames, args.ctx)
    print("final step %d  %.1f min  heldout spectral %.4f  dur %.4f  f0 %.4f  mel %.4f"
          % (step, spent / 60, h[0], h[1], h[2], h[3]), flush=True)


if __name__ == "__main__":
    main()
