// Microseconds per Forward+Inverse of the Hartley transform in WebAssembly
// (Node), at the sizes the engine uses and around them, best of a few runs
// of processor time; with the native program built from the same source
// (four lanes), its figures beside and whether one Forward gives the same
// bits.
//
//   cmake --build build-web/cmake --target kelvane_transform_speed   (after scripts/web --build-only)
//   cmake --build build --target kelvane-transform-speed
//   node bench/web/transform_speed.mjs build-web/cmake/web/transform_speed.wasm build/bench/kelvane-transform-speed
//
// It fails when the bits differ.
import { spawnSync } from 'node:child_process';
import { readFileSync } from 'node:fs';

const [wasmPath, nativeProgram] = process.argv.slice(2);
if (!wasmPath) {
    console.error('usage: node transform_speed.mjs TRANSFORM_SPEED_WASM [NATIVE_PROGRAM]');
    process.exit(2);
}

const sizes = [256, 512, 1024, 2048, 4096];
const runs = 15;
// About the same work at every size.
const roundsFor = (n) => Math.round(5000 * (1024 / n));

const module = new WebAssembly.Module(readFileSync(wasmPath));
const imports = {};
for (const { module: from, name, kind } of WebAssembly.Module.imports(module)) {
    if (kind === 'function') {
        imports[from] ??= {};
        imports[from][name] = () => {
            throw new Error(`transform_speed.wasm called ${from}.${name}`);
        };
    }
}
const instance = new WebAssembly.Instance(module, imports);
const bench = instance.exports;
bench._initialize?.();

function hash(n) {
    const bits = new Uint32Array(bench.memory.buffer, bench.bench_data(), n);
    let h = 2166136261;
    for (const b of bits) {
        h = Math.imul(h ^ b, 16777619) >>> 0;
    }
    return h.toString(16).padStart(8, '0');
}

function native(n) {
    if (!nativeProgram) {
        return null;
    }
    // Best of the runs, as for WebAssembly.
    let best = null;
    for (let r = 0; r < runs; ++r) {
        const run = spawnSync(nativeProgram, [String(n), String(roundsFor(n))], { encoding: 'utf8' });
        if (run.status !== 0) {
            throw new Error(`${nativeProgram} failed: ${run.stderr}`);
        }
        const [, us, , forwardHash] = run.stdout.trim().split(/\s+/);
        if (best === null || Number(us) < best.us) {
            best = { us: Number(us), forwardHash };
        }
    }
    return best;
}

console.log('Forward+Inverse, microseconds, best of ' + runs + ' (processor time):');
console.log('size'.padStart(6) + 'wasm'.padStart(10) + (nativeProgram ? 'native'.padStart(10) + 'ratio'.padStart(8) + '  same bits' : ''));
let different = 0;
for (const n of sizes) {
    if (!bench.bench_prepare(n)) {
        throw new Error(`no transform of size ${n}`);
    }
    bench.bench_forward();
    const forwardHash = hash(n);
    bench.bench_prepare(n);
    const rounds = roundsFor(n);
    bench.bench_run(rounds / 10);  // warm up: the optimising tier
    let best = Infinity;
    for (let r = 0; r < runs; ++r) {
        const before = process.cpuUsage();
        bench.bench_run(rounds);
        const used = process.cpuUsage(before);
        best = Math.min(best, (used.user + used.system) / rounds);
    }
    const other = native(n);
    let line = String(n).padStart(6) + best.toFixed(2).padStart(10);
    if (other) {
        const same = other.forwardHash === forwardHash;
        different += same ? 0 : 1;
        line += other.us.toFixed(2).padStart(10) + (best / other.us).toFixed(2).padStart(8) + (same ? '  yes' : '  NO');
    }
    console.log(line);
}
process.exit(different === 0 ? 0 : 1);
