"""The augmentation examples over a folder of twenty short files: on local
threads, and on a Dask LocalCluster of two workers."""
import csv
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import soundfile

EXAMPLES = Path(__file__).resolve().parents[2] / "python" / "examples"
RATE = 44100


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    folder = tmp_path_factory.mktemp("corpus")
    rng = np.random.default_rng(7)
    for n in range(20):
        frames = int(RATE * rng.uniform(0.2, 0.5))
        t = np.arange(frames) / RATE
        audio = 0.3 * np.sin(2 * np.pi * (200 + 30 * n) * t)
        # Mono and stereo, 16-bit WAV and FLAC.
        if n % 2:
            audio = np.stack([audio, 0.5 * audio], axis=1)
        soundfile.write(folder / f"take{n:02}{'.flac' if n % 3 == 0 else '.wav'}", audio, RATE, subtype="PCM_16")
    (folder / "notes.txt").write_text("not a sound file")
    return folder


@pytest.mark.parametrize("script, extra", [("augment_local.py", ["--jobs", "2"]),
                                           ("augment_dask.py", ["--workers", "2"])])
def test_augmenting_a_folder_writes_every_file_right(corpus, tmp_path, script, extra):
    out = tmp_path / "out"
    subprocess.run([sys.executable, str(EXAMPLES / script), str(corpus), str(out), "--pitch", "3",
                    "--speed", "0.7", "1.4", "--seed", "test"] + extra, check=True, timeout=300)
    with open(out / "augmentations.csv") as manifest:
        rows = list(csv.DictReader(manifest))
    assert sorted(Path(row["output"]).name for row in rows) == sorted(
        f"{p.stem}-aug1{p.suffix}" for p in corpus.iterdir() if p.suffix != ".txt")
    pitches = set()
    for row in rows:
        source = soundfile.info(row["input"])
        written = soundfile.info(row["output"])
        speed, pitch = float(row["speed"]), float(row["pitch"])
        assert 0.7 <= speed <= 1.4 and -3 <= pitch <= 3
        pitches.add(pitch)
        assert (written.samplerate, written.channels, written.format, written.subtype) == (
            source.samplerate, source.channels, source.format, source.subtype)
        # kelvane-render's length: frames * 100 / speed percent, rounded half away.
        expected = max(1, math.floor(source.frames * 100.0 / (speed * 100.0) + 0.5))
        assert written.frames == int(row["frames_out"]) == expected
        heard, _ = soundfile.read(row["output"], always_2d=True)
        assert 0.05 < np.sqrt(np.mean(heard[:, 0] ** 2)) < 0.4
    assert len(pitches) == 20, "each file draws its own pitch"
