"""kelvane.stretch and kelvane.Stream as a Python user meets them: what comes
out (pitch, length, level, shape), what is refused, and what threads and the
caller's floating-point mode see."""
import math
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import kelvane

RATE = 44100


def tone(frequency, seconds, rate=RATE, level=0.5, channels=None):
    t = np.arange(int(seconds * rate)) / rate
    wave = level * np.sin(2 * np.pi * frequency * t)
    if channels is None:
        return wave.astype(np.float32)
    # Each channel a little different, so that a channel mix-up shows.
    return np.stack([wave * (1.0 - 0.1 * c) for c in range(channels)]).astype(np.float32)


def music(seconds, channels, rate=RATE, seed=1):
    """Harmonics with vibrato and noise bursts: work for every part of the engine."""
    rng = np.random.default_rng(seed)
    t = np.arange(round(seconds * rate)) / rate
    out = np.zeros((channels, t.size))
    for c in range(channels):
        for f in (110.0, 220.0, 330.0, 495.0):
            out[c] += 0.1 * np.sin(2 * np.pi * f * (1 + 0.003 * np.sin(2 * np.pi * 5 * t)) * t + c)
        out[c] += 0.05 * rng.standard_normal(t.size) * ((t % 0.5) < 0.03)
    return out.astype(np.float32)


def peak_frequency(signal, rate=RATE):
    """The strongest frequency, interpolated between bins of a long window."""
    window = signal * np.hanning(signal.size)
    spectrum = np.abs(np.fft.rfft(window, 8 * signal.size))
    k = int(np.argmax(spectrum))
    a, b, c = np.log(spectrum[k - 1:k + 2] + 1e-30)
    return (k + 0.5 * (a - c) / (a - 2 * b + c)) * rate / (8 * signal.size)


def expected_frames(frames, speed):
    """kelvane-render's rule: input * 100 / speed percent, rounded half away."""
    return max(1, math.floor(frames * 100.0 / (speed * 100.0) + 0.5)) if frames else 0


def middle(signal, seconds=0.5, rate=RATE):
    centre = signal.shape[-1] // 2
    half = int(seconds * rate) // 2
    return signal[..., centre - half:centre + half]


@pytest.mark.parametrize("speed, pitch", [(1.0, 0.0), (0.5, 3.0), (2.0, -5.0), (0.25, 12.0), (4.0, 0.0),
                                          (1.0, -24.0), (0.8, 24.0)])
def test_pitch_length_and_level(speed, pitch):
    source = tone(440.0, 2.0)
    out = kelvane.stretch(source, RATE, speed=speed, pitch=pitch)
    assert out.dtype == np.float32 and out.ndim == 1
    assert out.size == expected_frames(source.size, speed)
    heard = middle(out, 0.4)
    target = 440.0 * 2 ** (pitch / 12)
    assert abs(1200 * math.log2(peak_frequency(heard) / target)) < 5
    level_db = 20 * math.log10(np.sqrt(np.mean(heard ** 2)) / np.sqrt(np.mean(middle(source) ** 2)))
    assert abs(level_db) < 1.0


@pytest.mark.parametrize("frames, speed", [(1, 4.0), (3, 2.0), (1001, 3.0), (44100, 0.3), (12345, 1.7)])
def test_length_is_the_renderers_rounding(frames, speed):
    source = music(frames / RATE, 2)
    assert source.shape[1] == frames
    out = kelvane.stretch(source, RATE, speed=speed)
    assert out.shape == (2, expected_frames(frames, speed))


def test_unity_gives_the_input_and_reverse_gives_it_backwards():
    source = music(1.0, 2)
    # The engine's gain ripple is a few parts in ten thousand.
    assert np.max(np.abs(kelvane.stretch(source, RATE) - source)) < 2e-3
    backwards = kelvane.stretch(source, RATE, reverse=True)
    assert np.max(np.abs(backwards - source[:, ::-1])) < 2e-3


@pytest.mark.parametrize("layout", ["mono", "one row", "stereo", "eight", "float64", "float16", "transposed",
                                    "strided", "list"])
def test_shapes_dtypes_and_layouts(layout):
    base = music(0.3, 8, seed=2)
    reference = {
        "mono": base[0], "one row": base[:1], "stereo": base[:2], "eight": base, "float64": base[:2],
        "float16": base[:2].astype(np.float16).astype(np.float32), "transposed": base[:2],
        "strided": base[:2], "list": base[0],
    }[layout]
    given = {
        "float64": base[:2].astype(np.float64),
        "float16": base[:2].astype(np.float16),
        "transposed": np.ascontiguousarray(base[:2].T).T,
        "strided": np.repeat(base[:2], 2, axis=1)[:, ::2],
        "list": base[0].astype(np.float64).tolist(),
    }.get(layout, reference)
    out = kelvane.stretch(given, RATE, speed=0.9, pitch=1.0)
    assert out.dtype == np.float32 and out.flags.c_contiguous
    assert out.shape == reference.shape[:-1] + (expected_frames(reference.shape[-1], 0.9),)
    # float64 samples are read as float32: the same output, bit for bit.
    assert np.array_equal(out, kelvane.stretch(np.ascontiguousarray(reference, np.float32), RATE,
                                               speed=0.9, pitch=1.0))
    assert np.isfinite(out).all()


