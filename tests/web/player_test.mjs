// The player in the audio worklet, run under Node on the same module: what
// it plays from start to end matches kelvane-render's rendering of the same
// sound and settings, forwards and backwards, and for a six-channel sound
// folded onto two as the desktop player folds it; without Loop it ends and
// falls silent; with Loop it plays on over the end without a gap.
//
//   node player_test.mjs KELVANE_RENDER KELVANE_WASM
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { instantiate } from '../../web/site/engine.js';
import { agreement } from './agreement.mjs';
import { readFloatWav, writeWav } from './wav.mjs';

const [renderProgram, wasmPath] = process.argv.slice(2);
if (!renderProgram || !wasmPath) {
    console.error('usage: node player_test.mjs KELVANE_RENDER KELVANE_WASM');
    process.exit(2);
}

// The worklet's scope, as much of it as the processor uses.
let Processor = null;
globalThis.AudioWorkletProcessor = class {
    constructor() {
        this.port = { postMessage: (message) => this.sent.push(message), sent: null };
        this.sent = [];
    }
};
globalThis.registerProcessor = (name, processor) => {
    Processor = processor;
};
await import('../../web/site/worklet.js');

const module = new WebAssembly.Module(readFileSync(wasmPath));
const sampleRate = 44100;
const channels = 2;
const quantum = 128;
// Past this many frames before its end, the player's input (a last partial
// block, then Flush) differs from the renderer's (silence to a whole block).
const kEndingFrames = 8192;

function testSound(seconds) {
    const frames = Math.round(seconds * sampleRate);
    const samples = new Float32Array(frames * channels);
    for (let f = 0; f < frames; ++f) {
        const t = f / sampleRate;
        // Rising, so that backwards differs from forwards.
        const rise = 0.2 + (0.6 * f) / frames;
        samples[2 * f] = rise * (0.4 * Math.sin(2 * Math.PI * 330 * t) + 0.1 * Math.sin(2 * Math.PI * 1700 * t));
        samples[2 * f + 1] = rise * 0.5 * Math.sin(2 * Math.PI * 495 * t + 1);
    }
    return samples;
}

// A processor with the sound loaded and the controls set, playing.
function playing(samples, controls, soundChannels = channels) {
    const processor = new Processor({ processorOptions: { module, latencyFrames: 0 } });
    const send = (data) => processor.port.onmessage({ data });
    const planes = Array.from({ length: soundChannels }, (_, c) =>
        Float32Array.from({ length: samples.length / soundChannels }, (_, f) => samples[f * soundChannels + c]));
    send({ type: 'load', channels: planes, sampleRate });
    send({ type: 'controls', pitch: 0, speed: 100, reverse: false, formant: 0, loop: false, ...controls });
    send({ type: 'play' });
    return processor;
}

// Renders `frames` frames, render quantum by render quantum, interleaved.
function run(processor, frames) {
    const out = new Float32Array(frames * channels);
    const left = new Float32Array(quantum);
    const right = new Float32Array(quantum);
    for (let at = 0; at < frames; at += quantum) {
        processor.process([], [[left, right]]);
        for (let k = 0; k < quantum && at + k < frames; ++k) {
            out[2 * (at + k)] = left[k];
            out[2 * (at + k) + 1] = right[k];
        }
    }
    return out;
}

let failures = 0;
function check(condition, description) {
    console.log(`${condition ? 'ok  ' : 'FAIL'} ${description}`);
    failures += condition ? 0 : 1;
}

