"""Synthesized Polish speech and waveform augmentation for the wake-phrase detector.

Everything is deterministic from a seed. Utterances are synthesized with espeak-ng
(Polish voice with its variants) and cached as int16 .npy files, so a second run
costs only the augmentation.
"""
import hashlib
import os
import subprocess
from multiprocessing import Pool

import numpy as np
from scipy import fft, signal

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CACHE = os.environ.get("SELVINA_WAKE_CACHE", os.path.join(ROOT, "build", "wake-cache"))
VARIANT_DIR = "/usr/lib/x86_64-linux-gnu/espeak-ng-data/voices/!v"
SR = 16000

OPENERS = ["hej", "hey", "ej", "ok", "okej", "halo"]
OPENER_WEIGHTS = [0.40, 0.10, 0.10, 0.10, 0.15, 0.15]
NAMES = ["Selvina", "Selvino"]
NAME_WEIGHTS = [0.7, 0.3]

SIMILAR_NAMES = ["Celina", "Sylwia", "Melania", "Selma", "Ewelina", "Halina", "Paulina",
                 "Karolina", "Marcelina", "Malwina", "Alina", "Selena", "Sabina", "Delfina",
                 "Kalina", "Celestyna", "Weronika", "Wiktoria", "Elwira", "Sylwester",
                 "Celino", "Sylwio", "Ewelino", "Halino", "Karolino", "Malwino", "Sabino",
                 "Selwetka", "Salwa", "Silnik", "selfie", "Wilno", "Zelwa"]
WRONG_PLACE = ["Selvina hej", "Selvina", "Selvino", "selwetka", "Selvina okej", "Selvina, halo",
               "to jest Selvina", "mówiłam o Selvinie", "Selvina to imię", "a Selvina nie",
               "dla Selviny", "z Selviną", "Selvina ok", "Selvino, dzień dobry"]
BARE = ["okej", "hej", "halo", "hej hej", "okej okej", "ok", "ej", "hey", "halo halo",
        "hej, co słychać", "okej, dobrze", "halo, kto mówi", "hej, jak leci", "ok, zrobione",
        "hej, wiesz co", "okej, to na razie", "halo, słyszysz mnie", "ej, patrz"]
EVERYDAY = [
    "Dzień dobry, czy mogę prosić o kawę?", "Jutro rano jadę pociągiem do Krakowa.",
    "Zamknij okno, bo robi się zimno.", "Wczoraj wieczorem oglądaliśmy film w telewizji.",
    "Gdzie położyłeś klucze od samochodu?", "Muszę jeszcze zrobić zakupy na kolację.",
    "Pogoda w tym tygodniu będzie raczej deszczowa.", "Czy wiesz, która jest godzina?",
    "Dzieci wróciły ze szkoły bardzo zmęczone.", "Proszę wyłączyć telefon przed spotkaniem.",
    "To była naprawdę dobra książka.", "Nie zapomnij zadzwonić do mamy.",
    "W sklepie zabrakło chleba i mleka.", "Spotkajmy się o piątej przy dworcu.",
    "Ten komputer działa coraz wolniej.", "Kot śpi na parapecie od samego rana.",
    "Wiadomości o dziewiętnastej, prognoza pogody i sport.", "Lubię spacerować po parku jesienią.",
    "Pan doktor przyjmuje od ósmej do szesnastej.", "Przepraszam, gdzie jest najbliższa apteka?",
    "Mój brat pracuje w banku w Warszawie.", "Czy mógłbyś mi pomóc z tym pudłem?",
    "Zupa jest za słona, dodaj trochę wody.", "Autobus numer sto siedem ma opóźnienie.",
    "Na obiad będą pierogi z kapustą.", "Selekcja zawodników odbędzie się w sobotę.",
    "Celina i Sylwia pojechały nad morze.", "Halina mówi, że Ewelina jest chora.",
    "Okej, to zadzwonię do ciebie później.", "Hej, widziałeś mój parasol?",
    "Halo, czy to biuro podróży?", "Karolina kupiła nowy rower.", "Sylwester był bardzo głośny.",
    "Wilno i Lwów to piękne miasta.", "Zrobiłem sobie selfie przy fontannie.",
]


def variants():
    names = sorted(n for n in os.listdir(VARIANT_DIR) if " " not in n)
    return names


