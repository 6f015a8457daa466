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