const folder = mkdtempSync(join(tmpdir(), 'sevrane-player-'));
try {
    const samples = testSound(1.5);
    const frames = samples.length / channels;
    const inputPath = join(folder, 'input.wav');
    writeWav(inputPath, samples, channels, sampleRate);

    // Played to the end against rendered, both directions.
    const directions = [
        { name: 'forwards, pitch +5, speed 70 %', controls: { pitch: 5, speed: 70 }, render: ['--pitch', '5', '--speed', '70'] },
        { name: 'backwards, pitch -3, speed 100 %', controls: { pitch: -3, reverse: true }, render: ['--pitch', '-3', '--reverse'] },
    ];
    for (const { name, controls, render } of directions) {
        const outputPath = join(folder, 'output.wav');
        execFileSync(renderProgram, ['--quiet', '--bits', '32f', ...render, inputPath, outputPath]);
        const rendered = readFloatWav(outputPath).samples;
        const processor = playing(samples, controls);
        const played = run(processor, rendered.length / channels + 16384);
        const measured = agreement(rendered, played, rendered.length - kEndingFrames * channels);
        check(measured.passed, `${name}: played as rendered, ${measured.text}`);
        const ended = processor.sent.some((m) => m.type === 'playing' && m.ended);
        const tail = played.subarray(rendered.length + 4096 * channels);
        check(ended && tail.every((v) => v === 0), `${name}: the sound ends and the player falls silent`);
    }

    // Six channels, each its own tone: played as rendered, then folded by
    // the desktop player's downmix in the module.
    {
        const six = 6;
        const sixFrames = Math.round(1.0 * sampleRate);
        const sixSamples = new Float32Array(sixFrames * six);
        for (let f = 0; f < sixFrames; ++f) {
            for (let c = 0; c < six; ++c) {
                sixSamples[f * six + c] = 0.3 * Math.sin((2 * Math.PI * (220 + 110 * c) * f) / sampleRate);
            }
        }
        const sixInput = join(folder, 'six.wav');
        const sixOutput = join(folder, 'six-out.wav');
        writeWav(sixInput, sixSamples, six, sampleRate);
        execFileSync(renderProgram, ['--quiet', '--bits', '32f', '--pitch', '4', sixInput, sixOutput]);
        const rendered = readFloatWav(sixOutput).samples;
        const renderedFrames = rendered.length / six;
        const kelvane = instantiate(module);
        const source = kelvane.allocate(rendered.length);
        const folded = kelvane.allocate(2 * renderedFrames);
        source.view.set(rendered);
        kelvane.createDownmix(six).fold(source, folded, renderedFrames);
        const expected = folded.view.slice();
        const played = run(playing(sixSamples, { pitch: 4 }, six), renderedFrames + 16384);
        const measured = agreement(expected, played, expected.length - kEndingFrames * channels);
        check(measured.passed, `six channels, pitch +4: folded onto two as rendered, ${measured.text}`);
    }

    // Loop: three times the sound's length, never silent for a block.
    const processor = playing(samples, { pitch: 2, loop: true });
    const played = run(processor, 3 * frames);
    let quietest = Infinity;
    for (let at = 4096; at + 256 <= 3 * frames; at += 256) {
        let power = 0;
        for (let k = 2 * at; k < 2 * (at + 256); ++k) power += played[k] * played[k];
        quietest = Math.min(quietest, Math.sqrt(power / 512));
    }
    const ended = processor.sent.some((m) => m.type === 'playing' && !m.playing);
    check(!ended && quietest > 0.05, `with Loop it plays on over the end (quietest block at level ${quietest.toFixed(3)})`);

    // Paused: after its fading block, silence, with the engine left alone
    // (the position holds); resumed: it sounds again.
    {
        const paused = playing(samples, { pitch: 2 });
        const send = (data) => paused.port.onmessage({ data });
        run(paused, 8192);
        send({ type: 'pause', paused: true });
        run(paused, 512);
        const position = paused.position;
        const silence = run(paused, 8192);
        const held = paused.position === position && silence.every((v) => v === 0);
        send({ type: 'pause', paused: false });
        const resumed = run(paused, 4096);
        const level = Math.sqrt(resumed.subarray(2048).reduce((sum, v) => sum + v * v, 0) / (resumed.length - 2048));
        check(held && level > 0.05, `paused it falls silent and holds its place; resumed it plays on (level ${level.toFixed(3)})`);
    }

    // An empty sound is refused rather than fed for ever.
    const empty = playing(new Float32Array(0), { loop: true });
    run(empty, 1024);
    check(empty.sent.some((m) => m.type === 'refused') && !empty.playing, 'an empty sound is refused');
} finally {
    rmSync(folder, { recursive: true, force: true });
}
if (failures > 0) {
    console.error(`${failures} check(s) failed`);
    process.exit(1);
}
