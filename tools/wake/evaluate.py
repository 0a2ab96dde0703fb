"""Measure a detector file on the evaluation set written by make_eval.py.

    /usr/bin/python3 tools/wake/evaluate.py MODEL EVALDIR [--threshold T --windows N] [--sweep] [--where]
    /usr/bin/python3 tools/wake/evaluate.py MODEL CALIBDIR --choose [--set-defaults]

Scores every window as the runtime does (from the file, silence gate included), then counts:
a fire is `windows` consecutive scores >= threshold, with 2 s ignored after it; a clip is
missed when it has no fire.
"""
import argparse
import json
import os
import sys

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import counting  # noqa: E402
import export  # noqa: E402

SR = 16000


def load_raw(path):
    return np.fromfile(path, dtype="<i2").astype(np.float64) / 32768.0


def score_set(net, evaldir):
    with open(os.path.join(evaldir, "manifest.json")) as f:
        man = json.load(f)
    clips = {}
    for cond, entries in man["conditions"].items():
        clips[cond] = [(net.scores(load_raw(os.path.join(evaldir, e["file"]))), e["phrase_end"]) for e in entries]
    streams = {}
    for name, file in man["streams"].items():
        x = load_raw(os.path.join(evaldir, file))
        streams[name] = (net.scores(x), len(x) / SR / 3600)
    return clips, streams


def measure(clips, streams, threshold, windows):
    r = {}
    lat = []
    for cond, items in clips.items():
        hits = 0
        for (s, ends), phrase_end in items:
            f = counting.fires(s, ends, threshold, windows)
            hits += bool(f)
            if f and phrase_end is not None and cond == "clean":
                lat.append((f[0] - phrase_end) / SR)
        r[cond] = 100.0 * (1 - hits / len(items)) if cond != "hard_negatives" else 100.0 * hits / len(items)
    for name, ((s, ends), hours) in streams.items():
        r[name] = len(counting.fires(s, ends, threshold, windows)) / hours
    r["latency"] = float(np.mean(lat)) if lat else float("nan")
    return r


def line(th, w, r):
    return ("th %.3f win %d | missed clean %5.1f%%  10dB %5.1f%%  5dB+rev %5.1f%% | hard neg firing %5.1f%% | "
            "FA/h 20dB %5.2f  8dB %5.2f | latency %.2f s" % (
                th, w, r["clean"], r["snr10"], r["snr5_reverb"], r["hard_negatives"],
                r.get("speech_20db", float("nan")), r.get("speech_8db", float("nan")), r["latency"]))


# The goals a default must meet: missed clean and at 10 dB, hard negatives firing (per cent),
# false alarms per hour on each stream.
GOALS = {"clean": 5.0, "snr10": 10.0, "hard_negatives": 2.0, "speech_20db": 0.5, "speech_8db": 0.5}
CHOICE_WINDOWS = (1, 2, 3)
CHOICE_THRESHOLDS = np.round(np.concatenate([np.arange(0.50, 0.99, 0.01), [0.985, 0.99, 0.995]]), 3)


def meets(r, keys=tuple(GOALS)):
    return all(r[k] <= GOALS[k] + 1e-9 for k in keys)


def choose(clips, streams):
    """(threshold, windows, figures) for a set of training voices: of the settings that meet every
    goal, the one missing fewest phrases (all conditions together); when none does, the one with
    the fewest false alarms among those that meet the goals for missed phrases and hard
    negatives. None when not even those are met."""
    def missed(r):
        return r["clean"] + r["snr10"] + r["snr5_reverb"]

    def alarms(r):
        return r["speech_20db"] + r["speech_8db"]

    rows = [(t, w, measure(clips, streams, t, w)) for w in CHOICE_WINDOWS for t in CHOICE_THRESHOLDS]
    full = [row for row in rows if meets(row[2])]
    if full:
        return min(full, key=lambda row: (missed(row[2]), alarms(row[2]), -row[0]))
    near = [row for row in rows if meets(row[2], ("clean", "snr10", "hard_negatives"))]
    return min(near, key=lambda row: (alarms(row[2]), missed(row[2]), -row[0])) if near else None


def where(evaldir, streams, threshold, windows):
    with open(os.path.join(evaldir, "manifest.json")) as f:
        segments = json.load(f).get("stream_segments", {})
    for name, ((s, ends), _) in streams.items():
        for fire in counting.fires(s, ends, threshold, windows):
            print("%s: false alarm at %.1f s" % (name, fire / SR))
            for first, end, text in segments.get(name, []):
                if end > fire - 3 * SR and first < fire + SR // 2:
                    print("    %7.1f-%7.1f s  %s" % (first / SR, end / SR, text))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("model")
    ap.add_argument("evaldir")
    ap.add_argument("--threshold", type=float)
    ap.add_argument("--windows", type=int)
    ap.add_argument("--sweep", action="store_true", help="also print other thresholds and window counts")
    ap.add_argument("--where", action="store_true", help="also print each false alarm with what the stream says there")
    ap.add_argument("--choose", action="store_true",
                    help="pick the default setting on this set (of training voices) under the goals")
    ap.add_argument("--set-defaults", action="store_true", help="with --choose: write the pick into MODEL")
    args = ap.parse_args()
    torch.set_num_threads(2)
    net = export.FileNet(args.model)
    th = args.threshold if args.threshold is not None else net.header["threshold"]
    w = args.windows if args.windows is not None else net.header["windows"]
    clips, streams = score_set(net, args.evaldir)
    if args.choose:
        pick = choose(clips, streams)
        if pick is None:
            sys.exit("no setting misses at most %(clean)g %% clean, %(snr10)g %% at 10 dB with at most "
                     "%(hard_negatives)g %% of hard negatives firing" % GOALS)
        print("chosen (%s):" % ("meets every goal" if meets(pick[2]) else "fewest false alarms; not every goal met"))
        print(line(*pick))
        if args.set_defaults:
            export.set_defaults(args.model, pick[0], pick[1])
            print("wrote the default %.3f / %d into %s" % (pick[0], pick[1], args.model))
        return
    print(line(th, w, measure(clips, streams, th, w)))
    if args.where:
        where(args.evaldir, streams, th, w)
    if args.sweep:
        for ww in (1, 2, 3):
            for t in (0.5, 0.7, 0.8, 0.9, 0.95, 0.98, 0.99, 0.995):
                print(line(t, ww, measure(clips, streams, t, ww)))


if __name__ == "__main__":
    main()
