"""Training's batch draw: a speaker share must change who the steps go to and
nothing else. Needs torch (train.py imports it)."""

import json
import os
import tempfile
import types
import unittest

import numpy as np

from helpers import have

if have("torch"):
    import train


@unittest.skipUnless(have("torch"), "needs python3-torch")
class SpeakerShare(unittest.TestCase):
    def setUp(self):
        # 60/30/10 utterances, the last ten held out (all of speaker 2's but none)
        speaker = np.array([0] * 60 + [1] * 30 + [2] * 10)
        held = np.zeros(100, bool)
        held[55:60] = True
        self.data = types.SimpleNamespace(speakers=["a", "b", "c"], speaker=speaker,
                                          train_idx=np.nonzero(~held)[0])

    def drawn(self, share, batches=400):
        draw = train.batch_drawer(self.data, share)
        rng = np.random.default_rng(3)
        out = [draw(rng, 16) for _ in range(batches)]
        self.assertTrue(all(len(b) == 16 and len(set(b)) == 16 for b in out))
        return np.concatenate(out)

    def test_shares_steer_the_speakers_and_never_reach_held_out(self):
        items = self.drawn("0.5,0.25,0.25")
        share = np.bincount(self.data.speaker[items], minlength=3) / len(items)
        np.testing.assert_allclose(share, [0.5, 0.25, 0.25], atol=0.03)
        self.assertFalse(np.isin(items, np.arange(55, 60)).any())
        only = self.drawn("0,1,0", batches=50)
        self.assertTrue((self.data.speaker[only] == 1).all())

    def test_no_share_draws_by_utterances(self):
        items = self.drawn("")
        share = np.bincount(self.data.speaker[items], minlength=3) / len(items)
        np.testing.assert_allclose(share, [55 / 95, 30 / 95, 10 / 95], atol=0.03)

    def test_bad_shares_are_refused(self):
        for bad in ("0.5,0.5", "1,-1,1", "0,0,0", "x,1,1"):
            with self.assertRaises(SystemExit):
                train.batch_drawer(self.data, bad)


def prepared(folder, name, speakers, utterances, table=None):
    """A tiny prepared set: utterance k of (speaker, ids) has k + 2 frames,
    every sample of it k + 10 * speaker index, so a joined set shows where
    each item's audio came from."""
    hop = train.HOP
    ids, durs, audio, lf0, spk, texts = [], [], [], [], [], []
    id_off, fr_off = [0], [0]
    for k, (who, seq) in enumerate(utterances):
        frames = k + 2
        ids += seq
        durs += [frames] + [0] * (len(seq) - 1)
        audio += [k + 10 * speakers.index(who)] * (frames * hop)
        lf0 += [5.0] * frames
        spk.append(speakers.index(who))
        texts.append("%s %d" % (who, k))
        id_off.append(len(ids))
        fr_off.append(len(lf0))
    path = os.path.join(folder, name)
    np.savez(path, ids=np.asarray(ids, np.int64), durs=np.asarray(durs, np.int32),
             audio=np.asarray(audio, np.int16), lf0=np.asarray(lf0, np.float32),
             voiced=np.ones(len(lf0), bool), id_off=np.asarray(id_off), fr_off=np.asarray(fr_off),
             heldout=np.asarray([k == 0 for k in range(len(spk))]), texts=np.asarray(texts),
             sample_rate=16000, speaker=np.asarray(spk, np.int64), speakers=np.asarray(speakers))
    with open(os.path.splitext(path)[0] + ".map.json", "w", encoding="utf-8") as f:
        json.dump(table or {"_": [0], "^": [1], "$": [2], "a": [4]}, f)
    return path


