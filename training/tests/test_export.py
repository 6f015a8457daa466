"""Export: the ONNX graph must keep the model interface and compute what torch
computes. Needs torch and python3-onnx; the parity check also needs a build of
the library (ONNX Runtime runs the graph the way hosts run it)."""

import json
import math
import os
import sys
import tempfile
import unittest

import numpy as np

from helpers import CONFIG, built_library, have, python_ids, shared_engine

if have("torch"):
    import torch
    import export
    import model as voice_model


class captured_stderr:
    """What the process writes on file descriptor 2 meanwhile (ONNX Runtime
    logs there, beneath Python)."""

    def __enter__(self):
        sys.stderr.flush()
        self.file = tempfile.TemporaryFile()
        self.saved = os.dup(2)
        os.dup2(self.file.fileno(), 2)
        return self

    def __exit__(self, *exc):
        os.dup2(self.saved, 2)
        os.close(self.saved)

    def text(self):
        self.file.seek(0)
        return self.file.read().decode("utf-8", "replace")


def small_voice(n_symbols=60, seed=3, split=1):
    """An untrained voice whose durations and envelopes are sensible enough to
    give a few seconds of non-trivial audio."""
    torch.manual_seed(seed)
    m = voice_model.Voice(n_symbols, channels=32, split=split)
    with torch.no_grad():
        last = m.dur[-1]
        last.weight.mul_(0.1)
        last.bias.fill_(math.log(1 + 4.0))
        m.env_head.weight.mul_(0.3)
        m.f0_head.bias.fill_(0.0)
    m.eval()
    return m


@unittest.skipUnless(have("torch") and have("onnx"), "needs python3-torch and python3-onnx")
class Export(unittest.TestCase):
    split = 1

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.table = {"_": [0], "^": [1], "$": [2]}
        if os.path.exists(CONFIG):
            with open(CONFIG, encoding="utf-8") as f:
                self.table = json.load(f)["phoneme_id_map"]
        self.path = os.path.join(self.tmp.name, "v.onnx")
        self.model = small_voice(max(60, max(v[0] for v in self.table.values()) + 1), split=self.split)
        export.export(self.model, self.path, self.table)

    def test_interface(self):
        import onnx
        m = onnx.load(self.path)
        self.assertEqual(m.ir_version, 8)
        self.assertLessEqual(max(o.version for o in m.opset_import if o.domain in ("", "ai.onnx")), 17)
        self.assertEqual([i.name for i in m.graph.input], ["input", "input_lengths", "scales"])
        self.assertEqual([o.name for o in m.graph.output], ["output"])
        ops = {n.op_type for n in m.graph.node}
        self.assertIn("ScatterElements", ops)  # frame expansion without a frames x ids table

    def test_lengths_mask_the_ids(self):
        ids = torch.tensor([[1, 0, 5, 0, 6, 0, 2, 9, 9, 9]])
        scales = torch.tensor([0.0, 1.0, 0.0])
        with torch.no_grad():
            short = self.model(ids[:, :7], torch.tensor([7]), scales)
            padded = self.model(ids, torch.tensor([7]), scales)
        self.assertEqual(short.shape, padded.shape)
        # Equal up to float rounding (the convs sum in another order).
        self.assertLess(float((short - padded).abs().max()), 2e-3 * float(short.abs().max()))

    def test_synthesis_in_chunks_is_the_one_step_synthesis(self):
        # Chunk borders need the pulses and envelopes of the frames beside
        # them; an off-by-one there clicks at every border of a long request.
        torch.manual_seed(2)
        frames = 53
        f0 = 90.0 + 80.0 * torch.rand(2, frames)
        henv = torch.rand(2, self.model.nbins, frames)
        nenv = torch.rand(2, self.model.nbins, frames)
        whole = self.model.synthesize(f0, henv, nenv, 0.0)
        self.assertEqual(whole.shape, (2, frames * self.model.syn_hop))
        for chunk in (1, 7, 52, 53, 1024):
            got = self.model.synthesize(f0, henv, nenv, 0.0, chunk)
            self.assertEqual(got.shape, whole.shape)
            self.assertLess(float((got - whole).abs().max()), 1e-5 * float(whole.abs().max()), chunk)

    def test_the_graph_loops_over_chunks(self):
        import onnx
        ops = [n.op_type for n in onnx.load(self.path).graph.node]
        self.assertIn("Loop", ops)  # a traced loop would be unrolled for one length

    def test_expansion_matches_training(self):
        durs = torch.tensor([2, 0, 3, 1, 0, 0, 4, 1])
        ends = torch.cumsum(durs, 0)
        total = int(ends[-1])
        t = torch.arange(total)
        marks = torch.zeros_like(t).scatter_add(0, torch.clamp(ends, max=total - 1),
                                                (ends < total).long())
        graph_idx = torch.cumsum(marks, 0)
        train_idx, _, _ = voice_model.frame_features(durs, 0, total)
        self.assertEqual(graph_idx.tolist(), train_idx.tolist())
        self.assertEqual(graph_idx.tolist(), [0, 0, 2, 2, 2, 3, 6, 6, 6, 6, 7])

    @unittest.skipUnless(have("torch") and built_library.find() and os.path.exists(CONFIG),
                         "needs a build of the library and voices/orvel-en-us.onnx.json")
    def test_onnx_runtime_matches_torch(self):
        # Noise off on both sides, so the waveform is deterministic.
        with open(CONFIG, encoding="utf-8") as f:
            cfg = json.load(f)
        cfg["inference"].update({"noise_scale": 0.0, "noise_w": 0.0})
        config = os.path.join(self.tmp.name, "v.onnx.json")
        with open(config, "w", encoding="utf-8") as f:
            json.dump(cfg, f, ensure_ascii=False)
        text = "Seven quiet birds sang near the river bank."
        ids = python_ids([text], config)[0]
        with torch.no_grad():
            ref = self.model(torch.tensor([ids]), torch.tensor([len(ids)]),
                             torch.tensor([0.0, 1.0, 0.0]))[0, 0].numpy()
        with shared_engine().load_voice(self.path, config) as voice:
            got = voice.speak(text, numpy=True).astype(np.float64)
        self.assertEqual(len(got), len(ref))
        ref = ref / max(np.abs(ref).max(), 0.01) * 32767.0
        err = np.abs(got - ref)
        # The pulses' phase sums f0 over the request, so float32 rounding of
        # f0 (an ulp either way, as the two runtimes round) moves late pulses a
        # little: a few samples next to a pulse peak differ by a few per cent,
        # everywhere else they agree.
        self.assertLess(err.max(), 0.05 * 32767)
        self.assertLess(err.mean(), 0.0005 * 32767)


