"""kelvane-play's keys, pressed on a pseudo-terminal while it plays a tone
into a capture device that a private JACK server paces in real time.

Up (an octave of them) must raise the recorded tone to twice its pitch,
Space must silence it until pressed again, q must end the program at once,
and the terminal must be left in the mode it was in, also after Ctrl-C.

    play_keys_test.py KELVANE_PLAY WORK_FOLDER
"""
import array
import fcntl
import math
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time
import wave

RATE = 44100
TONE_HZ = 441.0
TONE_SECONDS = 60
# Generous limits: the machine may be busy; nothing waits a fixed time.
START_LIMIT = 60.0
STEP_LIMIT = 30.0

UP = b"\x1b[A"


def fail(message):
    print("play_keys_test: " + message, file=sys.stderr)
    sys.exit(1)


def write_tone(path):
    frames = array.array("h", (int(12000 * math.sin(2 * math.pi * TONE_HZ * f / RATE))
                               for f in range(RATE * TONE_SECONDS)))
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(frames.tobytes())


class Jack:
    """A JACK server of this run's own on the dummy driver."""

    def __init__(self, work):
        self.name = "kelvane-play-keys-%d" % os.getpid()
        os.environ["JACK_DEFAULT_SERVER"] = self.name
        os.environ["JACK_NO_AUDIO_RESERVATION"] = "1"
        self.log = open(os.path.join(work, "jackd.log"), "wb")
        self.server = subprocess.Popen(
            ["jackd", "-n", self.name, "--no-realtime", "-d", "dummy", "-r", str(RATE), "-p", "256"],
            stdout=self.log, stderr=subprocess.STDOUT)
        waited = subprocess.run(["jack_wait", "-w", "-t", "30"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if waited.returncode != 0:
            self.stop()
            fail("the JACK server did not start (see jackd.log)")

    def stop(self):
        self.server.terminate()
        self.server.wait()
        self.log.close()


class Session:
    """kelvane-play on a fresh pseudo-terminal that is its controlling one."""

    def __init__(self, program, tone, work, arguments=()):
        self.capture = os.path.join(work, "out-%d.raw" % RATE)
        if os.path.exists(self.capture):
            os.remove(self.capture)
        self.master, slave = os.openpty()
        self.slave = slave
        self.mode_before = self.terminal_mode()

        def take_terminal():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.process = subprocess.Popen([program, *arguments, tone], stdin=slave, stdout=slave, stderr=slave,
                                        start_new_session=True, preexec_fn=take_terminal)
        self.screen = b""

    def terminal_mode(self):
        return subprocess.run(["stty", "-g"], stdin=self.slave, capture_output=True, check=True).stdout

    def read_screen(self, seconds):
        ready, _, _ = select.select([self.master], [], [], seconds)
        if ready:
            try:
                self.screen += os.read(self.master, 4096)
            except OSError:
                pass

    def wait_for_screen(self, text, limit):
        deadline = time.monotonic() + limit
        while text not in self.screen:
            if time.monotonic() > deadline or self.process.poll() is not None:
                shown = self.screen.decode(errors="replace")
                fail("never showed %r; the terminal showed:\n%s" % (text, shown))
            self.read_screen(0.1)

    def recorded_frames(self):
        try:
            return os.path.getsize(self.capture) // 8
        except OSError:
            return 0

    def play_on(self, seconds):
        """Waits until the capture has recorded `seconds` more of sound."""
        target = self.recorded_frames() + int(seconds * RATE)
        deadline = time.monotonic() + STEP_LIMIT + seconds
        while self.recorded_frames() < target:
            if time.monotonic() > deadline or self.process.poll() is not None:
                fail("the capture stopped growing at frame %d" % self.recorded_frames())
            self.read_screen(0.02)
        return target

    def press(self, keys):
        os.write(self.master, keys)
        return self.recorded_frames()

    def wait_exit(self, limit):
        deadline = time.monotonic() + limit
        while self.process.poll() is None:
            if time.monotonic() > deadline:
                self.process.kill()
                fail("still running %.0f s after being told to stop" % limit)
            self.read_screen(0.05)
        return self.process.returncode

    def close(self):
        mode_after = self.terminal_mode()
        os.close(self.slave)
        os.close(self.master)
        return mode_after


def left_channel(path, first, last):
    data = array.array("f")
    with open(path, "rb") as capture:
        capture.seek(first * 8)
        data.frombytes(capture.read((last - first) * 8))
    return data[0::2]


def level(samples):
    return math.sqrt(sum(s * s for s in samples) / max(len(samples), 1))


def frequency(samples):
    """The tone's frequency from its rising zero crossings."""
    rising = [i for i in range(1, len(samples)) if samples[i - 1] < 0.0 <= samples[i]]
    if len(rising) < 3:
        return 0.0
    return (len(rising) - 1) * RATE / (rising[-1] - rising[0])


def check_keys(program, tone, work):
    session = Session(program, tone, work)
    session.wait_for_screen(b"/ 1:00.0", START_LIMIT)
    session.play_on(1.0)
    before_up = session.press(UP * 12)
    session.wait_for_screen(b"pitch +12", STEP_LIMIT)
    session.play_on(2.0)
    before_pause = session.press(b" ")
    session.wait_for_screen(b"paused", STEP_LIMIT)
    session.play_on(2.0)
    before_resume = session.press(b" ")
    session.play_on(1.0)
    before_quit = session.press(b"q")
    status = session.wait_exit(STEP_LIMIT)
    mode_after = session.close()
    if status != 0:
        fail("exit status %d after q" % status)
    if mode_after != session.mode_before:
        fail("the terminal's mode was not restored after q:\n%s\n%s" % (session.mode_before, mode_after))

    # The recording from the file's start: the tone, an octave up, silence,
    # the octave-up tone again; and nothing near the tone's minute after q.
    capture = session.capture
    settle = RATE // 2  # latency, glide and the device's buffers
    plain = frequency(left_channel(capture, before_up - RATE // 2, before_up))
    raised = frequency(left_channel(capture, before_up + settle, before_pause))
    quiet = level(left_channel(capture, before_pause + settle, before_resume))
    resumed = left_channel(capture, before_resume + settle, before_quit)
    print("tone %.1f Hz, after Up x12 %.1f Hz, paused level %.5f, resumed %.1f Hz at level %.3f"
          % (plain, raised, quiet, frequency(resumed), level(resumed)))
    if abs(plain - TONE_HZ) > 5:
        fail("the tone played at %.1f Hz, not %.0f Hz" % (plain, TONE_HZ))
    if abs(raised - 2 * TONE_HZ) > 10:
        fail("after Up x12 the tone is %.1f Hz, not %.0f Hz" % (raised, 2 * TONE_HZ))
    if quiet > 1e-4:
        fail("paused, the output still carries level %.5f" % quiet)
    if abs(frequency(resumed) - 2 * TONE_HZ) > 10 or level(resumed) < 0.1:
        fail("after Space again the tone did not come back")
    if session.recorded_frames() > before_quit + 10 * RATE:
        fail("the sound went on after q")


def check_ctrl_c(program, tone, work):
    session = Session(program, tone, work, ["--loop"])
    session.wait_for_screen(b"/ 1:00.0", START_LIMIT)
    session.play_on(0.5)
    session.press(b"\x03")  # the terminal turns it into SIGINT
    status = session.wait_exit(STEP_LIMIT)
    mode_after = session.close()
    if status != 0:
        fail("exit status %d after Ctrl-C" % status)
    if mode_after != session.mode_before:
        fail("the terminal's mode was not restored after Ctrl-C")


def main():
    program, work = sys.argv[1], sys.argv[2]
    for tool in ("jackd", "jack_wait", "stty"):
        if shutil.which(tool) is None:
            fail(tool + " is missing (scripts/deps installs it)")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    tone = os.path.join(work, "tone.wav")
    write_tone(tone)
    with open(os.path.join(work, "alsa.conf"), "w") as conf:
        conf.write('pcm.!default {\n'
                   '    type file\n'
                   '    slave.pcm { type plug slave.pcm { type jack\n'
                   '        playback_ports { 0 system:playback_1 1 system:playback_2 } } }\n'
                   '    file "%s/out-%%r.raw"\n'
                   '    format "raw"\n'
                   '    perm 0644\n'
                   '}\n' % work)
    os.environ["ALSA_CONFIG_PATH"] = os.path.join(work, "alsa.conf")
    jack = Jack(work)
    try:
        check_keys(program, tone, work)
        check_ctrl_c(program, tone, work)
    finally:
        jack.stop()
    print("play_keys_test: keys, pause, quit and the terminal's mode as expected")


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    main()