def test_channels_keep_their_own_content():
    left = tone(440.0, 1.0)
    right = tone(660.0, 1.0, level=0.25)
    out = kelvane.stretch(np.stack([left, right]), RATE, speed=0.5, pitch=2.0)
    ratio = 2 ** (2 / 12)
    assert abs(peak_frequency(middle(out[0])) / (440 * ratio) - 1) < 0.003
    assert abs(peak_frequency(middle(out[1])) / (660 * ratio) - 1) < 0.003
    assert np.sqrt(np.mean(middle(out[1]) ** 2)) / np.sqrt(np.mean(middle(out[0]) ** 2)) == pytest.approx(0.5, 0.1)


def test_empty_input_gives_empty_output():
    assert kelvane.stretch(np.zeros((2, 0), np.float32), RATE, speed=0.5).shape == (2, 0)
    assert kelvane.stretch(np.zeros(0), RATE).shape == (0,)


def test_formant_options_reach_the_engine():
    voice = music(1.0, 1)[0]
    plain = kelvane.stretch(voice, RATE, pitch=5.0)
    kept = kelvane.stretch(voice, RATE, pitch=5.0, preserve_formants=True)
    assert np.array_equal(kept, kelvane.stretch(voice, RATE, pitch=5.0, formant=5.0))
    assert not np.allclose(kept, plain, atol=1e-3)


ROW = np.zeros((2, 100), np.float32)
REFUSALS = [
    (dict(sample_rate=31999), ValueError, "sample_rate 31999 Hz is outside 32000 to 196000"),
    (dict(sample_rate=196001), ValueError, "sample_rate 196001"),
    (dict(speed=0.2), ValueError, "speed 0.2 is outside 0.25 to 4.0"),
    (dict(speed=4.5), ValueError, "speed 4.5"),
    (dict(speed=float("nan")), ValueError, "speed nan"),
    (dict(pitch=24.5), ValueError, "pitch 24.5 is outside -24 to 24 semitones"),
    (dict(pitch=float("-inf")), ValueError, "pitch -inf"),
    (dict(formant=-30.0), ValueError, "formant -30"),
    (dict(formant=1.0, preserve_formants=True), ValueError, "cannot be used together"),
    (dict(quality=2), ValueError, "quality 2"),
    (dict(audio=np.zeros((2, 2, 100), np.float32)), ValueError, "not 3-D"),
    (dict(audio=np.float32(0.5)), ValueError, "not 0-D"),
    (dict(audio=np.zeros((9, 100), np.float32)), ValueError, "9 channels: at most 8"),
    (dict(audio=np.zeros((100, 2), np.float32)), ValueError, "100 channels"),
    (dict(audio=np.zeros((0, 100), np.float32)), ValueError, "no channels"),
    (dict(audio=np.where(np.arange(200).reshape(2, 100) == 150, np.nan, 0).astype(np.float32)), ValueError,
     "non-finite sample (NaN or infinity) at channel 1, frame 50"),
    (dict(audio=np.full(100, np.inf)), ValueError, "non-finite"),
    (dict(audio=np.zeros((2, 100), np.int16)), TypeError, "int16 samples"),
    (dict(audio=[0, 1, 2]), TypeError, "int64 samples"),
    (dict(audio=np.zeros(100, np.complex64)), TypeError, "complex"),
    (dict(audio=np.zeros(100, bool)), TypeError, "bool"),
    (dict(audio=np.array(["a", "b"])), TypeError, "floating-point"),
]


@pytest.mark.parametrize("change, error, message", REFUSALS, ids=[m for _, _, m in REFUSALS])
def test_refusals_name_the_problem(change, error, message):
    arguments = dict(audio=ROW, sample_rate=RATE)
    arguments.update(change)
    audio = arguments.pop("audio")
    rate = arguments.pop("sample_rate")
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        kelvane.stretch(audio, rate, **arguments)
    if "audio" not in change:
        with pytest.raises(error, match=message.split()[0]):
            kelvane.Stream(rate, 2, **arguments)


def test_options_are_keyword_only():
    with pytest.raises(TypeError):
        kelvane.stretch(ROW, RATE, 0.5)


