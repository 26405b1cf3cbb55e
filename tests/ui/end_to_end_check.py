"""Writes the tone for Sevrane's end-to-end test (a WAV file, or MP3, FLAC or
Ogg by the name's extension), and checks what it played.

The recording is raw float32 stereo at 44100 Hz as the stream wrote it. The
tone is 440 Hz; while paused the recording must be silent, and the tone must
go on from where it paused; after the pitch slider reaches +24 semitones it
must be four times higher, and after Stop the sound must end.

The tone's level rises slowly through the file, so that the level heard tells
where in the file playback is.
"""
import array
import math
import struct
import sys
import wave

RATE = 44100
TONE_HZ = 440.0
TONE_SECONDS = 20  # longer than the test plays, so that it never loops
# The level at the start of the file and its rise per second of the file.
LEVEL_AT_START = 0.42
LEVEL_RISE = 0.008
WINDOW = RATE // 10
BYTES_PER_FRAME = 8  # float32 stereo
# Runs of exact zeros at least this long are gaps, not the tone.
SHORTEST_GAP = 16
# Seconds of sound that may still be written once Stop is clicked, or once
# Space is pressed to pause.
MOST_AFTER_STOP = 1.0
# The silence of a pause lasts at least this long; underruns are far shorter.
SHORTEST_PAUSE = RATE // 2
# Below this the recording counts as silent.
SILENT = 1e-4
# Resuming where the pause began: the levels heard just before and just after
# differ by at most the rise over this many seconds of the file.
MOST_SKIPPED_SECONDS = 0.75


def write_tone(path):
    if not path.endswith(".wav"):
        # MP3, FLAC, Ogg: through libsndfile (Debian's python3-soundfile).
        import soundfile
        tone = [0.5 * math.sin(2 * math.pi * TONE_HZ * i / RATE) for i in range(RATE * TONE_SECONDS)]
        soundfile.write(path, [[value, value] for value in tone], RATE)
        return
    frames = bytearray()
    for i in range(RATE * TONE_SECONDS):
        level = LEVEL_AT_START + LEVEL_RISE * i / RATE
        value = int(round(level * 32767 * math.sin(2 * math.pi * TONE_HZ * i / RATE)))
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


def pause_heard(left, pause_at, resume_at):
    """Where the silence of the pause begins and ends in the recording, or
    None: the first run of silence at least SHORTEST_PAUSE long that begins
    after Space was pressed, and before it was pressed again."""
    run_start = None
    for i in range(pause_at, len(left)):
        if abs(left[i]) < SILENT:
            if run_start is None:
                if i >= resume_at:
                    return None
                run_start = i
            continue
        if run_start is not None and i - run_start >= SHORTEST_PAUSE:
            return run_start, i
        run_start = None
    return None


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
    pause_at = frames_at(work, "pause.size")
    resume_at = frames_at(work, "resume.size")
    pitch_at = frames_at(work, "pitch.size")
    stop_at = frames_at(work, "stop.size")
    end = frames_at(work, "final.size")
    windows = [(w, left[w:w + WINDOW]) for w in range(start, stop_at - WINDOW + 1, WINDOW)]
    measured = [(w, frequency(samples), max(abs(v) for v in samples)) for w, samples in windows]
    for w, hz, peak in measured:
        marks = {"pitch moved": pitch_at, "paused": pause_at, "resumed": resume_at}
        mark = "".join(f"  ({name})" for name, at in marks.items() if w <= at < w + WINDOW)
        shown = "   (gaps)" if hz is None else f"{hz:7.1f} Hz"
        print(f"{(w - start) / RATE:5.1f} s  {shown}  peak {peak:.3f}{mark}")
    # The edges of the pause are left out of the tone's measures: a window
    # with a little of the tone and the rest silence cannot give its pitch.
    pause = pause_heard(left, pause_at, resume_at)
    quiet_from, quiet_to = (pause[0], pause[1]) if pause else (pause_at, resume_at + RATE)
    heard = [(w, hz, peak) for w, hz, peak in measured
             if hz is not None and (w + WINDOW <= quiet_from or w >= quiet_to)]

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
    # Space pauses within a moment, and the sound stays away until Space
    # again; it comes back at the level, and so at the place, it left off.
    if pause is None:
        failures.append("no silence was recorded after Space paused")
    else:
        silent_from, silent_to = pause
        print(f"paused: silent from {(silent_from - start) / RATE:.2f} s to {(silent_to - start) / RATE:.2f} s")
        if (silent_from - pause_at) / RATE > MOST_AFTER_STOP:
            failures.append(f"{(silent_from - pause_at) / RATE:.2f} s of sound was written after Space paused")
        if silent_to < resume_at:
            failures.append("the sound came back before Space resumed")
        guard = RATE // 10
        before_pause = max(abs(v) for v in left[silent_from - 3 * guard:silent_from - guard])
        after_resume = max(abs(v) for v in left[silent_to + guard:silent_to + 3 * guard])
        print(f"level before the pause {before_pause:.4f}, after it {after_resume:.4f}")
        if abs(after_resume - before_pause) > LEVEL_RISE * MOST_SKIPPED_SECONDS:
            failures.append(f"playback did not resume where it paused: the level went from {before_pause:.4f} "
                            f"to {after_resume:.4f}")
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
