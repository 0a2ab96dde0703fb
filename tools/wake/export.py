"""Write and read the detector file: b"SVWAKE1\\n", uint32 LE header length, JSON header,
float32 LE blob. Run as a script to export a training checkpoint:

    /usr/bin/python3 tools/wake/export.py build/wake-train/net.pt resources/wake/hej-selvina.model
"""
import hashlib
import json
import struct
import sys

import numpy as np
import torch
from torch import nn
import torch.nn.functional as TF

import features as F

MAGIC = b"SVWAKE1\n"


def _fold(conv, bn):
    scale = bn.weight.detach() / torch.sqrt(bn.running_var + bn.eps)
    w = conv.weight.detach() * scale[:, None, None, None]
    b = bn.bias.detach() - bn.running_mean * scale
    return w.numpy().astype(np.float32), b.numpy().astype(np.float32)


def layers_of(net):
    """Sequential description of a WakeNet with batch-norm folded: [(layer dict, w, b)]."""
    mods = [m for m in list(net.features) + list(net.head) if not isinstance(m, nn.Dropout)]
    out, i = [], 0
    while i < len(mods):
        m = mods[i]
        if isinstance(m, nn.Conv2d):
            w, b = _fold(m, mods[i + 1])
            d = {"type": "dwconv2d" if m.groups > 1 else "conv2d", "in": m.in_channels, "out": m.out_channels,
                 "kernel": list(m.kernel_size), "stride": list(m.stride), "padding": list(m.padding)}
            out.append((d, w, b))
            i += 2
            continue
        if isinstance(m, nn.ReLU):
            out.append(({"type": "relu"}, None, None))
        elif isinstance(m, nn.MaxPool2d):
            k = m.kernel_size if isinstance(m.kernel_size, tuple) else (m.kernel_size, m.kernel_size)
            s = m.stride if isinstance(m.stride, tuple) else (m.stride, m.stride)
            out.append(({"type": "maxpool2d", "kernel": list(k), "stride": list(s)}, None, None))
        elif isinstance(m, nn.Flatten):
            out.append(({"type": "flatten"}, None, None))
        elif isinstance(m, nn.Linear):
            out.append(({"type": "dense", "in": m.in_features, "out": m.out_features},
                        m.weight.detach().numpy().astype(np.float32), m.bias.detach().numpy().astype(np.float32)))
        else:
            raise ValueError("layer the runtime does not know: %r" % m)
        i += 1
    return out


def write(path, net, mean, std, window_frames, step_frames, threshold, windows, gate_energy, trained):
    net.eval()
    desc = layers_of(net)
    blob, layers, embedding = [], [], None
    offset = 0
    for idx, (d, w, b) in enumerate(desc):
        d = dict(d)
        if w is not None:
            d["weights"] = offset
            blob.append(w.ravel())
            offset += w.size
            d["bias"] = offset
            blob.append(b.ravel())
            offset += b.size
        layers.append(d)
    # The voice embedding is the output of the ReLU after the first dense layer.
    dense = [i for i, d in enumerate(layers) if d["type"] == "dense"]
    embedding = dense[0] + 1
    data = np.concatenate(blob).astype("<f4").tobytes()
    header = {
        "format": 1, "sample_rate": F.SAMPLE_RATE, "frame_length": F.FRAME_LENGTH, "hop": F.HOP,
        "fft": F.FFT, "mel_bands": F.MEL_BANDS, "fmin": F.FMIN, "fmax": F.FMAX, "log_floor": F.LOG_FLOOR,
        "window_frames": int(window_frames), "step_frames": int(step_frames),
        "threshold": float(threshold), "windows": int(windows), "gate_energy": float(gate_energy),
        "embedding_layer": embedding,
        "mean": [float(v) for v in mean], "std": [float(v) for v in std],
        "blob_floats": int(offset), "blob_sha256": hashlib.sha256(data).hexdigest(),
        "trained": trained, "layers": layers,
    }
    _save(path, header, data)
    return header


def _save(path, header, data):
    text = json.dumps(header, separators=(",", ":")).encode("utf-8")
    with open(path, "wb") as f:
        f.write(MAGIC + struct.pack("<I", len(text)) + text + data)


def read(path):
    """(header, blob float32) of a detector file, checked as the runtime checks it."""
    with open(path, "rb") as f:
        raw = f.read()
    if raw[:8] != MAGIC:
        raise ValueError("not a detector file")
    (n,) = struct.unpack("<I", raw[8:12])
    header = json.loads(raw[12:12 + n].decode("utf-8"))
    data = raw[12 + n:]
    if len(data) != 4 * header["blob_floats"]:
        raise ValueError("blob size does not match blob_floats")
    if hashlib.sha256(data).hexdigest() != header["blob_sha256"]:
        raise ValueError("blob sha256 mismatch")
    if header["sample_rate"] != 16000 or header["mel_bands"] != 40:
        raise ValueError("unsupported sample rate or band count")
    return header, np.frombuffer(data, dtype="<f4").copy()


