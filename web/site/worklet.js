// The player in the browser's audio thread: the desktop player's callback,
// block for block. Once per 256 frames:
//   1. glide the pitch towards its target and hand pitch, speed and formant
//      to the engine;
//   2. until the engine holds 256 frames of output: push as many frames of
//      the sound as it asks for (forward, or last frame first in reverse,
//      cross-faded in the block where the direction turns, wrapping at the
//      end with Loop on), and process;
//   3. pull the output, a mono engine's channel on both sides and more than
//      two channels folded onto two.
// At the end of the sound without Loop the engine is flushed once, what it
// releases is played out, and the player stops. A seek fades the old place
// out and the new one in, 5 ms each; a pause fades its last block out and a
// resume fades it back in.
//
// Everything is allocated when the sound arrives (one node per sound): the
// sound itself and every block live in the module's memory, and a block
// makes no call that allocates. The control side's messages come only when
// a control moves; the position heard goes back every 16 blocks (46 ms at
// 44100 Hz) while playing.
import { instantiate, FORWARD, REVERSE, REVERSE_TO_FORWARD, FORWARD_TO_REVERSE } from './engine.js';

const kFramesPerBuffer = 256;
const kSeekFadeSeconds = 0.005;
const kMaxFeedingPasses = 64;
const kPositionHistory = 64;
const kQuantaPerReport = 16;

// The gain of a fade at `step` of `length`: a raised cosine from 0 to 1.
function fadeGain(step, length) {
    return 0.5 - 0.5 * Math.cos((Math.PI * step) / length);
}

class SevraneProcessor extends AudioWorkletProcessor {
    constructor(options) {
        super();
        this.kelvane = instantiate(options.processorOptions.module);
        this.alive = true;
        this.engine = null;
        this.playing = false;
        // The controls as the page last sent them.
        this.pitchTarget = 0;
        this.pitchSmoothed = 0;
        this.speedPercent = 100;
        this.reverseRequested = false;
        this.formantSemitones = 0;
        this.loop = true;
        this.deviceLatencyFrames = options.processorOptions.latencyFrames || 0;
        this.port.onmessage = (event) => this.receive(event.data);
    }

    receive(message) {
        switch (message.type) {
            case 'load':
                this.load(message);
                break;
            case 'controls':
                this.pitchTarget = Math.fround(message.pitch);
                this.speedPercent = message.speed;
                this.reverseRequested = message.reverse;
                this.formantSemitones = message.formant;
                this.loop = message.loop;
                break;
            case 'play':
                this.play();
                break;
            case 'stop':
                this.stop();
                break;
            case 'pause':
                if (this.playing) {
                    this.pauseRequested = message.paused;
                }
                this.port.postMessage({ type: 'paused', paused: this.playing && this.pauseRequested });
                break;
            case 'seek':
                this.seek(message.frame);
                break;
            case 'release':
                this.release();
                break;
        }
    }

    // The sound arrives as one Float32Array per channel; the engine is made
    // for it here, with every buffer a block will need.
    load({ channels: planes, sampleRate }) {
        const channels = planes.length;
        const frames = channels > 0 ? planes[0].length : 0;
        // Nothing to feed: Loop would wrap round an empty sound for ever.
        if (frames === 0) {
            this.port.postMessage({ type: 'refused', text: 'It holds no sound.' });
            return;
        }
        const created = this.kelvane.createEngine(sampleRate, channels, 1);
        if (created.status !== 0) {
            this.port.postMessage({ type: 'refused', text: created.text });
            return;
        }
        const made = [];
        const keep = (block) => {
            made.push(block);
            return block;
        };
        try {
            this.sound = keep(this.kelvane.allocate(Math.max(1, frames * channels)));
            this.faded = keep(this.kelvane.allocate(kFramesPerBuffer * channels));
            this.engineOutput = keep(this.kelvane.allocate(kFramesPerBuffer * channels));
            this.block = keep(this.kelvane.allocate(2 * kFramesPerBuffer));
            this.held = keep(this.kelvane.allocate(2 * kFramesPerBuffer));
            this.downmix = keep(this.kelvane.createDownmix(channels));
        } catch (error) {
            // What was made before memory ran out goes back.
            made.forEach((block) => block.release());
            created.engine.destroy();
            this.port.postMessage({ type: 'refused', text: error.message });
            return;
        }
        const samples = this.sound.view;
        for (let c = 0; c < channels; ++c) {
            const plane = planes[c];
            for (let f = 0; f < frames; ++f) {
                samples[f * channels + c] = plane[f];
            }
        }
        this.engine = created.engine;
        this.channels = channels;
        this.frameCount = frames;
        this.sampleRate = sampleRate;
        this.position = 0;
        this.positionHistory = new Int32Array(kPositionHistory);
        this.buffersRecorded = 0;
        this.heardLag = 0;
        this.blockFrames = 0; // frames of `block` not yet handed to the device
        this.blockRead = 0;
        this.quanta = 0;
        this.port.postMessage({ type: 'loaded', frames, channels });
    }

