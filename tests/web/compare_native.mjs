// The WebAssembly engine against the native one: the same stereo 44100 Hz
// sound rendered by kelvane-render and, block for block as it does, by
// kelvane.wasm under Node, for a few settings. The two builds do the same
// arithmetic in the same order except inside the C libraries' sin, cos, exp
// and pow, which may differ in the last bit, and in the formant envelope's
// smoothing, which WebAssembly runs as a four-lane scan (other roundings, a
// few units in the last place); a phase vocoder carries such differences
// along in its running phases. The builds of today agree bit for bit without
// formants and within 4e-7 of the peak with them; the tolerance leaves room
// for the libraries, not for the engine.
//
//   node compare_native.mjs KELVANE_RENDER KELVANE_WASM
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { instantiate } from '../../web/site/engine.js';
import { agreement } from './agreement.mjs';
import { renderSound } from './render_sound.mjs';
import { readFloatWav, writeWav } from './wav.mjs';

const [renderProgram, wasmPath] = process.argv.slice(2);
if (!renderProgram || !wasmPath) {
    console.error('usage: node compare_native.mjs KELVANE_RENDER KELVANE_WASM');
    process.exit(2);
}

const sampleRate = 44100;
const channels = 2;

// Two seconds: a tone on each side, a chord's worth of partials, a click
// every half second and a little deterministic noise.
function testSound() {
    const frames = 2 * sampleRate;
    const samples = new Float32Array(frames * channels);
    let seed = 12345;
    for (let f = 0; f < frames; ++f) {
        seed = (seed * 1103515245 + 12345) >>> 0;
        const noise = (seed / 4294967296 - 0.5) * 0.02;
        const t = f / sampleRate;
        const click = f % (sampleRate / 2) < 32 ? 0.4 : 0;
        samples[2 * f] = 0.3 * Math.sin(2 * Math.PI * 220 * t) + 0.1 * Math.sin(2 * Math.PI * 1375 * t) + click + noise;
        samples[2 * f + 1] = 0.3 * Math.sin(2 * Math.PI * 330 * t + 0.5) + 0.1 * Math.sin(2 * Math.PI * 2750 * t) + click - noise;
    }
    return samples;
}

const cases = [
    { name: 'pitch +12', pitch: 12 },
    { name: 'speed 50 %', speed: 50 },
    { name: 'speed 200 %, pitch -5', speed: 200, pitch: -5 },
    { name: 'pitch +7, formants kept', pitch: 7, formant: 7 },
    { name: 'quality 0, speed 80 %, pitch +3.25', speed: 80, pitch: 3.25, quality: 0 },
    { name: 'untouched (the bypass)' },
];

function commandLine(settings) {
    const line = ['--quiet', '--bits', '32f'];
    if (settings.speed !== undefined) line.push('--speed', String(settings.speed));
    if (settings.pitch !== undefined) line.push('--pitch', String(settings.pitch));
    if (settings.formant !== undefined) line.push('--formant', String(settings.formant));
    if (settings.quality !== undefined) line.push('--quality', String(settings.quality));
    return line;
}

const kelvane = instantiate(new WebAssembly.Module(readFileSync(wasmPath)));
const folder = mkdtempSync(join(tmpdir(), 'kelvane-web-'));
let failures = 0;
try {
    const input = testSound();
    const inputPath = join(folder, 'input.wav');
    writeWav(inputPath, input, channels, sampleRate);
    for (const settings of cases) {
        const outputPath = join(folder, 'output.wav');
        execFileSync(renderProgram, [...commandLine(settings), inputPath, outputPath]);
        const native = readFloatWav(outputPath);
        const web = renderSound(kelvane, input, channels, sampleRate, settings);
        const sameLength = native.samples.length === web.length && native.channels === channels;
        const measured = sameLength ? agreement(native.samples, web) : { passed: false };
        const passed = sameLength && measured.passed;
        console.log(
            `${passed ? 'ok  ' : 'FAIL'} ${settings.name}: ` +
                (sameLength
                    ? `${web.length / channels} frames, ${measured.text}`
                    : `lengths differ: native ${native.samples.length / native.channels} frames of ${native.channels} channels, ` +
                      `web ${web.length / channels}`)
        );
        failures += passed ? 0 : 1;
    }
} finally {
    rmSync(folder, { recursive: true, force: true });
}
if (failures > 0) {
    console.error(`${failures} of ${cases.length} settings differ beyond the tolerance`);
    process.exit(1);
}
