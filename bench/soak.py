#!/usr/bin/python3
"""Soak test of Sevrane's window: hours of a restless user in minutes.

Runs sevrane on a virtual X server of its own, its sound going to the
default ALSA device, which records into a file and is paced in real time by
a private JACK server on the dummy driver. For the given number of minutes it
does what a user might, at random: loads good, refused, long and
multichannel files through the file dialog, presses Play and Stop, drags
and keys the sliders, clicks on the waveform, toggles Loop and Formant
preserve. It checks that the program never dies and shows no audio failure,
that sound is recorded after every Play that should sound, and that the
program's memory (RSS) stays flat: after each load of the same file it must
come back to where it was early in the run. At the end it closes the window
and expects a clean exit (under the sanitizers, no error and no leak).

    bench/soak.py build/ui/sevrane --minutes 20
    bench/soak.py build-asan/ui/sevrane --minutes 10 --rss-limit-mb 96

Needs Xvfb, xdotool, jackd2 and libasound2-plugins (scripts/deps). Exit
status 0 when every check held, 1 otherwise.
"""
import argparse
import fcntl
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

TITLE = "Kelvane demonstration"
FILE_DIALOG_TITLE = "Open Sound File"
REFUSED_TITLE = "Valtrix"
FAILURE_TITLES = ("Portaudio", "portaudio", "Instance problem")
# The window's grid, in dialog units, and where its controls sit on it.
GRID = (508, 291)
LOAD, PLAY, STOP = (31, 277), (253, 277), (343, 277)
FORMANT, LOOP = (80, 279), (168, 279)
DISPLAY = (8, 67, 493, 94)  # inside the border
SLIDERS = {"pitch": (42, 186, 426), "speed": (42, 234, 426)}
SLIDER_RANGE = (-96, 96)
PAGE_STEP = 4
REVERSE_BELOW = -48  # speed-slider positions below this play backwards
JACK_RATE = 48000
# JACK keeps a machine-wide table of eight servers, and a server that is
# killed keeps its entry until one of the same name starts. So the soak's
# servers take their names from a small pool, each held by a lock while in
# use: whatever happens, it never holds more than these entries.
JACK_NAMES = 3
JACK_STOP_LIMIT = 120
FLOAT_STEREO_BYTES = 8
SILENCE = 0.01


class SoakFailure(Exception):
    pass


def wait_for(what, limit, ready, poll=0.05):
    """Polls `ready` until it returns something true; gives up after `limit` s."""
    deadline = time.monotonic() + limit
    while True:
        value = ready()
        if value:
            return value
        if time.monotonic() > deadline:
            raise SoakFailure(f"gave up after {limit:g} s waiting for {what}")
        time.sleep(poll)


def write_wave(path, rate, channels, width, seconds, frequency):
    frames = int(rate * seconds)
    t = np.arange(frames) / rate
    tone = 0.5 * np.sin(2 * np.pi * frequency * t) * (0.75 + 0.25 * np.sin(2 * np.pi * 0.5 * t))
    full = float(2 ** (8 * width - 1) - 1)
    columns = [np.round(tone * full * (1.0 - 0.1 * c)).astype(np.int32) for c in range(channels)]
    samples = np.stack(columns, axis=1).reshape(-1)
    if width == 2:
        data = samples.astype("<i2").tobytes()
    elif width == 3:
        little = samples.astype("<i4").view(np.uint8).reshape(-1, 4)
        data = little[:, :3].tobytes()
    else:
        data = (samples + 128).astype(np.uint8).tobytes()
    with wave.open(path, "wb") as out:
        out.setnchannels(channels)
        out.setsampwidth(width)
        out.setframerate(rate)
        out.writeframes(data)


# name: (rate, channels, bytes per sample, seconds, Hz); the loader refuses
# the 8000 Hz one.
FILES = {
    "good": (44100, 2, 2, 6, 440),
    "refused": (8000, 1, 2, 2, 440),
    "long": (44100, 2, 2, 240, 330),
    "multichannel": (48000, 6, 3, 20, 550),
    "mono8": (44100, 1, 1, 4, 660),
}