def set_defaults(path, threshold, windows):
    """Rewrites the default threshold and window count in a detector file; the weights stay."""
    header, blob = read(path)
    header["threshold"], header["windows"] = float(threshold), int(windows)
    _save(path, header, blob.astype("<f4").tobytes())


class FileNet:
    """The network as the file describes it, run with plain torch ops (no trained module)."""

    def __init__(self, path):
        self.header, blob = read(path)
        self.ops = []
        shape = (1, self.header["window_frames"], self.header["mel_bands"])
        for d in self.header["layers"]:
            t = d["type"]
            if t in ("conv2d", "dwconv2d"):
                kh, kw = d["kernel"]
                cin = 1 if t == "dwconv2d" else d["in"]
                if shape[0] != d["in"]:
                    raise ValueError("sizes do not chain")
                n = d["out"] * cin * kh * kw
                w = torch.from_numpy(blob[d["weights"]: d["weights"] + n].reshape(d["out"], cin, kh, kw))
                b = torch.from_numpy(blob[d["bias"]: d["bias"] + d["out"]])
                groups = d["in"] if t == "dwconv2d" else 1
                self.ops.append(lambda x, w=w, b=b, d=d, g=groups: TF.conv2d(x, w, b, d["stride"], d["padding"], groups=g))
                sh, sw = d["stride"]
                ph, pw = d["padding"]
                shape = (d["out"], (shape[1] + 2 * ph - kh) // sh + 1, (shape[2] + 2 * pw - kw) // sw + 1)
            elif t == "maxpool2d":
                self.ops.append(lambda x, d=d: TF.max_pool2d(x, d["kernel"], d["stride"]))
                shape = (shape[0], (shape[1] - d["kernel"][0]) // d["stride"][0] + 1,
                         (shape[2] - d["kernel"][1]) // d["stride"][1] + 1)
            elif t == "relu":
                self.ops.append(TF.relu)
            elif t == "flatten":
                self.ops.append(lambda x: x.reshape(x.shape[0], -1))
                shape = (shape[0] * shape[1] * shape[2],)
            elif t == "dense":
                if shape[0] != d["in"]:
                    raise ValueError("sizes do not chain")
                w = torch.from_numpy(blob[d["weights"]: d["weights"] + d["in"] * d["out"]].reshape(d["out"], d["in"]))
                b = torch.from_numpy(blob[d["bias"]: d["bias"] + d["out"]])
                self.ops.append(lambda x, w=w, b=b: TF.linear(x, w, b))
                shape = (d["out"],)
            else:
                raise ValueError("unknown layer " + t)
        self.mean = np.asarray(self.header["mean"])
        self.std = np.asarray(self.header["std"])

    def logits(self, windows, batch=1024):
        """windows: [n][window_frames][40] normalised features."""
        out = []
        with torch.no_grad():
            for i in range(0, len(windows), batch):
                x = torch.from_numpy(np.ascontiguousarray(windows[i: i + batch], dtype=np.float32)).unsqueeze(1)
                for op in self.ops:
                    x = op(x)
                out.append(x.reshape(-1).numpy())
        return np.concatenate(out) if out else np.zeros(0, dtype=np.float32)

    def scores(self, audio, gate=True):
        """Every window score of float audio, as the runtime produces them, and window end samples."""
        h = self.header
        energies = F.band_energies(audio)
        feats = F.normalise(np.log(energies + F.LOG_FLOOR), self.mean, self.std)
        starts = F.window_starts(len(feats), h["window_frames"], h["step_frames"])
        if not starts:
            return np.zeros(0), np.zeros(0, dtype=np.int64)
        # Windows are sliced a block at a time: all of them at once would take gigabytes for a long stream.
        block = 4096 * h["step_frames"]
        logits = [self.logits(F.windows(feats[a: a + block + h["window_frames"] - h["step_frames"]],
                                        h["window_frames"], h["step_frames"]))
                  for a in range(0, starts[-1] + 1, block)]
        s = 1.0 / (1.0 + np.exp(-np.concatenate(logits).astype(np.float64)))
        if gate and h["gate_energy"] > 0:
            frame_e = energies.sum(axis=1)
            peak = np.array([frame_e[a: a + h["window_frames"]].max() for a in starts])
            s[peak < h["gate_energy"]] = 0.0
        ends = np.asarray(starts) * F.HOP + (h["window_frames"] - 1) * F.HOP + F.FRAME_LENGTH
        return s, ends


if __name__ == "__main__":
    sys.path.insert(0, __file__.rsplit("/", 1)[0])
    import model as M
    ck = torch.load(sys.argv[1])
    net = M.WakeNet(ck["window_frames"], width=ck.get("width", 1))
    net.load_state_dict(ck["state"])
    h = write(sys.argv[2], net, ck["mean"], ck["std"], ck["window_frames"], ck["step_frames"],
              ck["threshold"], ck["windows"], ck["gate_energy"], ck["trained"])
    print("wrote", sys.argv[2], h["blob_floats"], "floats")
