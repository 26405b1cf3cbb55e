// The WebAssembly engine as the native file renderer, for the tests and the
// benchmark. It imports nothing, so that a page loads it from its text as
// Node loads it from this file; `kelvane` comes from web/site/engine.js's
// instantiate.

// Renders a whole sound (interleaved Float32Array) through a new engine as
// the native file renderer does, block for block: the engine's requests are
// met from the sound, then with silence, and the output is cut at exactly
// frames * 100 / speed frames. Returns the interleaved output.
export function renderSound(kelvane, samples, channels, sampleRate, settings) {
    const { pitch = 0, speed = 100, formant = null, quality = 1 } = settings;
    const created = kelvane.createEngine(sampleRate, channels, quality);
    if (!created.engine) {
        throw new Error(created.text);
    }
    const engine = created.engine;
    const frameCount = samples.length / channels;
    const total = Math.max(1, Math.round((frameCount * 100) / speed));
    const ringFrames = 65536;
    const input = kelvane.allocate(ringFrames * channels);
    const pulled = kelvane.allocate(ringFrames * channels);
    const output = new Float32Array(total * channels);
    try {
        const check = (status) => {
            if (status < 0) {
                throw new Error(kelvane.errorText(status));
            }
            return status;
        };
        check(engine.setSpeedPercent(speed));
        check(engine.setPitchSemitones(pitch));
        if (formant !== null) {
            check(engine.setFormantSemitones(formant));
        }
        check(engine.reset());
        let pushed = 0;
        let written = 0;
        let madeOutput = false;
        let silence = 0;
        while (written < total) {
            if (!madeOutput) {
                const required = check(engine.inputRequired());
                if (required === 0 || silence > 8 * ringFrames) {
                    throw new Error('the engine stopped producing output');
                }
                const real = Math.max(Math.min(required, frameCount - pushed), 0);
                const block = input.view;
                block.set(samples.subarray(pushed * channels, (pushed + real) * channels));
                block.fill(0, real * channels, required * channels);
                pushed += real;
                silence += required - real;
                check(engine.push(input.pointer, required));
            }
            check(engine.process());
            const available = check(engine.outputAvailable());
            madeOutput = available > 0;
            if (madeOutput) {
                check(engine.pull(pulled.pointer, available));
                const keep = Math.min(available, total - written);
                output.set(pulled.view.subarray(0, keep * channels), written * channels);
                written += keep;
            }
        }
    } finally {
        input.release();
        pulled.release();
        engine.destroy();
    }
    return output;
}
