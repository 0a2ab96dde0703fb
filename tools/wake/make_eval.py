"""Write the detector's evaluation set (held-out voice variants only) into OUTDIR.

    /usr/bin/python3 tools/wake/make_eval.py [OUTDIR]     (default build/wake-eval-3h)
    /usr/bin/python3 tools/wake/make_eval.py --training-voices OUTDIR

With --training-voices the same kind of set is made from the training variants, with other
seeds: for choosing constants (such as the voice profile's) without looking at held-out voices.

Layout: manifest.json, clean/, snr10/, snr5_reverb/, hard_negatives/ (raw s16le 16 kHz
mono clips of 3 s, the phrase starting after at least 0.8 s) and two streams of three hours
of non-target Polish speech with music and noise stretches, at 20 dB and 8 dB SNR.
Utterances are cached, so a second run is faster.
"""
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus as C  # noqa: E402

SEED = 31337
CLIPS = 120
HARD = 150
STREAM_SECONDS = 3 * 3660
# Sentences of the first one-hour streams, then more from a second generator, so that the clips
# stay as they were and a stream seldom repeats a sentence.
SENTENCES, MORE_SENTENCES = 1500, 2100
CLIP_SECONDS = 3.0


def pcm16(x):
    return np.clip(np.round(np.asarray(x) * 32768.0), -32768, 32767).astype("<i2")


def level(rng, x, lo=-30, hi=-3):
    return x * (10 ** (rng.uniform(lo, hi) / 20) / (np.max(np.abs(x)) + 1e-12))


def clip(rng, utt, condition, babble):
    pre = rng.uniform(0.8, 1.2)
    n = max(int(CLIP_SECONDS * C.SR), int(pre * C.SR) + len(utt) + int(0.8 * C.SR))
    x = np.zeros(n)
    a = int(pre * C.SR)
    x[a: a + len(utt)] = utt
    ref = C.rms(utt)
    if condition == "snr5_reverb":
        x = C.reverb(rng, x)
    if condition == "clean":
        x = x + rng.standard_normal(n) * ref * 10 ** (-60 / 20)
    else:
        snr = {"snr10": 10.0, "snr5_reverb": 5.0}.get(condition, rng.choice([30.0, 10.0, 5.0]))
        x = C.mix_at_snr(x, C.background(rng, n, babble), snr, ref)
    return level(rng, x), a + len(utt)


def stream(rng, sentences, texts, babble, snr, seconds):
    """Speech with pauses, some reverberant, with music-only and noise-only stretches,
    under a background that changes every 20-40 s, at snr relative to the speech.
    Also returns what lies where: [first sample, end sample, text or "(music)"/"(noise)"]."""
    n = int(seconds * C.SR)
    x = np.zeros(n)
    pos, i = 0, 0
    refs = []
    segments = []
    while pos < n:
        r = rng.random()
        if r < 0.06:  # music or noise stretch
            m = int(rng.uniform(8, 30) * C.SR)
            is_music = rng.random() < 0.6
            seg = C.music(rng, m) if is_music else C.colored_noise(rng, m, rng.choice(["white", "pink", "brown"]))
            seg = seg * 0.05
            text = "(music)" if is_music else "(noise)"
        else:
            u = sentences[i % len(sentences)]
            text = texts[i % len(texts)]
            i += 1
            seg = u / (C.rms(u) + 1e-9) * 0.05 * rng.uniform(0.6, 1.4)
            if rng.random() < 0.3:
                seg = C.reverb(rng, np.concatenate([seg, np.zeros(8000)]))
            refs.append(C.rms(seg))
        seg = seg[: n - pos]
        x[pos: pos + len(seg)] += seg
        segments.append([pos, pos + len(seg), text])
        pos += len(seg) + int(rng.uniform(0.15, 1.5) * C.SR)
    ref = float(np.median(refs))
    pos = 0
    while pos < n:
        m = min(n - pos, int(rng.uniform(20, 40) * C.SR))
        bg = C.background(rng, m, babble)
        x[pos: pos + m] += bg * ref / 10 ** (snr / 20)
        pos += m
    return x * (0.3 / (np.max(np.abs(x)) + 1e-12)), i, segments