def test_the_callers_floating_point_mode_is_kept():
    smallest = np.array([np.finfo(np.float64).smallest_subnormal])
    kelvane.stretch(music(0.5, 2), RATE, speed=0.7, pitch=2.0)
    stream = kelvane.Stream(RATE, 1, speed=1.5)
    stream.process(music(0.5, 1)[0])
    stream.flush()
    assert smallest[0] * 1.0 != 0.0
    assert np.float32(np.finfo(np.float32).smallest_subnormal) * np.float32(1) != 0


def test_two_threads_give_the_results_of_one():
    inputs = [music(1.5, 2, seed=s) for s in (3, 4, 5, 6)]
    settings = [dict(speed=0.5, pitch=3.0), dict(speed=2.0, pitch=-5.0), dict(pitch=7.0, preserve_formants=True),
                dict(speed=1.3, reverse=True)]
    alone = [kelvane.stretch(x, RATE, **s) for x, s in zip(inputs, settings)]
    with ThreadPoolExecutor(2) as pool:
        together = list(pool.map(lambda job: kelvane.stretch(job[0], RATE, **job[1]), zip(inputs, settings)))
    for a, b in zip(alone, together):
        assert np.array_equal(a, b)


def feed(stream, signal, block):
    parts = [stream.process(signal[..., i:i + block]) for i in range(0, signal.shape[-1], block)]
    return np.concatenate(parts + [stream.flush()], axis=-1)


@pytest.mark.parametrize("block", [7, 256, 4097, 30000])
@pytest.mark.parametrize("channels, settings", [
    (2, dict(speed=0.5, pitch=3.0)),
    (1, dict(speed=2.0, pitch=-5.0)),
    (3, dict(speed=1.0, pitch=0.0)),
    (2, dict(speed=0.7, pitch=4.0, preserve_formants=True, quality=0)),
])
def test_streaming_equals_whole(block, channels, settings):
    signal = music(1.0, channels)
    if channels == 1:
        signal = signal[0]
    whole = kelvane.stretch(signal, RATE, **settings)
    quality = settings.pop("quality", 1)
    with kelvane.Stream(RATE, channels, quality, **settings) as stream:
        assert stream.latency == 2048
        assert np.array_equal(feed(stream, signal, block), whole)
        # flush starts afresh: the same signal again gives the same output.
        assert np.array_equal(feed(stream, signal, 5000), whole)
    assert stream.closed
    with pytest.raises(ValueError, match="closed"):
        stream.process(signal)


def test_stream_settings_set_before_the_signal_equal_whole_and_changes_apply_to_later_blocks():
    signal = music(2.0, 2)
    stream = kelvane.Stream(RATE, 2)
    stream.speed, stream.pitch, stream.preserve_formants = 0.5, 3.0, True
    assert np.array_equal(feed(stream, signal, 3000),
                          kelvane.stretch(signal, RATE, speed=0.5, pitch=3.0, preserve_formants=True))

    # Half the signal at 0.5, half at 2.0: each half takes its own speed.
    first, second = signal[:, :RATE], signal[:, RATE:]
    out = [stream.process(first)]
    stream.speed = 2.0
    out += [stream.process(second), stream.flush()]
    assert np.concatenate(out, axis=1).shape == (2, round(RATE / 0.5 + second.shape[1] / 2.0))


def test_stream_refusals():
    with pytest.raises(ValueError, match="channels 9 is outside 1 to 8"):
        kelvane.Stream(RATE, 9)
    stream = kelvane.Stream(RATE, 2)
    with pytest.raises(ValueError, match="block has 1 channels; the stream has 2"):
        stream.process(np.zeros(10, np.float32))
    with pytest.raises(ValueError, match="speed 5"):
        stream.speed = 5.0
    with pytest.raises(ValueError, match="non-finite"):
        stream.process(np.full((2, 10), np.nan, np.float32))
    stream.preserve_formants = True
    with pytest.raises(ValueError, match="cannot be used together"):
        stream.formant = 2.0
    assert stream.speed == 1.0 and stream.formant is None
    # Nothing refused was fed: the stream still equals a whole render.
    signal = music(0.5, 2)
    assert np.array_equal(feed(stream, signal, 999), kelvane.stretch(signal, RATE, preserve_formants=True))


def test_one_stream_is_never_run_by_two_threads_at_once():
    stream = kelvane.Stream(RATE, 2, speed=0.5)
    signal = music(4.0, 2)
    outcomes = []

    def run():
        try:
            outcomes.append(stream.process(signal).shape[1])
        except RuntimeError as refusal:
            outcomes.append(str(refusal))

    threads = [threading.Thread(target=run) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    # Each call either ran whole or was refused; what ran is all there.
    ran = [o for o in outcomes if isinstance(o, int)]
    assert all(o == "the stream is in use by another thread" for o in outcomes if isinstance(o, str))
    assert len(ran) >= 1
    total = sum(ran) + stream.flush().shape[1]
    assert total == expected_frames(len(ran) * signal.shape[1], 0.5)
