#!/usr/bin/env python3
"""Measures how kelvane-render treats onsets and the stereo image.

Generates its inputs, renders them and prints one table:
  - a click train (single-sample clicks 0.5 s apart) at several speeds: the
    energy-weighted RMS time spread within 60 ms of each output peak, the
    energy from 60 ms to 3 ms before the peak relative to that window, and the
    peak's offset from its place (input time x 100 / speed); medians over the
    clicks;
  - eight channels with the click delayed by c ms in channel c: the delays
    that come out;
  - a mostly coherent stereo mix: magnitude-squared coherence between the
    channels (Welch, 4096-point Hann segments, half overlap), averaged from
    100 Hz to 8 kHz;
  - onset levels: a click train whose clicks fall at every place against the
    hops (100.3 ms apart), and decaying noise bursts over a chord, at both
    qualities and several speeds: how far the clicks' peaks come out from
    their level (worst and mean) and the bursts' first 5 ms from the input's
    (RMS, mean and worst);
  - shifted sines (1 to 18 kHz, pitch -24 to +12, both qualities, and the
    bypass where speed and pitch give the same ratio): the strongest
    component more than 250 Hz from the tone relative to it (images of the
    resampler land there), the tone's level change up to 16 kHz, and the
    loudest output of tones shifted beyond the band;
  - a wide stereo mix (a noise bed, a chord and plucked notes, each panned,
    once with a few frames of delay between the channels and once by level
    only, over a decorrelated reverb tail) at pitch +3, speed 50 %, 200 % /
    -5 and 80 % / +7 with formants: the coherence as above and the width
    (side-to-mid energy ratio), beside the same figures for the sources
    rendered one by one and then placed as in the mix;
  - a noise pair with the right channel 10 frames late, shifted: the delay
    between the channels that comes out;
  - band timing: a tone whose level swings slowly (3 Hz), in the long
    spectrum's band (300 Hz) and in the short one's (3 kHz), shifted from
    -12 to +12 semitones: how late the swing comes out, in each band (read
    from the phase of the 3 Hz swing of the output's power);
  - noise levels: white and pink noise (mono, and white in two channels of
    their own) and a chord of steady tones, at both qualities and several
    settings: the level change of each (noise: its power between 60 Hz and
    8 kHz of the input, read where the pitch moves it), and of white noise in
    three bands: the long spectrum's alone (60 to 700 Hz), the crossover (700
    to 1300 Hz) and the short spectrum's alone (1300 to 8000 Hz).

Plain Python, no packages:
  bench/sound_measures.py [path/to/kelvane-render]
"""
import cmath
import math
import os
import random
import struct
import subprocess
import sys
import tempfile
import wave

RATE = 44100


def write_wav(path, channels, rate=RATE):
    frames = len(channels[0])
    data = bytearray()
    for i in range(frames):
        for ch in channels:
            v = max(-32767, min(32767, int(round(ch[i] * 32767))))
            data += struct.pack('<h', v)
    with wave.open(path, 'wb') as w:
        w.setnchannels(len(channels))
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(data))


