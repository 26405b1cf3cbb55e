"""Writes the tone for Sevrane's end-to-end test (a WAV file, or MP3, FLAC or
Ogg by the name's extension), and checks what it played.

The recording is raw float32 stereo at 44100 Hz as the stream wrote it. The
tone is 440 Hz; after the pitch slider reaches +24 semitones it must be four
times higher, and after Stop the sound must end.
"""
import array
import math
import struct
import sys
import wave

RATE = 44100
TONE_HZ = 440.0
TONE_SECONDS = 10  # longer than the test plays, so that it never loops
WINDOW = RATE // 10
BYTES_PER_FRAME = 8  # float32 stereo
# Runs of exact zeros at least this long are gaps, not the tone.
SHORTEST_GAP = 16
# Seconds of sound that may still be written once Stop is clicked.
MOST_AFTER_STOP = 1.0


def write_tone(path):
    if not path.endswith(".wav"):
        # MP3, FLAC, Ogg: through libsndfile (Debian's python3-soundfile).
        import soundfile
        tone = [0.5 * math.sin(2 * math.pi * TONE_HZ * i / RATE) for i in range(RATE * TONE_SECONDS)]
        soundfile.write(path, [[value, value] for value in tone], RATE)
        return
    frames = bytearray()
    for i in range(RATE * TONE_SECONDS):
        value = int(round(0.5 * 32767 * math.sin(2 * math.pi * TONE_HZ * i / RATE)))
        frames += struct.pack("<hh", value, value)
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


def sounding(samples):
    """The samples without runs of exact silence. When the stream falls behind
    (an underrun, on a busy machine) the audio library fills the device with
    silence, and the recording holds those runs between the stream's blocks."""
    kept = []
    run = 0
    for index, value in enumerate(samples):
        if value == 0.0:
            run += 1
            continue
        if 0 < run < SHORTEST_GAP:
            kept.extend(samples[index - run:index])
        run = 0
        kept.append(value)
    return kept


def frequency(samples):
    """The frequency of the tone in a window, or None when it is mostly gaps."""
    sound = sounding(samples)
    if len(sound) < len(samples) // 4:
        return None
    crossings = sum(1 for i in range(1, len(sound)) if (sound[i - 1] < 0) != (sound[i] < 0))
    return crossings / 2 * RATE / len(sound)


def read_number(work, name):
    with open(f"{work}/{name}") as file:
        return float(file.read().strip())


def frames_at(work, name):
    """The frame of the recording at a step, from its size then."""
    return int(read_number(work, name)) // BYTES_PER_FRAME


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

    # Where each step happened in the recording; the driver waited for the
    # sound it needed, so these are frames of sound, not times on a clock.
    pitch_at = frames_at(work, "pitch.size")
    stop_at = frames_at(work, "stop.size")
    end = frames_at(work, "final.size")
    windows = [(w, left[w:w + WINDOW]) for w in range(start, stop_at - WINDOW + 1, WINDOW)]
    measured = [(w, frequency(samples), max(abs(v) for v in samples)) for w, samples in windows]
    for w, hz, peak in measured:
        mark = "  (pitch moved)" if w <= pitch_at < w + WINDOW else ""
        shown = "   (gaps)" if hz is None else f"{hz:7.1f} Hz"
        print(f"{(w - start) / RATE:5.1f} s  {shown}  peak {peak:.3f}{mark}")
    heard = [(w, hz, peak) for w, hz, peak in measured if hz is not None]

    before = [hz for w, hz, _ in heard if w + WINDOW <= pitch_at]
    after = [hz for w, hz, _ in heard if w >= pitch_at]
    # The pitch glides up once the window has taken the key; from the first
    # window at the top, it stays there, for at least the last second.
    risen = next((i for i, hz in enumerate(after) if abs(hz - 4 * TONE_HZ) <= 40), None)
    if not before or any(abs(hz - TONE_HZ) > 10 for hz in before):
        failures.append(f"the tone before the pitch moved is not {TONE_HZ:g} Hz: {before}")
    if risen is None or any(abs(hz - 4 * TONE_HZ) > 40 for hz in after[risen:]) or \
            len(after) - risen < RATE // WINDOW:
        failures.append(f"the tone after the pitch moved does not rise to {4 * TONE_HZ:g} Hz and stay: {after}")
    if any(peak < 0.4 or peak > 0.6 for _, _, peak in heard):
        failures.append("the tone's level changed on the way")
    # Stop ends the sound at once: what was written after it is the little
    # the device and the server hold, and the time the window took to see the
    # click.
    after_stop = (end - stop_at) / RATE
    if after_stop > MOST_AFTER_STOP:
        failures.append(f"{after_stop:.2f} s of sound was written after Stop")

    for failure in failures:
        print("end_to_end: " + failure)
    if not failures:
        print(f"end_to_end: {TONE_HZ:g} Hz rose to {4 * TONE_HZ:g} Hz; "
              f"{(stop_at - start) / RATE:.2f} s of sound, ended by Stop within {after_stop:.2f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--write-tone":
        write_tone(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "--check":
        sys.exit(check(sys.argv[2]))
    else:
        sys.exit("usage: end_to_end_check.py --write-tone FILE.wav|.mp3|.flac|.ogg | --check WORK_FOLDER")