    release() {
        this.playing = false;
        this.alive = false;
        if (this.engine) {
            this.engine.destroy();
            for (const block of [this.sound, this.faded, this.engineOutput, this.block, this.held, this.downmix]) {
                block.release();
            }
            this.engine = null;
        }
    }

    // Play: from the start (the end in reverse), the engine reset and primed
    // with the frames and settings the first block would push, so that its
    // first analysis does not fall into one render quantum.
    play() {
        if (!this.engine) {
            return;
        }
        this.seekTarget = -1;
        this.fadeStep = 0;
        this.fadeLength = 0;
        this.paused = false;
        this.pauseRequested = false;
        this.ended = false;
        this.seekRequest = -1;
        this.blockFrames = 0;
        this.blockRead = 0;
        this.position = this.reverseRequested ? this.frameCount : 0;
        this.sendControls(this.pitchTarget);
        this.engine.reset();
        this.pitchSmoothed = this.pitchTarget;
        this.reverseActive = this.reverseRequested;
        this.framesFed = 0;
        this.feed(kFramesPerBuffer);
        this.heardLag = Math.min(
            Math.floor((this.framesFed + this.deviceLatencyFrames) / kFramesPerBuffer),
            kPositionHistory - 1
        );
        this.positionHistory.fill(this.position);
        this.buffersRecorded = kPositionHistory;
        this.playing = true;
        this.port.postMessage({ type: 'playing', playing: true });
    }

    stop() {
        this.playing = false;
        this.finishing = false;
        this.blockRead = this.blockFrames;
        this.position = 0;
        this.seekRequest = -1;
        this.pauseRequested = false;
        this.buffersRecorded = 0;
        this.report();
        this.port.postMessage({ type: 'playing', playing: false });
    }

    seek(frame) {
        if (!this.engine || this.frameCount <= 0) {
            return;
        }
        frame = Math.max(0, Math.min(frame, this.frameCount - 1));
        if (this.playing && !this.ended) {
            this.seekRequest = frame;
        } else {
            this.position = frame;
            this.buffersRecorded = 0;
            this.report();
        }
    }

    sendControls(pitch) {
        this.engine.setPitchSemitones(pitch);
        this.engine.setSpeedPercent(this.speedPercent);
        this.engine.setFormantSemitones(this.formantSemitones);
    }

    fading() {
        return this.seekTarget >= 0 || this.fadeStep < this.fadeLength;
    }

    beginSeek(frame) {
        if (!this.fading()) {
            this.fadeLength = Math.max(1, Math.round(this.sampleRate * kSeekFadeSeconds));
            this.fadeStep = this.fadeLength;
        }
        this.seekTarget = frame;
    }

    takeSeek() {
        this.fadeStep = 0;
        this.position = this.seekTarget;
        this.seekTarget = -1;
    }

    framesBeforeEnd() {
        return this.reverseActive ? Math.min(this.position, this.frameCount) : this.frameCount - this.position;
    }

    push(start, count, mode) {
        if (count <= 0) {
            return;
        }
        this.framesFed += count;
        const turning = mode === FORWARD_TO_REVERSE || mode === REVERSE_TO_FORWARD;
        if (!turning && this.fading()) {
            this.pushFading(start, count, mode);
            return;
        }
        this.engine.push(this.sound.at(start * this.channels), count, mode);
    }

    // Frames [start, start + count) with the fade applied, a block at a time,
    // in the order the engine stages them (a reversed push from its top down).
    pushFading(start, count, mode) {
        const channels = this.channels;
        const reverse = mode === REVERSE;
        const samples = this.sound.view;
        const faded = this.faded.view;
        while (count > 0 && this.fading()) {
            const fadingOut = this.seekTarget >= 0;
            let chunk = Math.min(count, kFramesPerBuffer);
            if (!fadingOut) {
                chunk = Math.min(chunk, this.fadeLength - this.fadeStep);
            }
            const first = reverse ? start + count - chunk : start;
            for (let k = 0; k < chunk; ++k) {
                this.fadeStep = fadingOut ? Math.max(this.fadeStep - 1, 0) : this.fadeStep + 1;
                const gain = fadeGain(this.fadeStep, this.fadeLength);
                const offset = reverse ? chunk - 1 - k : k;
                const from = (first + offset) * channels;
                for (let c = 0; c < channels; ++c) {
                    faded[offset * channels + c] = samples[from + c] * gain;
                }
            }
            this.engine.push(this.faded.pointer, chunk, mode);
            count -= chunk;
            start = reverse ? start : start + chunk;
        }
        if (count > 0) {
            this.engine.push(this.sound.at(start * channels), count, mode);
        }
    }

