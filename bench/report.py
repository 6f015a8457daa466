#!/usr/bin/python3
"""Turns orvel_bench's Google Benchmark JSON into bench/results.json and a table.

    report.py --raw RAW.json --voice bench_conv.onnx --load-before "a b c" [--quick] --out results.json

Prints the table as Markdown, ready for docs/benchmarks.md.
"""

import argparse
import datetime
import json
import os
import platform
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

TEXTS = ("short", "20w", "200w")
TEXT_LABELS = {"short": "short (2 words)", "20w": "20 words", "200w": "200 words"}
# (key, label) of the stages of one request, in the order synthesize() runs them.
STAGES = (
    ("set_voice", "eSpeak NG: select voice"),
    ("espeak", "eSpeak NG: text to phonemes"),
    ("phonemize_text", "whole phonemizer call (`phonemize_text`)"),
    ("decode_filter", "decode / filter"),
    ("ids", "ids"),
    ("tensors", "tensors"),
    ("log", "progress lines"),
    ("run", "`Run`"),
    ("normalise", "normalise"),
    ("wav_write", "WAV write"),
)


def load_raw(path):
    with open(path) as f:
        raw = json.load(f)
    medians, plain = {}, {}
    for b in raw["benchmarks"]:
        name = b.get("run_name", b["name"])
        # "stage/espeak/20w/min_time:0.020/repeats:3" -> "stage/espeak/20w"
        key = "/".join(name.split("/")[:3]) if name.startswith("stage/") else "/".join(name.split("/")[:2])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[key] = b
        else:
            plain[key] = b
    return raw, medians, plain


def to_us(b):
    unit = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b.get("time_unit", "ns")]
    return b["real_time"] * unit


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def loadavg():
    with open("/proc/loadavg") as f:
        return [float(x) for x in f.read().split()[:3]]


def bench_voice_figures(voice_path):
    figures = {"file": os.path.basename(voice_path), "size_bytes": os.path.getsize(voice_path)}
    tools = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools")
    sys.path.insert(0, tools)
    try:
        import make_test_voices as voices  # the generator knows the layer sizes
        _, flops_per_id = voices.bench_conv_model()
        rate = voices.DEFAULT_SAMPLE_RATE
        figures["samples_per_id"] = voices.BENCH_SAMPLES_PER_ID
        figures["gflop_per_audio_second"] = round(flops_per_id * rate / voices.BENCH_SAMPLES_PER_ID / 1e9, 2)
    finally:
        sys.path.pop(0)
    return figures


