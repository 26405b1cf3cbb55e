#!/usr/bin/python3
"""Writes a stereo 16-bit WAV of generated music for the benchmarks.

    music_mix.py OUT.wav [SECONDS] [RATE]

A chord that changes every two seconds with its notes panned apart, a
melody with vibrato moving across the image, noise bursts as drum hits on
each beat and a little hiss, so every program meets tones, transients,
noise and a stereo image. The same arguments always give the same file.
"""
import sys
import wave

import numpy as np


def mix(seconds, rate):
    random = np.random.default_rng(6)
    t = np.arange(int(seconds * rate)) / rate
    left = np.zeros_like(t)
    right = np.zeros_like(t)

    chords = np.array([(220.0, 277.2, 329.6), (196.0, 246.9, 293.7), (174.6, 220.0, 261.6),
                       (164.8, 207.7, 246.9)])
    chord = chords[(t // 2).astype(int) % len(chords)]
    for note, pan in zip(range(3), (0.15, 0.5, 0.85)):  # pan: share in the right channel
        tone = 0.1 * np.sin(2 * np.pi * np.cumsum(chord[:, note]) / rate)
        left += (1 - pan) * tone
        right += pan * tone

    melody = np.array([440.0, 493.9, 523.3, 587.3, 659.3, 587.3, 523.3, 493.9])
    frequency = melody[(t * 4).astype(int) % len(melody)] * (1 + 0.004 * np.sin(2 * np.pi * 5.5 * t))
    tone = 0.25 * np.sin(2 * np.pi * np.cumsum(frequency) / rate)
    pan = 0.5 + 0.4 * np.sin(2 * np.pi * t / 8)
    left += (1 - pan) * tone
    right += pan * tone

    hit = 0.3 * np.exp(-rate * np.log(1 / 0.9993) * (t % 0.5))
    left += hit * random.uniform(-1, 1, t.size) + 0.01 * random.uniform(-1, 1, t.size)
    right += hit * random.uniform(-1, 1, t.size) + 0.01 * random.uniform(-1, 1, t.size)

    frames = np.stack([left, right], axis=1)
    return np.clip(np.round(frames * 32767), -32768, 32767).astype('<i2')


def main():
    path = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
    rate = int(sys.argv[3]) if len(sys.argv) > 3 else 44100
    out = wave.open(path, 'wb')
    out.setnchannels(2)
    out.setsampwidth(2)
    out.setframerate(rate)
    out.writeframes(mix(seconds, rate).tobytes())
    out.close()


if __name__ == '__main__':
    main()