class ExportHalfWindows(Export):
    """The same checks on a voice whose frames each give two synthesis
    windows (a transposed conv and reshapes the exporter must keep)."""
    split = 2

    def test_exported_again_it_keeps_its_windows(self):
        with torch.no_grad():  # untrained norms are all alike, and the exporter would share them
            for name, p in self.model.named_parameters():
                if name.endswith((".gamma", ".beta")):
                    p.add_(0.01 * torch.randn_like(p))
        path = os.path.join(self.tmp.name, "distinct.onnx")
        export.export(self.model, path, self.table)
        model, _ = export.load_exported(path)
        self.assertEqual(model.split, 2)
        ids = torch.tensor([[1, 0, 5, 0, 6, 0, 2]])
        quiet = torch.tensor([0.0, 1.0, 0.0])
        with torch.no_grad():
            self.assertTrue(torch.equal(model(ids, torch.tensor([7]), quiet),
                                        self.model(ids, torch.tensor([7]), quiet)))


@unittest.skipUnless(have("torch") and have("onnx"), "needs python3-torch and python3-onnx")
class MultiSpeaker(unittest.TestCase):
    """Speaker embedding, the optional "sid" input and the silence gate."""

    def setUp(self):
        torch.manual_seed(5)
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        m = voice_model.Voice(60, channels=32, sample_rate=16000, n_speakers=3, gate=True)
        with torch.no_grad():
            m.dur[-1].weight.mul_(0.1)
            m.dur[-1].bias.fill_(math.log(1 + 4.0))
            m.env_head.weight.mul_(0.3)
            m.gate_head.bias.fill_(4.0)  # open: every frame speaks
            m.spk.weight.mul_(3.0)
            # untrained norms are all alike, and the exporter would share them
            for name, p in m.named_parameters():
                if name.endswith((".gamma", ".beta")):
                    p.add_(0.01 * torch.randn_like(p))
        m.eval()
        m.speaker_names = ["slt", "rms", "awb"]
        self.model = m
        self.ids = torch.tensor([[1, 0, 5, 0, 6, 0, 7, 0, 8, 0, 2]])
        self.quiet = torch.tensor([0.0, 1.0, 0.0])

    def run_model(self, sid):
        with torch.no_grad():
            return self.model(self.ids, torch.tensor([self.ids.shape[1]]), self.quiet,
                              torch.tensor([sid]))[0, 0]

    def test_speakers_differ_and_out_of_range_is_clamped(self):
        a, b = self.run_model(0), self.run_model(1)
        self.assertFalse(a.shape == b.shape and torch.allclose(a, b))
        self.assertTrue(torch.equal(self.run_model(2), self.run_model(99)))

    def test_the_leading_silence_is_silent_under_an_open_gate(self):
        # "^" holds the teacher's leading silence; a gate unsure there clicked.
        with torch.no_grad():
            _, logd = self.model.encode(self.ids, torch.ones(1, 1, self.ids.shape[1]), torch.tensor([0]))
        lead = int(torch.round(torch.exp(logd[0, 0]) - 1))
        self.assertGreater(lead, 2)
        out = self.run_model(0)
        hop = voice_model.HOP
        self.assertEqual(float(out[:(lead - 1) * hop].abs().max()), 0.0)
        self.assertGreater(float(out[lead * hop:(lead + 2) * hop].abs().max()), 0.0)

    def test_a_closed_gate_silences_every_frame(self):
        with torch.no_grad():
            self.model.gate_head.bias.fill_(-8.0)
        self.assertEqual(float(self.run_model(0).abs().max()), 0.0)

    def test_the_gate_floor_is_the_voices_own_and_survives_export(self):
        # An unsure gate (0.3 on every frame, as on a weak consonant) is
        # silenced by the default floor and passed, scaled, by a lower one.
        with torch.no_grad():
            self.model.gate_head.weight.zero_()
            self.model.gate_head.bias.fill_(math.log(0.3 / 0.7))
        self.assertEqual(float(self.run_model(0).abs().max()), 0.0)
        self.model.gate_floor = 0.2
        unsure = self.run_model(0)
        self.assertGreater(float(unsure.abs().max()), 0.0)
        path = os.path.join(self.tmp.name, "floor.onnx")
        export.export(self.model, path, {"_": [0], "^": [1], "$": [2]})
        again, _ = export.load_exported(path)
        self.assertEqual(again.gate_floor, 0.2)
        # and a voice exported before the floor was recorded keeps the default
        import onnx
        m = onnx.load(path)
        del m.metadata_props[:]
        onnx.save(m, path)
        self.assertEqual(export.load_exported(path)[0].gate_floor, voice_model.GATE_FLOOR)

    def test_the_clause_pause_lengthens_short_marks_only_and_survives_export(self):
        table = {"_": [0], "^": [1], "$": [2], ",": [5], ";": [7]}
        with torch.no_grad():
            h, logd = self.model.encode(self.ids, torch.ones(1, 1, self.ids.shape[1]), torch.tensor([0]))
        predicted = torch.round(torch.clamp(torch.exp(logd) - 1, min=0))[0]
        base = len(self.run_model(0))
        export.set_clause_pause(self.model, table, 10 * voice_model.HOP / 16000)
        # the comma (id 5) and the semicolon (id 7) are raised to 10 frames
        grown = sum(10 - int(predicted[k]) for k in (2, 6))
        self.assertEqual(len(self.run_model(0)) - base, grown * voice_model.HOP)
        # the length scale scales the floor too
        with torch.no_grad():
            slow = self.model(self.ids, torch.tensor([self.ids.shape[1]]), torch.tensor([0.0, 2.0, 0.0]),
                              torch.tensor([0]))[0, 0]
        self.assertEqual(len(slow), 2 * len(self.run_model(0)))
        path = os.path.join(self.tmp.name, "pause.onnx")
        export.export(self.model, path, table)
        again, _ = export.load_exported(path)
        self.assertEqual(again.clause_pause, self.model.clause_pause)
        self.assertTrue(torch.equal(again.min_frames, self.model.min_frames))
        # a floor below what the voice predicts changes nothing
        export.set_clause_pause(self.model, table, voice_model.HOP / 16000)
        self.assertEqual(len(self.run_model(0)), base)
        export.set_clause_pause(self.model, table, 0)
        self.assertIsNone(self.model.min_frames)

    def test_export_makes_sid_optional_and_names_the_speakers(self):
        import onnx
        path = os.path.join(self.tmp.name, "m.onnx")
        export.export(self.model, path, {"_": [0], "^": [1], "$": [2]}, "test-set")
        m = onnx.load(path)
        self.assertEqual([i.name for i in m.graph.input], ["input", "input_lengths", "scales", "sid"])
        # Optional by its type, not by a stored default (ONNX Runtime warns about those).
        self.assertTrue(m.graph.input[3].type.HasField("optional_type"))
        self.assertFalse([t for t in m.graph.initializer if t.name == "sid"])
        with open(path + ".json", encoding="utf-8") as f:
            cfg = json.load(f)
        self.assertEqual(cfg["num_speakers"], 3)
        self.assertEqual(cfg["speaker_id_map"], {"slt": 0, "rms": 1, "awb": 2})
        self.assertEqual(cfg["audio"]["sample_rate"], 16000)
        self.assertEqual(cfg["dataset"], "test-set")

    def test_one_speaker_exports_as_a_voice_of_its_own(self):
        import onnx
        path = os.path.join(self.tmp.name, "one.onnx")
        one = export.OneSpeaker(self.model, 1).eval()
        export.export(one, path, {"_": [0], "^": [1], "$": [2]}, "one-set", espeak="cs", language="cs")
        m = onnx.load(path)
        self.assertEqual([i.name for i in m.graph.input], ["input", "input_lengths", "scales"])
        self.assertFalse([t for t in m.graph.initializer if t.name == "sid"])
        with open(path + ".json", encoding="utf-8") as f:
            cfg = json.load(f)
        self.assertEqual(cfg["num_speakers"], 1)
        self.assertNotIn("speaker_id_map", cfg)
        self.assertEqual((cfg["espeak"]["voice"], cfg["language"]["code"]), ("cs", "cs"))
        # It speaks as that speaker, not as speaker 0.
        with torch.no_grad():
            got = one(self.ids, torch.tensor([self.ids.shape[1]]), self.quiet)[0, 0]
        self.assertTrue(torch.allclose(got, self.run_model(1)))
        self.assertFalse(got.shape == self.run_model(0).shape and torch.allclose(got, self.run_model(0)))

    @unittest.skipUnless(have("torch") and built_library.find(), "needs a build of the library")
    def test_library_default_speaker_is_speaker_0(self):
        path = os.path.join(self.tmp.name, "m.onnx")
        table = {"_": [0], "^": [1], "$": [2], " ": [3]}
        table.update({c: [4 + k] for k, c in enumerate("abcdefghijklmnopqrstuvwxyzˈəɪɛæʊɹ")})
        export.export(self.model, path, table)
        with open(path + ".json", encoding="utf-8") as f:
            cfg = json.load(f)
        cfg["inference"].update({"noise_scale": 0.0, "noise_w": 0.0})
        with open(path + ".json", "w", encoding="utf-8") as f:
            json.dump(cfg, f, ensure_ascii=False)
        with captured_stderr() as log:
            voice = shared_engine().load_voice(path)
        self.assertNotIn("Initializer", log.text())
        with voice:
            default = voice.speak("Bed and bread.", numpy=True)
            voice.set_speaker(0)
            zero = voice.speak("Bed and bread.", numpy=True)
            voice.set_speaker(1)
            one = voice.speak("Bed and bread.", numpy=True)
        self.assertGreater(len(default), 0)
        self.assertTrue(np.array_equal(default, zero))
        self.assertFalse(len(one) == len(zero) and np.array_equal(one, zero))


if __name__ == "__main__":
    unittest.main()