def split_variants():
    """Fixed rule: sorted variant names, every fifth (index % 5 == 2) is held out."""
    names = variants()
    held = [n for i, n in enumerate(names) if i % 5 == 2]
    train = [n for i, n in enumerate(names) if i % 5 != 2]
    return train, held


def _key(args):
    return hashlib.sha1("\x1f".join(map(str, args)).encode()).hexdigest()


def _synth(args):
    text, variant, pitch, speed, amp, gap = args
    path = os.path.join(CACHE, "utt", _key(args)[:2], _key(args) + ".npy")
    if os.path.exists(path):
        return np.load(path)
    cmd = ["espeak-ng", "-v", "pl+" + variant, "-p", str(pitch), "-s", str(speed),
           "-a", str(amp), "-g", str(gap), "--stdout", text]
    raw = subprocess.run(cmd, capture_output=True, check=True).stdout
    x = np.frombuffer(raw[44:], dtype="<i2").astype(np.float64) / 32768.0
    y = signal.resample_poly(x, 320, 441)
    pcm = np.clip(np.round(y * 32768.0), -32768, 32767).astype(np.int16)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".%d.tmp.npy" % os.getpid()
    np.save(tmp, pcm)
    os.replace(tmp, path)
    return pcm


def synth_many(jobs, processes=2):
    """jobs: list of (text, variant, pitch, speed, amp, gap). Returns float32 arrays."""
    with Pool(processes) as pool:
        out = pool.map(_synth, jobs, chunksize=16)
    return [a.astype(np.float32) / 32768.0 for a in out]


def random_prosody(rng):
    return (int(rng.integers(15, 86)), int(rng.integers(115, 215)),
            int(rng.integers(80, 160)), int(rng.choice([0, 0, 0, 1, 2, 4])))


def positive_text(rng):
    opener = rng.choice(OPENERS, p=OPENER_WEIGHTS)
    name = rng.choice(NAMES, p=NAME_WEIGHTS)
    sep = ", " if rng.random() < 0.5 else " "
    if rng.random() < 0.3:
        opener = opener.capitalize()
    end = rng.choice(["", "", "!", "."])
    return f"{opener}{sep}{name}{end}"


def hard_negative_text(rng):
    r = rng.random()
    if r < 0.55:
        opener = rng.choice(OPENERS, p=OPENER_WEIGHTS)
        sep = ", " if rng.random() < 0.5 else " "
        return f"{opener}{sep}{rng.choice(SIMILAR_NAMES)}"
    if r < 0.8:
        return str(rng.choice(WRONG_PLACE))
    return str(rng.choice(BARE))


_WORDS = None


def dictionary_words():
    global _WORDS
    if _WORDS is None:
        with open("/usr/share/dict/polish", encoding="utf-8") as f:
            words = [w.strip() for w in f]
        _WORDS = [w for w in words if 2 <= len(w) <= 11 and w.islower() and w.isalpha()
                  and not w.startswith("sel")]
    return _WORDS


def sentence_text(rng):
    if rng.random() < 0.15:
        return str(rng.choice(EVERYDAY))
    words = dictionary_words()
    n = int(rng.integers(3, 12))
    s = " ".join(words[int(i)] for i in rng.integers(0, len(words), n))
    return s.capitalize() + rng.choice([".", ".", ",", "?", "!"])


def active_span(x, rel=0.05):
    """First and last sample of the voiced part (20 ms frames above rel * peak RMS)."""
    n = len(x) // 320
    if n == 0:
        return 0, len(x)
    rms = np.sqrt((x[: n * 320].reshape(n, 320) ** 2).mean(axis=1) + 1e-12)
    on = np.nonzero(rms > rel * rms.max())[0]
    return int(on[0] * 320), int(min(len(x), (on[-1] + 1) * 320))


def trim(x):
    a, b = active_span(x)
    return x[a:b]


# ---- augmentation -------------------------------------------------------------------

def colored_noise(rng, n, kind):
    if kind == "white":
        return rng.standard_normal(n)
    m = fft.next_fast_len(n, real=True)
    spectrum = fft.rfft(rng.standard_normal(m))
    f = np.arange(len(spectrum)) + 1.0
    spectrum /= np.sqrt(f) if kind == "pink" else f
    y = fft.irfft(spectrum, m)[:n]
    return y / (np.std(y) + 1e-12)


