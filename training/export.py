"""Exports a checkpoint to the library's model interface.

    /usr/bin/python3 training/export.py --ckpt training/work/ckpt.pt \
        --map training/work/data.map.json --out voices/orvel-en-us.onnx

    /usr/bin/python3 training/export.py --voice voices/orvel-en-us-arctic.onnx \
        --out /tmp/again.onnx

Writes <out> (ONNX, opset 17, IR 8) and <out>.json (the voice configuration).
A multi-speaker voice gets a fourth input, "sid", of optional type: a host
that never picks a speaker feeds three inputs and hears speaker 0. --voice
exports an exported voice again (its weights and configuration), for a graph
change that needs no training. The gate's floor (model.GATE_FLOOR) is kept in
the ONNX file's metadata ("gate_floor"), so exporting again keeps it unless
--gate-floor says otherwise; so is the shortest pause at a comma, semicolon
or colon ("clause_pause", seconds, none by default), which --clause-pause sets.
"""

import argparse
import json
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from model import GATE_FLOOR, HOP, Voice, head_split  # noqa: E402

OPSET = 17
IR_VERSION = 8
DEFAULT_SCALES = (0.667, 1.0, 0.8)
CLAUSE_MARKS = ",;:"


def set_clause_pause(model, table, seconds):
    """Makes the model's clause marks last at least `seconds` (0: as
    predicted). The mark's own frames are the first part of its pause; the gate
    learned them as silence."""
    model.clause_pause = seconds
    if seconds <= 0:
        model.min_frames = None
        return
    floor = torch.zeros(model.embed.num_embeddings)
    frames = round(seconds * model.sample_rate / HOP)
    for mark in CLAUSE_MARKS:
        if mark in table:
            floor[table[mark][0]] = float(frames)
    model.min_frames = floor


def load(ckpt_path):
    ck = torch.load(ckpt_path, map_location="cpu")
    model = Voice(ck["n_symbols"], ck["channels"], ck["sample_rate"], ck.get("n_speakers", 1),
                  ck.get("gate", False), ck.get("split", 1))
    model.load_state_dict(ck["model"])
    model.eval()
    model.speaker_names = list(ck.get("speakers", []))
    return model


def load_exported(onnx_path):
    """The model of an exported voice, rebuilt from its weights (which keep
    their parameter names) and its configuration."""
    import onnx
    from onnx import numpy_helper
    m = onnx.load(onnx_path)
    weights = {t.name: torch.from_numpy(numpy_helper.to_array(t).copy()) for t in m.graph.initializer}
    with open(onnx_path + ".json", encoding="utf-8") as f:
        cfg = json.load(f)
    n_symbols, channels = weights["embed.weight"].shape
    n_speakers = weights["spk.weight"].shape[0] if "spk.weight" in weights else 1
    model = Voice(n_symbols, channels, cfg["audio"]["sample_rate"], n_speakers, "gate_head.weight" in weights,
                  head_split(weights["env_head.weight"].shape[0]))
    state = model.state_dict()
    missing = sorted(set(state) - set(weights))
    if missing:
        raise SystemExit("%s is not a voice of this model: no %s" % (onnx_path, ", ".join(missing)))
    model.load_state_dict({name: weights[name] for name in state})
    meta = {p.key: p.value for p in m.metadata_props}
    model.gate_floor = float(meta.get("gate_floor", GATE_FLOOR))
    set_clause_pause(model, cfg["phoneme_id_map"], float(meta.get("clause_pause", 0)))
    model.eval()
    names = cfg.get("speaker_id_map", {})
    model.speaker_names = sorted(names, key=names.get)
    return model, cfg


