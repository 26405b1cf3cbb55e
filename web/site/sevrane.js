// The page's side of Sevrane: the controls, the waveform and the sound. The
// engine runs in the audio worklet (worklet.js); this side tells it what the
// controls say when one moves, and draws where playback is.
import { instantiate } from './engine.js';

const $ = (id) => document.getElementById(id);

// The least WebAssembly module with a SIMD instruction (v128.const, i8x16.splat
// of 0, an i32x4 lane read): it validates only where SIMD is supported.
const kSimdProbe = new Uint8Array([
    0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 10, 1, 8, 0, 65, 0, 253, 15, 253, 98, 11,
]);

// The overview's columns; the canvas draws them at its own width.
const kOverviewColumns = 2048;

function showMessage(text) {
    const message = $('message');
    message.textContent = text;
    message.hidden = text === '';
}

// The module, compiled once: the page computes the labels with it and every
// worklet node gets it to run the engine.
async function compileEngine() {
    const response = await fetch(new URL('kelvane.wasm', import.meta.url));
    if (!response.ok) {
        throw new Error(`kelvane.wasm could not be fetched (${response.status})`);
    }
    return WebAssembly.compile(await response.arrayBuffer());
}

class Page {
    constructor(module, kelvane, context) {
        this.module = module;
        this.kelvane = kelvane;
        this.context = context;
        this.output = new GainNode(context);
        this.output.connect(context.destination);
        this.node = null;
        this.frames = 0;
        this.position = 0;
        this.playing = false;
        this.paused = false;
        this.overview = null;
        this.loads = 0;
    }

    // Labels and values as the window's sliders give them.
    controls() {
        const pitchPosition = Number($('pitch').value);
        const speedPosition = Number($('speed').value);
        const pitch = this.kelvane.pitchFromSlider(pitchPosition);
        const speed = this.kelvane.speedFromSlider(speedPosition);
        $('pitch-label').textContent = this.kelvane.pitchLabel(pitchPosition);
        $('speed-label').textContent = this.kelvane.speedLabel(speedPosition);
        return {
            type: 'controls',
            pitch,
            speed: speed.percent,
            reverse: speed.reverse,
            formant: $('formant').checked ? pitch : 0,
            loop: $('loop').checked,
        };
    }

    sendControls() {
        const message = this.controls();
        if (this.node) {
            this.node.port.postMessage(message);
        }
    }

    async load(file) {
        if (!file) {
            return;
        }
        const load = ++this.loads;
        showMessage('');
        this.context.resume();
        let decoded;
        try {
            decoded = await this.context.decodeAudioData(await file.arrayBuffer());
        } catch {
            if (load === this.loads) {
                showMessage(`Cannot open "${file.name}": this browser cannot decode it.`);
            }
            return;
        }
        if (load !== this.loads) {
            return;
        }
        this.release();
        $('formant').checked = false;
        const planes = [];
        for (let c = 0; c < decoded.numberOfChannels; ++c) {
            planes.push(decoded.getChannelData(c).slice());
        }
        this.frames = decoded.length;
        this.position = 0;
        this.overview = overviewOf(planes, kOverviewColumns);
        this.draw();
        const node = new AudioWorkletNode(this.context, 'sevrane', {
            numberOfInputs: 0,
            numberOfOutputs: 1,
            outputChannelCount: [2],
            processorOptions: {
                module: this.module,
                latencyFrames: Math.round(((this.context.baseLatency || 0) + (this.context.outputLatency || 0)) * this.context.sampleRate),
            },
        });
        node.port.onmessage = (event) => this.receive(node, event.data, file.name);
        node.connect(this.output);
        this.node = node;
        this.sendControls();
        node.port.postMessage(
            { type: 'load', channels: planes, sampleRate: this.context.sampleRate },
            planes.map((plane) => plane.buffer)
        );
    }