    // n frames forwards from `start`, wrapping at the end with Loop on;
    // returns the frame after the last one pushed.
    feedForwards(start, n, mode, loop) {
        const end = this.frameCount;
        if (!loop) {
            this.push(start, Math.min(start + n, end) - start, mode);
            return start + n;
        }
        let cursor = start;
        for (let remaining = n; remaining > 0; ) {
            if (cursor >= end) {
                cursor = 0;
            }
            const part = Math.min(remaining, end - cursor);
            this.push(cursor, part, mode);
            remaining -= part;
            cursor += part;
        }
        return cursor >= end ? 0 : cursor;
    }

    // n frames backwards down from `upper`, wrapping from the first frame to
    // the end; returns the new lower end.
    feedBackwards(upper, n, mode) {
        for (let remaining = n; remaining > 0; ) {
            if (upper <= 0) {
                upper = this.frameCount;
            }
            const part = Math.min(remaining, upper);
            this.push(upper - part, part, mode);
            remaining -= part;
            upper -= part;
        }
        return upper;
    }

    endOfSound(position) {
        this.engine.flush();
        this.position = position;
        this.ended = true;
    }

    forwardStep(n, loop) {
        let position = this.position;
        let mode = FORWARD;
        const length = this.frameCount;
        if (this.reverseActive) {
            // Out of the reverse zone: the first forward block is the one
            // before the turning point, read from reversed to forward.
            position -= n;
            this.reverseActive = false;
            mode = REVERSE_TO_FORWARD;
            if (loop && position < 0 && position + n >= 0) {
                position += Math.floor((-position + length - 1) / length) * length;
            } else if (position < 0) {
                position = 0;
            }
        }
        if (loop && position >= length) {
            position = 0;
        } else if (!loop && position >= length) {
            this.endOfSound(position);
            return false;
        }
        position = this.feedForwards(position, n, mode, loop);
        if (!loop && position >= length && this.seekTarget < 0) {
            this.endOfSound(position);
            return false;
        }
        this.position = position;
        return true;
    }

    reverseStep(n, loop) {
        let position = Math.min(this.position, this.frameCount);
        let mode = REVERSE;
        const length = this.frameCount;
        if (!this.reverseActive) {
            // Into the reverse zone: the first reversed block is the one after
            // the turning point, read from forward to reversed.
            position += n;
            this.reverseActive = true;
            mode = FORWARD_TO_REVERSE;
            if (loop && position > length && position - n <= length) {
                position -= Math.floor((position - length + length - 1) / length) * length;
            } else if (position > length) {
                position = length;
            }
        }
        if (!loop) {
            if (position - n < 0) {
                this.push(0, position, mode);
                this.endOfSound(length);
                return false;
            }
            this.push(position - n, n, mode);
            this.position = position - n;
            return true;
        }
        this.position = this.feedBackwards(position, n, mode);
        return true;
    }

    step(n, loop) {
        const reverse = this.fading() ? this.reverseActive : this.reverseRequested;
        return reverse ? this.reverseStep(n, loop) : this.forwardStep(n, loop);
    }

    feed(frames) {
        const engine = this.engine;
        if (engine.outputAvailable() >= frames) {
            return;
        }
        for (let pass = 0; pass < kMaxFeedingPasses; ++pass) {
            if (this.ended) {
                return;
            }
            const loop = this.loop;
            for (let n = engine.inputRequired(); n > 0; ) {
                let part = n;
                if (this.seekTarget >= 0) {
                    part = Math.min(part, this.fadeStep);
                    if (!loop) {
                        part = Math.min(part, this.framesBeforeEnd());
                    }
                    if (part <= 0) {
                        this.takeSeek();
                        continue;
                    }
                }
                if (!this.step(part, loop)) {
                    return;
                }
                n -= part;
            }
            engine.process();
            if (engine.outputAvailable() >= frames) {
                return;
            }
        }
    }

