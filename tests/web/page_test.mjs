// Sevrane's page in Debian's chromium, headless, driven through the DevTools
// protocol: it loads without a console error, the labels read as the
// window's, a generated tone plays after Play (an AnalyserNode on
// window.sevrane.output hears it), +12 semitones doubles it, Stop silences
// it, Space pauses, and files and browsers the page cannot play with say why.
//
//   node page_test.mjs SITE_FOLDER [CHROMIUM]
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';
import { serve } from '../../web/serve.mjs';
import { wavBytes } from './wav.mjs';

const [site, browserPath = '/usr/bin/chromium'] = process.argv.slice(2);
if (!site) {
    console.error('usage: node page_test.mjs SITE_FOLDER [CHROMIUM]');
    process.exit(2);
}
// Generous: the machine may be busy, and audio in a headless browser runs
// on a timer thread that a busy machine delays.
const kWait = 60000;

const failures = [];
function check(condition, description) {
    console.log(`${condition ? 'ok  ' : 'FAIL'} ${description}`);
    if (!condition) {
        failures.push(description);
    }
}

function tone(frequency, seconds, sampleRate, channels = 1) {
    const frames = Math.round(seconds * sampleRate);
    const samples = new Float32Array(frames * channels);
    for (let f = 0; f < frames; ++f) {
        const value = 0.5 * Math.sin((2 * Math.PI * frequency * f) / sampleRate);
        samples.fill(value, f * channels, (f + 1) * channels);
    }
    return samples;
}

const folder = mkdtempSync(join(tmpdir(), 'sevrane-page-'));
const server = await serve(site, 0);
const address = `http://127.0.0.1:${server.address().port}/`;
const browser = await puppeteer.launch({
    executablePath: browserPath,
    headless: true,
    args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required', '--mute-audio'],
});

