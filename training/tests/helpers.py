"""Shared test helpers: paths, and the Python id encoding run in a child
process so that its eSpeak NG instance never meets the library's."""

import glob
import json
import os
import subprocess
import sys

TRAINING = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(TRAINING)
VOICE = os.path.join(ROOT, "voices", "orvel-en-us.onnx")
CONFIG = VOICE + ".json"
PYTHON = "/usr/bin/python3"


def find_probe():
    found = sorted(glob.glob(os.path.join(ROOT, "build*", "test-voices", "probe.onnx")),
                   key=os.path.getmtime)
    env = os.environ.get("ORVEL_PROBE_VOICE")
    return env or (found[-1] if found else None)


def decode_probe(samples):
    """The probe voice's echo: (count, sid, scales in thousandths, ids)."""
    s = [int(v) for v in samples]
    if len(s) < 6 or s[0] != 32767:
        raise ValueError("not a probe output")
    return s[1], s[2], s[3:6], s[6:]


_engine = None


def shared_engine():
    """One initialised library per process, never closed by a test: eSpeak NG
    1.51 hangs when it is initialised again after a shutdown while another
    handle (a test's own eSpeak NG binding) keeps it loaded."""
    global _engine
    if _engine is None:
        _engine = talmerin_orvel.Engine(library=built_library.find())
    return _engine


def python_ids(texts, config_path):
    """The ids training.symbols.encode gives for each text with the map of config_path."""
    code = (
        "import json, sys\n"
        "sys.path.insert(0, %r)\n"
        "import espeak, symbols\n"
        "table = json.load(open(%r, encoding='utf-8'))['phoneme_id_map']\n"
        "es = espeak.ESpeak('en-us')\n"
        "texts = json.loads(sys.stdin.read())\n"
        "print(json.dumps([symbols.encode(es.codepoints(t), table) for t in texts]))\n"
    ) % (TRAINING, config_path)
    out = subprocess.run([PYTHON, "-c", code], input=json.dumps(texts), capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout)


def have(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


sys.path.insert(0, TRAINING)
sys.path.insert(0, os.path.join(ROOT, "python"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import built_library  # noqa: E402
import talmerin_orvel  # noqa: E402