    // The node of the previous sound stops and lets its engine go.
    release() {
        if (this.node) {
            this.node.port.postMessage({ type: 'release' });
            this.node.disconnect();
            this.node = null;
        }
        this.playing = false;
        this.paused = false;
        $('play').hidden = true;
        $('stop').hidden = true;
        document.body.dataset.state = 'empty';
    }

    receive(node, message, name) {
        if (node !== this.node) {
            return;
        }
        switch (message.type) {
            case 'loaded':
                $('play').hidden = false;
                $('stop').hidden = false;
                document.body.dataset.state = 'loaded';
                break;
            case 'refused':
                this.release();
                this.overview = null;
                this.draw();
                showMessage(`Cannot play "${name}": ${message.text}`);
                break;
            case 'position':
                this.position = message.frame;
                break;
            case 'playing':
                this.playing = message.playing;
                this.paused = false;
                document.body.dataset.state = message.playing ? 'playing' : 'loaded';
                break;
            case 'paused':
                this.paused = message.paused;
                break;
        }
    }

    play() {
        if (this.node) {
            this.context.resume();
            this.sendControls();
            this.node.port.postMessage({ type: 'play' });
        }
    }

    stop() {
        if (this.node) {
            this.node.port.postMessage({ type: 'stop' });
        }
    }

    togglePause() {
        if (this.node && this.playing) {
            this.node.port.postMessage({ type: 'pause', paused: !this.paused });
        }
    }

    seekTo(fraction) {
        if (this.node && this.frames > 0) {
            const frame = Math.round(Math.min(Math.max(fraction, 0), 1) * (this.frames - 1));
            this.node.port.postMessage({ type: 'seek', frame });
        }
    }

    // The overview, and the green cursor where playback is heard.
    draw() {
        const canvas = $('waveform');
        const width = canvas.width;
        const height = canvas.height;
        const g = canvas.getContext('2d');
        g.fillStyle = '#ffffff';
        g.fillRect(0, 0, width, height);
        g.strokeStyle = '#c8c8c8';
        g.beginPath();
        g.moveTo(0, height / 2 + 0.5);
        g.lineTo(width, height / 2 + 0.5);
        g.stroke();
        if (!this.overview) {
            return;
        }
        g.strokeStyle = '#16264f';
        g.beginPath();
        const { minimum, maximum } = this.overview;
        for (let x = 0; x < width; ++x) {
            const first = Math.floor((x * kOverviewColumns) / width);
            const end = Math.max(first + 1, Math.floor(((x + 1) * kOverviewColumns) / width));
            let low = 0;
            let high = 0;
            for (let k = first; k < end; ++k) {
                low = Math.min(low, minimum[k]);
                high = Math.max(high, maximum[k]);
            }
            g.moveTo(x + 0.5, height / 2 - high * (height / 2));
            g.lineTo(x + 0.5, height / 2 - low * (height / 2) + 1);
        }
        g.stroke();
        if (this.frames > 0) {
            const x = Math.round((this.position / this.frames) * (width - 1)) + 0.5;
            g.strokeStyle = '#2e9e55';
            g.lineWidth = 2;
            g.beginPath();
            g.moveTo(x, 0);
            g.lineTo(x, height);
            g.stroke();
            g.lineWidth = 1;
        }
    }
}

// The largest and smallest sample of every column, over all channels.
function overviewOf(planes, columns) {
    const frames = planes[0].length;
    const minimum = new Float32Array(columns);
    const maximum = new Float32Array(columns);
    for (let x = 0; x < columns; ++x) {
        const first = Math.floor((x * frames) / columns);
        const end = Math.max(first + 1, Math.floor(((x + 1) * frames) / columns));
        let low = 0;
        let high = 0;
        for (const plane of planes) {
            for (let f = first; f < end && f < frames; ++f) {
                low = Math.min(low, plane[f]);
                high = Math.max(high, plane[f]);
            }
        }
        minimum[x] = Math.max(low, -1);
        maximum[x] = Math.min(high, 1);
    }
    return { minimum, maximum };
}

