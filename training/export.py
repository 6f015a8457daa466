"""Exports a checkpoint to the library's model interface.

    /usr/bin/python3 training/export.py --ckpt training/work/ckpt.pt \
        --map training/work/data.map.json --out voices/orvel-en-us.onnx

Writes <out> (ONNX, opset 17, IR 8) and <out>.json (the voice configuration).
A multi-speaker voice gets a fourth input, "sid", whose stored default is
speaker 0: a host that never picks a speaker feeds three inputs and hears it.
"""

import argparse
import json
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from model import Voice  # noqa: E402

OPSET = 17
IR_VERSION = 8
DEFAULT_SCALES = (0.667, 1.0, 0.8)


def load(ckpt_path):
    ck = torch.load(ckpt_path, map_location="cpu")
    model = Voice(ck["n_symbols"], ck["channels"], ck["sample_rate"], ck.get("n_speakers", 1),
                  ck.get("gate", False))
    model.load_state_dict(ck["model"])
    model.eval()
    model.speaker_names = list(ck.get("speakers", []))
    return model


def config_text(table, sample_rate, speakers=(), dataset="orvel-en-us", espeak="en-us", language="en-us"):
    """The voice configuration; one map row per line, markers first."""
    head = {
        "audio": {"sample_rate": sample_rate},
        "espeak": {"voice": espeak},
        "inference": {"noise_scale": DEFAULT_SCALES[0], "length_scale": DEFAULT_SCALES[1],
                      "noise_w": DEFAULT_SCALES[2]},
        "num_speakers": max(len(speakers), 1),
    }
    if len(speakers) > 1:
        head["speaker_id_map"] = {name: k for k, name in enumerate(speakers)}
    head.update({"language": {"code": language}, "dataset": dataset})
    lines = ["  %s: %s" % (json.dumps(k), json.dumps(v, ensure_ascii=False)) for k, v in head.items()]
    rows = ["    %s: %s" % (json.dumps(k, ensure_ascii=False), json.dumps(v))
            for k, v in sorted(table.items(), key=lambda kv: kv[1][0])]
    lines.append('  "phoneme_id_map": {\n' + ",\n".join(rows) + "\n  }")
    return "{\n" + ",\n".join(lines) + "\n}\n"


class OneSpeaker(torch.nn.Module):
    """One speaker of a multi-speaker model as a voice of its own: the
    speaker is part of the graph, which takes the three inputs of a
    single-speaker voice."""

    def __init__(self, model, speaker):
        super().__init__()
        self.model = model
        self.speaker = speaker
        self.n_speakers = 1
        self.sample_rate = model.sample_rate
        self.speaker_names = []

    def forward(self, input, input_lengths, scales):
        return self.model(input, input_lengths, scales, torch.zeros_like(input_lengths) + self.speaker)


def export(model, out_path, table, dataset="orvel-en-us", espeak="en-us", language="en-us"):
    import onnx
    from onnx import numpy_helper
    ids = torch.tensor([[1, 0, 5, 0, 6, 0, 7, 0, 2]], dtype=torch.long)
    lengths = torch.tensor([ids.shape[1]], dtype=torch.long)
    scales = torch.tensor(DEFAULT_SCALES, dtype=torch.float32)
    inputs = (ids, lengths, scales)
    names = ["input", "input_lengths", "scales"]
    multi = model.n_speakers > 1
    if multi:
        inputs = inputs + (torch.tensor([0], dtype=torch.long),)
        names.append("sid")
    with torch.no_grad():
        torch.onnx.export(model, inputs, out_path, opset_version=OPSET,
                          input_names=names, output_names=["output"],
                          dynamic_axes={"input": {1: "phonemes"}, "output": {2: "samples"}},
                          do_constant_folding=False)
    m = onnx.load(out_path)
    m.ir_version = IR_VERSION
    m.producer_name = "orvel-training"
    got = [i.name for i in m.graph.input]
    if got != names:
        raise SystemExit("export lost a graph input: %s" % got)
    if multi:
        # An initializer of the same name makes "sid" optional, defaulting to speaker 0.
        import numpy as np
        m.graph.initializer.append(numpy_helper.from_array(np.zeros(1, np.int64), "sid"))
    onnx.checker.check_model(m)
    onnx.save(m, out_path)
    with open(out_path + ".json", "w", encoding="utf-8") as f:
        f.write(config_text(table, model.sample_rate, getattr(model, "speaker_names", []), dataset,
                            espeak, language))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--ckpt", required=True)
    ap.add_argument("--map", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--dataset", default="orvel-en-us", help="name recorded in the configuration")
    ap.add_argument("--speaker", default="", help="export only this speaker, as a voice of its own")
    ap.add_argument("--espeak", default="en-us", help="the eSpeak NG voice the configuration names")
    ap.add_argument("--language", default="", help="language code of the configuration (default: --espeak)")
    args = ap.parse_args()
    with open(args.map, encoding="utf-8") as f:
        table = json.load(f)
    model = load(args.ckpt)
    if args.speaker:
        if args.speaker not in model.speaker_names:
            raise SystemExit("no speaker %r in %s (%s)" % (args.speaker, args.ckpt, ", ".join(model.speaker_names)))
        model = OneSpeaker(model, model.speaker_names.index(args.speaker)).eval()
    export(model, args.out, table, args.dataset, args.espeak, args.language or args.espeak)
    print("export: %s (%.1f MB)" % (args.out, os.path.getsize(args.out) / 1e6))


if __name__ == "__main__":
    main()
