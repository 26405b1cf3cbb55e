"""The plug-ins in real hosts: lv2_validate, lv2ls and lv2info describe
them, lv2apply runs them offline on generated files, and jalv runs the
stereo one in real time on a private JACK server on the dummy driver.

KELVANE_LV2_PATH names the folder that holds the bundle kelvane.lv2.
"""
import os
import signal
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest
import soundfile

LV2_PATH = os.environ["KELVANE_LV2_PATH"]
BUNDLE = Path(LV2_PATH) / "kelvane.lv2"
URI = "https://www.valtrix.example/plugins/kelvane/#"
CONTROL_SYMBOLS = ["pitch", "preserve_formants", "formant", "freeze", "latency"]
AUDIO_SYMBOLS = {"mono": ["in", "out"], "stereo": ["in_l", "in_r", "out_l", "out_r"]}
NAMES = {"mono": "Kelvane Pitch Shifter (Mono)", "stereo": "Kelvane Pitch Shifter (Stereo)"}
# The plug-ins' latency: the engine's 2N and five hops.
LATENCY = {44100: 2048 + 5 * 256, 48000: 2048 + 5 * 256, 96000: 8192 + 5 * 1024}
# Generous limits for a busy machine; every wait ends as soon as its
# condition holds.
WAIT_SECONDS = 120


def host_environment():
    return dict(os.environ, LV2_PATH=LV2_PATH)


def run_host(*arguments):
    return subprocess.run(arguments, env=host_environment(), capture_output=True, text=True, timeout=WAIT_SECONDS)


def fundamental(signal_, rate, lowest=60.0, highest=2000.0):
    """The strongest partial's frequency, to a fraction of a hertz."""
    windowed = signal_ * np.hanning(len(signal_))
    size = 4 * len(signal_)
    magnitude = np.abs(np.fft.rfft(windowed, size)) + 1e-12
    bins = np.arange(len(magnitude)) * rate / size
    band = np.nonzero((bins >= lowest) & (bins <= highest))[0]
    peak = band[np.argmax(magnitude[band])]
    left, centre, right = np.log(magnitude[peak - 1 : peak + 2])
    return (peak + 0.5 * (left - right) / (left - 2 * centre + right)) * rate / size


def harmonic_tone(frequency, rate, seconds, partials=6):
    time_ = np.arange(int(rate * seconds)) / rate
    return sum(0.4 / k * np.sin(2 * np.pi * k * frequency * time_) for k in range(1, partials + 1))


def apply(tmp_path, variant, rate, channels, controls):
    """Runs `channels` (frames x channels) through the plug-in with lv2apply."""
    source = tmp_path / "in.wav"
    result = tmp_path / "out.wav"
    soundfile.write(source, channels.astype(np.float32), rate, subtype="FLOAT")
    arguments = ["lv2apply", "-i", str(source), "-o", str(result)]
    for symbol, value in controls.items():
        arguments += ["-c", symbol, str(value)]
    completed = run_host(*arguments, URI + variant)
    assert completed.returncode == 0, completed.stderr
    output, output_rate = soundfile.read(result, dtype="float32", always_2d=True)
    assert output_rate == rate
    return output


def test_the_turtle_validates_against_the_lv2_vocabularies():
    completed = subprocess.run(["lv2_validate", *sorted(map(str, BUNDLE.glob("*.ttl")))],
                               capture_output=True, text=True, timeout=WAIT_SECONDS)
    report = completed.stdout + completed.stderr
    # lv2_validate exits with 0 whatever it finds: its summary tells.
    assert completed.returncode == 0, report
    assert "Found 0 errors" in report, report
    assert "warning" not in report.lower(), report


@pytest.mark.parametrize("variant", ["mono", "stereo"])
def test_lv2ls_and_lv2info_show_each_plugin_with_every_port(variant):
    listing = run_host("lv2ls")
    assert URI + variant in listing.stdout.split(), listing.stdout + listing.stderr
    info = run_host("lv2info", URI + variant)
    assert info.returncode == 0, info.stderr
    assert f"Name:              {NAMES[variant]}" in info.stdout
    assert "Has latency:       yes, reported by port 4" in info.stdout
    symbols = [line.split(":", 1)[1].strip() for line in info.stdout.splitlines() if line.strip().startswith("Symbol:")]
    assert symbols == CONTROL_SYMBOLS + AUDIO_SYMBOLS[variant]


