// kelvane.wasm from JavaScript: the same module serves the page (the
// sliders' labels), the audio worklet (the engine) and Node (tests and
// benchmarks). It needs no fetch and no Emscripten glue: give instantiate a
// compiled WebAssembly.Module.

export const FORWARD = 0;
export const REVERSE = 1;
export const REVERSE_TO_FORWARD = 2;
export const FORWARD_TO_REVERSE = 3;

const OK = 0;

// The module's imports: memory growth needs no notice here (views are
// re-made when the memory's buffer changes), and an exit is a fault.
function importsFor(module) {
    const imports = {
        env: { emscripten_notify_memory_growth() {} },
        wasi_snapshot_preview1: {
            proc_exit(code) {
                throw new Error(`kelvane.wasm stopped with status ${code}`);
            },
        },
    };
    // Anything else the module names fails loudly when called, rather than
    // failing the instantiation of a module that never calls it.
    for (const { module: from, name, kind } of WebAssembly.Module.imports(module)) {
        if (kind !== 'function') {
            continue;
        }
        imports[from] ??= {};
        imports[from][name] ??= () => {
            throw new Error(`kelvane.wasm called ${from}.${name}, which the page does not provide`);
        };
    }
    return imports;
}

export function instantiate(module) {
    const instance = new WebAssembly.Instance(module, importsFor(module));
    if (instance.exports._initialize) {
        instance.exports._initialize();
    }
    return new Kelvane(instance.exports);
}

// Reads a NUL-terminated ASCII text (the engine's and the labels' texts)
// without TextDecoder, which an audio worklet's scope lacks.
function cString(memory, pointer) {
    const bytes = new Uint8Array(memory.buffer, pointer);
    let text = '';
    for (let k = 0; bytes[k] !== 0; ++k) {
        text += String.fromCharCode(bytes[k]);
    }
    return text;
}

export class Kelvane {
    constructor(exports) {
        this.exports = exports;
    }

    get memory() {
        return this.exports.memory;
    }

    errorText(status) {
        return cString(this.memory, this.exports.web_error_text(status));
    }

    // The window's sliders: position (-96..96) to values and label texts.
    pitchFromSlider(position) {
        return this.exports.web_pitch_from_slider(position);
    }

    speedFromSlider(position) {
        return {
            percent: this.exports.web_speed_percent_from_slider(position),
            reverse: this.exports.web_speed_reverse_from_slider(position) !== 0,
        };
    }

    pitchLabel(position) {
        return cString(this.memory, this.exports.web_pitch_label(position));
    }

    speedLabel(position) {
        return cString(this.memory, this.exports.web_speed_label(position));
    }

    // `count` floats in the module's memory, or throws when memory runs out.
    allocate(count) {
        const pointer = this.exports.web_allocate_floats(count);
        if (pointer === 0) {
            throw new Error('Out of memory.');
        }
        return new FloatBlock(this, pointer, count);
    }

    // The desktop player's fold of `channels` channels onto two, or throws
    // when memory runs out.
    createDownmix(channels) {
        const pointer = this.exports.web_downmix_create(channels);
        if (pointer === 0) {
            throw new Error('Out of memory.');
        }
        return new Downmix(this, pointer, channels);
    }

    // An engine, or { status, text } when the engine refuses the request.
    createEngine(sampleRate, channels, quality = 1) {
        const handle = this.exports.web_create(sampleRate, channels, quality);
        if (handle < 0) {
            return { status: handle, text: this.errorText(handle) };
        }
        return { status: OK, engine: new Engine(this, handle) };
    }
}

// Floats in the module's memory. `view` is re-made only when the memory has
// grown (which happens only while allocating), so reading it costs nothing.
export class FloatBlock {
    constructor(kelvane, pointer, count) {
        this.kelvane = kelvane;
        this.pointer = pointer;
        this.count = count;
        this.buffer = null;
        this.array = null;
    }

    get view() {
        const buffer = this.kelvane.memory.buffer;
        if (buffer !== this.buffer) {
            this.buffer = buffer;
            this.array = new Float32Array(buffer, this.pointer, this.count);
        }
        return this.array;
    }

    // The address of float `index`.
    at(index) {
        return this.pointer + 4 * index;
    }

    release() {
        this.kelvane.exports.web_release(this.pointer);
        this.pointer = 0;
        this.count = 0;
        this.array = null;
    }
}

// A sound's channels folded onto two, as the desktop player folds them.
export class Downmix {
    constructor(kelvane, pointer, channels) {
        this.kelvane = kelvane;
        this.pointer = pointer;
        this.channels = channels;
    }

    // `frames` interleaved frames of the FloatBlock `source` into the first
    // 2 * frames floats of `destination`.
    fold(source, destination, frames) {
        this.kelvane.exports.web_fold_to_stereo(this.pointer, source.pointer, this.channels, destination.pointer, frames);
    }

    release() {
        this.kelvane.exports.web_release(this.pointer);
        this.pointer = 0;
    }
}

// One engine instance: the operation table's calls, on addresses in the
// module's memory.
export class Engine {
    constructor(kelvane, handle) {
        this.kelvane = kelvane;
        this.x = kelvane.exports;
        this.handle = handle;
    }

    reset() { return this.x.web_reset(this.handle); }
    process() { return this.x.web_process(this.handle); }
    flush() { return this.x.web_flush(this.handle); }
    outputAvailable() { return this.x.web_output_available(this.handle); }
    inputRequired() { return this.x.web_input_required(this.handle); }
    push(address, frames, direction = FORWARD) { return this.x.web_push_input(this.handle, address, frames, direction); }
    pull(address, frames) { return this.x.web_pull_output(this.handle, address, frames); }
    setPitchSemitones(semitones) { return this.x.web_set_pitch_semitones(this.handle, semitones); }
    setSpeedPercent(percent) { return this.x.web_set_speed_percent(this.handle, percent); }
    setFormantSemitones(semitones) { return this.x.web_set_formant_semitones(this.handle, semitones); }

    destroy() {
        if (this.handle !== 0) {
            this.x.web_destroy(this.handle);
            this.handle = 0;
        }
    }
}
