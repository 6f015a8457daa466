#!/usr/bin/python3
"""Generates the project's own test voices: small ONNX models and their JSON
configurations (<name>.onnx and <name>.onnx.json) in the folder given by --out.

Run with Debian's interpreter, which sees python3-onnx and python3-numpy:

    /usr/bin/python3 tools/make_test_voices.py --out build/test-voices

Models are written with IR version 8 and opset 13, which ONNX Runtime 1.22
loads. Every voice takes the usual inputs ("input" int64 [1,N],
"input_lengths" int64 [1], "scales" float [3] = noise scale, length scale,
noise width; multi-speaker voices also "sid" int64 [1]) and returns "output",
float [1,1,T], unless its purpose is to break one of those rules.

Voices
------
probe              Echoes what synthesis passed: the ids, their count, the
                   three scales (see "Probe encoding" below). 22050 Hz, one
                   speaker, config scales 0.667 / 1.0 / 0.8.
probe_multi        The same with a required "sid" input and "num_speakers": 4
                   in its config. Run without "sid", ONNX Runtime fails with
                   "... Missing Input: sid" (and logs an error line).
probe_multi_default_sid
                   Like probe_multi, but "sid" defaults to -1 when not fed, so
                   a run without a speaker succeeds and reports sid -1. ONNX
                   Runtime logs a warning line on stderr when loading it
                   ("Initializer sid appears in graph inputs ...").
fixed_half         Constant [0.5, -0.5, -0.25, 0.25, 0.0]: peak 0.5, scale 65534.
fixed_quiet        Constant [0.005, -0.005, 0.0025]: peak below the 0.01 floor.
fixed_zeros        100 zeros: the peak stays at the 0.01 floor.
fixed_inf          Constant [0.5, +inf, -0.25]: infinite peak, scale 0.
fixed_nan          Constant [0.5, NaN, -0.25]: NaN converts to 0.
fixed_empty        Output shaped [1,1,0]: no samples.
fixed_1s           22050 samples of a 440 Hz sine at amplitude 0.8 (1 s).
fixed_16k          16000 samples of a 440 Hz sine at 16000 Hz (1 s).
no_audio_section   Like fixed_half, but its config has no "audio" section (and
                   no "num_speakers"), so the defaults apply.
bad_int64_output   "output" is an int64 tensor [1,1,N].
bad_scalar_output  "output" is a float tensor with no dimension.
bad_no_output_name The float waveform is named "audio", not "output".
bad_input_names    Inputs named "x", "x_lengths", "x_scales".
bad_not_onnx       A text file with the .onnx suffix (ONNX Runtime refuses it).
probe_broken_config  The probe model with no config beside it, so loading
                   with the default config path fails.
probe_bad_config   The probe model with a config that is a JSON array, which
                   the config reader refuses.
languages/         Probe voices whose configurations name other languages, for
                   choosing and listing voices by language (a folder of their
                   own, so the folder above keeps only English voices). Each
                   has its own configured noise scale, which the probe echoes,
                   so the output tells which voice spoke:
                   czech_a (0.111), czech_b (0.112)  "espeak" cs, no "language": cs
                   czech_cz (0.113)      "language" cs_CZ, "espeak" cs: cs-cz
                   russian (0.114)       "espeak" ru: ru
                   british (0.115)       "language" en-GB, "espeak" en-gb-x-rp
                   plain (0.116)         neither section: en-us, the library's
                                         default eSpeak NG voice
                   russian_multi (0.117) like probe_multi (4 speakers, named
                                         "anna" and "boris" for 0 and 1), "espeak" ru
bench_conv         A compute-realistic voice for the benchmarks: embedding,
                   masked 1-D convolutions, then transposed convolutions that
                   upsample each id to 256 samples (x8, x8, x4) with residual
                   convolutions at every rate, and tanh. Random weights with a
                   fixed seed, about 4 MB, about 2 GFLOP per second of audio
                   at 22050 Hz. "input_lengths" masks the ids past the length,
                   "scales"[0] sets the feature gain.

The fixed and bad voices read only the shapes of their inputs, never the
values, so any ids and scales (NaN included) give the same waveform. Every
voice but the two probe_*_config helpers has a valid config; all share the probe
phoneme-id map ("_" 0, "^" 1, "$" 2, then one distinct id per symbol, below
200), which tests/probe_voice.h mirrors as kProbePhonemeIds.

Probe encoding
--------------
The output is T = 6 + N samples, where N is the length of "input":

    [ref, len, sid, noise, length, noise_w, id_0 ... id_(N-1)]

ref is 1.0, larger in magnitude than every other sample, so the library's peak
normalisation uses peak 1.0 and scale 32767. Every other slot holds an integer
v, clipped to [-32766, 32766] and written as (v + 0.5*sign(v)) / 32767, so
truncating the product with 32767 gives v back exactly. len is the value of
"input_lengths", sid the value of "sid" (-1 when the model has no "sid"
input, or for probe_multi_default_sid when it was not fed), and each scale is
round(s * 1000), rounded half to even, so scales come back to a resolution of
0.001. Ids 0..255, counts up to 4096 and scales in [-10, 10] therefore come
back exactly; larger magnitudes are clipped, a NaN scale reads as 0. The
generator proves the round trip in float32 for every integer in the range
before it writes anything; tests/probe_voice.h holds the matching decoder.
"""