@unittest.skipUnless(have("torch"), "needs python3-torch")
class JoinedData(unittest.TestCase):
    def test_a_second_set_joins_by_speaker_name(self):
        with tempfile.TemporaryDirectory() as tmp:
            a = prepared(tmp, "a.npz", ["slt", "rms"], [("slt", [1, 4, 2]), ("rms", [1, 5, 6, 2])])
            b = prepared(tmp, "b.npz", ["rms", "slt"], [("slt", [1, 7, 2]), ("rms", [1, 2])])
            data = train.Data(a + "," + b)
        self.assertEqual(data.n, 4)
        self.assertEqual(data.speakers, ["slt", "rms"])
        # b's own speaker indices are the other way round
        self.assertEqual(list(data.speaker), [0, 1, 0, 1])
        self.assertEqual(list(data.item_ids(2)[0]), [1, 7, 2])
        self.assertEqual(list(data.item_ids(3)[0]), [1, 2])
        audio, lf0, _ = data.item_frames(2)
        self.assertEqual(len(lf0), 2)
        self.assertTrue((audio == 10).all())   # b's first item, its speaker 1 in b
        self.assertEqual(list(data.heldout), [True, False, True, False])

    def test_sets_that_do_not_match_are_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            a = prepared(tmp, "a.npz", ["slt"], [("slt", [1, 2])])
            b = prepared(tmp, "b.npz", ["awb"], [("awb", [1, 2])])
            with self.assertRaises(SystemExit):
                train.Data(a + "," + b)
            c = prepared(tmp, "c.npz", ["slt"], [("slt", [1, 2])], {"_": [0], "^": [1], "$": [2], "b": [4]})
            with self.assertRaises(SystemExit):
                train.Data(a + "," + c)


@unittest.skipUnless(have("torch"), "needs python3-torch")
class MelLoss(unittest.TestCase):
    """The log-mel loss is there to weigh the formant range the way a listener
    does: the same width of spectrum lost must cost more low than high."""

    def without(self, audio, lo, hi, rate=16000):
        import torch
        bins = torch.fft.rfft(audio)
        f = torch.fft.rfftfreq(audio.shape[-1], 1.0 / rate)
        bins[..., (f >= lo) & (f < hi)] = 0
        return torch.fft.irfft(bins, n=audio.shape[-1])

    def test_a_hole_among_the_formants_costs_more_than_one_in_the_noise(self):
        import torch
        torch.manual_seed(2)
        target = 0.1 * torch.randn(2, 16000)
        self.assertEqual(float(train.mel_loss(target, target, 16000)), 0.0)
        low = self.without(target, 600, 1100)
        high = self.without(target, 6000, 6500)
        mel_low, mel_high = (float(train.mel_loss(p, target, 16000)) for p in (low, high))
        lin_low, lin_high = (float(train.stft_loss(p, target)) for p in (low, high))
        self.assertGreater(mel_low, 2.5 * mel_high)
        # the linear-bin loss barely tells the two apart, which is why the mel one exists
        self.assertLess(lin_low, 1.5 * lin_high)

    def test_filters_cover_the_band_without_gaps(self):
        fb = train.mel_filters(512, 16000)
        self.assertEqual(tuple(fb.shape), (train.MEL_BANDS, 257))
        used = (fb.sum(0) > 0).nonzero().flatten()
        # every bin from the first to the last band's is heard, up to ~7.6 kHz
        self.assertEqual(int(used[-1] - used[0] + 1), len(used))
        self.assertLessEqual(int(used[0]), 1)
        self.assertGreater(int(used[-1]) * 16000 / 512, 7000)
        self.assertTrue(((fb.max(1).values > 0.5) & (fb.max(1).values <= 1.0)).all())


@unittest.skipUnless(have("torch") and have("onnx"), "needs python3-torch and python3-onnx")
class StartFromVoice(unittest.TestCase):
    """A voice with two synthesis windows a frame, started from an exported
    voice with one: each window's envelope must be the old frame's, read at
    the same frequencies (a swapped axis would scramble bins and windows)."""

    def test_half_windows_start_with_the_old_envelopes(self):
        import os
        import tempfile
        import torch
        import export
        import model
        torch.manual_seed(4)
        table = {"_": [0], "^": [1], "$": [2], "a": [3]}
        old = model.Voice(10, channels=16, sample_rate=16000)
        with torch.no_grad():
            old.env_head.weight.normal_()
            old.env_head.bias.normal_()
        old.eval()
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "old.onnx")
            export.export(old, path, table)
            new = model.Voice(10, channels=16, sample_rate=16000, split=2)
            train.init_from_voice(new, path, table, 16000)
        new.eval()
        x = torch.randn(1, 16, 5)
        with torch.no_grad():
            for half in (0, 1):
                before = old._envelope(x, half)                    # [1, 257, 5]
                after = new._envelope(x, half)                     # [1, 129, 10]
                self.assertEqual(tuple(after.shape), (1, 129, 10))
                torch.testing.assert_close(after[:, :, 0::2], before[:, 0::2], rtol=1e-4, atol=1e-6)
                torch.testing.assert_close(after[:, :, 1::2], before[:, 0::2], rtol=1e-4, atol=1e-6)


if __name__ == "__main__":
    unittest.main()