def test_cmake_install_puts_the_bundle_under_lib_lv2(tmp_path):
    completed = subprocess.run(["cmake", "--install", os.environ["KELVANE_BUILD_DIR"], "--component", "lv2",
                                "--prefix", str(tmp_path)], capture_output=True, text=True, timeout=WAIT_SECONDS)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    installed = tmp_path / "lib" / "lv2" / "kelvane.lv2"
    assert sorted(path.name for path in installed.iterdir()) == ["kelvane.so", "manifest.ttl", "mono.ttl", "stereo.ttl"]
    listing = subprocess.run(["lv2ls"], env=dict(os.environ, LV2_PATH=str(installed.parent)), capture_output=True,
                             text=True, timeout=WAIT_SECONDS)
    assert listing.stdout.split() == [URI + "mono", URI + "stereo"]


@pytest.mark.parametrize("variant,rate", [("mono", 44100), ("stereo", 44100), ("stereo", 96000)])
def test_lv2apply_an_octave_up_doubles_the_fundamental_and_keeps_the_length(tmp_path, variant, rate):
    fundamentals = [196.0, 293.7][: 1 if variant == "mono" else 2]
    channels = np.stack([harmonic_tone(f, rate, 3.0) for f in fundamentals], axis=1)
    output = apply(tmp_path, variant, rate, channels, {"pitch": 12})
    assert output.shape == channels.shape
    steady = slice(LATENCY[rate] + rate // 2, LATENCY[rate] + rate * 2)
    for channel, frequency in enumerate(fundamentals):
        heard = fundamental(output[steady, channel], rate)
        assert heard == pytest.approx(2 * frequency, rel=0.005), (channel, heard)


@pytest.mark.parametrize("rate", [44100, 96000])
def test_lv2apply_plays_a_click_exactly_the_reported_latency_late(tmp_path, rate):
    clicks = np.zeros((rate, 1))
    clicks[rate // 4, 0] = 0.9
    output = apply(tmp_path, "mono", rate, clicks, {})
    assert int(np.argmax(np.abs(output[:, 0]))) == rate // 4 + LATENCY[rate]


def vowel(rate, seconds, pitch, formants=((730, 90), (1090, 110), (2440, 170))):
    """Harmonics of `pitch` shaped by resonances: a sung 'ah'."""
    time_ = np.arange(int(rate * seconds)) / rate
    signal_ = np.zeros_like(time_)
    for k in range(1, int(4000 / pitch) + 1):
        frequency = k * pitch
        gain = sum(1.0 / (1.0 + ((frequency - centre) / width) ** 2) for centre, width in formants)
        signal_ += gain / np.sqrt(k) * np.sin(2 * np.pi * frequency * time_ + k * k)
    return 0.5 * signal_ / np.max(np.abs(signal_))


def harmonic_envelope_db(signal_, rate, pitch, grid):
    """The spectral envelope through the harmonics' peaks, read on `grid`
    (hertz) in dB below its highest point."""
    magnitude = np.abs(np.fft.rfft(signal_ * np.hanning(len(signal_))))
    bins = np.arange(len(magnitude)) * rate / len(signal_)
    harmonics = np.arange(1, int(4000 / pitch) + 1) * pitch
    levels = [20 * np.log10(magnitude[np.abs(bins - h) < pitch / 3].max() + 1e-12) for h in harmonics]
    envelope = np.interp(grid, harmonics, levels)
    return envelope - envelope.max()


def test_lv2apply_preserve_formants_keeps_a_voices_envelope(tmp_path):
    rate = 44100
    pitch = 130.0
    shifted = pitch * 2 ** (7 / 12)
    voice = vowel(rate, 3.0, pitch)[:, None]
    grid = np.linspace(400, 3000, 200)
    steady = slice(LATENCY[rate] + rate // 2, LATENCY[rate] + 2 * rate)
    original = harmonic_envelope_db(voice[steady, 0], rate, pitch, grid)
    kept = apply(tmp_path, "mono", rate, voice, {"pitch": 7, "preserve_formants": 1})
    moved = apply(tmp_path, "mono", rate, voice, {"pitch": 7})
    kept_error = np.mean(np.abs(harmonic_envelope_db(kept[steady, 0], rate, shifted, grid) - original))
    moved_error = np.mean(np.abs(harmonic_envelope_db(moved[steady, 0], rate, shifted, grid) - original))
    assert kept_error < 3.5, (kept_error, moved_error)
    assert moved_error > 2 * kept_error, (kept_error, moved_error)


class Process:
    """A background program, ended by its own process id."""

    def __init__(self, arguments, environment, **options):
        self.popen = subprocess.Popen(arguments, env=environment, **options)

    def stop(self):
        if self.popen.poll() is None:
            self.popen.send_signal(signal.SIGINT)
            try:
                self.popen.wait(timeout=WAIT_SECONDS)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait()


def wait_for(condition, what):
    deadline = time.monotonic() + WAIT_SECONDS
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.05)


def test_jalv_on_a_jack_server_follows_pitch_moves_in_real_time(tmp_path):
    rate = 48000
    server = f"kelvane-lv2-{os.getpid()}"
    environment = dict(host_environment(), JACK_DEFAULT_SERVER=server, JACK_NO_AUDIO_RESERVATION="1",
                       ALSA_CONFIG_PATH=str(tmp_path / "asound.conf"))
    (tmp_path / "asound.conf").write_text("""
pcm.source {
    type plug
    slave.pcm { type jack playback_ports { 0 kelvane:in_l 1 kelvane:in_r } }
}
pcm.recorder {
    type plug
    slave.pcm { type jack capture_ports { 0 kelvane:out_l 1 kelvane:out_r } }
}
""")
    tone = np.stack([harmonic_tone(220.0, rate, 60.0), harmonic_tone(330.0, rate, 60.0)], axis=1)
    soundfile.write(tmp_path / "tone.wav", (0.5 * tone).astype(np.float32), rate, subtype="PCM_16")
    recording = tmp_path / "recording.raw"
    running = []
    try:
        running.append(Process(["jackd", "-n", server, "--no-realtime", "-d", "dummy", "-r", str(rate), "-p", "256"],
                               environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        waited = subprocess.run(["jack_wait", "-w", "-t", str(WAIT_SECONDS)], env=environment,
                                capture_output=True, text=True, timeout=WAIT_SECONDS + 10)
        assert waited.returncode == 0, waited.stdout + waited.stderr
        jalv = Process(["jalv", "-n", "kelvane", "-x", URI + "stereo"], environment, stdin=subprocess.PIPE,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, text=True)
        running.append(jalv)

        def ports():
            listed = subprocess.run(["jack_lsp"], env=environment, capture_output=True, text=True).stdout.split()
            return {"kelvane:in_l", "kelvane:in_r", "kelvane:out_l", "kelvane:out_r"} <= set(listed)

        wait_for(ports, "jalv's ports")
        running.append(Process(["arecord", "-q", "-D", "recorder", "-t", "raw", "-f", "FLOAT_LE", "-c", "2",
                                "-r", str(rate), str(recording)], environment, stderr=subprocess.DEVNULL))
        running.append(Process(["aplay", "-q", "-D", "source", str(tmp_path / "tone.wav")], environment,
                               stderr=subprocess.DEVNULL))

        def recorded():
            if not recording.exists():
                return np.zeros((0, 2), np.float32)
            data = np.fromfile(recording, dtype="<f4")
            return data[: len(data) // 2 * 2].reshape(-1, 2)

        def sounding_frames():
            loud = np.nonzero(np.abs(recorded()[:, 0]) > 0.05)[0]
            return (len(recorded()) - loud[0], loud[0]) if len(loud) else (0, None)

        # A second of the tone as it is, then an octave up.
        wait_for(lambda: sounding_frames()[0] >= rate, "a second of sound")
        jalv.popen.stdin.write("pitch = 12\n")
        jalv.popen.stdin.flush()
        moved_at = len(recorded())
        wait_for(lambda: len(recorded()) >= moved_at + 2 * rate, "two seconds more")
    finally:
        for process in reversed(running):
            process.stop()
    audio = recorded()
    onset = sounding_frames()[1]
    before = audio[onset + rate // 4 : moved_at]
    after = audio[moved_at + rate : moved_at + 2 * rate]
    assert len(before) >= rate // 2 and len(after) == rate
    for channel, frequency in enumerate([220.0, 330.0]):
        assert fundamental(before[:, channel], rate) == pytest.approx(frequency, rel=0.005)
        assert fundamental(after[:, channel], rate) == pytest.approx(2 * frequency, rel=0.005)