import argparse
import json
import math
import os
import re
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

IR_VERSION = 8
OPSET = 13

DEFAULT_SAMPLE_RATE = 22050
DEFAULT_SCALES = (0.667, 1.0, 0.8)

# Probe encoding constants; tests/probe_voice.h carries the same values.
PROBE_HEADER = 6              # ref, len, sid, three scales
PROBE_FULL_SCALE = 32767.0    # the library's int16 full scale
PROBE_LIMIT = 32766           # largest magnitude an encoded integer may have
PROBE_SCALE_RESOLUTION = 1000.0
PROBE_NO_SID = -1

# ---------------------------------------------------------------------------
# Phoneme-id map
# ---------------------------------------------------------------------------

MARKER_IDS = {"_": 0, "^": 1, "$": 2}

# Symbols after the markers, each getting the next id from 3 on: ASCII that
# can appear in phoneme strings, then the IPA eSpeak NG writes for English
# (and a few more for other voices), combining marks included.
PROBE_SYMBOLS = (
    [" ", "!", "\"", "'", "(", ")", ",", "-", ".", ":", ";", "?"]
    + [chr(c) for c in range(ord("a"), ord("z") + 1)]
    + [chr(c) for c in range(ord("A"), ord("Z") + 1)]
    + [chr(c) for c in range(ord("0"), ord("9") + 1)]
    + list("əɪʊɛæɑɔʌɜɚɐɹɾʃʒθðŋɡʔˈˌːᵻɬʲ")
    + list("ɒɝɫʍɣχçɲʎʁʀɕʑɨʉɯɤøœɵʏɘɞɶʰʷˑɦɰʋɭɳʂʐɻβɸ")
    + ["\u0303", "\u0329", "\u032a", "\u0361", "\u203f"]
)


def probe_phoneme_id_map():
    """The map used by every test voice: symbol -> [id]."""
    id_map = {symbol: [pid] for symbol, pid in MARKER_IDS.items()}
    next_id = max(MARKER_IDS.values()) + 1
    for symbol in PROBE_SYMBOLS:
        assert symbol not in id_map, "duplicate symbol %r" % symbol
        id_map[symbol] = [next_id]
        next_id += 1
    assert next_id <= 200
    return id_map


# ---------------------------------------------------------------------------
# Writing voices
# ---------------------------------------------------------------------------

def make_config(sample_rate=DEFAULT_SAMPLE_RATE, num_speakers=1, scales=DEFAULT_SCALES,
                espeak_voice="en-us", with_audio=True, phoneme_id_map=None, language_code=None):
    """A voice configuration as a dict. num_speakers or espeak_voice None
    leaves it out; language_code adds a "language" section."""
    config = {}
    if language_code is not None:
        config["language"] = {"code": language_code}
    if espeak_voice is not None:
        config["espeak"] = {"voice": espeak_voice}
    config["inference"] = {"noise_scale": scales[0], "length_scale": scales[1],
                           "noise_w": scales[2]}
    if with_audio:
        config["audio"] = {"sample_rate": sample_rate}
    if num_speakers is not None:
        config["num_speakers"] = num_speakers
    config["phoneme_id_map"] = (phoneme_id_map if phoneme_id_map is not None
                                else probe_phoneme_id_map())
    return config


