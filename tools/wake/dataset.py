"""Training and validation clips: synthesized utterances placed on a background,
augmented, turned into log-mel features.

A clip is (features [frames][40] float16, kind, phrase start sample, phrase end sample).
Kinds: 0 positive, 1 hard negative, 2 general speech, 3 noise or music only.
"""
import numpy as np

import corpus as C
import features as F

POS, HARD, SPEECH, NOISE = 0, 1, 2, 3


def utterance_jobs(variants, per_variant, seed):
    """Deterministic synthesis jobs: {kind: [(text, variant, pitch, speed, amp, gap)]}."""
    rng = np.random.default_rng(seed)
    jobs = {POS: [], HARD: [], SPEECH: []}
    for v in variants:
        for kind, make in ((POS, C.positive_text), (HARD, C.hard_negative_text), (SPEECH, C.sentence_text)):
            for _ in range(per_variant[kind]):
                jobs[kind].append((make(rng), v) + C.random_prosody(rng))
    return jobs


def synthesize(jobs):
    flat = [j for k in (POS, HARD, SPEECH) for j in jobs[k]]
    audio = C.synth_many(flat)
    out, i = {}, 0
    for k in (POS, HARD, SPEECH):
        out[k] = [C.trim(a) for a in audio[i: i + len(jobs[k])]]
        i += len(jobs[k])
    return out


def place(rng, utt, pool, pre, post, p_context=0.35):
    """Put utt on a silent canvas with pre/post seconds around it; sometimes other speech
    before or after it (as in "hej Selvina, jaka jest pogoda"). Returns canvas, start, end."""
    a = int(pre * C.SR)
    canvas = np.zeros(a + len(utt) + int(post * C.SR), dtype=np.float64)
    canvas[a: a + len(utt)] = utt
    ref = C.rms(utt)
    for side in ("before", "after"):
        if pool and rng.random() < p_context:
            other = pool[int(rng.integers(len(pool)))]
            other = other * (ref / (C.rms(other) + 1e-9)) * rng.uniform(0.5, 1.2)
            gap = int(rng.uniform(0.1, 0.5) * C.SR)
            if side == "before":
                end = a - gap
                if end > 0:
                    seg = other[-end:]
                    canvas[end - len(seg): end] += seg
            else:
                start = a + len(utt) + gap
                if start < len(canvas):
                    seg = other[: len(canvas) - start]
                    canvas[start: start + len(seg)] += seg
    return canvas, a, a + len(utt)


def make_clips(utts, seed, aug_per=(3, 2, 2), noise_clips=500, babble_from=SPEECH, context=(0.4, 1.2)):
    rng = np.random.default_rng(seed)
    pool = utts[babble_from]
    feats, kinds, starts, ends = [], [], [], []

    def add(x, kind, a, b):
        feats.append(F.log_mel(x).astype(np.float16))
        kinds.append(kind)
        starts.append(a)
        ends.append(b)

    for kind, reps in zip((POS, HARD, SPEECH), aug_per):
        for u in utts[kind]:
            for _ in range(reps):
                pre, post = rng.uniform(*context), rng.uniform(*context)
                post = max(post, 1.8 - pre - len(u) / C.SR)
                canvas, a, b = place(rng, u, pool, pre, post,
                                     p_context=0.35 if kind != SPEECH else 0.0)
                add(C.augment(rng, canvas, pool), kind, a, b)
    for _ in range(noise_clips):
        n = int(rng.uniform(2.0, 4.0) * C.SR)
        x = C.background(rng, n, pool) * 10 ** (rng.uniform(-40, -5) / 20) / 4
        if rng.random() < 0.5:
            x = C.reverb(rng, x)
        add(np.clip(x, -1, 0.99997).astype(np.float32), NOISE, 0, 0)
    return feats, np.array(kinds), np.array(starts), np.array(ends)


def merge(a, b):
    """Two packed clip sets as one."""
    out = {k: np.concatenate([a[k], b[k]]) for k in a}
    out["offs"] = np.concatenate([a["offs"], b["offs"] + len(a["feats"])])
    return out


def pack(feats):
    lens = np.array([len(f) for f in feats])
    offs = np.concatenate([[0], np.cumsum(lens)[:-1]])
    return np.concatenate(feats).astype(np.float16), offs, lens
