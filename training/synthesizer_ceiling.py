"""How intelligible the voice's synthesizer can be at best: free spectral
envelopes, one pair per frame, are fitted to a teacher's own audio of the
intelligibility sentences (with the teacher's f0 and timing) under the
training loss, synthesized, and heard by the recogniser of
training/intelligibility.py. No network feeding this synthesizer can do
better than that on those sentences, so the gap between the voice and the
fitted envelopes is the network's, and between them and the teacher the
synthesizer's.

    /usr/bin/python3 training/synthesizer_ceiling.py [--hop 256] [--steps 300]

Festival's HTS slt is the teacher (speaker 0's); about 8 minutes on one core.
--hop tries shorter synthesis windows (a window is two hops), as a voice
trained with --split has.
"""

import argparse
import os
import sys
import tempfile

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import evaluate_teachers  # noqa: E402
import festival_teacher  # noqa: E402
import intelligibility  # noqa: E402
import model  # noqa: E402
import prep  # noqa: E402
from train import stft_loss  # noqa: E402


def fit(voice, audio, f0, hop, steps, lr):
    """Envelopes [1, bins, frames] fitted to audio (int16) with f0 [frames] Hz;
    returns (waveform as int16 at 0.9 of full scale, final loss)."""
    n = len(f0)
    target = torch.from_numpy(audio[:n * hop].astype(np.float32) / 32768.0).unsqueeze(0)
    f0 = torch.from_numpy(f0).unsqueeze(0)
    # The network's head starts at these biases too (model.Voice).
    log_h = torch.full((1, voice.nbins, n), -2.0, requires_grad=True)
    log_n = torch.full((1, voice.nbins, n), -6.0, requires_grad=True)
    opt = torch.optim.Adam([log_h, log_n], lr=lr)
    for _ in range(steps):
        loss = stft_loss(voice.synthesize(f0, torch.exp(log_h), torch.exp(log_n), 1.0), target)
        opt.zero_grad()
        loss.backward()
        opt.step()
    with torch.no_grad():
        w = voice.synthesize(f0, torch.exp(log_h), torch.exp(log_n), 1.0)[0].numpy()
    return (w / max(np.abs(w).max(), 1e-6) * 0.9 * 32767).astype(np.int16), float(loss)


def frame_f0(audio, hop):
    """The training data's f0 (prep.pitch on its 256-sample frames, unvoiced
    frames interpolated in log), read at the centres of frames of hop samples."""
    n = len(audio) // prep.HOP
    lf0, _ = prep.interp_log_f0(prep.pitch(audio, n, evaluate_teachers.SR))
    frames = len(audio) // hop
    at = (np.arange(frames) + 0.5) * hop / prep.HOP - 0.5
    return np.exp(np.interp(at, np.arange(n), lf0)).astype(np.float32)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hop", type=int, default=model.HOP,
                    help="samples between synthesis windows: %d or a divisor" % model.HOP)
    ap.add_argument("--steps", type=int, default=300, help="fitting steps per sentence")
    ap.add_argument("--lr", type=float, default=0.1)
    ap.add_argument("--count", type=int, default=0, help="only the first sentences (a quick look)")
    ap.add_argument("-v", action="store_true", help="print each sentence's loss")
    args = ap.parse_args()
    torch.set_num_threads(1)
    if args.hop < 1 or model.HOP % args.hop:
        raise SystemExit("synthesizer_ceiling: --hop must divide %d" % model.HOP)
    voice = model.Voice(1, 8, evaluate_teachers.SR, split=model.HOP // args.hop)
    sentences = intelligibility.read_sentences()
    if args.count:
        sentences = sentences[:args.count]
    tmp = tempfile.mkdtemp(prefix="orvel-ceiling-")
    teacher = [festival_teacher.raise_to_peak(c)
               for c in intelligibility.hts_clips(sentences, os.path.join(tmp, "hts"))]
    fitted, losses = [], []
    for k, audio in enumerate(teacher):
        wave, loss = fit(voice, audio, frame_f0(audio, args.hop), args.hop, args.steps, args.lr)
        fitted.append(wave)
        losses.append(loss)
        if args.v:
            print("sentence %d: loss %.3f" % (k, loss), flush=True)
    for name, clips, folder in (("Festival HTS slt", teacher, "rec-teacher"),
                                ("fitted envelopes, hop %d" % args.hop, fitted, "rec-fitted")):
        hyp = evaluate_teachers.recognise(clips, os.path.join(tmp, folder))
        errors, total = intelligibility.wer(sentences, [" ".join(h) for h in hyp])
        print("%-28s %5.1f %% words wrong" % (name, 100.0 * errors / total))
    print("mean fitted loss %.3f" % np.mean(losses))


if __name__ == "__main__":
    main()