def config_text(config):
    """JSON text with one member per line and one map row per line."""
    def dump(value):
        return json.dumps(value, ensure_ascii=False)

    lines = []
    for key, value in config.items():
        if key == "phoneme_id_map":
            rows = ["    %s: %s" % (dump(k), dump(v)) for k, v in value.items()]
            lines.append('  "phoneme_id_map": {\n' + ",\n".join(rows) + "\n  }")
        else:
            lines.append("  %s: %s" % (dump(key), dump(value)))
    return "{\n" + ",\n".join(lines) + "\n}\n"


def write_config(path, config):
    with open(path, "w", encoding="utf-8") as f:
        f.write(config_text(config))


def write_model(path, model):
    onnx.checker.check_model(model)
    onnx.save(model, path)


def write_voice(out_dir, name, model, config):
    """Writes <name>.onnx and, unless config is None, <name>.onnx.json."""
    model_path = os.path.join(out_dir, name + ".onnx")
    write_model(model_path, model)
    if config is not None:
        write_config(model_path + ".json", config)
    return model_path


# ---------------------------------------------------------------------------
# Graph building
# ---------------------------------------------------------------------------

class Graph:
    """Collects nodes and constants of one graph; names are made unique."""

    def __init__(self):
        self.nodes = []
        self.initializers = []
        self._count = 0

    def _name(self, hint):
        self._count += 1
        return "%s_%d" % (hint, self._count)

    def const(self, values, dtype, hint="const"):
        name = self._name(hint)
        self.initializers.append(numpy_helper.from_array(np.asarray(values, dtype=dtype), name))
        return name

    def op(self, op_type, inputs, hint=None, **attrs):
        out = self._name(hint or op_type.lower())
        self.nodes.append(helper.make_node(op_type, inputs, [out], **attrs))
        return out

    def op_to(self, op_type, inputs, output, **attrs):
        self.nodes.append(helper.make_node(op_type, inputs, [output], **attrs))
        return output

    def model(self, name, inputs, outputs, extra_initializers=()):
        graph = helper.make_graph(self.nodes, name, inputs, outputs,
                                  initializer=list(extra_initializers) + self.initializers)
        model = helper.make_model(graph, producer_name="orvel-test-voices",
                                  opset_imports=[helper.make_opsetid("", OPSET)])
        model.ir_version = IR_VERSION
        return model


def voice_inputs(multi_speaker=False, names=("input", "input_lengths", "scales")):
    """The graph inputs of a voice model; "sid" is added for multi-speaker."""
    inputs = [
        helper.make_tensor_value_info(names[0], TensorProto.INT64, [1, "N"]),
        helper.make_tensor_value_info(names[1], TensorProto.INT64, [1]),
        helper.make_tensor_value_info(names[2], TensorProto.FLOAT, [3]),
    ]
    if multi_speaker:
        inputs.append(helper.make_tensor_value_info("sid", TensorProto.INT64, [1]))
    return inputs


def waveform_output(name="output", length="T"):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, 1, length])


def shape_anchor(g, input_names):
    """An int64 [1] zero computed from the shapes of the given inputs, so each
    input has a consumer without its values touching the result (a NaN or
    infinite scale cannot leak into a constant waveform)."""
    shapes = [g.op("Shape", [name]) for name in input_names]
    total = g.op("ReduceSum", [g.op("Concat", shapes, axis=0)], keepdims=1)
    return g.op("Mul", [total, g.const([0], np.int64)], hint="anchor")


# ---------------------------------------------------------------------------
# Probe voices
# ---------------------------------------------------------------------------

def probe_encode(g, values):
    """float values (integer-valued) -> (clip(v) + 0.5*sign(v)) / 32767."""
    clipped = g.op("Clip", [values, g.const(-PROBE_LIMIT, np.float32),
                            g.const(PROBE_LIMIT, np.float32)])
    half = g.op("Mul", [g.op("Sign", [clipped]), g.const(0.5, np.float32)])
    return g.op("Div", [g.op("Add", [clipped, half]), g.const(PROBE_FULL_SCALE, np.float32)])


