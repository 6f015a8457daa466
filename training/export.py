"""Exports a checkpoint to the library's model interface.

    /usr/bin/python3 training/export.py --ckpt training/work/ckpt.pt \
        --map training/work/data.map.json --out voices/orvel-en-us.onnx

Writes <out> (ONNX, opset 17, IR 8) and <out>.json (the voice configuration).
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
    model = Voice(ck["n_symbols"], ck["channels"], ck["sample_rate"])
    model.load_state_dict(ck["model"])
    model.eval()
    return model


def config_text(table, sample_rate):
    """The voice configuration; one map row per line, markers first."""
    head = {
        "audio": {"sample_rate": sample_rate},
        "espeak": {"voice": "en-us"},
        "inference": {"noise_scale": DEFAULT_SCALES[0], "length_scale": DEFAULT_SCALES[1],
                      "noise_w": DEFAULT_SCALES[2]},
        "num_speakers": 1,
        "language": {"code": "en-us"},
        "dataset": "orvel-en-us",
    }
    lines = ["  %s: %s" % (json.dumps(k), json.dumps(v, ensure_ascii=False)) for k, v in head.items()]
    rows = ["    %s: %s" % (json.dumps(k, ensure_ascii=False), json.dumps(v))
            for k, v in sorted(table.items(), key=lambda kv: kv[1][0])]
    lines.append('  "phoneme_id_map": {\n' + ",\n".join(rows) + "\n  }")
    return "{\n" + ",\n".join(lines) + "\n}\n"


def export(model, out_path, table):
    import onnx
    ids = torch.tensor([[1, 0, 5, 0, 6, 0, 7, 0, 2]], dtype=torch.long)
    lengths = torch.tensor([ids.shape[1]], dtype=torch.long)
    scales = torch.tensor(DEFAULT_SCALES, dtype=torch.float32)
    with torch.no_grad():
        torch.onnx.export(model, (ids, lengths, scales), out_path, opset_version=OPSET,
                          input_names=["input", "input_lengths", "scales"],
                          output_names=["output"],
                          dynamic_axes={"input": {1: "phonemes"}, "output": {2: "samples"}},
                          do_constant_folding=False)
    m = onnx.load(out_path)
    m.ir_version = IR_VERSION
    m.producer_name = "orvel-training"
    names = [i.name for i in m.graph.input]
    if names != ["input", "input_lengths", "scales"]:
        raise SystemExit("export lost a graph input: %s" % names)
    onnx.checker.check_model(m)
    onnx.save(m, out_path)
    with open(out_path + ".json", "w", encoding="utf-8") as f:
        f.write(config_text(table, model.sample_rate))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--ckpt", required=True)
    ap.add_argument("--map", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    with open(args.map, encoding="utf-8") as f:
        table = json.load(f)
    model = load(args.ckpt)
    export(model, args.out, table)
    print("export: %s (%.1f MB)" % (args.out, os.path.getsize(args.out) / 1e6))


if __name__ == "__main__":
    main()