function fitCanvas() {
    const canvas = $('waveform');
    const width = Math.max(1, Math.round(canvas.clientWidth * (window.devicePixelRatio || 1)));
    const height = Math.max(1, Math.round(canvas.clientHeight * (window.devicePixelRatio || 1)));
    const changed = canvas.width !== width || canvas.height !== height;
    canvas.width = width;
    canvas.height = height;
    return changed;
}

function wire(page) {
    const ticks = $('ticks');
    for (let p = -96; p <= 96; p += 4) {
        ticks.append(new Option('', String(p)));
    }
    for (const id of ['pitch', 'speed', 'formant', 'loop']) {
        $(id).addEventListener('input', () => page.sendControls());
        $(id).addEventListener('change', () => page.sendControls());
    }
    $('load').addEventListener('change', (event) => {
        page.load(event.target.files[0]);
    });
    $('play').addEventListener('click', () => page.play());
    $('stop').addEventListener('click', () => page.stop());

    const canvas = $('waveform');
    canvas.addEventListener('click', (event) => {
        const box = canvas.getBoundingClientRect();
        page.seekTo((event.clientX - box.left) / box.width);
    });
    canvas.addEventListener('keydown', (event) => {
        // The arrows move playback a twentieth of the sound, Home and End to
        // its ends.
        const step = { ArrowLeft: -0.05, ArrowRight: 0.05 }[event.key];
        const here = page.frames > 0 ? page.position / page.frames : 0;
        if (step !== undefined) {
            page.seekTo(here + step);
        } else if (event.key === 'Home' || event.key === 'End') {
            page.seekTo(event.key === 'Home' ? 0 : 1);
        } else {
            return;
        }
        event.preventDefault();
    });
    document.addEventListener('keydown', (event) => {
        if (event.key !== ' ' || event.target === $('load') || event.repeat) {
            return;
        }
        event.preventDefault();
        page.togglePause();
    });

    document.addEventListener('dragover', (event) => {
        event.preventDefault();
        document.body.classList.add('dragging');
    });
    document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
    document.addEventListener('drop', (event) => {
        event.preventDefault();
        document.body.classList.remove('dragging');
        page.load(event.dataTransfer.files[0]);
    });

    window.addEventListener('resize', () => fitCanvas());
    const frame = () => {
        page.draw();
        requestAnimationFrame(frame);
    };
    requestAnimationFrame(frame);
}

async function start() {
    document.body.dataset.state = 'starting';
    if (typeof WebAssembly !== 'object' || !WebAssembly.validate(kSimdProbe)) {
        throw new Error('This browser cannot run the engine: it lacks WebAssembly SIMD. A current Chrome, Edge, Firefox or Safari has it.');
    }
    if (typeof AudioWorkletNode !== 'function' || !window.isSecureContext) {
        throw new Error(
            'This browser cannot play through the engine: it lacks AudioWorklet' +
                (window.isSecureContext ? '.' : ' on a page not served over HTTPS or from this computer.')
        );
    }
    const module = await compileEngine();
    const kelvane = instantiate(module);
    const context = new AudioContext();
    const probe = kelvane.createEngine(context.sampleRate, 1, 1);
    if (probe.status !== 0) {
        context.close();
        throw new Error(
            `The audio device plays at ${context.sampleRate} Hz, a rate the engine does not take (${probe.text} ` +
                'It runs at 32000 to 196000 Hz.) Choose another rate for the device and reload the page.'
        );
    }
    probe.engine.destroy();
    await context.audioWorklet.addModule(new URL('worklet.js', import.meta.url));
    fitCanvas();
    const page = new Page(module, kelvane, context);
    window.sevrane = { context, output: page.output };
    page.controls();
    wire(page);
    document.body.dataset.state = 'empty';
}

start().catch((error) => {
    document.body.dataset.state = 'failed';
    for (const id of ['load', 'play', 'stop', 'pitch', 'speed', 'formant', 'loop']) {
        $(id).disabled = true;
    }
    showMessage(error.message);
});
