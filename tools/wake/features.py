"""Log-mel features of the wake-phrase detector (numpy reference).

The C++ runtime computes the same numbers; tests/wake/data/reference.json is
written from this module, so any change here must be made there too.
"""
import numpy as np

SAMPLE_RATE = 16000
FRAME_LENGTH = 400
HOP = 160
FFT = 512
MEL_BANDS = 40
FMIN = 60.0
FMAX = 7600.0
LOG_FLOOR = 1e-6


def _mel(f):
    return 2595.0 * np.log10(1.0 + f / 700.0)


def _hz(m):
    return 700.0 * (10.0 ** (m / 2595.0) - 1.0)


def mel_matrix():
    """W[k][i]: 40 triangular bands over the 257 power bins, no area normalisation."""
    points = _hz(np.linspace(_mel(FMIN), _mel(FMAX), MEL_BANDS + 2))
    f = np.arange(FFT // 2 + 1) * SAMPLE_RATE / FFT
    w = np.zeros((MEL_BANDS, FFT // 2 + 1))
    for k in range(MEL_BANDS):
        lo, c, hi = points[k], points[k + 1], points[k + 2]
        w[k] = np.maximum(0.0, np.minimum((f - lo) / (c - lo), (hi - f) / (hi - c)))
    return w


WINDOW = 0.5 - 0.5 * np.cos(2.0 * np.pi * np.arange(FRAME_LENGTH) / FRAME_LENGTH)
MEL = mel_matrix()


def frame_count(samples):
    return 0 if samples < FRAME_LENGTH else (samples - FRAME_LENGTH) // HOP + 1


def band_energies(audio):
    """E[j][k] for every complete frame j of float audio in [-1, 1)."""
    audio = np.asarray(audio, dtype=np.float64)
    n = frame_count(len(audio))
    if n == 0:
        return np.zeros((0, MEL_BANDS))
    out = np.empty((n, MEL_BANDS))
    for j0 in range(0, n, 20000):  # blocks keep long streams within memory
        j = np.arange(j0, min(n, j0 + 20000))
        idx = np.arange(FRAME_LENGTH)[None, :] + HOP * j[:, None]
        spectrum = np.fft.rfft(audio[idx] * WINDOW, n=FFT, axis=1)
        power = spectrum.real ** 2 + spectrum.imag ** 2
        out[j] = power @ MEL.T
    return out


def log_mel(audio):
    """Un-normalised features [frames][40]: ln(E + 1e-6)."""
    return np.log(band_energies(audio) + LOG_FLOOR)


def pcm16_to_float(pcm):
    return np.asarray(pcm, dtype=np.float64) / 32768.0


def normalise(features, mean, std):
    return (features - np.asarray(mean)) / np.asarray(std)


def window_starts(frames, window_frames, step_frames):
    """First frame of every window the runtime evaluates, in order."""
    if frames < window_frames:
        return []
    return list(range(0, frames - window_frames + 1, step_frames))


def windows(features, window_frames, step_frames):
    """[n][window_frames][40] array of the windows the runtime evaluates."""
    starts = window_starts(len(features), window_frames, step_frames)
    if not starts:
        return np.zeros((0, window_frames, features.shape[1]), dtype=features.dtype)
    idx = np.asarray(starts)[:, None] + np.arange(window_frames)[None, :]
    return features[idx]


def frame_peak_energy(energies):
    """Per frame: E summed over the bands (what the silence gate looks at)."""
    return energies.sum(axis=1)
