// WAV files for the web tests: written as 32-bit float or 16-bit PCM, read
// back as 32-bit float, interleaved.
import { readFileSync, writeFileSync } from 'node:fs';

export function wavBytes(samples, channels, sampleRate, bits = 32) {
    const bytesPerSample = bits / 8;
    const dataBytes = samples.length * bytesPerSample;
    const buffer = Buffer.alloc(44 + dataBytes);
    buffer.write('RIFF', 0, 'ascii');
    buffer.writeUInt32LE(36 + dataBytes, 4);
    buffer.write('WAVEfmt ', 8, 'ascii');
    buffer.writeUInt32LE(16, 16);
    buffer.writeUInt16LE(bits === 32 ? 3 : 1, 20);
    buffer.writeUInt16LE(channels, 22);
    buffer.writeUInt32LE(sampleRate, 24);
    buffer.writeUInt32LE(sampleRate * channels * bytesPerSample, 28);
    buffer.writeUInt16LE(channels * bytesPerSample, 32);
    buffer.writeUInt16LE(bits, 34);
    buffer.write('data', 36, 'ascii');
    buffer.writeUInt32LE(dataBytes, 40);
    samples.forEach((value, k) => {
        if (bits === 32) {
            buffer.writeFloatLE(value, 44 + 4 * k);
        } else {
            buffer.writeInt16LE(Math.max(-32768, Math.min(32767, Math.round(value * 32767))), 44 + 2 * k);
        }
    });
    return buffer;
}

export function writeWav(path, samples, channels, sampleRate, bits = 32) {
    writeFileSync(path, wavBytes(samples, channels, sampleRate, bits));
}

// A float WAV file's format and samples (the chunks walked, not assumed).
export function readFloatWav(path) {
    const bytes = readFileSync(path);
    if (bytes.toString('ascii', 0, 4) !== 'RIFF' || bytes.toString('ascii', 8, 12) !== 'WAVE') {
        throw new Error(`${path} is no WAV file`);
    }
    let format = null;
    for (let at = 12; at + 8 <= bytes.length;) {
        const id = bytes.toString('ascii', at, at + 4);
        const size = bytes.readUInt32LE(at + 4);
        if (id === 'fmt ') {
            format = {
                tag: bytes.readUInt16LE(at + 8),
                channels: bytes.readUInt16LE(at + 10),
                sampleRate: bytes.readUInt32LE(at + 12),
                bits: bytes.readUInt16LE(at + 22),
            };
        } else if (id === 'data') {
            if (format === null || format.bits !== 32) {
                throw new Error(`${path} does not hold 32-bit float samples`);
            }
            const samples = new Float32Array(size / 4);
            for (let k = 0; k < samples.length; ++k) {
                samples[k] = bytes.readFloatLE(at + 8 + 4 * k);
            }
            return { ...format, samples };
        }
        at += 8 + size + (size & 1);
    }
    throw new Error(`${path} has no data chunk`);
}
