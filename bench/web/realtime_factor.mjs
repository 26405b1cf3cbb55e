// Real-time factor of the WebAssembly engine against the native one, stereo
// 44100 Hz, on the same workloads: seconds of sound in per second of
// processor time. The native side is kelvane-render on a float WAV file (its
// file reading and writing are a small part of its time); the WebAssembly
// side renders the same sound block for block under Node and, when a
// chromium is given and tests/web's node modules are installed, in a page of
// it (timed by the page's clock, so a busy machine lowers that figure most).
// Goal: the WebAssembly engine at least half as fast as the native one.
//
//   node bench/web/realtime_factor.mjs KELVANE_RENDER KELVANE_WASM [CHROMIUM]
import { spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { instantiate } from '../../web/site/engine.js';
import { renderSound } from '../../tests/web/render_sound.mjs';
import { writeWav } from '../../tests/web/wav.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const [renderProgram, wasmPath, browserPath] = process.argv.slice(2);
if (!renderProgram || !wasmPath) {
    console.error('usage: node realtime_factor.mjs KELVANE_RENDER KELVANE_WASM [CHROMIUM]');
    process.exit(2);
}

const sampleRate = 44100;
const channels = 2;
const seconds = 20;
// The best of a few runs: the least disturbed by other work.
const runs = 3;

const workloads = [
    { name: 'pitch +12', pitch: 12 },
    { name: 'speed 50 %', speed: 50 },
    { name: 'speed 200 %', speed: 200 },
    { name: 'pitch -5, speed 80 %, formants kept', pitch: -5, speed: 80, formant: -5 },
    { name: 'untouched (the bypass)' },
];

// Music-like material: a few partials per side, moving, with a little noise.
function material() {
    const frames = seconds * sampleRate;
    const samples = new Float32Array(frames * channels);
    let seed = 1;
    for (let f = 0; f < frames; ++f) {
        seed = (seed * 1664525 + 1013904223) >>> 0;
        const t = f / sampleRate;
        const noise = (seed / 4294967296 - 0.5) * 0.01;
        const wobble = 1 + 0.01 * Math.sin(2 * Math.PI * 0.5 * t);
        samples[2 * f] = 0.2 * Math.sin(2 * Math.PI * 196 * wobble * t) + 0.1 * Math.sin(2 * Math.PI * 1244 * t) + noise;
        samples[2 * f + 1] = 0.2 * Math.sin(2 * Math.PI * 293 * wobble * t) + 0.1 * Math.sin(2 * Math.PI * 2489 * t) - noise;
    }
    return samples;
}

function renderArguments(w) {
    const line = ['--quiet', '--bits', '32f'];
    if (w.speed !== undefined) line.push('--speed', String(w.speed));
    if (w.pitch !== undefined) line.push('--pitch', String(w.pitch));
    if (w.formant !== undefined) line.push('--formant', String(w.formant));
    return line;
}

// Processor seconds (user and system) of one kelvane-render run, from the
// kernel's account of the child to the microsecond (GNU time prints only
// hundredths, a tenth of a fast run).
const childSeconds =
    'import resource, subprocess, sys\n' +
    'run = subprocess.run(sys.argv[1:], capture_output=True, text=True)\n' +
    'usage = resource.getrusage(resource.RUSAGE_CHILDREN)\n' +
    'sys.stderr.write(run.stderr)\n' +
    'print(usage.ru_utime + usage.ru_stime)\n' +
    'sys.exit(run.returncode)\n';

function nativeSeconds(w, input, output) {
    const run = spawnSync(
        '/usr/bin/python3',
        ['-c', childSeconds, renderProgram, ...renderArguments(w), input, output],
        { encoding: 'utf8' }
    );
    if (run.status !== 0) {
        throw new Error(`kelvane-render failed: ${run.stderr}`);
    }
    return Number(run.stdout.trim());
}

function nodeSeconds(kelvane, samples, w) {
    const before = process.cpuUsage();
    renderSound(kelvane, samples, channels, sampleRate, w);
    const used = process.cpuUsage(before);
    return (used.user + used.system) / 1e6;
}

async function chromiumFactors(site) {
    let puppeteer;
    try {
        puppeteer = createRequire(resolve(here, '../../tests/web/package.json'))('puppeteer-core');
    } catch {
        console.log('(no chromium figures: install tests/web\'s node modules first, as tests/web/run does)');
        return null;
    }
    const { serve } = await import('../../web/serve.mjs');
    const server = await serve(site, 0);
    const browser = await puppeteer.launch({ executablePath: browserPath, headless: true, args: ['--no-sandbox'] });
    try {
        const page = await browser.newPage();
        await page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
        // The renderer comes as text: it is no part of the site.
        const renderer = readFileSync(resolve(here, '../../tests/web/render_sound.mjs'), 'utf8');
        const factors = [];
        for (const w of workloads) {
            factors.push(
                await page.evaluate(
                    async (w, seconds, runs, renderer) => {
                        const { instantiate } = await import('./engine.js');
                        const rendererUrl = URL.createObjectURL(new Blob([renderer], { type: 'text/javascript' }));
                        const { renderSound } = await import(rendererUrl);
                        const module = await WebAssembly.compile(await (await fetch('kelvane.wasm')).arrayBuffer());
                        const kelvane = instantiate(module);
                        const frames = seconds * 44100;
                        const samples = new Float32Array(frames * 2);
                        for (let f = 0; f < frames; ++f) {
                            samples[2 * f] = 0.2 * Math.sin((2 * Math.PI * 196 * f) / 44100);
                            samples[2 * f + 1] = 0.2 * Math.sin((2 * Math.PI * 293 * f) / 44100);
                        }
                        let best = Infinity;
                        for (let r = 0; r < runs; ++r) {
                            const start = performance.now();
                            renderSound(kelvane, samples, 2, 44100, w);
                            best = Math.min(best, (performance.now() - start) / 1000);
                        }
                        return seconds / best;
                    },
                    w,
                    seconds,
                    runs,
                    renderer
                )
            );
        }
        return factors;
    } finally {
        await browser.close();
        server.close();
    }
}

const folder = mkdtempSync(join(tmpdir(), 'kelvane-web-bench-'));
try {
    const samples = material();
    const input = join(folder, 'input.wav');
    const output = join(folder, 'output.wav');
    writeWav(input, samples, channels, sampleRate);
    const kelvane = instantiate(new WebAssembly.Module(readFileSync(wasmPath)));
    const browser = browserPath ? await chromiumFactors(dirname(resolve(wasmPath))) : null;

    console.log(`Real-time factor, stereo ${sampleRate} Hz, ${seconds} s of sound, best of ${runs}:`);
    console.log('workload'.padEnd(40) + 'native'.padStart(9) + 'wasm Node'.padStart(11) + 'Node/native'.padStart(13) +
        (browser ? 'wasm chromium'.padStart(15) : ''));
    let slowest = Infinity;
    workloads.forEach((w, k) => {
        let native = Infinity;
        let node = Infinity;
        for (let r = 0; r < runs; ++r) {
            native = Math.min(native, nativeSeconds(w, input, output));
            node = Math.min(node, nodeSeconds(kelvane, samples, w));
        }
        const nativeFactor = seconds / native;
        const nodeFactor = seconds / node;
        slowest = Math.min(slowest, nodeFactor / nativeFactor);
        console.log(w.name.padEnd(40) + nativeFactor.toFixed(1).padStart(9) + nodeFactor.toFixed(1).padStart(11) +
            (nodeFactor / nativeFactor).toFixed(2).padStart(13) + (browser ? browser[k].toFixed(1).padStart(15) : ''));
    });
    console.log(`Slowest WebAssembly/native ratio: ${slowest.toFixed(2)} (goal: at least 0.50)`);
} finally {
    rmSync(folder, { recursive: true, force: true });
}
