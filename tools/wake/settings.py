"""Corpus sizes and seeds shared by the training and evaluation scripts."""
import dataset as D

TRAIN_PER_VARIANT = {D.POS: 45, D.HARD: 40, D.SPEECH: 22}
EXTRA_NEGATIVES_PER_VARIANT = {D.POS: 0, D.HARD: 20, D.SPEECH: 40}
VAL_PER_VARIANT = {D.POS: 6, D.HARD: 6, D.SPEECH: 12}
TRAIN_SEED = 1001
VAL_SEED = 2002
WINDOW_FRAMES = 180
STEP_FRAMES = 8