def read_float_wav(path):
    """Reads the 32-bit float WAV that --bits 32f writes: planar lists."""
    with open(path, 'rb') as f:
        blob = f.read()
    pos = 12
    channels = 1
    while pos + 8 <= len(blob):
        tag = blob[pos:pos + 4]
        size = struct.unpack('<I', blob[pos + 4:pos + 8])[0]
        body = blob[pos + 8:pos + 8 + size]
        if tag == b'fmt ':
            channels = struct.unpack('<H', body[2:4])[0]
        elif tag == b'data':
            values = struct.unpack('<%df' % (len(body) // 4), body)
            return [list(values[c::channels]) for c in range(channels)]
        pos += 8 + size + (size & 1)
    raise RuntimeError('no data chunk in ' + path)


def render(tool, source, target, speed, pitch=0.0, quality=1):
    subprocess.run([tool, '--quiet', '--bits', '32f', '--speed', str(speed), '--pitch', str(pitch),
                    '--quality', str(quality), source, target], check=True)
    return read_float_wav(target)


def median(values):
    s = sorted(values)
    n = len(s)
    return s[n // 2] if n % 2 else 0.5 * (s[n // 2 - 1] + s[n // 2])


def click_measures(x, expected, rate=RATE):
    """Peak offset (ms), spread (ms), pre-energy (dB) around one expected click."""
    search = int(0.02 * rate)
    lo = max(0, expected - search)
    hi = min(len(x), expected + search)
    peak = max(range(lo, hi), key=lambda i: abs(x[i]))
    w = int(0.06 * rate)
    a, b = max(0, peak - w), min(len(x), peak + w + 1)
    energy = [x[i] * x[i] for i in range(a, b)]
    total = sum(energy) + 1e-30
    centre = sum(e * (a + k) for k, e in enumerate(energy)) / total
    spread = math.sqrt(sum(e * (a + k - centre) ** 2 for k, e in enumerate(energy)) / total)
    pre_end = peak - int(0.003 * rate)
    pre = sum(x[i] * x[i] for i in range(a, max(a, pre_end)))
    return ((peak - expected) * 1000.0 / rate, spread * 1000.0 / rate,
            10.0 * math.log10(pre / total + 1e-30))


def click_train(seconds=5.0, first=0.25, gap=0.5, rate=RATE):
    x = [0.0] * int(seconds * rate)
    times = []
    t = first
    while t < seconds - 0.25:
        i = int(round(t * rate))
        x[i] = 0.9
        times.append(i)
        t += gap
    return x, times


def fft(a):
    n = len(a)
    j = 0
    for i in range(1, n):
        bit = n >> 1
        while j & bit:
            j ^= bit
            bit >>= 1
        j |= bit
        if i < j:
            a[i], a[j] = a[j], a[i]
    size = 2
    while size <= n:
        step = cmath.exp(-2j * math.pi / size)
        half = size // 2
        twiddles = [step ** k for k in range(half)]
        for start in range(0, n, size):
            for k in range(half):
                u = a[start + k]
                v = a[start + k + half] * twiddles[k]
                a[start + k] = u + v
                a[start + k + half] = u - v
        size *= 2
    return a


def coherence_spectrum(left, right, last, n=4096):
    """Magnitude-squared coherence of bins 0 .. last (Welch: n-point Hann
    segments overlapping by half)."""
    window = [0.5 - 0.5 * math.cos(2 * math.pi * i / n) for i in range(n)]
    sxx = [0.0] * (last + 1)
    syy = [0.0] * (last + 1)
    sxy = [0j] * (last + 1)
    for start in range(0, min(len(left), len(right)) - n + 1, n // 2):
        fx = fft([complex(left[start + i] * window[i]) for i in range(n)])
        fy = fft([complex(right[start + i] * window[i]) for i in range(n)])
        for k in range(last + 1):
            sxx[k] += abs(fx[k]) ** 2
            syy[k] += abs(fy[k]) ** 2
            sxy[k] += fx[k] * fy[k].conjugate()
    return [abs(sxy[k]) ** 2 / (sxx[k] * syy[k] + 1e-30) for k in range(last + 1)]


def coherence(left, right, rate=RATE, n=4096, lo=100.0, hi=8000.0, ratio=1.0):
    """The coherence averaged over the bins from lo to hi Hz. With a ratio,
    each bin takes the value found at its frequency divided by the ratio
    (interpolated): what a perfect shift by that ratio would give, since a
    shift that is the same in both channels moves each frequency's coherence
    with it."""
    first, last = int(lo * n / rate), int(hi * n / rate)
    top = min(n // 2, int(last / min(ratio, 1.0)) + 1)
    values = coherence_spectrum(left, right, top, n)

    def at(x):
        i = min(int(x), top - 1)
        return values[i] + (values[i + 1] - values[i]) * (x - i)
    return sum(at(k / ratio) for k in range(first, last + 1)) / (last - first + 1)


def stereo_mix(seconds=4.0, rate=RATE):
    """Tones and a noise bed shared by both channels (the right one a little
    quieter and 7 samples later), with a little noise of each channel's own."""
    random.seed(11)
    frames = int(seconds * rate)
    common = [0.0] * frames
    state = 0.0
    for i in range(frames):
        t = i / rate
        state = 0.6 * state + random.gauss(0.0, 0.08)
        v = state
        for f, a in ((220.0, 0.15), (330.0, 0.1), (440.0, 0.08), (660.0, 0.05), (1320.0, 0.03)):
            v += a * math.sin(2 * math.pi * f * t * (1.0 + 0.003 * math.sin(2 * math.pi * 4.0 * t)))
        common[i] = v
    left = [common[i] + random.gauss(0.0, 0.012) for i in range(frames)]
    right = [0.8 * (common[i - 7] if i >= 7 else 0.0) + random.gauss(0.0, 0.012) for i in range(frames)]
    return left, right


def write_float_wav(path, samples, rate=RATE):
    data = struct.pack('<%df' % len(samples), *samples)
    fmt = struct.pack('<HHIIHH', 3, 1, rate, rate * 4, 4, 32)
    with open(path, 'wb') as f:
        f.write(b'RIFF' + struct.pack('<I', 4 + 8 + len(fmt) + 8 + len(data)) + b'WAVE')
        f.write(b'fmt ' + struct.pack('<I', len(fmt)) + fmt)
        f.write(b'data' + struct.pack('<I', len(data)) + data)


BLACKMAN_HARRIS = (0.35875, 0.48829, 0.14128, 0.01168)


def sine_measures(y, tone, n=16384, rate=RATE, near=250.0):
    """Strongest component away from the tone relative to it (dB), the tone's
    level (dB re amplitude 1) at its exact frequency, and the loudest bin (dB
    re amplitude 1), under a 4-term Blackman-Harris window in the middle."""
    a = BLACKMAN_HARRIS
    w = [a[0] - a[1] * math.cos(2 * math.pi * i / n) + a[2] * math.cos(4 * math.pi * i / n)
         - a[3] * math.cos(6 * math.pi * i / n) for i in range(n)]
    begin = (len(y) - n) // 2
    seg = [y[begin + i] * w[i] for i in range(n)]
    gain = sum(w) / 2.0
    step = cmath.exp(-2j * math.pi * tone / rate)
    phasor = 1.0
    acc = 0j
    for v in seg:
        acc += v * phasor
        phasor *= step
    level = abs(acc) / gain
    spectrum = fft([complex(v) for v in seg])
    away = 0.0
    loudest = 0.0
    for k in range(1, n // 2):
        m = abs(spectrum[k]) / gain
        loudest = max(loudest, m)
        if abs(k * rate / n - tone) > near:
            away = max(away, m)
    db = lambda v: 20.0 * math.log10(v + 1e-15)
    return db(away) - db(level), db(level), db(loudest)


def resampler_measures(tool, work):
    source = os.path.join(work, 'sine.wav')
    out = os.path.join(work, 'sine-out.wav')
    frequencies = (1000, 5000, 8000, 12000, 16000, 18000)
    print('shifted sines, 44100 Hz: worst component >250 Hz from the tone, worst level change to 16 kHz,')
    print('loudest output of tones shifted beyond 22050 Hz')
    print('%-22s %12s %12s %12s' % ('setting', 'spurious dB', 'level dB', 'beyond dB'))
    examples = {}
    for mode in ('q1', 'q0', 'bypass'):
        for pitch in (-24, -12, -5, 7, 12):
            ratio = 2.0 ** (pitch / 12.0)
            if mode == 'bypass' and pitch not in (-24, -12, 12):
                continue  # only these ratios are given exactly by both percent and semitones
            speed = 100.0 * ratio if mode == 'bypass' else 100.0
            worst, level, beyond = -200.0, 0.0, -200.0
            for f in frequencies:
                frames = int(0.6 * RATE * max(1.0, speed / 100.0))
                write_float_wav(source, [0.5 * math.sin(2 * math.pi * f * i / RATE) for i in range(frames)])
                y = render(tool, source, out, speed, pitch, 0 if mode == 'q0' else 1)[0]
                shifted = f * ratio
                spurious, tone, loudest = sine_measures(y, shifted)
                if shifted >= RATE / 2.0:
                    beyond = max(beyond, loudest - 20.0 * math.log10(0.5))
                elif shifted < 20000.0:
                    worst = max(worst, spurious)
                    if shifted <= 16000.0 and f <= 16000.0 and abs(tone - 20.0 * math.log10(0.5)) > abs(level):
                        level = tone - 20.0 * math.log10(0.5)
                examples[(mode, pitch, f)] = (spurious, tone - 20.0 * math.log10(0.5))
            print('%-22s %12.1f %12.2f %12s' % ('%s pitch %+d' % (mode, pitch), worst, level,
                                               '%.1f' % beyond if beyond > -200.0 else '-'))
    for pitch, f in ((7, 12000), (-12, 5000), (-24, 8000)):
        spurious, level = examples[('q1', pitch, f)]
        print('  %d Hz at %+d (q1): spurious %.1f dB, level %+.2f dB' % (f, pitch, spurious, level))


def onset_level_measures(tool, work):
    source = os.path.join(work, 'onsets.wav')
    out = os.path.join(work, 'onsets-out.wav')
    count, gap, first = 30, 0.1003, 0.25
    clicks = [0.0] * int((first + gap * count + 0.5) * RATE)
    places = []
    for c in range(count):
        i = int(round((first + gap * c) * RATE))
        clicks[i] = 0.9
        places.append(i)
    random.seed(5)
    starts = [0.3 + 0.3137 * b for b in range(12)]
    bursts = [0.0] * int((starts[-1] + 0.6) * RATE)
    for i in range(len(bursts)):
        t = i / RATE
        v = sum(0.12 * math.sin(2 * math.pi * f * t) for f in (220.0, 277.2, 329.6))
        b = sum(math.exp(-(t - s) / 0.03) for s in starts if s <= t < s + 0.25)
        bursts[i] = v + b * random.gauss(0.0, 0.3)
    db = lambda v: 20.0 * math.log10(v + 1e-30)
    rms = lambda x, a, b: math.sqrt(sum(x[i] * x[i] for i in range(a, b)) / (b - a))
    print('onset levels, 44100 Hz: %d clicks (peak re 0.9) and %d noise bursts over a chord (RMS of the first'
          % (count, len(starts)))
    print('5 ms re the input\'s)')
    print('%-22s %11s %11s %11s %11s' % ('setting', 'click worst', 'click mean', 'burst mean', 'burst worst'))
    for quality in (1, 0):
        for speed in (25, 50, 200, 300, 400):
            write_float_wav(source, clicks)
            y = render(tool, source, out, speed, 0.0, quality)[0]
            levels = []
            for p in places:
                expected = int(round(p * 100.0 / speed))
                lo, hi = max(0, expected - int(0.02 * RATE)), min(len(y), expected + int(0.02 * RATE))
                levels.append(db(max(abs(y[i]) for i in range(lo, hi)) / 0.9))
            write_float_wav(source, bursts)
            y = render(tool, source, out, speed, 0.0, quality)[0]
            window = int(0.005 * RATE)
            burst_levels = []
            for s in starts:
                a = int(round(s * RATE))
                b = int(round(a * 100.0 / speed))
                burst_levels.append(db(rms(y, b, b + window)) - db(rms(bursts, a, a + window)))
            print('%-22s %11.2f %11.2f %11.2f %11.2f' % (
                'q%d speed %d%%' % (quality, speed), max(abs(v) for v in levels), sum(levels) / len(levels),
                sum(burst_levels) / len(burst_levels), min(burst_levels)))


def wide_mix_sources(delays=True, seconds=6.0, rate=RATE):
    """The dry sources of a wide mix, each with its place (pan from -1, hard
    left, to 1, hard right, equal power; a delay in frames of the right
    channel, or of the left one when negative): a noise bed left of centre,
    a chord with vibrato right, plucked notes far left."""
    random.seed(19)
    frames = int(seconds * rate)
    bed = [0.0] * frames
    state = 0.0
    for i in range(frames):
        state = 0.6 * state + random.gauss(0.0, 0.05)
        bed[i] = state
    chord = [0.0] * frames
    vibrato, depth = 4.3, 0.003  # Hz, relative
    for f, a, p in ((220.0, 0.1, 0.0), (330.0, 0.07, 1.0), (440.0, 0.05, 2.0), (660.0, 0.03, 3.0), (1320.0, 0.02, 4.0)):
        for i in range(frames):
            t = i / rate
            phase = 2 * math.pi * f * t - f * depth / vibrato * math.cos(2 * math.pi * vibrato * t + p)
            chord[i] += a * math.sin(phase)
    plucks = [0.0] * frames
    notes = (523.25, 587.33, 659.25, 783.99, 880.0, 783.99, 659.25, 587.33)
    length = int(0.4 * rate)
    for n, start in enumerate(range(0, frames, length)):
        f = notes[n % len(notes)]
        for i in range(min(length, frames - start)):
            t = i / rate
            level = min(1.0, t / 0.005) * math.exp(-4.0 * t)
            plucks[start + i] = level * sum(a * math.sin(2 * math.pi * f * k * t)
                                            for k, a in ((1, 0.08), (2, 0.04), (3, 0.02), (4, 0.01)))
    places = ((-0.3, 5), (0.7, 10), (-0.75, -6))
    return [(x, pan, delay if delays else 0) for x, (pan, delay) in zip((bed, chord, plucks), places)]


def place(x, pan, delay):
    angle = (pan + 1.0) * math.pi / 4.0
    late = lambda g, d: [g * x[i - d] if i >= d else 0.0 for i in range(len(x))]
    return late(math.cos(angle), max(-delay, 0)), late(math.sin(angle), max(delay, 0))


def reverb_tail(x, combs, all_passes, rate=RATE, seconds=1.5):
    """The tail of a Schroeder reverberator (parallel combs, then all-passes),
    without the direct sound: with other lengths in each channel, the
    channels' tails are decorrelated."""
    out = [0.0] * len(x)
    for d in combs:
        g = 10.0 ** (-3.0 * d / (seconds * rate))
        line = [0.0] * d
        for i, v in enumerate(x):
            delayed = line[i % d]
            line[i % d] = v + g * delayed
            out[i] += delayed / len(combs)
    for d in all_passes:
        line = [0.0] * d
        for i, v in enumerate(out):
            delayed = line[i % d]
            line[i % d] = v + 0.5 * delayed
            out[i] = delayed - 0.5 * line[i % d]
    return out


def width(left, right):
    """Side-to-mid energy ratio in dB."""
    side = sum((l - r) ** 2 for l, r in zip(left, right))
    mid = sum((l + r) ** 2 for l, r in zip(left, right))
    return 10.0 * math.log10(side / mid)


def render_with(tool, source, target, speed, pitch, formants):
    options = ['--preserve-formants'] if formants else []
    subprocess.run([tool, '--quiet', '--bits', '32f', '--speed', str(speed), '--pitch', str(pitch)] + options
                   + [source, target], check=True)
    return read_float_wav(target)


def stereo_image_measures(tool, work):
    """Coherence and width of a wide mix as it comes out, and as it would if
    every source were rendered alone and then placed as in the mix (each
    reverb channel rendered alone): what rendering does to the sources
    themselves (their levels, their spectra) moves the figures too, and the
    reference shows how far."""
    out = os.path.join(work, 'wide-out.wav')
    alone = os.path.join(work, 'wide-part.wav')
    settings = ((100, 3, False), (50, 0, False), (200, -5, False), (80, 7, True))
    # Comb and all-pass lengths of the reverberator, per channel.
    tails = (((1557, 1617, 1491, 1422), (225, 556)), ((1277, 1356, 1188, 1116), (341, 441)))
    print('stereo image of a wide mix (panned sources, a decorrelated reverb tail): coherence (as above) and')
    print('width (side-to-mid energy); ref: each source rendered alone, then placed as in the mix; perfect: the')
    print("input's coherence read at the shifted frequencies, what a perfect shift gives (the input's varies")
    print('with frequency, so a shift alone moves the average)')
    print('%-30s %10s %10s %10s %10s %10s' % ('setting', 'coherence', 'width dB', 'ref coh', 'ref width', 'perfect'))
    for delays in (True, False):
        sources = wide_mix_sources(delays)
        placed = [place(x, pan, delay) for x, pan, delay in sources]
        dry = [[sum(p[c][i] for p in placed) for i in range(len(sources[0][0]))] for c in (0, 1)]
        mono = [l + r for l, r in zip(dry[0], dry[1])]
        wet = [[0.08 * v for v in reverb_tail(mono, combs, all_passes)] for combs, all_passes in tails]
        mix = [[d + w for d, w in zip(dry[c], wet[c])] for c in (0, 1)]
        scale = 0.5 / max(abs(v) for c in mix for v in c)
        parts = [[v * scale for v in x] for x, _, _ in sources] + [[v * scale for v in w] for w in wet]
        mix = [[v * scale for v in c] for c in mix]
        source = os.path.join(work, 'wide.wav')
        write_wav(source, mix)
        name = 'delays between channels' if delays else 'levels only'
        print('%-30s %10.4f %10.2f' % ('%s: input' % name, coherence(mix[0], mix[1]), width(mix[0], mix[1])))
        for speed, pitch, formants in settings:
            y = render_with(tool, source, out, speed, pitch, formants)
            reference = [[0.0] * len(y[0]), [0.0] * len(y[0])]
            for k, part in enumerate(parts):
                write_wav(alone, [part])
                z = render_with(tool, alone, out, speed, pitch, formants)[0]
                if k < len(sources):
                    rendered = place(z, sources[k][1], sources[k][2])
                else:
                    rendered = [z if c == k - len(sources) else [] for c in (0, 1)]
                for c in (0, 1):
                    for i, v in enumerate(rendered[c][:len(y[0])]):
                        reference[c][i] += v
            label = '  speed %d%% pitch %+d%s' % (speed, pitch, ' formants' if formants else '')
            perfect = coherence(mix[0], mix[1], ratio=2.0 ** (pitch / 12.0))
            print('%-30s %10.4f %10.2f %10.4f %10.2f %10.4f' % (label, coherence(y[0], y[1]), width(y[0], y[1]),
                                                              coherence(*reference), width(*reference), perfect))


def band_power(x, lo, hi, n=2048, rate=RATE):
    """Mean power per segment between lo and hi Hz (Hann segments side by
    side, the first and last fifth left out), so that lengths do not count."""
    window = [0.5 - 0.5 * math.cos(2 * math.pi * i / n) for i in range(n)]
    first, last = int(math.ceil(lo * n / rate)), int(hi * n / rate)
    total, segments = 0.0, 0
    for start in range(len(x) // 5, 4 * len(x) // 5 - n + 1, n):
        f = fft([complex(x[start + i] * window[i]) for i in range(n)])
        total += sum(abs(f[k]) ** 2 for k in range(first, last + 1))
        segments += 1
    return total / max(segments, 1)


def noise_level_measures(tool, work, seconds=4.0):
    """Level changes of noise beside those of steady tones: the engine should
    keep both."""
    source = os.path.join(work, 'noise.wav')
    out = os.path.join(work, 'noise-out.wav')
    random.seed(29)
    frames = int(seconds * RATE)
    white = [[random.gauss(0.0, 0.1) for _ in range(frames)] for _ in range(2)]
    # Pink by a sum of one-pole filters (within about 0.5 dB of -3 dB per
    # octave over the audible band).
    pink = [0.0] * frames
    poles = ((0.99886, 0.0555179), (0.99332, 0.0750759), (0.96900, 0.1538520), (0.86650, 0.3104856),
             (0.55000, 0.5329522), (-0.7616, -0.0168980))
    state = [0.0] * len(poles)
    for i in range(frames):
        g = random.gauss(0.0, 0.02)
        for k, (a, b) in enumerate(poles):
            state[k] = a * state[k] + b * g
        pink[i] = sum(state) + 0.5362 * g
    chord = [sum(0.05 * math.sin(2 * math.pi * f * i / RATE + f) for f in (220.0, 523.0, 1000.0, 2700.0, 5100.0))
             for i in range(frames)]
    db = lambda a, b: 10.0 * math.log10((a + 1e-30) / (b + 1e-30))
    rms = lambda x: sum(v * v for v in x[len(x) // 5:4 * len(x) // 5]) / (3 * len(x) // 5)
    bands = ((60.0, 700.0), (700.0, 1300.0), (1300.0, 8000.0))
    print('noise levels, 44100 Hz: dB re the input (noise: 60 Hz to 8 kHz of the input, moved by the pitch)')
    print('%-24s %7s %7s %7s %7s %7s %7s %7s' % ('setting', 'white', 'pink', 'stereo', 'tones',
                                                 'w<700', 'w700+', 'w1300+'))
    for quality in (1, 0):
        for speed, pitch in ((100, 3), (50, 0), (200, -5), (150, 0)):
            r = 2.0 ** (pitch / 12.0)
            row = []
            for x in (white[:1], [pink], white):
                write_wav(source, x)
                y = render(tool, source, out, speed, pitch, quality)
                row.append(db(sum(band_power(c, 60.0 * r, 8000.0 * r) for c in y),
                              sum(band_power(c, 60.0, 8000.0) for c in x)))
                if len(row) == 1:
                    split = [db(band_power(y[0], lo * r, hi * r), band_power(x[0], lo, hi)) for lo, hi in bands]
            write_wav(source, [chord])
            row.append(db(rms(render(tool, source, out, speed, pitch, quality)[0]), rms(chord)))
            print('%-24s %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f' % (
                'q%d speed %d%% pitch %+d' % (quality, speed, pitch), *(row + split)))


def channel_delay_measures(tool, work, delay=10, seconds=2.0):
    """The delay between the channels of a delayed noise pair as it comes out
    (the lag of the cross-correlation's peak, refined by a parabola through it
    and its neighbours): kept, it stays the input's whatever the pitch."""
    source = os.path.join(work, 'delayed.wav')
    out = os.path.join(work, 'delayed-out.wav')
    random.seed(23)
    raw = [random.gauss(0.0, 0.1) for _ in range(int(seconds * RATE))]
    noise = [0.25 * sum(raw[max(0, i - 3):i + 1]) for i in range(len(raw))]
    write_wav(source, [noise, [0.0] * delay + noise[:-delay]])
    reach = 3 * delay
    print('delay between the channels of a noise pair: input %d frames' % delay)
    for speed, pitch, formants in ((100, 3, False), (100, 7, False), (200, -5, False), (80, 7, True)):
        y = render_with(tool, source, out, speed, pitch, formants)
        begin, end = len(y[0]) // 4, 3 * len(y[0]) // 4
        left, right = y[0], y[1]
        corr = [sum(left[i] * right[i + lag] for i in range(begin, end)) for lag in range(-reach, reach + 1)]
        k = max(range(1, len(corr) - 1), key=lambda i: corr[i])
        a, b, c = corr[k - 1], corr[k], corr[k + 1]
        bend = a - 2.0 * b + c
        lag = k - reach + (0.5 * (a - c) / bend if bend != 0.0 else 0.0)
        label = '  speed %d%% pitch %+d%s' % (speed, pitch, ' formants' if formants else '')
        print('%-30s %8.2f frames' % (label, lag))


# Band timing: where a slow swing of level comes out, per band and pitch.
SWING_HZ = 3.0
SWING_BLOCK = 147  # 300 power readings a second: a swing is 100 of them


def swing_phase(x, first, periods):
    """Phase (radians) of the 3 Hz swing of x's power, read over whole
    periods from sample `first`."""
    per_period = int(RATE / SWING_HZ / SWING_BLOCK)
    re = im = 0.0
    for b in range(periods * per_period):
        start = first + b * SWING_BLOCK
        power = sum(v * v for v in x[start:start + SWING_BLOCK])
        angle = 2.0 * math.pi * b / per_period
        re += power * math.cos(angle)
        im += power * math.sin(angle)
    return math.atan2(im, re)


def band_timing_measures(tool, work, seconds=3.0):
    print('band timing: a tone swinging 3 times a second, shifted; how late the swing comes out (ms)')
    pitches = (-12, -5, -1, 1, 5, 12)
    print('%-8s %s' % ('tone', ' '.join('%7s' % ('%+d' % p) for p in pitches)))
    source = os.path.join(work, 'swing.wav')
    out = os.path.join(work, 'swing-out.wav')
    count = int(seconds * RATE)
    first, periods = int(0.5 * RATE), int((seconds - 1.0) * SWING_HZ)
    for tone in (300.0, 3000.0):
        x = [0.2 * (1.0 + 0.5 * math.sin(2 * math.pi * SWING_HZ * i / RATE)) * math.sin(2 * math.pi * tone * i / RATE)
             for i in range(count)]
        write_float_wav(source, x)
        reference = swing_phase(x, first, periods)
        row = []
        for pitch in pitches:
            y = render(tool, source, out, 100, pitch)[0]
            turn = (swing_phase(y, first, periods) - reference + math.pi) % (2 * math.pi) - math.pi
            row.append(turn / (2 * math.pi * SWING_HZ) * 1000.0)
        print('%-8s %s' % ('%d Hz' % tone, ' '.join('%7.2f' % v for v in row)))


# Speech: the stored synthetic voices (tests/engine/voices) read one sentence
# each; they are shifted with and without formant preservation and compared
# with the input frame by frame.
SPEECH_FRAME = 2048
SPEECH_HOP = 512
SPEECH_LIFTER = 70  # cepstral coefficients kept: 1.6 ms, under every shifted voice's period
VOICES = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'engine', 'voices')


def read_pcm16_wav(path):
    with wave.open(path, 'rb') as w:
        raw = w.readframes(w.getnframes())
        channels = w.getnchannels()
    values = struct.unpack('<%dh' % (len(raw) // 2), raw)
    return [v / 32768.0 for v in values[::channels]]


def log_spectrum(frame):
    """Natural-log magnitudes of bins 0..n/2 of one Hann-windowed frame."""
    n = len(frame)
    spectrum = fft([complex(frame[i] * (0.5 - 0.5 * math.cos(2 * math.pi * i / n))) for i in range(n)])
    return [math.log(abs(spectrum[k]) + 1e-9) for k in range(n // 2 + 1)]


def cepstral_envelope(logs):
    """The log spectrum smoothed by keeping its first SPEECH_LIFTER cepstral
    coefficients, in dB."""
    half = len(logs) - 1
    n = 2 * half
    cepstrum = fft([complex(logs[k if k <= half else n - k]) for k in range(n)])
    for q in range(SPEECH_LIFTER, n - SPEECH_LIFTER + 1):
        cepstrum[q] = 0j
    smooth = fft(cepstrum)
    return [smooth[k].real / n * 20.0 / math.log(10.0) for k in range(half + 1)]


def speech_frames(x, rate=RATE):
    """Per frame: its cepstral envelope (dB), its power per bin, its level
    (dB) and the share of its power below 1 kHz."""
    frames = []
    low = int(1000.0 * SPEECH_FRAME / rate)
    for start in range(0, len(x) - SPEECH_FRAME + 1, SPEECH_HOP):
        logs = log_spectrum(x[start:start + SPEECH_FRAME])
        power = [math.exp(2.0 * v) for v in logs]
        total = sum(power) + 1e-30
        frames.append((cepstral_envelope(logs), power, 10.0 * math.log10(total), sum(power[1:low]) / total))
    return frames


def band_level(frame, lo, hi, rate=RATE):
    first, last = int(math.ceil(lo * SPEECH_FRAME / rate)), int(hi * SPEECH_FRAME / rate)
    return 10.0 * math.log10(sum(frame[1][first:last + 1]) + 1e-30)


def envelope_distance(reference, result, lo, hi, rate=RATE):
    """RMS dB difference of two frames' envelopes from lo to hi Hz with the
    mean difference (the level) removed."""
    first, last = int(math.ceil(lo * SPEECH_FRAME / rate)), int(hi * SPEECH_FRAME / rate)
    d = [result[0][k] - reference[0][k] for k in range(first, last + 1)]
    mean = sum(d) / len(d)
    return math.sqrt(sum((v - mean) ** 2 for v in d) / len(d))


VOWEL_RESONANCES = ((730.0, 90.0, 1.0), (1090.0, 110.0, 0.5), (2440.0, 160.0, 0.25))
VOWEL_VIBRATO = (0.01, 5.0)  # depth (share of f0) and rate (Hz)


def vowel_envelope(f):
    """The sustained vowel's resonances: its true envelope at f Hz."""
    gain = 0.0
    for centre, width, level in VOWEL_RESONANCES:
        gain += level / (1.0 + ((f - centre) / width) ** 2)
    return gain + 0.01


def vowel_f0(f0, i, rate=RATE):
    depth, speed = VOWEL_VIBRATO
    return f0 * (1.0 + depth * math.sin(2 * math.pi * speed * i / rate))


def sustained_vowel(f0, seconds=1.5, rate=RATE):
    """An /a/: harmonics of f0 with a little vibrato under three resonances."""
    count = int(seconds * rate)
    harmonics = int(8000.0 / f0)
    x = [0.0] * count
    phase = 0.0
    for i in range(count):
        phase += 2 * math.pi * vowel_f0(f0, i) / rate
        x[i] = sum(vowel_envelope(h * f0) * math.sin(h * phase) for h in range(1, harmonics + 1))
    peak = max(abs(v) for v in x)
    return [0.5 * v / peak for v in x]


def vowel_harmonic_error(y, f0, ratio, lo=200.0, hi=5000.0, n=4096, rate=RATE):
    """How far the harmonics of a (shifted) sustained vowel lie from its true
    envelope: per 4096-point frame, the RMS dB difference between each
    harmonic's peak (where f0 x ratio puts it at the frame's centre) and the
    resonances at its frequency, the mean difference (the level) removed;
    averaged over the frames. The input itself reads what the frames' own
    blur leaves (about 1 dB)."""
    window = [0.5 - 0.5 * math.cos(2 * math.pi * i / n) for i in range(n)]
    errors = []
    for start in range(rate // 2, len(y) - n - rate // 4, n // 2):
        spectrum = fft([complex(y[start + i] * window[i]) for i in range(n)])
        fundamental = vowel_f0(f0, start + n // 2) * ratio
        d = []
        for h in range(1, int(hi / fundamental) + 1):
            f = h * fundamental
            if f < lo:
                continue
            k = int(round(f * n / rate))
            peak = max(abs(spectrum[j]) for j in range(k - 2, k + 3))
            d.append(20.0 * math.log10(peak + 1e-12) - 20.0 * math.log10(vowel_envelope(f)))
        mean = sum(d) / len(d)
        errors.append(math.sqrt(sum((v - mean) ** 2 for v in d) / len(d)))
    return sum(errors) / len(errors)


def speech_measures(tool, work):
    """Level-normalised cepstral envelope distance over 200 to 5000 Hz in
    voiced frames (within 30 dB of the loudest, most power below 1 kHz),
    averaged over the frames, with formants kept and shifted plainly; for the
    consonants (frames as loud, most power above 1 kHz) the same over 1 to
    8 kHz, and their level from 1 to 8 kHz against the same band shifted
    plainly (at pitch ratio r, 10 log10 r added back: the correction keeps
    each bin's level and the resampler spreads the bins over r times the
    band). A sustained vowel gives the voiced figure on every frame, and
    beside it the same figure for the vowel made afresh at the shifted pitch
    under the same resonances: a perfect result, so what the measure itself
    reads when only the pitch changes. The vowel also shows how far its
    harmonics come out from its true envelope (vowel_harmonic_error), with
    formants kept, beside the input's own figure: an envelope that follows
    the harmonics can score well on the cepstral distance and still colour
    them."""
    print('speech and vowels, 44100 Hz: cepstral envelope distance (dB) 200-5000 Hz in voiced frames,')
    print('formants kept and shifted plainly; consonants (formants kept) 1-8 kHz: distance and level')
    print('%-14s %6s %9s %9s %11s %11s %10s %12s' % ('voice', 'pitch', 'kept dB', 'plain dB', 'cons. dB',
                                                     'cons. level', 'perfect dB', 'harmonics dB'))
    source = os.path.join(work, 'voice.wav')
    out = os.path.join(work, 'voice-out.wav')
    inputs = [(name, read_pcm16_wav(os.path.join(VOICES, name + '.wav')), None) for name in ('male', 'female')]
    inputs += [('vowel %d Hz' % f0, sustained_vowel(f0), f0) for f0 in (110, 220)]
    for name, x, f0 in inputs:
        write_float_wav(source, x)
        reference = speech_frames(x)
        loudest = max(f[2] for f in reference)
        voiced = [i for i, f in enumerate(reference) if f[2] > loudest - 30.0 and f[3] > 0.5]
        unvoiced = [i for i, f in enumerate(reference) if f[2] > loudest - 30.0 and f[3] < 0.1]
        if f0 is not None:
            print('%-14s %6s %9s %9s %11s %11s %10s %12.2f' % (name, 'input', '-', '-', '-', '-', '-',
                                                               vowel_harmonic_error(x, f0, 1.0)))
        for pitch in (5, -5, 9):
            ratio = 2.0 ** (pitch / 12.0)
            shifted = {}
            for kept in (True, False):
                args = [tool, '--quiet', '--bits', '32f', '--pitch', str(pitch), source, out]
                if kept:
                    args.insert(1, '--preserve-formants')
                subprocess.run(args, check=True)
                samples = read_float_wav(out)[0]
                shifted[kept] = speech_frames(samples)
                if kept and f0 is not None:
                    harmonics = vowel_harmonic_error(samples, f0, ratio)
            row = [sum(envelope_distance(reference[i], shifted[kept][i], 200.0, 5000.0) for i in voiced) / len(voiced)
                   for kept in (True, False)]
            if unvoiced:
                row.append(sum(envelope_distance(reference[i], shifted[True][i], 1000.0, 8000.0)
                               for i in unvoiced) / len(unvoiced))
                row.append(sum(band_level(shifted[True][i], 1000.0, 8000.0)
                               - band_level(shifted[False][i], 1000.0 * ratio, 8000.0 * ratio)
                               for i in unvoiced) / len(unvoiced) + 10.0 * math.log10(ratio))
                print('%-14s %+6d %9.2f %9.2f %11.2f %+11.2f' % ((name, pitch) + tuple(row)))
            elif f0 is not None:
                perfect = speech_frames(sustained_vowel(f0 * ratio))
                row.append(sum(envelope_distance(reference[i], perfect[i], 200.0, 5000.0) for i in voiced)
                           / len(voiced))
                print('%-14s %+6d %9.2f %9.2f %11s %11s %10.2f %12.2f' % (name, pitch, row[0], row[1], '-', '-', row[2],
                                                                      harmonics))
            else:
                print('%-14s %+6d %9.2f %9.2f %11s %11s' % (name, pitch, row[0], row[1], '-', '-'))


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else 'build/tools/kelvane-render'
    work = tempfile.mkdtemp()
    out = os.path.join(work, 'out.wav')

    clicks, times = click_train()
    source = os.path.join(work, 'clicks.wav')
    write_wav(source, [clicks])
    print('click train, 44100 Hz (medians over %d clicks)' % (len(times) - 2))
    print('%-22s %10s %10s %12s' % ('setting', 'offset ms', 'spread ms', 'before dB'))
    for quality in (1, 0):
        for speed, pitch in ((25, 0), (50, 0), (70, 0), (200, 0), (400, 0), (50, 3), (200, -5)):
            y = render(tool, source, out, speed, pitch, quality)[0]
            rows = [click_measures(y, int(round(c * 100.0 / speed))) for c in times[1:-1]]
            name = 'q%d speed %d%% pitch %+d' % (quality, speed, pitch)
            print('%-22s %10.2f %10.2f %12.1f' % (name, median([r[0] for r in rows]),
                                                   median([r[1] for r in rows]),
                                                   median([r[2] for r in rows])))

    frames = int(3.0 * RATE)
    channels = []
    base = [int(round(t * RATE)) for t in (0.5, 1.0, 1.5, 2.0, 2.5)]
    for c in range(8):
        x = [0.0] * frames
        for b in base:
            x[b + int(round(c * RATE / 1000.0))] = 0.9
        channels.append(x)
    source = os.path.join(work, 'eight.wav')
    write_wav(source, channels)
    for speed in (50, 200):
        y = render(tool, source, out, speed)
        delays = []
        for c in range(8):
            offsets = []
            for b in base[1:-1]:
                expected = int(round(b * 100.0 / speed))
                search = int(0.02 * RATE)
                seg = range(max(0, expected - search), expected + search + int(0.01 * RATE))
                peak = max(seg, key=lambda i: abs(y[c][i]))
                ref = max(range(max(0, expected - search), expected + search), key=lambda i: abs(y[0][i]))
                offsets.append((peak - ref) * 1000.0 / RATE)
            delays.append(median(offsets))
        print('8 channels at %d%%: delays %s ms' % (speed, ' '.join('%.2f' % d for d in delays)))

    left, right = stereo_mix()
    source = os.path.join(work, 'mix.wav')
    write_wav(source, [left, right])
    print('stereo coherence: input %.4f' % coherence(left, right))
    for speed, pitch in ((50, 0), (200, -5), (100, 3)):
        y = render(tool, source, out, speed, pitch)
        print('  speed %d%% pitch %+d: %.4f' % (speed, pitch, coherence(y[0], y[1])))

    onset_level_measures(tool, work)
    resampler_measures(tool, work)
    stereo_image_measures(tool, work)
    channel_delay_measures(tool, work)
    noise_level_measures(tool, work)
    band_timing_measures(tool, work)
    speech_measures(tool, work)


if __name__ == '__main__':
    main()