def music(rng, n):
    """Chords of harmonic tones with a rhythm and note envelopes."""
    t = np.arange(n) / SR
    y = np.zeros(n)
    beat = rng.uniform(0.25, 0.7)
    pos = 0
    root = rng.integers(40, 60)
    while pos < n:
        dur = int(beat * SR * rng.choice([1, 1, 2, 0.5]))
        seg = slice(pos, min(n, pos + dur))
        m = seg.stop - seg.start
        env = np.exp(-np.arange(m) / (SR * rng.uniform(0.08, 0.6)))
        env *= np.minimum(1.0, np.arange(m) / (0.005 * SR))
        chord = root + rng.choice([0, 2, 4, 5, 7, 9]) + np.array([0, rng.choice([3, 4]), 7, 12])
        for note in chord[: rng.integers(2, 5)]:
            f0 = 440.0 * 2 ** ((note - 57) / 12)
            for h in range(1, 6):
                if f0 * h < 7000:
                    y[seg] += env * np.sin(2 * np.pi * f0 * h * t[seg] + rng.uniform(0, 6.3)) / h ** rng.uniform(0.8, 2)
        if rng.random() < 0.5:  # percussion
            k = min(m, 1600)
            y[seg.start: seg.start + k] += rng.standard_normal(k) * np.exp(-np.arange(k) / 200) * 0.5
        pos += dur
    return y / (np.std(y) + 1e-12)


def room_impulse(rng):
    rt60 = rng.uniform(0.15, 0.9)
    n = int(SR * min(1.2, rt60 * 1.2))
    t = np.arange(n) / SR
    h = rng.standard_normal(n) * np.exp(-6.9 * t / rt60)
    h[: int(0.002 * SR)] = 0
    h *= rng.uniform(0.3, 1.5) / (np.sqrt(np.sum(h ** 2)) + 1e-12)
    h[0] = 1.0
    return h


def reverb(rng, x):
    return signal.fftconvolve(x, room_impulse(rng))[: len(x)]


_PHONE = signal.butter(4, [300, 3400], btype="band", fs=SR, output="sos")


def band_limit(x):
    return signal.sosfilt(_PHONE, x)


def rms(x):
    return np.sqrt(np.mean(x ** 2) + 1e-12)


def mix_at_snr(speech, noise, snr_db, speech_rms=None):
    s = speech_rms if speech_rms is not None else rms(speech)
    return speech + noise * (s / (rms(noise) * 10 ** (snr_db / 20)))


def background(rng, n, babble_pool=None):
    kind = rng.choice(["white", "pink", "brown", "babble", "music", "music"], p=[0.15, 0.2, 0.15, 0.25, 0.15, 0.1])
    if kind == "music":
        return music(rng, n)
    if kind == "babble" and babble_pool:
        y = np.zeros(n)
        for _ in range(int(rng.integers(3, 7))):
            u = babble_pool[int(rng.integers(len(babble_pool)))]
            if len(u) == 0:
                continue
            reps = int(np.ceil(n / len(u))) + 1
            u = np.tile(u, reps)
            off = int(rng.integers(0, len(u) - n))
            y += u[off: off + n] / (rms(u) + 1e-9)
        return y / (rms(y) + 1e-12)
    return colored_noise(rng, n, "white" if kind == "babble" else kind)


def augment(rng, speech, babble_pool=None, p_noise=0.85, snr=(0, 30), p_reverb=0.5):
    """speech: float array (the utterance already placed on its canvas)."""
    x = speech.astype(np.float64)
    active = x[np.abs(x) > 1e-4]
    srms = rms(active) if len(active) else 1e-3
    if rng.random() < p_reverb:
        x = reverb(rng, x)
    if rng.random() < p_noise:
        x = mix_at_snr(x, background(rng, len(x), babble_pool), rng.uniform(*snr), srms)
    else:
        x = x + rng.standard_normal(len(x)) * srms * 10 ** (-rng.uniform(40, 70) / 20)
    if rng.random() < 0.1:
        x = band_limit(x)
    peak = np.max(np.abs(x)) + 1e-12
    level = 10 ** (rng.uniform(-35, -1) / 20)
    x = x * (level / peak)
    if rng.random() < 0.05:
        x = np.clip(x * rng.uniform(2, 6), -1, 1)
    return np.clip(x, -1, 32767 / 32768).astype(np.float32)
