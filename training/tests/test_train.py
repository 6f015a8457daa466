"""Training's batch draw: a speaker share must change who the steps go to and
nothing else. Needs torch (train.py imports it)."""

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
