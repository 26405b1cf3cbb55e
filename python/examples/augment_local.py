#!/usr/bin/env python3
"""Augment a folder of sound files with random pitch and speed, on all local cores.

    python3 augment_local.py corpus augmented --copies 3 --pitch 2 --speed 0.8 1.25

Every sound file in FOLDER (WAV, FLAC, Ogg, AIFF, W64) gives COPIES outputs in
OUT, named NAME-augK with the input's extension and sample format, each at a
pitch drawn from -PITCH..PITCH semitones and a speed drawn from the range
(evenly on a log scale). The draws depend only on the seed, the file's name and
K, so a run repeats exactly, wherever each file is processed. OUT/augmentations.csv
lists every output with its pitch, speed and frame counts.

kelvane releases the GIL while it works, so plain threads use every core.
"""
import argparse
import csv
import math
import os
import random
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import soundfile

import kelvane

SOUND_SUFFIXES = {".wav", ".flac", ".ogg", ".aiff", ".aif", ".w64"}
MANIFEST = "augmentations.csv"
MANIFEST_FIELDS = ["input", "output", "pitch", "speed", "frames_in", "frames_out"]


def plan(folder, out_folder, copies, seed, max_pitch, speeds):
    """One job (a dict of plain values) per output file."""
    jobs = []
    for source in sorted(Path(folder).iterdir()):
        if source.suffix.lower() not in SOUND_SUFFIXES or not source.is_file():
            continue
        for copy in range(1, copies + 1):
            draw = random.Random(f"{seed}:{source.name}:{copy}")
            slowest, fastest = speeds
            jobs.append({
                "input": str(source),
                "output": str(Path(out_folder) / f"{source.stem}-aug{copy}{source.suffix}"),
                "pitch": round(draw.uniform(-max_pitch, max_pitch), 3),
                "speed": round(math.exp(draw.uniform(math.log(slowest), math.log(fastest))), 4),
            })
    return jobs


def augment(job):
    """Reads one file, stretches it as the job says and writes the result."""
    audio, rate = soundfile.read(job["input"], dtype="float32", always_2d=True)
    info = soundfile.info(job["input"])
    # soundfile gives (frames, channels); kelvane takes (channels, frames).
    result = kelvane.stretch(audio.T, rate, speed=job["speed"], pitch=job["pitch"])
    soundfile.write(job["output"], result.T, rate, subtype=info.subtype, format=info.format)
    return dict(job, frames_in=audio.shape[0], frames_out=result.shape[1])


def write_manifest(out_folder, rows):
    with open(Path(out_folder) / MANIFEST, "w", newline="") as manifest:
        writer = csv.DictWriter(manifest, MANIFEST_FIELDS)
        writer.writeheader()
        writer.writerows(rows)


def arguments(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("folder", help="the sound files to augment")
    parser.add_argument("out", help="the folder for the outputs (made if missing)")
    parser.add_argument("--copies", type=int, default=1, help="outputs per input (default 1)")
    parser.add_argument("--pitch", type=float, default=2.0,
                        help="largest pitch shift in semitones, either way (default 2)")
    parser.add_argument("--speed", type=float, nargs=2, default=(0.8, 1.25), metavar=("SLOWEST", "FASTEST"),
                        help="range of speed factors (default 0.8 1.25)")
    parser.add_argument("--seed", default="0", help="the draws repeat for the same seed (default 0)")
    return parser


def prepare(options):
    Path(options.out).mkdir(parents=True, exist_ok=True)
    return plan(options.folder, options.out, options.copies, options.seed, options.pitch, options.speed)


def main():
    parser = arguments("Augment a folder of sound files with random pitch and speed, on all local cores.")
    parser.add_argument("--jobs", type=int, default=os.cpu_count(), help="files at once (default: one per core)")
    options = parser.parse_args()
    jobs = prepare(options)
    with ThreadPoolExecutor(max_workers=options.jobs) as pool:
        rows = list(pool.map(augment, jobs))
    write_manifest(options.out, rows)
    print(f"{len(rows)} files written to {options.out}")


if __name__ == "__main__":
    main()