def optional_speaker(m):
    """Makes the graph input "sid" optional: absent, the graph uses speaker 0.
    (A stored default, an initializer named like the input, does the same but
    makes ONNX Runtime warn at every load.)"""
    from onnx import TensorProto, helper
    graph = m.graph
    given = [i for i in graph.input if i.name == "sid"][0]
    graph.input.remove(given)
    for node in graph.node:
        for k, name in enumerate(node.input):
            if name == "sid":
                node.input[k] = "sid_or_default"
    tensor = helper.make_tensor_type_proto(TensorProto.INT64, [1])
    graph.input.append(helper.make_value_info("sid", helper.make_optional_type_proto(tensor)))
    take = helper.make_graph([helper.make_node("OptionalGetElement", ["sid"], ["given_sid"])], "given", [],
                             [helper.make_tensor_value_info("given_sid", TensorProto.INT64, [1])])
    zero = helper.make_tensor("zero", TensorProto.INT64, [1], [0])
    default = helper.make_graph([helper.make_node("Constant", [], ["default_sid"], value=zero)], "default", [],
                                [helper.make_tensor_value_info("default_sid", TensorProto.INT64, [1])])
    nodes = [helper.make_node("OptionalHasElement", ["sid"], ["has_sid"]),
             helper.make_node("If", ["has_sid"], ["sid_or_default"], then_branch=take, else_branch=default)]
    for node in reversed(nodes):
        graph.node.insert(0, node)


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
        self.gate_floor = model.gate_floor

    def forward(self, input, input_lengths, scales):
        return self.model(input, input_lengths, scales, torch.zeros_like(input_lengths) + self.speaker)


def export(model, out_path, table, dataset="orvel-en-us", espeak="en-us", language="en-us"):
    import onnx
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
    inner = getattr(model, "model", model)
    props = {}
    if inner.gate:
        props["gate_floor"] = "%g" % inner.gate_floor
    if getattr(inner, "clause_pause", 0) > 0:
        props["clause_pause"] = "%g" % inner.clause_pause
    if props:
        onnx.helper.set_model_props(m, props)
    got = [i.name for i in m.graph.input]
    if got != names:
        raise SystemExit("export lost a graph input: %s" % got)
    if multi:
        optional_speaker(m)
    onnx.checker.check_model(m)
    onnx.save(m, out_path)
    with open(out_path + ".json", "w", encoding="utf-8") as f:
        f.write(config_text(table, model.sample_rate, getattr(model, "speaker_names", []), dataset,
                            espeak, language))


def main():
    ap = argparse.ArgumentParser()
    source = ap.add_mutually_exclusive_group(required=True)
    source.add_argument("--ckpt", help="training checkpoint (with --map)")
    source.add_argument("--voice", help="an exported voice to export again, configuration kept")
    ap.add_argument("--map", help="phoneme map of the checkpoint's data")
    ap.add_argument("--out", required=True)
    ap.add_argument("--dataset", default="orvel-en-us", help="name recorded in the configuration")
    ap.add_argument("--speaker", default="", help="export only this speaker, as a voice of its own")
    ap.add_argument("--espeak", default="en-us", help="the eSpeak NG voice the configuration names")
    ap.add_argument("--language", default="", help="language code of the configuration (default: --espeak)")
    ap.add_argument("--gate-floor", type=float, default=None,
                    help="gate at or below which a frame is silent (default: the voice's own, or %g)"
                    % GATE_FLOOR)
    ap.add_argument("--clause-pause", type=float, default=None,
                    help="shortest pause at , ; : in seconds (default: the voice's own, or none)")
    args = ap.parse_args()
    if args.voice:
        model, cfg = load_exported(args.voice)
        args.dataset, args.espeak = cfg.get("dataset", args.dataset), cfg["espeak"]["voice"]
        args.language = cfg.get("language", {}).get("code", args.espeak)
        table = cfg["phoneme_id_map"]
    else:
        if not args.map:
            raise SystemExit("--ckpt needs --map")
        with open(args.map, encoding="utf-8") as f:
            table = json.load(f)
        model = load(args.ckpt)
    if args.gate_floor is not None:
        model.gate_floor = args.gate_floor
    if args.clause_pause is not None:
        set_clause_pause(model, table, args.clause_pause)
    if args.speaker:
        if args.speaker not in model.speaker_names:
            raise SystemExit("no speaker %r in %s (%s)" % (args.speaker, args.ckpt, ", ".join(model.speaker_names)))
        model = OneSpeaker(model, model.speaker_names.index(args.speaker)).eval()
    export(model, args.out, table, args.dataset, args.espeak, args.language or args.espeak)
    print("export: %s (%.1f MB)" % (args.out, os.path.getsize(args.out) / 1e6))


if __name__ == "__main__":
    main()