def main():
    args = sys.argv[1:]
    training = "--training-voices" in args
    args = [a for a in args if a != "--training-voices"]
    out = args[0] if args else os.path.join(C.ROOT, "build", "wake-eval-3h")
    t0 = time.time()
    seed = SEED + 1000 if training else SEED
    rng = np.random.default_rng(seed)
    train_voices, held = C.split_variants()
    # As many training voices as there are held out, so that each has several clips to enrol from.
    voices = train_voices[::len(train_voices) // len(held)][:len(held)] if training else held

    def job(text, r=rng):
        return (text, voices[int(r.integers(len(voices)))]) + C.random_prosody(r)

    conds = ["clean", "snr10", "snr5_reverb"]
    pos_jobs = {c: [job(C.positive_text(rng)) for _ in range(CLIPS)] for c in conds}
    hard_jobs = [job(C.hard_negative_text(rng)) for _ in range(HARD)]
    sent_jobs = [job(C.sentence_text(rng)) for _ in range(SENTENCES)]
    # Now and then the streams hold the openers and similar names too, as people talk.
    for k in range(0, len(sent_jobs), 25):
        sent_jobs[k] = job(C.hard_negative_text(rng))
    more = np.random.default_rng(seed + 1)
    sent_jobs += [job(C.hard_negative_text(more) if k % 25 == 0 else C.sentence_text(more), more)
                  for k in range(MORE_SENTENCES)]
    flat = [j for c in conds for j in pos_jobs[c]] + hard_jobs + sent_jobs
    audio = [C.trim(a).astype(np.float64) for a in C.synth_many(flat)]
    print("synthesized %d utterances in %.0fs" % (len(flat), time.time() - t0), flush=True)
    k = 0
    pos_audio = {}
    for c in conds:
        pos_audio[c] = audio[k: k + CLIPS]
        k += CLIPS
    hard_audio = audio[k: k + HARD]
    k += HARD
    sentences = audio[k:]
    babble = sentences[:200]

    manifest = {"conditions": {}, "streams": {}, "voices_held_out": [] if training else held, "voices": voices,
                "made_by": "tools/wake/make_eval.py, seed %d, espeak-ng Polish %s variants"
                % (seed, "training" if training else "held-out")}
    for c in conds + ["hard_negatives"]:
        os.makedirs(os.path.join(out, c), exist_ok=True)
        entries = []
        items = [(u, j) for u, j in zip(pos_audio[c], pos_jobs[c])] if c != "hard_negatives" else list(zip(hard_audio, hard_jobs))
        for n, (u, j) in enumerate(items, 1):
            x, end = clip(rng, u, c, babble)
            name = "%s/%04d.raw" % (c, n)
            pcm16(x).tofile(os.path.join(out, name))
            entries.append({"file": name, "phrase_end": int(end) if c != "hard_negatives" else None,
                            "text": j[0], "voice": j[1]})
        manifest["conditions"][c] = entries
    # Two streams from two halves of the sentences, so they do not repeat each other.
    def two_halves(items):
        first, extra = items[:SENTENCES], items[SENTENCES:]
        return (first[:SENTENCES // 2] + extra[:MORE_SENTENCES // 2], first[SENTENCES // 2:] + extra[MORE_SENTENCES // 2:])

    halves, text_halves = two_halves(sentences), two_halves([j[0] for j in sent_jobs])
    manifest["stream_segments"] = {}
    for name, snr, part, part_texts in (("speech_20db", 20.0, halves[0], text_halves[0]),
                                        ("speech_8db", 8.0, halves[1], text_halves[1])):
        x, used, segments = stream(rng, part, part_texts, babble, snr, STREAM_SECONDS)
        pcm16(x).tofile(os.path.join(out, name + ".raw"))
        manifest["streams"][name] = name + ".raw"
        manifest["stream_segments"][name] = segments
        print("%s: %.0f s, %d utterances (reused cyclically if fewer), %.0fs" % (name, STREAM_SECONDS, used, time.time() - t0), flush=True)
    with open(os.path.join(out, "manifest.json"), "w") as f:
        json.dump(manifest, f, ensure_ascii=False, indent=1)
    print("wrote %s in %.0fs" % (out, time.time() - t0))


if __name__ == "__main__":
    main()
