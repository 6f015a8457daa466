"""Budgets of a trained voice, measured through the library with the project's
Python binding, one child process per figure so that each starts clean.

    /usr/bin/python3 bench/voice.py [--voice voices/orvel-en-us-arctic.onnx] [--quick]

Figures (and the budget each is held to):
- file size of the model (<= 12 MB);
- voice load, warm: median of 10 loads after a first one (<= 150 ms), wall
  clock and the process's CPU time;
- real-time factor: synthesis time / audio time, best of 5 over a paragraph,
  the slowest speaker's (<= 0.01), wall clock and the process's CPU time. On a
  machine shared with other work the wall clock also counts the waits for a
  core: the CPU time is the voice's own cost, and the load average is recorded;
- peak memory of the longest request (the phonemizer's 4,096 code points are
  filled): the process's high-water mark, whole process (<= 200 MB);
- resident growth over 10,000 short requests after 1,000 warm-up requests (0 kB).
Writes bench/voice-results.json and prints a table.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import built_library  # noqa: E402
import talmerin_orvel  # noqa: E402

DEFAULT_VOICE = os.path.join(ROOT, "voices", "orvel-en-us-arctic.onnx")
PARAGRAPH = ("The quick brown fox jumps over the lazy dog. Seven quiet birds sang near the river "
             "bank, while the old library slowly opened its doors. It costs $450.22, or about "
             "45 percent more than last year. Please call 405 334 91 21, and ask for Maria.")
LONG = " ".join([PARAGRAPH] * 14)  # more than the phonemizer's capacity
BUDGETS = {"file_mb": 12.0, "load_warm_ms": 150.0, "load_warm_cpu_ms": 150.0, "rtf": 0.01, "rtf_cpu": 0.01,
           "peak_mb": 200.0, "growth_kb": 0.0}


def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def child(mode, voice_path, requests):
    engine = talmerin_orvel.Engine(library=built_library.find())
    if mode == "load":
        times, cpu = [], []
        for _ in range(11):
            t0, c0 = time.perf_counter(), time.process_time()
            v = engine.load_voice(voice_path)
            times.append(time.perf_counter() - t0)
            cpu.append(time.process_time() - c0)
            v.close()
        return {"load_first_ms": times[0] * 1e3, "load_warm_ms": statistics.median(times[1:]) * 1e3,
                "load_warm_cpu_ms": statistics.median(cpu[1:]) * 1e3}
    voice = engine.load_voice(voice_path)
    if mode == "rtf":
        out = {}
        for k in range(voice.num_speakers):
            voice.set_speaker(k)
            voice.speak("Warm up.")
            best = best_cpu = None
            for _ in range(5):
                t0, c0 = time.perf_counter(), time.process_time()
                audio = voice.speak(PARAGRAPH)
                dt, dc = time.perf_counter() - t0, time.process_time() - c0
                seconds = len(audio) / voice.sample_rate
                best = dt / seconds if best is None else min(best, dt / seconds)
                best_cpu = dc / seconds if best_cpu is None else min(best_cpu, dc / seconds)
            out["rtf_speaker_%d" % k] = best
            out["rtf_cpu_speaker_%d" % k] = best_cpu
        out["rtf"] = max(v for k, v in out.items() if k.startswith("rtf_speaker"))
        out["rtf_cpu"] = max(v for k, v in out.items() if k.startswith("rtf_cpu_speaker"))
        return out
    if mode == "peak":
        voice.speak("A short request first.")
        before = status_kb("VmHWM")
        audio = voice.speak(LONG)
        return {"peak_mb": status_kb("VmHWM") / 1024.0, "peak_before_long_mb": before / 1024.0,
                "long_audio_s": len(audio) / voice.sample_rate}
    # growth
    texts = ["Hi.", "Hello, world.", "How are you today?", "Seven quiet birds sang."]
    for k in range(min(1000, requests)):
        voice.speak(texts[k % len(texts)])
    before = status_kb("VmRSS")
    for k in range(requests):
        voice.speak(texts[k % len(texts)])
    return {"growth_kb": float(status_kb("VmRSS") - before), "growth_requests": requests}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--voice", default=DEFAULT_VOICE)
    ap.add_argument("--quick", action="store_true", help="1,000 requests instead of 10,000")
    ap.add_argument("--child", default="")
    ap.add_argument("--requests", type=int, default=10000)
    ap.add_argument("--out", default=os.path.join(ROOT, "bench", "voice-results.json"))
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.voice, args.requests)))
        return
    if not built_library.find():
        raise SystemExit("bench/voice.py: no built library (set ORVEL_LIBRARY or build into build*/)")
    requests = 1000 if args.quick else args.requests
    env = dict(os.environ, OMP_NUM_THREADS="1")
    results = {"voice": os.path.basename(args.voice),
               "file_mb": os.path.getsize(args.voice) / 1e6,
               "date": time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime()),
               "loadavg_before": open("/proc/loadavg").read().split()[:3]}
    for mode in ("load", "rtf", "peak", "growth"):
        out = subprocess.run([sys.executable, __file__, "--voice", args.voice, "--child", mode,
                              "--requests", str(requests)], capture_output=True, text=True, env=env)
        if out.returncode != 0:
            raise SystemExit("bench/voice.py: %s failed:\n%s" % (mode, out.stderr[-2000:]))
        results.update(json.loads(out.stdout.strip().splitlines()[-1]))
    rows = []
    for key, budget in BUDGETS.items():
        value = results[key]
        ok = value <= budget
        rows.append("| %-13s | %10.4g | %8.4g | %s |" % (key, value, budget, "yes" if ok else "NO"))
        results["within_" + key] = ok
    print("| figure        |   measured |   budget | within |")
    print("|---------------|-----------:|---------:|--------|")
    print("\n".join(rows))
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