try {
    const page = await browser.newPage();
    const consoleErrors = [];
    page.on('console', (message) => {
        if (message.type() === 'error') {
            consoleErrors.push(message.text());
        }
    });
    page.on('pageerror', (error) => consoleErrors.push(error.message));

    await page.goto(address);
    await page.waitForSelector('body[data-state="empty"], body[data-state="failed"]', { timeout: kWait });
    const state = await page.$eval('body', (body) => body.dataset.state);
    check(state === 'empty', `the page starts (state ${state}, message "${await page.$eval('#message', (m) => m.textContent)}")`);
    if (state !== 'empty') {
        throw new Error('the page did not start');
    }

    // The labels, as the window's table gives them.
    const labels = [
        ['pitch', 0, ' 0.0'], ['pitch', 48, '12.0'], ['pitch', -14, '-3.5'], ['pitch', -96, '-24.0'],
        ['speed', 96, '400.0%'], ['speed', 4, '105.9%'], ['speed', 0, '100.0%'], ['speed', -4, '89.1%'],
        ['speed', -48, '25.0%'], ['speed', -49, '-25.7%'], ['speed', -96, '-100.0%'],
    ];
    const setSlider = (id, position) =>
        page.$eval(`#${id}`, (slider, value) => {
            slider.value = String(value);
            slider.dispatchEvent(new Event('input', { bubbles: true }));
        }, position);
    for (const [id, position, expected] of labels) {
        await setSlider(id, position);
        const text = await page.$eval(`#${id}-label`, (label) => label.textContent);
        check(text === expected, `${id} at ${position} reads "${text}" (the window's "${expected}")`);
    }
    await setSlider('pitch', 0);
    await setSlider('speed', 0);

    // A 440 Hz tone plays, an octave up when the pitch slider says +12, and
    // Stop silences it.
    const sampleRate = await page.evaluate(() => window.sevrane.context.sampleRate);
    const tonePath = join(folder, 'tone.wav');
    writeFileSync(tonePath, wavBytes(tone(440, 3, 44100), 1, 44100, 16));
    await (await page.$('#load')).uploadFile(tonePath);
    await page.waitForSelector('body[data-state="loaded"]', { timeout: kWait });
    await page.evaluate(() => {
        const analyser = new AnalyserNode(window.sevrane.context, { fftSize: 8192, smoothingTimeConstant: 0 });
        window.sevrane.output.connect(analyser);
        window.listening = analyser;
    });
    await page.click('#play');
    const binWidth = sampleRate / 8192;
    const heard = () =>
        page.evaluate(() => {
            const analyser = window.listening;
            const spectrum = new Float32Array(analyser.frequencyBinCount);
            analyser.getFloatFrequencyData(spectrum);
            let peak = 0;
            for (let k = 1; k < spectrum.length; ++k) {
                if (spectrum[k] > spectrum[peak]) peak = k;
            }
            const wave = new Float32Array(analyser.fftSize);
            analyser.getFloatTimeDomainData(wave);
            const level = Math.sqrt(wave.reduce((sum, v) => sum + v * v, 0) / wave.length);
            return { frequency: (peak * window.sevrane.context.sampleRate) / analyser.fftSize, level };
        });
    const waitFor = async (test) => {
        const deadline = Date.now() + kWait;
        let last = await heard();
        while (!test(last) && Date.now() < deadline) {
            await new Promise((resolve) => setTimeout(resolve, 100));
            last = await heard();
        }
        return last;
    };
    const near = (frequency, target) => Math.abs(frequency - target) <= 2 * binWidth;
    let sound = await waitFor((s) => s.level > 0.05 && near(s.frequency, 440));
    check(sound.level > 0.05 && near(sound.frequency, 440),
        `Play sounds the tone: ${sound.frequency.toFixed(1)} Hz at level ${sound.level.toFixed(3)}`);

    await setSlider('pitch', 48);
    sound = await waitFor((s) => s.level > 0.05 && near(s.frequency, 880));
    check(sound.level > 0.05 && near(sound.frequency, 880),
        `pitch +12 doubles it: ${sound.frequency.toFixed(1)} Hz at level ${sound.level.toFixed(3)}`);

    // Space pauses and resumes, from anywhere but the file picker.
    await page.focus('#pitch');
    await page.keyboard.press('Space');
    sound = await waitFor((s) => s.level < 1e-4);
    check(sound.level < 1e-4, `Space pauses (level ${sound.level.toExponential(1)})`);
    await page.keyboard.press('Space');
    sound = await waitFor((s) => s.level > 0.05 && near(s.frequency, 880));
    check(sound.level > 0.05 && near(sound.frequency, 880), `Space again resumes: ${sound.frequency.toFixed(1)} Hz`);

    await page.click('#stop');
    sound = await waitFor((s) => s.level < 1e-4);
    check(sound.level < 1e-4, `Stop silences it (level ${sound.level.toExponential(1)})`);

    // Files the page cannot play: a message, and the page goes on.
    const refused = [
        ['nine.wav', wavBytes(tone(440, 0.5, 44100, 9), 9, 44100, 16), /^Cannot play "nine\.wav": Incorrect number of channels\.$/],
        ['noise.wav', Buffer.from('RIFF, but not a sound at all'.repeat(20)), /^Cannot open "noise\.wav": this browser cannot decode it\.$/],
    ];
    for (const [name, bytes, expected] of refused) {
        const path = join(folder, name);
        writeFileSync(path, bytes);
        await (await page.$('#load')).uploadFile(path);
        await page.waitForFunction(() => !document.getElementById('message').hidden, { timeout: kWait });
        const message = await page.$eval('#message', (m) => m.textContent);
        check(expected.test(message), `${name} is refused with "${message}"`);
        await page.$eval('#message', (m) => { m.hidden = true; });
    }
    check(await page.$eval('#play', (button) => button.hidden), 'Play is hidden when there is no sound to play');

    // Browsers the page cannot play in: a message instead of a dead page.
    const browsers = [
        ['without WebAssembly SIMD', () => { WebAssembly.validate = () => false; }, /lacks WebAssembly SIMD/],
        ['without AudioWorklet', () => { delete window.AudioWorkletNode; }, /lacks AudioWorklet/],
        ['on a device at 22050 Hz', () => {
            const Device = window.AudioContext;
            window.AudioContext = class extends Device {
                constructor() {
                    super({ sampleRate: 22050 });
                }
            };
        }, /plays at 22050 Hz, a rate the engine does not take \(Incompatible sample rate\./],
    ];
    for (const [name, lacking, expected] of browsers) {
        const other = await browser.newPage();
        await other.evaluateOnNewDocument(lacking);
        await other.goto(address);
        await other.waitForSelector('body[data-state="failed"]', { timeout: kWait });
        const message = await other.$eval('#message', (m) => (m.hidden ? '' : m.textContent));
        const disabled = await other.$eval('#load', (load) => load.disabled);
        check(expected.test(message) && disabled, `${name}: "${message}"`);
        await other.close();
    }

    check(consoleErrors.length === 0, `no console error${consoleErrors.length ? ': ' + consoleErrors.join(' | ') : ''}`);
} finally {
    await browser.close();
    server.close();
    rmSync(folder, { recursive: true, force: true });
}
if (failures.length > 0) {
    console.error(`${failures.length} check(s) failed`);
    process.exit(1);
}
