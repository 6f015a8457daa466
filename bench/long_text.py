#!/usr/bin/python3
"""One long text in one library call against the same text through orvel-say.

    bench/long_text.py [--bytes N] [--build DIR] [--voice VOICE.onnx] [--out FILE.json]

The one call is the C example host (orvel-hello-c VOICE OUT.wav TEXT), which
holds the whole request's audio in one buffer before writing it; orvel-say
plans the text into sentences and writes each one's audio as it comes. Both
write the same WAV file format. Prints wall time, peak resident size and the
audio length of each, and writes them as JSON.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import wave

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SENTENCES = [
    "The river ran fast after the rain, and the old bridge shook under the carts.",
    "Nobody in the village remembered a spring as wet as this one.",
    "In 1987 the council spent 42,000 pounds on a new roof for the school.",
    "Would you carry these letters to the post office before it closes at five?",
    "She laughed, put the kettle on, and told us the whole story again.",
    "The map was wrong: the path turned east long before the hill.",
]


def make_text(size):
    parts, total = [], 0
    for i in range(10 ** 7):
        sentence = SENTENCES[i % len(SENTENCES)]
        if total + len(sentence) + 1 > size:
            break
        parts.append(sentence)
        total += len(sentence) + 1
        if i % 7 == 6:
            parts.append("\n\n")
    return " ".join(parts)


def run(command):
    start = time.monotonic()
    with open(os.devnull, "wb") as null:
        proc = subprocess.Popen(command, stdout=null, stderr=null)
        _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("long_text: %s failed" % command[0])
    return seconds, usage.ru_maxrss  # KiB on Linux


def audio_seconds(path):
    with wave.open(path, "rb") as w:
        return w.getnframes() / w.getframerate()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bytes", type=int, default=100 * 1024)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--voice", default=os.path.join(ROOT, "voices", "orvel-en-us.onnx"))
    parser.add_argument("--out", default=os.path.join(ROOT, "bench", "long-text-results.json"))
    args = parser.parse_args()
    text = make_text(args.bytes)
    hello = os.path.join(args.build, "examples", "orvel-hello-c")
    say = os.path.join(args.build, "tools", "orvel-say")
    results = {"text_bytes": len(text.encode()), "voice": os.path.basename(args.voice),
               "load": open("/proc/loadavg").read().split()[:3]}
    with tempfile.TemporaryDirectory() as tmp:
        one = os.path.join(tmp, "one.wav")
        say_wav = os.path.join(tmp, "say.wav")
        text_file = os.path.join(tmp, "text.txt")
        with open(text_file, "w", encoding="utf-8") as f:
            f.write(text)
        for name, command, wav in [("one call", [hello, args.voice, one, text], one),
                                   ("orvel-say", [say, "-m", args.voice, "-f", text_file, "-o", say_wav],
                                    say_wav)]:
            seconds, peak_kib = run(command)
            results[name] = {"seconds": round(seconds, 2), "peak_mib": round(peak_kib / 1024, 1),
                             "audio_seconds": round(audio_seconds(wav), 1)}
            print("%-10s %8.2f s %8.1f MiB peak %9.1f s of audio" %
                  (name, seconds, peak_kib / 1024, results[name]["audio_seconds"]))
    with open(args.out, "w") as f:
        json.dump(results, f, indent=2)
        f.write("\n")


if __name__ == "__main__":
    main()
