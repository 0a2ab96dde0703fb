"""Write tests/wake/data/reference.json: one held-out "hej Selvina" clip of 2.5 s as pcm16,
its first 40 normalised feature frames and every window score, all computed from the
exported model file (read back from disk, so the export is checked too).

    /usr/bin/python3 tools/wake/reference.py [MODEL] [OUT]
"""
import json
import os
import sys

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus as C  # noqa: E402
import export  # noqa: E402
import features as F  # noqa: E402

SECONDS = 2.5
LEAD = 0.12


def main():
    model = sys.argv[1] if len(sys.argv) > 1 else os.path.join(C.ROOT, "resources", "wake", "hej-selvina.model")
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.join(C.ROOT, "tests", "wake", "data", "reference.json")
    torch.set_num_threads(2)
    _, held = C.split_variants()
    utt = C.trim(C.synth_many([("hej Selvina", held[0], 50, 165, 100, 0)], 1)[0].astype(np.float64))
    rng = np.random.default_rng(5)
    n = int(SECONDS * C.SR)
    x = rng.standard_normal(n) * 3e-4
    a = int(LEAD * C.SR)
    x[a: a + len(utt)] += utt * (0.25 / np.max(np.abs(utt)))
    pcm = np.clip(np.round(x * 32768), -32768, 32767).astype(np.int16)
    audio = F.pcm16_to_float(pcm)
    net = export.FileNet(model)
    feats = F.normalise(F.log_mel(audio), net.mean, net.std)
    scores, _ = net.scores(audio)
    ref = {"model": os.path.relpath(model, os.path.dirname(out)),
           "pcm16": pcm.tolist(),
           "features": [[round(float(v), 6) for v in row] for row in feats[:40]],
           "scores": [round(float(s), 7) for s in scores]}
    with open(out, "w") as f:
        json.dump(ref, f, separators=(",", ":"))
    print("wrote %s: %d bytes, %d windows, voice %s, scores %s" % (
        out, os.path.getsize(out), len(scores), held[0], np.round(scores, 3).tolist()))


if __name__ == "__main__":
    main()