def probe_model(multi_speaker=False, optional_sid=False, name="probe"):
    """Output [1, 1, 6 + N]: ref, len, sid, three scales, ids (encoded).
    optional_sid gives "sid" a default value (-1), so the model also runs
    without it; ONNX Runtime then logs a warning when it loads the model."""
    g = Graph()
    extra = []
    ids = g.op("Reshape", [g.op("Cast", ["input"], to=TensorProto.FLOAT),
                           g.const([-1], np.int64)], hint="ids")
    length = g.op("Cast", ["input_lengths"], to=TensorProto.FLOAT, hint="len")
    if multi_speaker:
        if optional_sid:
            # An initializer of the same name makes the input overridable.
            extra.append(numpy_helper.from_array(np.array([PROBE_NO_SID], np.int64), "sid"))
        sid = g.op("Cast", ["sid"], to=TensorProto.FLOAT, hint="sid")
    else:
        sid = g.const([PROBE_NO_SID], np.float32, hint="no_sid")
    scales = g.op("Round", [g.op("Mul", ["scales", g.const(PROBE_SCALE_RESOLUTION, np.float32)])],
                  hint="scales_milli")
    encoded = probe_encode(g, g.op("Concat", [length, sid, scales, ids], axis=0))
    flat = g.op("Concat", [g.const([1.0], np.float32, hint="ref"), encoded], axis=0)
    g.op_to("Reshape", [flat, g.const([1, 1, -1], np.int64)], "output")
    return g.model(name, voice_inputs(multi_speaker), [waveform_output()], extra)


def probe_decode_samples(samples):
    """Python twin of decode_probe in tests/probe_voice.h (for the self-check)."""
    assert samples[0] == int(PROBE_FULL_SCALE)
    return {"n": int(samples[1]), "sid": int(samples[2]),
            "scales_milli": [int(s) for s in samples[3:6]],
            "ids": [int(s) for s in samples[PROBE_HEADER:]]}


# ---------------------------------------------------------------------------
# Fixed-waveform and broken voices
# ---------------------------------------------------------------------------

def fixed_model(samples, name, output_name="output", input_names=("input", "input_lengths", "scales")):
    """Returns the given samples as [1, 1, len(samples)] whatever the inputs hold."""
    samples = np.asarray(samples, dtype=np.float32).reshape(1, 1, -1)
    g = Graph()
    data = g.const(samples, np.float32, hint="waveform")
    end = g.op("Add", [shape_anchor(g, input_names), g.const([samples.shape[2]], np.int64)], hint="end")
    g.op_to("Slice", [data, g.const([0], np.int64), end, g.const([2], np.int64)], output_name)
    return g.model(name, voice_inputs(names=input_names),
                   [waveform_output(output_name, samples.shape[2])])


def sine(seconds, sample_rate, frequency=440.0, amplitude=0.8):
    t = np.arange(int(round(seconds * sample_rate)), dtype=np.float64) / sample_rate
    return (amplitude * np.sin(2.0 * math.pi * frequency * t)).astype(np.float32)


def int64_output_model():
    """"output" is the ids themselves, int64 [1, 1, N]."""
    g = Graph()
    anchor = shape_anchor(g, ["input_lengths", "scales"])
    ids = g.op("Reshape", ["input", g.const([1, 1, -1], np.int64)])
    g.op_to("Add", [ids, anchor], "output")
    out = helper.make_tensor_value_info("output", TensorProto.INT64, [1, 1, "N"])
    return g.model("bad_int64_output", voice_inputs(), [out])


def scalar_output_model():
    """"output" is a float scalar (no dimension): the sum of the scales."""
    g = Graph()
    anchor = g.op("Cast", [shape_anchor(g, ["input", "input_lengths"])], to=TensorProto.FLOAT)
    total = g.op("ReduceSum", [g.op("Add", ["scales", anchor])], keepdims=0)
    g.op_to("Identity", [total], "output")
    out = helper.make_tensor_value_info("output", TensorProto.FLOAT, [])
    return g.model("bad_scalar_output", voice_inputs(), [out])


# ---------------------------------------------------------------------------
# Benchmark voice
# ---------------------------------------------------------------------------