class Sevrane:
    """The program under test, its X server, its JACK server and its recordings."""

    def __init__(self, work, sanitizer_options):
        self.work = work
        self.env = dict(os.environ)
        for name in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY"):
            self.env.pop(name, None)
        runtime = os.path.join(work, "runtime")
        os.mkdir(runtime, 0o700)
        self.env.update({
            "XDG_RUNTIME_DIR": runtime,
            "JACK_NO_AUDIO_RESERVATION": "1",
            "JACK_NO_START_SERVER": "1",
            "ALSA_CONFIG_PATH": os.path.join(work, "alsa.conf"),
        })
        self.env.update(sanitizer_options)
        self.processes = []
        self.jackLock = None
        self.program = None
        self.log = None

    def Start(self, program):
        self.StartJack()
        self.StartX()
        work = self.work
        with open(self.env["ALSA_CONFIG_PATH"], "w") as conf:
            conf.write(f"""pcm.!default {{
    type file
    slave.pcm {{ type plug slave.pcm {{ type jack playback_ports {{ 0 system:playback_1 1 system:playback_2 }} }} }}
    file "{work}/out-%r.raw"
    format "raw"
    perm 0644
}}
""")
        self.log = open(os.path.join(work, "sevrane.log"), "wb")
        self.program = subprocess.Popen([program], env=self.env, stdout=self.log, stderr=subprocess.STDOUT)
        self.processes.append(self.program)
        self.window = wait_for(f'the window "{TITLE}" to be mapped', 120, lambda: self.Alive() and self.Find(TITLE))
        geometry = dict(line.split("=") for line in self.Xdo("getwindowgeometry", "--shell", self.window).split())
        self.size = (int(geometry["WIDTH"]), int(geometry["HEIGHT"]))

    def StartJack(self):
        for slot in range(JACK_NAMES):
            lock = open(os.path.join(tempfile.gettempdir(), f"sevrane-soak-jack-{slot}.lock"), "w")
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                lock.close()
                continue
            self.jackLock = lock
            self.env["JACK_DEFAULT_SERVER"] = f"sevrane-soak-{slot}"
            break
        else:
            raise SoakFailure(f"all {JACK_NAMES} JACK server names of the soak are in use by other runs")
        log = open(os.path.join(self.work, "jackd.log"), "wb")
        jack = subprocess.Popen(["jackd", "-n", self.env["JACK_DEFAULT_SERVER"], "--no-realtime", "-d", "dummy",
                                 "-r", str(JACK_RATE), "-p", "256"], env=self.env, stdout=log, stderr=log)
        self.processes.append(jack)

        def running():
            if jack.poll() is not None:
                raise SoakFailure(f"jackd ended with {jack.returncode}; see {log.name}")
            check = subprocess.run(["jack_wait", "-c"], env=self.env, capture_output=True, text=True)
            return check.stdout.strip() == "running"
        wait_for("the JACK server to run", 120, running, poll=0.2)

    def StartX(self):
        # Xvfb picks a free display itself and names it when it is ready;
        # one that another program's X server pushes aside is replaced.
        for attempt in range(3):
            read, write = os.pipe()
            # -noreset: a server that resets as its last client (the probe
            # below) leaves turns away whoever connects meanwhile.
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24",
                                     "-nolisten", "tcp", "-noreset"], pass_fds=(write,), stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            os.close(write)
            self.processes.append(xvfb)
            with os.fdopen(read) as pipe:
                number = pipe.readline().strip()
            self.env["DISPLAY"] = ":" + number

            def answers():
                if xvfb.poll() is not None:
                    return "gone"
                probe = subprocess.run(["xdotool", "getdisplaygeometry"], env=self.env, capture_output=True)
                return probe.returncode == 0
            if number and wait_for("the virtual X server to answer", 60, answers) is True:
                return
        raise SoakFailure("no virtual X server could be started")

    def Stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(JACK_STOP_LIMIT)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()

    def Alive(self):
        if self.program.poll() is not None:
            raise SoakFailure(f"sevrane ended with status {self.program.returncode}; see {self.log.name}")
        return True

    def Xdo(self, *arguments, check=True):
        result = subprocess.run(["xdotool", *arguments], env=self.env, capture_output=True, text=True)
        if result.returncode != 0 and check and arguments[0] != "search":
            self.Alive()
            raise SoakFailure(f"xdotool {' '.join(arguments)}: {result.stderr.strip()}")
        return result.stdout.strip()

    def Find(self, title):
        found = self.Xdo("search", "--onlyvisible", "--name", f"^{title}$").split()
        return found[0] if found else None

    def Pixel(self, units):
        return (units[0] * self.size[0] // GRID[0], units[1] * self.size[1] // GRID[1])

    def Click(self, units):
        x, y = self.Pixel(units)
        self.Xdo("mousemove", "--window", self.window, str(x), str(y), "click", "1")

    def Drag(self, start, end):
        (x0, y0), (x1, y1) = self.Pixel(start), self.Pixel(end)
        self.Xdo("mousemove", "--window", self.window, str(x0), str(y0), "mousedown", "1")
        for step in range(1, 5):
            x = x0 + (x1 - x0) * step // 4
            self.Xdo("mousemove", "--window", self.window, str(x), str(y0))
        self.Xdo("mouseup", "1")

    def Keys(self, *keys, window=None, check=True):
        # Real key events, into the window given the focus: keys sent to a
        # window directly (xdotool's --window) come without their key-up in
        # Qt's eyes, and the next dialog to open takes the key as still held.
        self.Xdo("windowfocus", "--sync", window or self.window, check=check)
        self.Xdo("key", *keys, check=check)

    def Rss(self):
        with open(f"/proc/{self.program.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
        raise SoakFailure("sevrane has no memory to read")

    def Recording(self, rate):
        """The recording of a stream at `rate`: (identity of its last open, size)."""
        try:
            status = os.stat(os.path.join(self.work, f"out-{rate}.raw"))
        except FileNotFoundError:
            return (None, 0)
        return ((status.st_ino, status.st_ctime_ns), status.st_size)

    def Close(self, limit):
        self.Keys("Escape")
        try:
            return self.program.wait(limit)
        except subprocess.TimeoutExpired:
            raise SoakFailure(f"sevrane did not end within {limit} s of Escape")


class Soak:
    def __init__(self, sevrane, files, rng, limit):
        self.s = sevrane
        self.files = files
        self.rng = rng
        self.limit = limit
        self.loaded = None  # the name of the file whose stream is open
        self.playing = False
        self.loop = True
        self.values = {"pitch": 0, "speed": 0}
        self.rss = []  # (seconds, bytes, what is loaded)
        self.after_load = {}  # file name -> [(seconds, bytes)]
        self.counts = {}
        self.sounding_plays = 0
        self.verbose = False
        self.start = time.monotonic()

    def Note(self, action):
        self.counts[action] = self.counts.get(action, 0) + 1

    def Elapsed(self):
        return time.monotonic() - self.start

    def CheckNoFailureBox(self):
        for title in FAILURE_TITLES:
            if self.s.Find(title):
                raise SoakFailure(f'a "{title}" box appeared (after {self.counts})')

    def Load(self):
        name = self.rng.choice(list(self.files))
        rate = FILES[name][0]
        before = self.s.Recording(rate)[0]
        self.s.Click(LOAD)
        dialog = wait_for("the file dialog", self.limit, lambda: self.s.Alive() and self.s.Find(FILE_DIALOG_TITLE))
        # Alt+N (the "File name" label's mnemonic) puts the typing into the name
        # field, wherever the dialog put its focus.
        self.s.Keys("alt+n", "ctrl+a", window=dialog)
        self.s.Xdo("type", "--delay", "2", self.files[name])
        # The name field's completer may take the first Return for itself.
        def closed():
            if not (self.s.Alive() and self.s.Find(FILE_DIALOG_TITLE)):
                return True
            self.s.Keys("Return", window=dialog, check=False)
            return False
        wait_for("the file dialog to close", self.limit, closed, poll=1.0)
        self.playing = False
        if name == "refused":
            box = wait_for(f'the "{REFUSED_TITLE}" box', self.limit,
                           lambda: self.s.Alive() and self.s.Find(REFUSED_TITLE))
            self.s.Keys("Return", window=box)
            wait_for(f'the "{REFUSED_TITLE}" box to close', self.limit,
                     lambda: self.s.Alive() and not self.s.Find(REFUSED_TITLE))
            self.loaded = None
        else:
            # Opening the stream starts its recording afresh: a new, empty
            # file (the old stream, if it played, was closed first).
            def opened():
                identity, size = self.s.Recording(rate)
                return self.s.Alive() and identity not in (None, before) and size == 0
            wait_for(f"the stream of {name} to open", self.limit, opened)
            self.loaded = name
            self.after_load.setdefault(name, []).append((self.Elapsed(), self.s.Rss()))
        self.Note("load " + name)

    def ShouldSound(self):
        # Reverse play without Loop starts at the beginning and ends at once.
        return self.loop or self.values["speed"] >= REVERSE_BELOW

    def Play(self):
        if self.loaded is None:
            return
        rate = FILES[self.loaded][0]
        start = self.s.Recording(rate)[1]
        # Play shows once the stream is open, a moment after the recording
        # starts; a press that came too early is repeated.
        for attempt in range(3):
            self.s.Click(PLAY)
            try:
                wait_for("the recording to grow after Play", 10, lambda: self.s.Alive() and
                         self.s.Recording(rate)[1] > start)
                break
            except SoakFailure:
                if attempt == 2:
                    raise
        self.playing = True
        self.Note("play")
        if self.ShouldSound():
            quarter = rate // 4 * FLOAT_STEREO_BYTES
            wait_for("a quarter second of sound after Play", self.limit,
                     lambda: self.s.Alive() and self.s.Recording(rate)[1] >= start + 2 * quarter)
            with open(os.path.join(self.s.work, f"out-{rate}.raw"), "rb") as recording:
                recording.seek(start)
                sound = np.frombuffer(recording.read(2 * quarter), dtype="<f4")
            if not np.any(np.abs(sound) > SILENCE):
                raise SoakFailure(f"silence after Play of {self.loaded} (speed {self.values['speed']}, "
                                  f"loop {self.loop})")
            self.sounding_plays += 1

    def Stop(self):
        if self.loaded is None:
            return
        self.s.Click(STOP)
        self.playing = False
        self.Note("stop")

    def Slider(self):
        name = self.rng.choice(list(self.values))
        left, y, width = SLIDERS[name]

        def at(value):
            return (left + 4 + (value - SLIDER_RANGE[0]) * (width - 8) // (SLIDER_RANGE[1] - SLIDER_RANGE[0]), y)
        self.s.Drag(at(self.values[name]), (left + self.rng.randrange(width), y))
        # The drag leaves the thumb where the mouse let go; keys then put it
        # at a position of record, as a user fine-tuning would.
        steps = self.rng.randrange((SLIDER_RANGE[1] - SLIDER_RANGE[0]) // PAGE_STEP + 1)
        self.s.Keys("Home", *(["Page_Up"] * steps))
        self.values[name] = SLIDER_RANGE[0] + PAGE_STEP * steps
        self.Note("slider")

    def Seek(self):
        x, y, width, height = DISPLAY
        self.s.Click((x + self.rng.randrange(width), y + self.rng.randrange(height)))
        self.Note("seek")

    def ToggleLoop(self):
        self.s.Click(LOOP)
        self.loop = not self.loop
        self.Note("loop")

    def ToggleFormant(self):
        self.s.Click(FORMANT)
        self.Note("formant")

    def Run(self, seconds):
        actions = [(self.Load, 12), (self.Play, 20), (self.Stop, 8), (self.Slider, 25), (self.Seek, 20),
                   (self.ToggleLoop, 6), (self.ToggleFormant, 9)]
        functions, weights = zip(*actions)
        next_sample = 0.0
        while self.Elapsed() < seconds:
            action = self.rng.choices(functions, weights)[0]
            if self.verbose:
                print(f"{self.Elapsed():8.1f} s  {action.__name__}", flush=True)
            action()
            self.s.Alive()
            self.CheckNoFailureBox()
            if self.Elapsed() >= next_sample:
                self.rss.append((self.Elapsed(), self.s.Rss(), self.loaded))
                next_sample += 5.0
            time.sleep(self.rng.uniform(0.05, 0.6))

    def MemoryCurve(self):
        print("minute   RSS min / median / max (MB)")
        by_minute = {}
        for seconds, rss, _ in self.rss:
            by_minute.setdefault(int(seconds // 60), []).append(rss / 2**20)
        for minute, values in sorted(by_minute.items()):
            print(f"{minute:5d}   {min(values):7.1f} / {statistics.median(values):7.1f} / {max(values):7.1f}")
        print("after each load of the same file (MB, in order):")
        for name, samples in sorted(self.after_load.items()):
            print(f"  {name:13s} " + " ".join(f"{rss / 2**20:.0f}" for _, rss in samples))

    def MemoryGrowth(self):
        """For each file loaded often enough: late median RSS after its load minus early median."""
        growth = {}
        for name, samples in self.after_load.items():
            values = [rss for _, rss in samples]
            if len(values) >= 6:
                third = len(values) // 3
                growth[name] = (statistics.median(values[-third:]) - statistics.median(values[:third])) / 2**20
        return growth


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program", help="the sevrane program to soak")
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--rss-limit-mb", type=float, default=24,
                        help="how far the memory after loading a file may rise from early to late in the run")
    parser.add_argument("--wait-limit", type=float, default=120, help="seconds to wait for any one step")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--verbose", action="store_true", help="print each action as it is done")
    options = parser.parse_args()

    for tool in ("Xvfb", "xdotool", "jackd", "jack_wait"):
        if shutil.which(tool) is None:
            sys.exit(f"soak: {tool} is missing (scripts/deps installs it)")
    seed = options.seed if options.seed is not None else random.randrange(2**31)
    print(f"soak: {options.program} for {options.minutes:g} min, seed {seed}", flush=True)
    work = tempfile.mkdtemp(prefix="sevrane-soak-")
    files = {}
    for name, (rate, channels, width, seconds, hz) in FILES.items():
        files[name] = os.path.join(work, name + ".wav")
        write_wave(files[name], rate, channels, width, seconds, hz)
    here = os.path.dirname(os.path.abspath(__file__))
    suppressions = os.path.join(here, "..", "tests", "ui", "lsan.supp")
    sanitizer_options = {
        "ASAN_OPTIONS": "detect_leaks=1:abort_on_error=1:quarantine_size_mb=64",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
        "LSAN_OPTIONS": f"suppressions={suppressions}:print_suppressions=0",
    }

    status = 0
    sevrane = None
    soak = None
    try:
        sevrane = Sevrane(work, sanitizer_options)
        sevrane.Start(options.program)
        soak = Soak(sevrane, files, random.Random(seed), options.wait_limit)
        soak.verbose = options.verbose
        soak.Run(options.minutes * 60)
        ran = soak.Elapsed()
        code = sevrane.Close(options.wait_limit)
        if code != 0:
            raise SoakFailure(f"sevrane exited with status {code}; see {sevrane.log.name}")
        soak.MemoryCurve()
        growth = soak.MemoryGrowth()
        for name, megabytes in sorted(growth.items()):
            print(f"soak: memory after loading {name}: {megabytes:+.1f} MB from early to late in the run")
        risen = {name: mb for name, mb in growth.items() if mb > options.rss_limit_mb}
        if not growth:
            raise SoakFailure("too few loads to judge the memory; run longer")
        if risen:
            raise SoakFailure(f"memory rose by more than {options.rss_limit_mb:g} MB: {risen}")
        print(f"soak: passed, {ran / 60:.1f} min, actions {soak.counts}, {soak.sounding_plays} plays heard")
    except SoakFailure as failure:
        status = 1
        print(f"soak: FAILED: {failure}")
        if soak is not None:
            print(f"soak: after {soak.Elapsed() / 60:.1f} min, actions {soak.counts}")
            soak.MemoryCurve()
        if sevrane is not None and "DISPLAY" in sevrane.env and shutil.which("xwd"):
            with open(os.path.join(work, "screen.xwd"), "wb") as screen:
                subprocess.run(["xwd", "-root", "-silent"], env=sevrane.env, stdout=screen)
        if sevrane is not None and sevrane.log is not None:
            sevrane.log.flush()
            with open(sevrane.log.name, "rb") as log:
                tail = log.read()[-4000:].decode(errors="replace")
            print("soak: the end of sevrane's output:\n" + tail)
        options.keep = True
    finally:
        if sevrane is not None:
            sevrane.Stop()
        if options.keep:
            print(f"soak: work folder {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