    // `frames` frames into the two-channel `output` (interleaved, in the
    // module's memory).
    pull(output, frames) {
        const channels = this.channels;
        if (channels === 2) {
            this.engine.pull(output.pointer, frames);
            return;
        }
        this.engine.pull(this.engineOutput.pointer, frames);
        if (channels === 1) {
            const from = this.engineOutput.view;
            const to = output.view;
            for (let f = 0; f < frames; ++f) {
                to[2 * f] = to[2 * f + 1] = from[f];
            }
            return;
        }
        this.downmix.fold(this.engineOutput, output, frames);
    }

    // One buffer of 256 frames into `output`; false once the sound is over.
    fillBuffer(output) {
        const frames = kFramesPerBuffer;
        // In single precision, step for step as the desktop player glides.
        const f = Math.fround;
        this.pitchSmoothed = f(f(f(0.1) * this.pitchTarget) + f(f(0.9) * this.pitchSmoothed));
        this.sendControls(this.pitchSmoothed);
        this.feed(frames);
        const available = this.engine.outputAvailable();
        if (available >= frames) {
            this.pull(output, frames);
            return true;
        }
        output.view.fill(0);
        if (!this.ended) {
            return true;
        }
        this.pull(output, Math.max(available, 0));
        return false;
    }

    recordPosition() {
        this.positionHistory[this.buffersRecorded % kPositionHistory] = this.position;
        this.buffersRecorded += 1;
    }

    heardPosition() {
        if (this.buffersRecorded === 0 || this.ended) {
            return this.position;
        }
        return this.positionHistory[(this.buffersRecorded - 1 - this.heardLag) % kPositionHistory];
    }

    report() {
        this.port.postMessage({ type: 'position', frame: this.heardPosition() });
    }

    // The next buffer of 256 frames, played, paused or ended.
    nextBuffer() {
        const block = this.block.view;
        if (this.pauseRequested) {
            // Paused: the first buffer fades out and is kept; then silence.
            if (!this.paused) {
                const more = this.fillBuffer(this.held);
                this.paused = true;
                const held = this.held.view;
                for (let k = 0; k < kFramesPerBuffer; ++k) {
                    const gain = fadeGain(kFramesPerBuffer - 1 - k, kFramesPerBuffer);
                    block[2 * k] = held[2 * k] * gain;
                    block[2 * k + 1] = held[2 * k + 1] * gain;
                }
                if (!more) {
                    this.finish();
                }
                return;
            }
            block.fill(0);
            return;
        }
        if (this.paused) {
            // Resumed: the kept buffer again, fading in.
            this.paused = false;
            const held = this.held.view;
            for (let k = 0; k < kFramesPerBuffer; ++k) {
                const gain = fadeGain(k, kFramesPerBuffer);
                block[2 * k] = held[2 * k] * gain;
                block[2 * k + 1] = held[2 * k + 1] * gain;
            }
            this.recordPosition();
            return;
        }
        if (this.seekRequest >= 0) {
            this.beginSeek(this.seekRequest);
            this.seekRequest = -1;
        }
        const more = this.fillBuffer(this.block);
        this.recordPosition();
        if (!more) {
            this.finish();
        }
    }

    // The sound has ended: what the engine released is in the block, and the
    // player stops after it.
    finish() {
        this.playing = false;
        this.finishing = true;
    }

    process(inputs, outputs) {
        if (!this.alive) {
            return false;
        }
        const output = outputs[0];
        const left = output[0];
        const right = output[1] || output[0];
        // Stopped, or paused with the fade-out played: silence, with nothing
        // asked of the engine and no block copied.
        const blockDone = this.blockRead >= this.blockFrames;
        const silent = !this.finishing && (!this.playing || (this.paused && this.pauseRequested));
        if (!this.engine || (silent && blockDone)) {
            left.fill(0);
            right.fill(0);
            return true;
        }
        const block = this.block.view;
        for (let f = 0; f < left.length; ++f) {
            if (this.blockRead >= this.blockFrames) {
                if (!this.playing) {
                    left.fill(0, f);
                    right.fill(0, f);
                    break;
                }
                this.nextBuffer();
                this.blockFrames = kFramesPerBuffer;
                this.blockRead = 0;
            }
            left[f] = block[2 * this.blockRead];
            right[f] = block[2 * this.blockRead + 1];
            this.blockRead += 1;
        }
        if (this.finishing && this.blockRead >= this.blockFrames) {
            this.finishing = false;
            this.report();
            this.port.postMessage({ type: 'playing', playing: false, ended: true });
        } else if (this.playing && ++this.quanta % kQuantaPerReport === 0) {
            this.report();
        }
        return true;
    }
}

registerProcessor('sevrane', SevraneProcessor);