def rounded(x, digits=3):
    return None if x is None else round(x, digits)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--raw", required=True)
    ap.add_argument("--voice", required=True)
    ap.add_argument("--load-before", required=True)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--out", required=True)
    args = ap.parse_args()

    raw, medians, plain = load_raw(args.raw)
    load_after = loadavg()
    load_before = [float(x) for x in args.load_before.split()]

    def counters(name):
        b = plain.get(name)
        return b if b else {}

    stages = {}
    for text in TEXTS:
        row = {}
        for key, _ in STAGES:
            b = medians.get("stage/%s/%s" % (key, text))
            row[key] = rounded(to_us(b)) if b else None
        stages[text] = row

    overhead, rtf, decode_pct, decode_pct_t2p = {}, {}, {}, {}
    for text in TEXTS:
        s = stages[text]
        c = counters("overhead/" + text)
        # Measured round by round under the same load (decode_ids_vs_espeak).
        d = counters("decode_ids_vs_espeak/" + text)
        decode_pct[text] = rounded(d["decode_ids_pct_of_espeak"]) if d else None
        if d and s["set_voice"] is not None:
            ours = d["decode_filter_us"] + d["ids_us"]
            decode_pct_t2p[text] = rounded(100.0 * ours / (d["espeak_us"] + s["set_voice"]))
        else:
            decode_pct_t2p[text] = None
        # The whole phonemizer call stands for voice selection, eSpeak NG and
        # decoding, whichever of them a request really does.
        around_run = sum(s[k] or 0 for k in ("phonemize_text", "ids", "tensors", "log", "normalise"))
        entry = {"stages_around_run_us": rounded(around_run)}
        if c:
            entry.update({
                "request_ms": rounded(c["request_ms"]),
                "direct_run_ms": rounded(c["direct_run_ms"]),
                "overhead_ms": rounded(c["overhead_ms"]),
                "run_in_request_ms": rounded(c["run_in_request_ms"]),
                "overhead_pct": rounded(c["overhead_pct"], 4),
                "paired_overhead_ms": rounded(c["paired_overhead_ms"]),
                "paired_overhead_pct": rounded(c["paired_overhead_pct"]),
                "paired_overhead_pct_standard_error": rounded(c["paired_overhead_pct_se"]),
                "pairs": c["iterations"],
                "audio_s": rounded(c["audio_s"]),
                "stages_around_run_pct": rounded(100.0 * around_run / 1000.0 / c["direct_run_ms"], 4),
            })
            rtf[text] = rounded(c["rtf"], 4)
        overhead[text] = entry

    optimisation = {}
    for text in TEXTS:
        c = counters("optimisation/" + text)
        if c:
            optimisation[text] = {k: rounded(c[k]) for k in ("library_options_ms", "full_optimisation_ms",
                                                             "arena_ms", "ort_defaults_ms",
                                                             "full_vs_library_pct")}
            optimisation[text]["rounds"] = c["iterations"]
    load = counters("voice_load/bench_conv")
    mem = counters("memory/probe")
    espeak_mem = counters("memory/espeak_set_voice")

    results = {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "mode": "quick" if args.quick else "full",
        "machine": {"cpu": cpu_model(), "cores": os.cpu_count(),
                    "loadavg_before": load_before, "loadavg_after": load_after,
                    "benchmark_context_load_avg": raw.get("context", {}).get("load_avg")},
        "bench_voice": bench_voice_figures(args.voice),
        "overhead_pct": overhead["20w"].get("overhead_pct"),
        "overhead_stages_pct": overhead["20w"].get("stages_around_run_pct"),
        "decode_ids_pct_of_espeak": decode_pct["20w"],
        "decode_ids_pct_of_espeak_with_voice_selection": decode_pct_t2p["20w"],
        "rtf": rtf.get("20w"),
        "voice_load_ms": rounded(load.get("voice_load_ms")),
        "rss_growth_kb": mem.get("rss_growth_kb"),
        "heap_growth_kb": mem.get("heap_growth_kb"),
        "memory": dict({k: mem.get(k) for k in ("requests", "warmup_requests", "rss_after_warmup_kb",
                                                "rss_growth_kb", "rss_peak_growth_kb", "heap_after_warmup_kb",
                                                "heap_growth_kb", "heap_peak_growth_kb", "request_ms")},
                       espeak_set_voice_calls=espeak_mem.get("calls"),
                       espeak_set_voice_heap_growth_kb=espeak_mem.get("heap_growth_kb"),
                       espeak_set_voice_rss_growth_kb=espeak_mem.get("rss_growth_kb")),
        "stages_us": stages,
        "overhead": overhead,
        "decode_ids_pct_of_espeak_by_text": decode_pct,
        "rtf_by_text": rtf,
        "optimisation": optimisation,
    }
    with open(args.out, "w") as f:
        json.dump(results, f, indent=2)
        f.write("\n")
    print(table(results))


def fmt(x, digits=1):
    if x is None:
        return "–"
    if abs(x) >= 100:
        return "%.0f" % x
    return ("%." + str(digits) + "f") % x


