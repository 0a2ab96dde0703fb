"""Train the wake-phrase detector on synthesized speech and export it.

    nice -n 5 /usr/bin/python3 tools/wake/train.py [--steps N] [--seed S] [--out resources/wake/hej-selvina.model]

Builds (and caches under build/wake-data/) the training and validation clips from the
training voice variants, trains with balanced batches and hard-negative mining, picks the
threshold and window count on the validation data, and writes the model file.
"""
import argparse
import datetime
import os
import sys
import time
from multiprocessing import Pool

import numpy as np
import torch
import torch.nn.functional as TF

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus as C  # noqa: E402
import counting  # noqa: E402
import dataset as D  # noqa: E402
import export  # noqa: E402
import features as F  # noqa: E402
import model as M  # noqa: E402
import settings as S  # noqa: E402

VERSION = "train.py 1"
DATA = os.path.join(C.ROOT, "build", "wake-data")
WF = S.WINDOW_FRAMES
WIN_SAMPLES = (WF - 1) * F.HOP + F.FRAME_LENGTH
TOL = 480  # samples of slack at the phrase edges


def _clips_job(args):
    utts, seed, kw = args
    if "running" in kw:
        return D.make_running_clips(utts, seed, kw["running"])
    return D.make_clips(utts, seed, **kw)