BENCH_SEED = 20240611
BENCH_VOCAB = 256             # embedding rows; every probe id is below 200
BENCH_TEXT_CHANNELS = 128
BENCH_TEXT_LAYERS = 3
# (output channels, stride) of each upsampling stage: 8 * 8 * 4 = 256 samples per id
BENCH_UPSAMPLE = ((128, 8), (64, 8), (32, 4))
BENCH_SAMPLES_PER_ID = 256


def bench_conv_model(name="bench_conv"):
    """Ids [1, N] -> waveform [1, 1, 256 N] through a small convolutional
    decoder. Returns the model and its multiply-adds per id (as FLOPs)."""
    rng = np.random.default_rng(BENCH_SEED)
    g = Graph()
    flops = [0]

    def weight(shape, fan_in, gain=1.0):
        std = gain * math.sqrt(2.0 / fan_in)
        return g.const(rng.normal(0.0, std, size=shape).astype(np.float32), np.float32, hint="w")

    def bias(channels):
        return g.const(rng.normal(0.0, 0.01, size=channels).astype(np.float32), np.float32, hint="b")

    def conv(x, c_in, c_out, kernel, rate, gain=1.0):
        # rate: output samples per id at this point, for the FLOP count
        flops[0] += 2 * c_in * c_out * kernel * rate
        return g.op("Conv", [x, weight((c_out, c_in, kernel), c_in * kernel, gain), bias(c_out)],
                    kernel_shape=[kernel], pads=[kernel // 2, kernel // 2])

    def upsample(x, c_in, c_out, stride, rate):
        kernel = 2 * stride
        flops[0] += 2 * c_in * c_out * kernel * rate
        return g.op("ConvTranspose", [x, weight((c_in, c_out, kernel), c_in * 2), bias(c_out)],
                    kernel_shape=[kernel], strides=[stride], pads=[stride // 2, stride // 2])

    def act(x):
        return g.op("LeakyRelu", [x], alpha=0.1)

    def residual(x, channels, kernel, rate):
        y = conv(act(x), channels, channels, kernel, rate, gain=0.5)
        y = conv(act(y), channels, channels, kernel, rate, gain=0.5)
        return g.op("Add", [x, y])

    # Mask [1, 1, N]: 1 for positions below input_lengths, else 0.
    count = g.op("Gather", [g.op("Shape", ["input"]), g.const(1, np.int64)], axis=0)
    positions = g.op("Range", [g.const(0, np.int64), count, g.const(1, np.int64)])
    length = g.op("Reshape", ["input_lengths", g.const([], np.int64)])
    mask = g.op("Cast", [g.op("Less", [positions, length])], to=TensorProto.FLOAT)
    mask = g.op("Reshape", [mask, g.const([1, 1, -1], np.int64)], hint="mask")

    table = g.const(rng.normal(0.0, 1.0, size=(BENCH_VOCAB, BENCH_TEXT_CHANNELS)).astype(np.float32),
                    np.float32, hint="embedding")
    ids = g.op("Clip", ["input", g.const(0, np.int64), g.const(BENCH_VOCAB - 1, np.int64)])
    x = g.op("Transpose", [g.op("Gather", [table, ids], axis=0)], perm=[0, 2, 1])  # [1, C, N]
    gain = g.op("Add", [g.const(1.0, np.float32),
                        g.op("Gather", ["scales", g.const(0, np.int64)], axis=0)])
    x = g.op("Mul", [g.op("Mul", [x, mask]), gain])

    channels = BENCH_TEXT_CHANNELS
    for _ in range(BENCH_TEXT_LAYERS):
        x = g.op("Add", [x, g.op("Mul", [conv(act(x), channels, channels, 5, 1, gain=0.5), mask])])
    rate = 1
    for c_out, stride in BENCH_UPSAMPLE:
        x = upsample(act(x), channels, c_out, stride, rate)
        channels, rate = c_out, rate * stride
        x = residual(x, channels, 7, rate)
    assert rate == BENCH_SAMPLES_PER_ID
    wave = g.op("Tanh", [conv(act(x), channels, 1, 7, rate)])
    g.op_to("Reshape", [wave, g.const([1, 1, -1], np.int64)], "output")
    return g.model(name, voice_inputs(), [waveform_output()]), flops[0]


# ---------------------------------------------------------------------------
# Self-checks
# ---------------------------------------------------------------------------

def normalise(x):
    """The library's peak normalisation, in float32."""
    x = np.asarray(x, dtype=np.float32)
    finite_abs = np.abs(x[~np.isnan(x)])
    peak = np.float32(max(np.float32(0.01), finite_abs.max() if finite_abs.size else np.float32(0)))
    scale = np.float32(PROBE_FULL_SCALE) / peak
    with np.errstate(invalid="ignore", over="ignore"):
        v = x * scale
        out = np.where(v > 32767, 32767, np.trunc(np.maximum(v, np.float32(-32768))))
        out = np.where(np.isnan(v), 0, out)
    return out.astype(np.int64)


def check_probe_encoding():
    """Proves, in float32, that every integer in [-32766, 32766] and every
    scale in [-10, 10] at resolution 0.001 survives encoding and the peak
    normalisation exactly, whether the division is done as a division or as
    a multiplication by the reciprocal."""
    full = np.float32(PROBE_FULL_SCALE)
    v = np.arange(-PROBE_LIMIT, PROBE_LIMIT + 1, dtype=np.float32)
    half = np.sign(v) * np.float32(0.5)
    for x in ((v + half) / full, (v + half) * (np.float32(1) / full)):
        assert x.dtype == np.float32
        assert np.abs(x).max() < 1.0, "an encoded value reaches the reference"
        samples = normalise(np.concatenate([np.ones(1, np.float32), x]))
        assert samples[0] == 32767
        assert np.array_equal(samples[1:], v.astype(np.int64)), "integer round trip"

    k = np.arange(-10000, 10001)
    s = (k / PROBE_SCALE_RESOLUTION).astype(np.float32)   # nearest float32 to k/1000
    milli = np.round(s * np.float32(PROBE_SCALE_RESOLUTION))  # numpy rounds half to even, as Round does
    assert np.array_equal(milli.astype(np.int64), k), "scale resolution"
    assert np.array_equal((milli / np.float32(PROBE_SCALE_RESOLUTION)).astype(np.float32), s)


def check_fixed_expectations():
    """The normalised values the fixed voices are meant to give."""
    assert list(normalise([0.5, -0.5, -0.25, 0.25, 0.0])) == [32767, -32767, -16383, 16383, 0]
    assert list(normalise([0.005, -0.005, 0.0025])) == [16383, -16383, 8191]
    assert list(normalise([0.5, np.inf, -0.25])) == [0, 0, 0]
    assert list(normalise([0.5, np.nan, -0.25])) == [32767, 0, -16383]
    assert not normalise(np.zeros(100)).any()


HEADER_ROW = re.compile(r"\{\s*0x([0-9A-Fa-f]+)\s*,\s*(\d+)\s*\}")


def header_table():
    """C++ rows of kProbePhonemeIds for tests/probe_voice.h."""
    rows = []
    for symbol, ids in probe_phoneme_id_map().items():
        rows.append("    {0x%04X, %d},  // %s" % (ord(symbol), ids[0], json.dumps(symbol, ensure_ascii=True)))
    return "\n".join(rows)


def check_header(header_path):
    """tests/probe_voice.h must list exactly this generator's probe map."""
    if not os.path.exists(header_path):
        return
    with open(header_path, encoding="utf-8") as f:
        text = f.read()
    table = text.split("kProbePhonemeIds[] = {", 1)[1].split("};", 1)[0]
    rows = [(int(cp, 16), int(pid)) for cp, pid in HEADER_ROW.findall(table)]
    expected = [(ord(s), ids[0]) for s, ids in probe_phoneme_id_map().items()]
    if rows != expected:
        sys.exit("%s: kProbePhonemeIds differs from the generator's map; "
                 "regenerate it with --print-header-table" % header_path)


# ---------------------------------------------------------------------------
# The voice set
# ---------------------------------------------------------------------------

def build_all(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    write_voice(out_dir, "probe", probe_model(), make_config())
    write_voice(out_dir, "probe_multi", probe_model(multi_speaker=True, name="probe_multi"),
                make_config(num_speakers=4))
    write_voice(out_dir, "probe_multi_default_sid",
                probe_model(multi_speaker=True, optional_sid=True, name="probe_multi_default_sid"),
                make_config(num_speakers=4))

    # The probe without rows for the punctuation a clause may end with.
    no_marks = {k: v for k, v in probe_phoneme_id_map().items() if k not in ",.?!;:"}
    write_voice(out_dir, "probe_no_marks", probe_model(name="probe_no_marks"),
                make_config(phoneme_id_map=no_marks))

    half = [0.5, -0.5, -0.25, 0.25, 0.0]
    fixed = {
        "fixed_half": (half, DEFAULT_SAMPLE_RATE),
        "fixed_quiet": ([0.005, -0.005, 0.0025], DEFAULT_SAMPLE_RATE),
        "fixed_zeros": (np.zeros(100), DEFAULT_SAMPLE_RATE),
        "fixed_inf": ([0.5, np.inf, -0.25], DEFAULT_SAMPLE_RATE),
        "fixed_nan": ([0.5, np.nan, -0.25], DEFAULT_SAMPLE_RATE),
        "fixed_nonfinite": ([np.nan, np.inf, -np.inf], DEFAULT_SAMPLE_RATE),
        "fixed_empty": ([], DEFAULT_SAMPLE_RATE),
        "fixed_1s": (sine(1.0, 22050), 22050),
        "fixed_16k": (sine(1.0, 16000), 16000),
    }
    for name, (samples, rate) in fixed.items():
        write_voice(out_dir, name, fixed_model(samples, name), make_config(sample_rate=rate))
    write_voice(out_dir, "no_audio_section", fixed_model(half, "no_audio_section"),
                make_config(with_audio=False, num_speakers=None))

    write_voice(out_dir, "bad_int64_output", int64_output_model(), make_config())
    write_voice(out_dir, "bad_scalar_output", scalar_output_model(), make_config())
    write_voice(out_dir, "bad_no_output_name",
                fixed_model(half, "bad_no_output_name", output_name="audio"), make_config())
    write_voice(out_dir, "bad_input_names",
                fixed_model(half, "bad_input_names", input_names=("x", "x_lengths", "x_scales")),
                make_config())
    not_onnx = os.path.join(out_dir, "bad_not_onnx.onnx")
    with open(not_onnx, "w") as f:
        f.write("This is a text file, not an ONNX model.\n")
    write_config(not_onnx + ".json", make_config())

    write_voice(out_dir, "bench_conv", bench_conv_model()[0], make_config())

    languages = os.path.join(out_dir, "languages")
    os.makedirs(languages, exist_ok=True)
    for name, espeak_voice, code, noise in (("czech_a", "cs", None, 0.111), ("czech_b", "cs", None, 0.112),
                                            ("czech_cz", "cs", "cs_CZ", 0.113), ("russian", "ru", None, 0.114),
                                            ("british", "en-gb-x-rp", "en-GB", 0.115),
                                            ("plain", None, None, 0.116)):
        write_voice(languages, name, probe_model(name=name),
                    make_config(espeak_voice=espeak_voice, language_code=code, scales=(noise, 1.0, 0.8)))
    multi = make_config(num_speakers=4, espeak_voice="ru", scales=(0.117, 1.0, 0.8))
    multi["speaker_id_map"] = {"anna": 0, "boris": 1}
    write_voice(languages, "russian_multi", probe_model(multi_speaker=True, name="russian_multi"), multi)

    # Load-failure helpers.
    broken = os.path.join(out_dir, "probe_broken_config.onnx")
    write_model(broken, probe_model())
    if os.path.exists(broken + ".json"):
        os.remove(broken + ".json")
    bad_config = write_voice(out_dir, "probe_bad_config", probe_model(), None)
    with open(bad_config + ".json", "w") as f:
        f.write("[1, 2, 3]\n")


def main():
    ap = argparse.ArgumentParser(description="Writes the test voices.")
    ap.add_argument("--out", help="output folder")
    ap.add_argument("--print-header-table", action="store_true",
                    help="print the kProbePhonemeIds rows for tests/probe_voice.h")
    args = ap.parse_args()
    if args.print_header_table:
        print(header_table())
        return
    if not args.out:
        ap.error("--out is required")
    check_probe_encoding()
    check_fixed_expectations()
    check_header(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "probe_voice.h"))
    build_all(args.out)


if __name__ == "__main__":
    main()
