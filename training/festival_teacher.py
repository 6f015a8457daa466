"""Festival voices as teachers: audio and segment end times for sentences.

Festival reads its Scheme in the voice's own encoding, so each batch file is
written in it. One utterance's wave and segments are saved under the work
folder, named by a digest of the voice, the stretch and the sentence; a
sentence already there is not spoken again, so a stopped preparation resumes
and a longer list reuses what a shorter one spoke. Two Festival processes run
side by side (the machine has two cores).
"""

import hashlib
import os
import subprocess
import wave

import numpy as np

SILENCES = {"pau", "#", "_", "sil", "h#", "SIL"}
BATCH = 100


def _scheme_string(text):
    return '"' + text.replace("\\", " ").replace('"', " ") + '"'


def _name(voice, stretch, text):
    # Not the sentence's place in the list: a list that grows or is reordered
    # would then read another sentence's audio as this one's.
    key = "%s\0%r\0%s" % (voice, stretch, text)
    return hashlib.sha1(key.encode("utf-8")).hexdigest()[:20]


def _batch(voice, encoding, items, folder, stretch=None):
    lines = ["(voice_%s)" % voice]
    if stretch and "hts" in voice:
        # The HTS engine keeps its own durations: its speaking-rate option it is.
        lines.append('(set! hts_engine_params (append hts_engine_params (list (list "-r" %.4f))))'
                     % (1.0 / stretch))
    elif stretch:
        lines.append("(Parameter.set 'Duration_Stretch %.3f)" % stretch)
    for name, text in items:
        base = os.path.join(folder, name)
        # One sentence Festival fails on must not end the batch; the wave is
        # renamed last, so its presence marks the sentence as done.
        lines.append("(unwind-protect (begin (set! u (utt.synth (Utterance Text %s)))"
                     " (utt.save.wave u \"%s.tmp.wav\" 'riff) (utt.save.segs u \"%s.segs\")"
                     " (system \"mv %s.tmp.wav %s.wav\")) nil)"
                     % (_scheme_string(text), base, base, base, base))
    path = os.path.join(folder, "batch-%s.scm" % items[0][0])
    with open(path, "w", encoding=encoding, errors="replace") as f:
        f.write("\n".join(lines) + "\n")
    return path


def read_segs(path):
    """[(name, end seconds, 0)]; every silence is called "pau"."""
    out = []
    with open(path, encoding="latin-1") as f:
        for line in f:
            parts = line.split()
            if len(parts) != 3 or parts[0] == "#":
                continue
            name = "pau" if parts[2] in SILENCES else parts[2]
            out.append((name, float(parts[0]), 0))
    return out


def read_wav(path):
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2 or w.getnchannels() != 1:
            raise RuntimeError("%s: not 16-bit mono" % path)
        return np.frombuffer(w.readframes(w.getnframes()), np.int16).copy(), w.getframerate()


# Festival's HTS voices speak 6 to 9 dB quieter than Flite's (median peak
# -9.4 dBFS for HTS slt, -3.6 to -6.6 for Flite's): their weakest consonants
# (f, th, p, k) then lie under the silence gate's threshold and a voice learns
# to drop them. An utterance is raised to this peak; never lowered.
PEAK_DBFS = -3.0


def raise_to_peak(audio, peak_dbfs=PEAK_DBFS):
    """int16 audio scaled up so that its peak lies at peak_dbfs; audio already
    as loud, or silent, is returned as it is."""
    peak = int(np.max(np.abs(audio.astype(np.int32)))) if len(audio) else 0
    target = 32768.0 * 10 ** (peak_dbfs / 20)
    if peak == 0 or peak >= target:
        return audio
    y = np.round(audio.astype(np.float64) * (target / peak))
    return np.clip(y, -32768, 32767).astype(np.int16)


def resample(audio, rate, out_rate):
    """int16 audio from rate to out_rate (a Festival voice's rate to the voice's)."""
    if rate == out_rate:
        return audio
    from scipy.signal import resample_poly  # training/setup brings scipy; the tests need not
    g = np.gcd(rate, out_rate)
    y = resample_poly(audio.astype(np.float64), out_rate // g, rate // g)
    return np.clip(np.round(y), -32768, 32767).astype(np.int16)


def synthesize(voice, encoding, sentences, folder, jobs=2, stretch=None):
    """[(audio int16, rate, segments) or None] for each sentence, in order;
    stretch > 1 makes the teacher speak slower."""
    os.makedirs(folder, exist_ok=True)
    names = [_name(voice, stretch, s) for s in sentences]
    todo = [(n, s) for n, s in dict(zip(names, sentences)).items()
            if not os.path.exists(os.path.join(folder, n + ".wav"))]
    batches = [todo[i:i + BATCH] for i in range(0, len(todo), BATCH)]
    running = []
    for items in batches:
        if len(running) >= jobs:
            running.pop(0).wait()
        script = _batch(voice, encoding, items, folder, stretch)
        running.append(subprocess.Popen(["festival", "--batch", script],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    for p in running:
        p.wait()
    rows = []
    for name in names:
        base = os.path.join(folder, name)
        try:
            audio, rate = read_wav(base + ".wav")
            segs = read_segs(base + ".segs")
        except (OSError, EOFError, RuntimeError, wave.Error):
            rows.append(None)  # Festival gave up on this sentence
            continue
        rows.append((audio, rate, segs) if segs else None)
    return rows
