"""The benchmark's counting rule for window scores."""
import numpy as np

IGNORE_AFTER_FIRE = 2.0  # seconds


def fires(scores, ends, threshold, windows, sample_rate=16000):
    """Sample positions (window ends) of the fires: `windows` consecutive scores >= threshold;
    after a fire the run restarts and windows ending within 2 s of it are ignored."""
    out, run, quiet_until = [], 0, -1
    above = np.asarray(scores) >= threshold
    for ok, end in zip(above, ends):
        if end < quiet_until:
            continue
        run = run + 1 if ok else 0
        if run >= windows:
            out.append(int(end))
            run = 0
            quiet_until = end + IGNORE_AFTER_FIRE * sample_rate
    return out