def build(name, variants, per_variant, seed, clip_seed=None, running=0, **kw):
    """Clips from synthesized utterances, cached; with running=N, N clips of running speech."""
    path = os.path.join(DATA, name + ".npz")
    if os.path.exists(path):
        z = np.load(path)
        return {k: z[k] for k in z.files}
    t = time.time()
    utts = D.synthesize(D.utterance_jobs(variants, per_variant, seed))
    print(name, "synthesized", {k: len(v) for k, v in utts.items()}, "%.0fs" % (time.time() - t), flush=True)
    chunks = 8
    jobs = []
    for c in range(chunks):
        part = {k: v[c::chunks] for k, v in utts.items()}
        opts = dict(running=running // chunks) if running else dict(dict(noise_clips=120), **kw)
        jobs.append((part, (clip_seed or seed) * 100 + c, opts))
    with Pool(2) as pool:
        res = pool.map(_clips_job, jobs)
    feats = [f for r in res for f in r[0]]
    kinds = np.concatenate([r[1] for r in res])
    a = np.concatenate([r[2] for r in res])
    b = np.concatenate([r[3] for r in res])
    packed, offs, lens = D.pack(feats)
    os.makedirs(DATA, exist_ok=True)
    out = dict(feats=packed, offs=offs, lens=lens, kinds=kinds, a=a, b=b)
    np.savez(path, **out)
    print(name, "clips", len(kinds), "frames", len(packed), "%.0fs" % (time.time() - t), flush=True)
    return out


class Windows:
    """Window start ranges per category over packed clip features."""

    def __init__(self, d, mean, std):
        self.x = torch.from_numpy(((d["feats"].astype(np.float32) - mean) / std).astype(np.float32))
        self.cat = {"pos": [], "part": [], "hard": [], "speech": [], "noise": [], "running": []}
        for i, (o, n, k, a, b) in enumerate(zip(d["offs"], d["lens"], d["kinds"], d["a"], d["b"])):
            last = n - WF
            if last < 0:
                continue
            if k == D.POS:
                lo = int(np.ceil((b - TOL - WIN_SAMPLES) / F.HOP))
                hi = int((a + TOL) // F.HOP)
                lo, hi = max(lo, 0), min(hi, last)
                if lo <= hi:
                    self.cat["pos"].append((o + lo, o + hi))
                early = int((a + 0.7 * (b - a) - WIN_SAMPLES) // F.HOP)  # ends before "…vina"
                if early >= 0:
                    self.cat["part"].append((o, o + min(early, last)))
                late = int(np.ceil((a + 0.45 * (b - a)) / F.HOP))  # starts after "hej Se…"
                if late <= last:
                    self.cat["part"].append((o + late, o + last))
            else:
                name = {D.HARD: "hard", D.SPEECH: "speech", D.NOISE: "noise", D.RUNNING: "running"}[int(k)]
                self.cat[name].append((o, o + last))
        self.cat = {k: np.array(v, dtype=np.int64).reshape(-1, 2) for k, v in self.cat.items()}
        self.mined = np.zeros(0, dtype=np.int64)

    def sample(self, rng, cat, n):
        r = self.cat[cat]
        pick = r[rng.integers(0, len(r), n)]
        return pick[:, 0] + (rng.random(n) * (pick[:, 1] - pick[:, 0] + 1)).astype(np.int64)

    def all_negative_starts(self, step):
        out = []
        for cat in ("part", "hard", "speech", "noise", "running"):
            for lo, hi in self.cat[cat]:
                out.append(np.arange(lo, hi + 1, step))
        return np.concatenate(out)

    def gather(self, starts):
        idx = torch.from_numpy(starts)[:, None] + torch.arange(WF)[None, :]
        return self.x[idx]


MIX = [("pos", 52), ("part", 16), ("hard", 24), ("speech", 16), ("noise", 4), ("mined", 16)]


def batch(w, rng, time_mask=0.0, mix=MIX):
    starts, labels = [], []
    for cat, n in mix:
        if cat == "mined":
            if len(w.mined) == 0:
                s = w.sample(rng, "speech", n)
            else:
                s = w.mined[rng.integers(0, len(w.mined), n)]
        else:
            s = w.sample(rng, cat, n)
        starts.append(s)
        labels.append(np.full(n, 1.0 if cat == "pos" else 0.0))
    x = w.gather(np.concatenate(starts))
    # Light frequency masking.
    m = rng.random(len(x)) < 0.3
    for i in np.nonzero(m)[0]:
        f0 = rng.integers(0, 36)
        x[i, :, f0: f0 + rng.integers(1, 5)] = 0.0
    # Time masking: a short stretch of frames set to the mean, as a dropped syllable or a click.
    for i in np.nonzero(rng.random(len(x)) < time_mask)[0]:
        t0 = rng.integers(0, WF - 12)
        x[i, t0: t0 + rng.integers(4, 12), :] = 0.0
    return x, torch.from_numpy(np.concatenate(labels).astype(np.float32))


def score_starts(net, w, starts, bs=1024):
    net.eval()
    out = []
    with torch.no_grad():
        for i in range(0, len(starts), bs):
            out.append(net(w.gather(starts[i: i + bs])).numpy())
    net.train()
    return np.concatenate(out)


def mine(net, w, rng, candidates=60000, keep=15000):
    starts = w.all_negative_starts(4)
    starts = starts[rng.choice(len(starts), min(candidates, len(starts)), replace=False)]
    s = score_starts(net, w, starts)
    order = np.argsort(-s)[:keep]
    order = order[s[order] > -2.0]  # logit > -2: score above ~0.12
    print("  mined %d of %d negative windows (top logit %.2f)" % (len(order), len(starts), s.max() if len(s) else 0), flush=True)
    w.mined = np.concatenate([w.mined, starts[order]])[-60000:]


def clip_windows(d, i):
    o, n = d["offs"][i], d["lens"][i]
    starts = F.window_starts(n, WF, S.STEP_FRAMES)
    return o + np.asarray(starts, dtype=np.int64), np.asarray(starts) * F.HOP + WIN_SAMPLES


def validate(net, val, wv):
    """Scores of every validation clip, windows as the runtime evaluates them."""
    per_clip = []
    for i in range(len(val["kinds"])):
        st, ends = clip_windows(val, i)
        per_clip.append((st, ends))
    allst = np.concatenate([p[0] for p in per_clip])
    logits = score_starts(net, wv, allst)
    scores = 1 / (1 + np.exp(-logits))
    out, k = [], 0
    for st, ends in per_clip:
        out.append((scores[k: k + len(st)], ends))
        k += len(st)
    return out


def choose(val, vs, hours):
    """Pick (threshold, windows): fewest missed positives with false fires on negative speech
    under 0.25 per hour and at most 1 % hard negatives firing."""
    kinds = val["kinds"]
    best, table = None, []
    for windows in (1, 2, 3, 4):
        for th in np.round(np.concatenate([np.arange(0.30, 0.99, 0.02), [0.985, 0.99, 0.995]]), 3):
            missed = hard = fa = 0
            npos = nhard = 0
            for (s, e), k in zip(vs, kinds):
                n = len(counting.fires(s, e, th, windows))
                if k == D.POS:
                    npos += 1
                    missed += n == 0
                elif k == D.HARD:
                    nhard += 1
                    hard += n > 0
                else:
                    fa += n
            row = (windows, th, missed / npos, hard / nhard, fa / hours)
            table.append(row)
            if row[3] <= 0.01 and row[4] <= 0.25 and (best is None or row[2] < best[2] - 1e-9):
                best = row
    return best, table


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--steps", type=int, default=4000)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--lr", type=float, default=3e-3)
    ap.add_argument("--without-context-clips", action="store_true",
                    help="leave out the positives with long context (as the first training run did)")
    ap.add_argument("--extra-negatives", action="store_true",
                    help="add a second set of general speech and hard negatives from the training voices")
    ap.add_argument("--time-mask", type=float, default=0.0,
                    help="share of training windows with a stretch of frames masked")
    ap.add_argument("--running-speech", action="store_true",
                    help="add clips of several sentences in a row at 3-20 dB, for training and validation,"
                         " with 16 of their windows in each batch")
    ap.add_argument("--hard", type=int, default=dict(MIX)["hard"],
                    help="hard-negative windows in each batch of %d" % sum(n for _, n in MIX))
    ap.add_argument("--width", type=int, default=1,
                    help="channels of every convolution times this (with --init: the checkpoint's)")
    ap.add_argument("--init", help="continue from this checkpoint (its weights and mined windows)")
    ap.add_argument("--out", default=os.path.join(C.ROOT, "resources", "wake", "hej-selvina.model"))
    ap.add_argument("--ckpt", default=os.path.join(C.ROOT, "build", "wake-train", "net.pt"))
    args = ap.parse_args()
    mix = [(cat, args.hard if cat == "hard" else n) for cat, n in MIX]
    if args.running_speech:
        mix.append(("running", 16))
    torch.set_num_threads(2)
    torch.manual_seed(args.seed)
    rng = np.random.default_rng(args.seed)
    t0 = time.time()
    train_v, held_v = C.split_variants()
    tr = build("train", train_v, S.TRAIN_PER_VARIANT, S.TRAIN_SEED)
    # The same positives again with long context on both sides, so that windows holding
    # only part of the phrase are plentiful.
    if not args.without_context_clips:
        extra = build("train-context", train_v, S.TRAIN_PER_VARIANT, S.TRAIN_SEED, clip_seed=S.TRAIN_SEED + 1,
                      aug_per=(1, 0, 0), noise_clips=0, context=(1.0, 2.2))
        tr = D.merge(tr, extra)
    if args.extra_negatives:
        more = build("train-negatives", train_v, S.EXTRA_NEGATIVES_PER_VARIANT, S.TRAIN_SEED + 2,
                     aug_per=(0, 2, 2), noise_clips=200)
        tr = D.merge(tr, more)
    val = build("val", train_v, S.VAL_PER_VARIANT, S.VAL_SEED)
    if args.running_speech:
        tr = D.merge(tr, build("train-running", train_v, S.RUNNING_PER_VARIANT, S.TRAIN_SEED + 3, running=800))
        val = D.merge(val, build("val-running", train_v, S.VAL_RUNNING_PER_VARIANT, S.VAL_SEED + 3, running=240))
    f64 = tr["feats"].astype(np.float64)
    mean, std = f64.mean(axis=0), f64.std(axis=0)
    del f64
    w = Windows(tr, mean, std)
    wv = Windows(val, mean, std)
    print("windows:", {k: len(v) for k, v in w.cat.items()}, "data %.0fs" % (time.time() - t0), flush=True)

    start = torch.load(args.init) if args.init else None
    if start is not None:
        args.width = start.get("width", 1)  # the checkpoint's own shape
    net = M.WakeNet(WF, width=args.width)
    if start is not None:
        net.load_state_dict(start["state"])
        mine(net, w, rng, candidates=30000)
    opt = torch.optim.AdamW(net.parameters(), lr=args.lr, weight_decay=1e-4)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=args.lr, total_steps=args.steps, pct_start=0.1)
    mine_at = {int(args.steps * f) for f in (0.35, 0.6, 0.8)}
    t1 = time.time()
    avg = None
    for step in range(1, args.steps + 1):
        x, y = batch(w, rng, args.time_mask, mix)
        loss = TF.binary_cross_entropy_with_logits(net(x), y)
        opt.zero_grad()
        loss.backward()
        opt.step()
        sched.step()
        avg = loss.item() if avg is None else 0.98 * avg + 0.02 * loss.item()
        if step % 200 == 0:
            print("step %d loss %.4f %.0fs" % (step, avg, time.time() - t1), flush=True)
        if step in mine_at:
            mine(net, w, rng)
    train_time = time.time() - t1

    net.eval()
    vs = validate(net, val, wv)
    kinds = val["kinds"]
    speech_samples = sum(val["lens"][i] * F.HOP for i in range(len(kinds)) if kinds[i] in (D.SPEECH, D.NOISE, D.RUNNING))
    hours = speech_samples / C.SR / 3600
    best, table = choose(val, vs, hours)
    for row in table:
        if row[1] in (0.5, 0.7, 0.8, 0.9):
            print("  val windows=%d th=%.2f missed %.1f%% hard %.1f%% fa/h %.2f" % (row[0], row[1], 100 * row[2], 100 * row[3], row[4]))
    if best is None:
        best = min(table, key=lambda r: r[4] + r[3] * 100 + r[2])
    print("chosen", best, "val hours %.2f" % hours, flush=True)

    # Silence gate: a tenth of the quietest positive's loudest frame.
    peaks = []
    for i in np.nonzero(tr["kinds"] == D.POS)[0]:
        o, n = tr["offs"][i], tr["lens"][i]
        e = np.exp(tr["feats"][o: o + n].astype(np.float64)).sum(axis=1)
        peaks.append(e.max())
    gate = float(np.min(peaks) / 10)
    print("gate_energy %.3g (quietest positive peak %.3g)" % (gate, np.min(peaks)))

    trained = "espeak-ng Polish, %d training variants, %d clips; %s; %s, %d steps, seed %d%s" % (
        len(train_v), len(tr["kinds"]), datetime.date.today().isoformat(), VERSION, args.steps, args.seed,
        ", continued from %s" % os.path.basename(args.init) if args.init else "")
    os.makedirs(os.path.dirname(args.ckpt), exist_ok=True)
    torch.save(dict(state=net.state_dict(), width=args.width, mean=mean, std=std, window_frames=WF, step_frames=S.STEP_FRAMES,
                    threshold=float(best[1]), windows=int(best[0]), gate_energy=gate, trained=trained), args.ckpt)
    export.write(args.out, net, mean, std, WF, S.STEP_FRAMES, best[1], best[0], gate, trained)
    print("wrote %s (%d bytes); training %.0fs, total %.0fs" % (args.out, os.path.getsize(args.out), train_time, time.time() - t0))


if __name__ == "__main__":
    main()
