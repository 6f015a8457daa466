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


if __name__ == "__main__":
    unittest.main()
