"""The benchmark's counting rule for window scores."""
import numpy as np

IGNORE_AFTER_FIRE = 2.0  # seconds


def fires(scores, ends, threshold, windows, sample_rate=16000):
    """Sample positions (window ends) of the fires: `windows` consecutive scores >= threshold;
    after a fire the run restarts and windows ending within 2 s of it are ignored."""
    out, run, last, quiet_until = [], 0, -2, -1
    # Only windows over the threshold can extend a run; a run continues while their indices
    # follow each other (a window ignored after a fire does not count, and breaks nothing).
    ends = np.asarray(ends)
    for i in np.flatnonzero(np.asarray(scores) >= threshold):
        end = ends[i]
        if end < quiet_until:
            continue
        run = run + 1 if last == i - 1 else 1
        last = i
        if run >= windows:
            out.append(int(end))
            run = 0
            quiet_until = end + IGNORE_AFTER_FIRE * sample_rate
    return out
