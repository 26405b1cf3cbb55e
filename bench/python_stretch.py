#!/usr/bin/env python3
"""Real-time factor of kelvane.stretch beside kelvane-bench-engine's, in the same run.

    build-python/venv/bin/python bench/python_stretch.py [build/bench/kelvane-bench-engine] [--rounds N]

One minute of stereo 44100 Hz material (harmonics with vibrato, a chirp, noise
bursts, as the engine benchmark uses) through kelvane.stretch at pitch +3,
speed 50 % and speed 200 % / pitch -5: seconds of input per second of CPU on
one thread, beside the engine benchmark's figure for the same workload. The
machine may be busy, so the two alternate, round after round, and each round
gives a ratio; the table shows the medians. Then two arrays on one thread
after the other, and on two threads at once (wall time).
"""
import argparse
import statistics
import subprocess
import threading
import time
from pathlib import Path

import numpy as np

import kelvane

RATE = 44100
WORKLOADS = [("pitch+3", dict(pitch=3.0)), ("speed50", dict(speed=0.5)),
             ("speed200_pitch-5", dict(speed=2.0, pitch=-5.0))]


def material(seconds=60.0, channels=2, seed=7):
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * RATE)) / RATE
    vibrato = 1.0 + 0.004 * np.sin(2 * np.pi * 5.0 * t)
    chirp = np.cumsum(2 * np.pi * (200.0 + 900.0 * np.fmod(t, 2.0)) / RATE)
    burst = np.fmod(t, 1.25) < 0.08
    out = np.empty((channels, t.size), np.float32)
    for c in range(channels):
        v = np.zeros_like(t)
        for n, f in enumerate((98.0, 196.0, 246.9, 293.7, 392.0)):
            for h in range(1, 7):
                v += 0.03 / h * np.sin(2 * np.pi * f * h * vibrato * t + n + c)
        v += 0.05 * np.sin(chirp + c) + burst * rng.normal(0.0, 0.1, t.size)
        out[c] = v
    return out


def python_rtf(audio, settings):
    start = time.thread_time()
    kelvane.stretch(audio, RATE, **settings)
    return audio.shape[1] / RATE / (time.thread_time() - start)


def engine_rtf(program, name):
    """The engine benchmark's own closing table: "workload/rate   rtf ..."."""
    pattern = "^Kelvane/" + name.replace("+", "[+]") + f"/{RATE}$"
    run = subprocess.run([program, f"--benchmark_filter={pattern}", "--benchmark_min_time=2"],
                         check=True, capture_output=True, text=True)
    for line in run.stdout.splitlines():
        fields = line.split()
        if len(fields) >= 2 and fields[0] == f"{name}/{RATE}":
            return float(fields[1])
    raise RuntimeError(f"no figure for {name} in the engine benchmark's output:\n{run.stdout}")


def wall(jobs):
    start = time.perf_counter()
    threads = [threading.Thread(target=job) for job in jobs]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("engine_bench", nargs="?", default="build/bench/kelvane-bench-engine")
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()
    if not Path(options.engine_bench).exists():
        parser.error(f"{options.engine_bench} not found: build it with cmake --build build --target "
                     "kelvane-bench-engine")
    audio = material()
    print(f"{'workload':<18} {'stretch rtf':>12} {'engine rtf':>11} {'ratio':>7}")
    for name, settings in WORKLOADS:
        ours, theirs, ratios = [], [], []
        for _ in range(options.rounds):
            ours.append(python_rtf(audio, settings))
            theirs.append(engine_rtf(options.engine_bench, name))
            ratios.append(ours[-1] / theirs[-1])
        print(f"{name:<18} {statistics.median(ours):>11.1f}x {statistics.median(theirs):>10.1f}x "
              f"{statistics.median(ratios):>7.3f}")

    other = material(seed=8)
    job = dict(speed=0.5, pitch=3.0)
    speedups = []
    for _ in range(options.rounds):
        one = wall([lambda: (kelvane.stretch(audio, RATE, **job), kelvane.stretch(other, RATE, **job))])
        two = wall([lambda: kelvane.stretch(audio, RATE, **job), lambda: kelvane.stretch(other, RATE, **job)])
        speedups.append(one / two)
    print(f"two arrays, speed 50 % pitch +3: two threads {statistics.median(speedups):.2f} times as fast "
          f"as one (rounds: {', '.join(f'{s:.2f}' for s in speedups)})")

    # On a machine busy with other work a second thread may find no free core;
    # that the GIL is free while the engine works shows all the same.
    finished = threading.Event()
    worker = threading.Thread(target=lambda: (kelvane.stretch(audio, RATE, **job), finished.set()))
    start = time.perf_counter()
    worker.start()
    turns = 0
    while not finished.wait(0.001):
        turns += 1
    worker.join()
    print(f"while one thread stretched for {time.perf_counter() - start:.2f} s, the main thread ran "
          f"{turns} times (the GIL is released)")


if __name__ == "__main__":
    main()
