"""Writes the tone for Sevrane's end-to-end test, and checks what it played.

The recording is raw float32 stereo at 44100 Hz as the stream wrote it. The
tone is 440 Hz; after the pitch slider reaches +24 semitones it must be four
times higher, and after Stop nothing more may be written.
"""
import array
import math
import struct
import sys
import wave

RATE = 44100
TONE_HZ = 440.0
TONE_SECONDS = 4
WINDOW = RATE // 10


def write_tone(path):
    frames = bytearray()
    for i in range(RATE * TONE_SECONDS):
        value = int(round(0.5 * 32767 * math.sin(2 * math.pi * TONE_HZ * i / RATE)))
        frames += struct.pack("<hh", value, value)
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


def frequency(samples):
    crossings = sum(1 for i in range(1, len(samples)) if (samples[i - 1] < 0) != (samples[i] < 0))
    return crossings / 2 * RATE / len(samples)


def read_number(work, name):
    with open(f"{work}/{name}") as file:
        return float(file.read().strip())


def check(work):
    failures = []
    status = read_number(work, "sevrane.status")
    if status != 0:
        failures.append(f"sevrane exited with {status:g}")

    recording = array.array("f")
    with open(f"{work}/out-{RATE}.raw", "rb") as file:
        recording.frombytes(file.read())
    left = recording[0::2]
    start = next((i for i, v in enumerate(left) if abs(v) > 0.01), None)
    if start is None:
        print("end_to_end: no sound was recorded")
        return 1

    played = (len(left) - start) / RATE
    pressed = read_number(work, "stop.time") - read_number(work, "play.time")
    pitch_at = read_number(work, "pitch.time") - read_number(work, "play.time")
    windows = [left[w:w + WINDOW] for w in range(start, len(left) - WINDOW + 1, WINDOW)]
    heard = [(index * WINDOW / RATE, frequency(w), max(abs(v) for v in w)) for index, w in enumerate(windows)]
    for when, hz, peak in heard:
        print(f"{when:5.1f} s  {hz:7.1f} Hz  peak {peak:.3f}")

    before = [hz for when, hz, _ in heard if when < pitch_at - 0.5]
    after = [hz for when, hz, _ in heard if when > pitch_at + 0.5]
    if not before or any(abs(hz - TONE_HZ) > 10 for hz in before):
        failures.append(f"the tone before the pitch moved is not {TONE_HZ:g} Hz: {before}")
    if not after or any(abs(hz - 4 * TONE_HZ) > 40 for hz in after):
        failures.append(f"the tone after the pitch moved is not {4 * TONE_HZ:g} Hz: {after}")
    if any(peak < 0.4 or peak > 0.6 for _, _, peak in heard):
        failures.append("the tone's level changed on the way")
    # Stop ends the sound at once: nothing is written afterwards, and what
    # was written lasts about as long as Play to Stop took.
    if read_number(work, "stopped.size") != read_number(work, "later.size"):
        failures.append("sound went on being written after Stop")
    if abs(played - pressed) > 0.5:
        failures.append(f"{played:.2f} s of sound for {pressed:.2f} s between Play and Stop")

    for failure in failures:
        print("end_to_end: " + failure)
    if not failures:
        print(f"end_to_end: {TONE_HZ:g} Hz rose to {4 * TONE_HZ:g} Hz; {played:.2f} s of sound, ended by Stop")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--write-tone":
        write_tone(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "--check":
        sys.exit(check(sys.argv[2]))
    else:
        sys.exit("usage: end_to_end_check.py --write-tone FILE.wav | --check WORK_FOLDER")
