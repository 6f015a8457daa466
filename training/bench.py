"""Benchmark of the voice through the built library (its own session options:
graph optimisation off, no arena, no memory pattern), one process per figure.

    /usr/bin/python3 training/bench.py --voice voices/orvel-en-us.onnx

Prints load time, real-time factor (synthesis time / audio time, best of
several runs over a paragraph) and the peak memory of the longest request
(4,096 ids), as the growth of the process's high-water mark over a short
request made before it.
"""

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "tests"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
import built_library  # noqa: E402
import talmerin_orvel  # noqa: E402
from helpers import decode_probe  # noqa: E402

PARAGRAPH = ("The quick brown fox jumps over the lazy dog. Seven quiet birds sang near the river "
             "bank, while the old library slowly opened its doors. It costs $450.22, or about "
             "45 percent more than last year. Please call 405 334 91 21, and ask for Maria.")
LONG = " ".join([PARAGRAPH] * 12)


def vm_hwm_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def child(mode, voice, config):
    engine = talmerin_orvel.Engine(library=built_library.find())
    if mode == "count":
        probe = engine.load_voice(config, voice + ".json")  # here `config` is the probe model
        count, _, _, ids = decode_probe(probe.speak(LONG, numpy=True))
        return {"ids": count}
    t0 = time.perf_counter()
    v = engine.load_voice(voice)
    load = time.perf_counter() - t0
    if mode == "rtf":
        v.speak("Warm up.", numpy=True)
        best = best_cpu = None
        for _ in range(5):
            t0, c0 = time.perf_counter(), time.process_time()
            audio = v.speak(PARAGRAPH, numpy=True)
            dt, dc = time.perf_counter() - t0, time.process_time() - c0
            seconds = len(audio) / 22050.0
            best = dt / seconds if best is None else min(best, dt / seconds)
            best_cpu = dc / seconds if best_cpu is None else min(best_cpu, dc / seconds)
        return {"load_s": load, "rtf": best, "rtf_cpu": best_cpu, "audio_s": seconds}
    v.speak("A short request first.", numpy=True)
    before = vm_hwm_kb()
    t0 = time.perf_counter()
    audio = v.speak(LONG, numpy=True)
    dt = time.perf_counter() - t0
    after = vm_hwm_kb()
    return {"hwm_before_mb": before / 1024.0, "hwm_after_mb": after / 1024.0,
            "growth_mb": (after - before) / 1024.0, "long_audio_s": len(audio) / 22050.0,
            "long_time_s": dt}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--voice", required=True)
    ap.add_argument("--probe", default="")
    ap.add_argument("--child", default="")
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.voice, args.probe)))
        return
    env = dict(os.environ, OMP_NUM_THREADS="1")
    results = {}
    modes = ["rtf", "memory"] + (["count"] if args.probe else [])
    for mode in modes:
        out = subprocess.run([sys.executable, __file__, "--voice", args.voice, "--probe",
                              args.probe, "--child", mode], capture_output=True, text=True,
                             env=env, check=True)
        results.update(json.loads(out.stdout.strip().splitlines()[-1]))
    print(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
