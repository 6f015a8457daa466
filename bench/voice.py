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
- resident growth over 10,000 short requests after 5,000 warm-up requests (0 kB),
  in a C host (the soak tool, tests/soak) and, beside it, in this Python
  process with the binding; each with its resident size every 1,000 requests,
  and glibc's heap in use; the soak runs a second time with glibc's per-thread
  cache off, where the heap in use counts live blocks only (a growing cache
  or a leak shows there, freed blocks kept for reuse do not). The first few
  thousand requests of a process touch new heap pages in steps as glibc's
  free lists settle for the mix of request sizes: a warm-up of 1,000 is too
  short to see 0.
Writes bench/voice-results.json and prints a table.
"""

import argparse
import ctypes
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
WARM_UP = 5000
SOAK_FILE = os.path.join("tests", "orvel_soak")
BUDGETS = {"file_mb": 12.0, "load_warm_ms": 150.0, "load_warm_cpu_ms": 150.0, "rtf": 0.01, "rtf_cpu": 0.01,
           "peak_mb": 200.0, "growth_kb": 0.0}


def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def heap_in_use_kb():
    """glibc's bytes in use (small and mmapped blocks), or -1 elsewhere."""
    class Info(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")]
    try:
        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = Info
    except (OSError, AttributeError):
        return -1
    info = libc.mallinfo2()
    return (info.uordblks + info.hblkhd) // 1024


def soak_growth(voice_path, requests, warm, tcache=True):
    """The same measurement in a C host: the soak tool next to the library.

    glibc's per-thread cache keeps up to 7 freed blocks of each size up to
    1,032 bytes, and mallinfo2 counts them as in use, so the heap in use creeps
    while requests of new lengths fill it (at most about 235 kB a thread).
    With tcache=False the cache is off and the heap in use is the live blocks'
    bytes alone."""
    lib = built_library.find()
    tool = os.path.join(os.path.dirname(lib), SOAK_FILE) if lib else ""
    if not os.path.exists(tool):
        raise SystemExit("bench/voice.py: no %s next to the library: build the tests" % SOAK_FILE)
    env = dict(os.environ, OMP_NUM_THREADS="1")
    if not tcache:
        env["GLIBC_TUNABLES"] = ":".join(filter(None, [env.get("GLIBC_TUNABLES"), "glibc.malloc.tcache_count=0"]))
    out = subprocess.run([tool, voice_path, "0", str(requests), "-1", str(warm)], capture_output=True,
                         text=True, env=env)
    if out.returncode != 0:
        raise SystemExit("bench/voice.py: the soak failed:\n%s" % (out.stdout + out.stderr)[-2000:])
    trace, heap, growth = [], [], None
    for line in out.stdout.splitlines():
        words = line.replace(",", "").split()
        if line.startswith("requests: RSS after ") and "warm-up" not in line:
            trace.append(int(words[4]))
            heap.append(int(words[9]))
        elif line.startswith("requests: RSS after warm-up"):
            growth = int(line.split("growth ")[1].split()[0])
    return {"growth_kb": float(growth), "growth_trace_kb": trace, "heap_trace_kb": heap,
            "heap_growth_kb": float(heap[-1] - heap[0]) if heap else None,
            "growth_requests": requests, "growth_warm_up": warm}


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
    # growth, in this Python process
    texts = ["Hi.", "Hello, world.", "How are you today?", "Seven quiet birds sang."]
    warm = min(WARM_UP, requests // 2)
    for k in range(warm):
        voice.speak(texts[k % len(texts)])
    before, heap_before = status_kb("VmRSS"), heap_in_use_kb()
    trace = []
    for k in range(requests):
        if k % max(requests // 10, 1) == 0:
            trace.append(status_kb("VmRSS"))
        voice.speak(texts[k % len(texts)])
    return {"growth_python_kb": float(status_kb("VmRSS") - before), "growth_python_trace_kb": trace,
            "heap_python_growth_kb": float(heap_in_use_kb() - heap_before)}


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
    results.update(soak_growth(args.voice, requests, min(WARM_UP, requests // 2)))
    results["heap_growth_no_tcache_kb"] = soak_growth(args.voice, requests, min(WARM_UP, requests // 2),
                                                      tcache=False)["heap_growth_kb"]
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
