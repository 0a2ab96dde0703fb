"""Training and validation clips: synthesized utterances placed on a background,
augmented, turned into log-mel features.

A clip is (features [frames][40] float16, kind, phrase start sample, phrase end sample).
Kinds: 0 positive, 1 hard negative, 2 general speech, 3 noise or music only, 4 running
speech (several sentences in a row, as from a radio or a conversation in the room).
"""
import numpy as np

import corpus as C
import features as F

POS, HARD, SPEECH, NOISE, RUNNING = 0, 1, 2, 3, 4


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


def make_running_clips(utts, seed, clips, seconds=(8.0, 16.0), snr=(3.0, 20.0), hard_share=0.12):
    """Running speech: sentences of mixed voices with 0.15-1.5 s pauses, now and then a hard
    negative, some reverberant, under one background per clip at snr relative to the speech.
    The windows that span two sentences, or a name right after a sentence, come only from here."""
    rng = np.random.default_rng(seed)
    speech, hard = utts[SPEECH], utts[HARD]
    feats = []
    for _ in range(clips):
        n = int(rng.uniform(*seconds) * C.SR)
        x = np.zeros(n)
        pos = int(rng.uniform(0.0, 0.5) * C.SR)
        refs = []
        while pos < n:
            pool = hard if hard and rng.random() < hard_share else speech
            u = pool[int(rng.integers(len(pool)))]
            seg = u / (C.rms(u) + 1e-9) * rng.uniform(0.6, 1.4)
            if rng.random() < 0.3:
                seg = C.reverb(rng, np.concatenate([seg, np.zeros(8000)]))
            refs.append(C.rms(seg))
            seg = seg[: n - pos]
            x[pos: pos + len(seg)] += seg
            pos += len(seg) + int(rng.uniform(0.15, 1.5) * C.SR)
        x += C.background(rng, n, speech) * np.median(refs) / 10 ** (rng.uniform(*snr) / 20)
        x *= 10 ** (rng.uniform(-30, -3) / 20) / (np.max(np.abs(x)) + 1e-12)
        feats.append(F.log_mel(np.clip(x, -1, 32767 / 32768).astype(np.float32)).astype(np.float16))
    zeros = np.zeros(clips, dtype=np.int64)
    return feats, np.full(clips, RUNNING), zeros, zeros


def merge(a, b):
    """Two packed clip sets as one."""
    out = {k: np.concatenate([a[k], b[k]]) for k in a}
    out["offs"] = np.concatenate([a["offs"], b["offs"] + len(a["feats"])])
    return out


def pack(feats):
    lens = np.array([len(f) for f in feats])
    offs = np.concatenate([[0], np.cumsum(lens)[:-1]])
    return np.concatenate(feats).astype(np.float16), offs, lens