def table(r):
    m = r["machine"]
    v = r["bench_voice"]
    lines = []
    lines.append("Machine: %s, %d cores, load average %s before / %s after (%s run, %s)." % (
        m["cpu"], m["cores"], " ".join("%.2f" % x for x in m["loadavg_before"]),
        " ".join("%.2f" % x for x in m["loadavg_after"]), r["mode"], r["date"][:10]))
    lines.append("Voice: `bench_conv`, %.1f MB, %.2f GFLOP per second of audio, %d samples per id at 22050 Hz." % (
        v["size_bytes"] / 1e6, v["gflop_per_audio_second"], v["samples_per_id"]))
    lines.append("")
    lines.append("| Stage of one request (median, µs) | %s |" % " | ".join(TEXT_LABELS[t] for t in TEXTS))
    lines.append("|---|" + "---:|" * len(TEXTS))
    for key, label in STAGES:
        lines.append("| %s | %s |" % (label, " | ".join(fmt(r["stages_us"][t][key], 2) for t in TEXTS)))
    o = r["overhead"]
    lines.append("| **request** (`orvel_speak_to_buffer`, ms) | %s |" % " | ".join(
        fmt(o[t].get("request_ms")) for t in TEXTS))
    lines.append("| **direct `Run`**, same options and inputs (ms) | %s |" % " | ".join(
        fmt(o[t].get("direct_run_ms")) for t in TEXTS))
    lines.append("| `Run` inside the request (ms) | %s |" % " | ".join(
        fmt(o[t].get("run_in_request_ms")) for t in TEXTS))
    lines.append("| **overhead**: request − its `Run` (%% of direct `Run`) | %s |" % " | ".join(
        fmt(o[t].get("overhead_pct"), 3) for t in TEXTS))
    lines.append("| overhead: request − direct `Run` of the same pair (%%, ± noise) | %s |" % " | ".join(
        ("%s ± %s" % (fmt(o[t]["paired_overhead_pct"], 1), fmt(o[t]["paired_overhead_pct_standard_error"], 1))
         if "paired_overhead_pct" in o[t] else "–") for t in TEXTS))
    lines.append("| overhead: sum of the stages around `Run` (%% of `Run`) | %s |" % " | ".join(
        fmt(o[t].get("stages_around_run_pct"), 3) for t in TEXTS))
    lines.append("| decode/filter + ids (%% of eSpeak NG's text to phonemes) | %s |" % " | ".join(
        fmt(r["decode_ids_pct_of_espeak_by_text"][t], 2) for t in TEXTS))
    lines.append("| real-time factor (request time / audio time) | %s |" % " | ".join(
        fmt(r["rtf_by_text"].get(t), 3) for t in TEXTS))
    opt = r["optimisation"]
    lines.append("| `Run`, library's fixed options (ms) | %s |" % " | ".join(
        fmt(opt.get(t, {}).get("library_options_ms")) for t in TEXTS))
    lines.append("| `Run`, full graph optimisation (ms) | %s |" % " | ".join(
        fmt(opt.get(t, {}).get("full_optimisation_ms")) for t in TEXTS))
    lines.append("| `Run`, library's options but arena and memory patterns on (ms) | %s |" % " | ".join(
        fmt(opt.get(t, {}).get("arena_ms")) for t in TEXTS))
    lines.append("| `Run`, ONNX Runtime defaults (ms) | %s |" % " | ".join(
        fmt(opt.get(t, {}).get("ort_defaults_ms")) for t in TEXTS))
    mem = r["memory"]
    lines.append("")
    lines.append("Voice load (`orvel_load_voice`, bench_conv): %s ms. Memory over %s requests after %s warm-up "
                 "requests (probe voice, 20 words): resident %+d kB (peak %+d kB), heap %+d kB (peak %+d kB)." % (
                     fmt(r["voice_load_ms"]), fmt(mem["requests"], 0), fmt(mem["warmup_requests"], 0),
                     mem["rss_growth_kb"], mem["rss_peak_growth_kb"], mem["heap_growth_kb"],
                     mem["heap_peak_growth_kb"]))
    lines.append("For comparison, as many bare `espeak_SetVoiceByName` calls grow eSpeak NG's heap by %+d kB "
                 "(resident %+d kB)." % (mem["espeak_set_voice_heap_growth_kb"],
                                         mem["espeak_set_voice_rss_growth_kb"]))
    return "\n".join(lines)


if __name__ == "__main__":
    main()
