// How closely two renderings of one sound agree: the largest difference
// relative to the reference's peak, and the reference's power over the
// difference's, in dB. The tolerance is shared by every comparison of the
// WebAssembly engine with the native one.
export const kMaxDifference = 1e-3;
export const kMinAgreementDb = 80;

export function agreement(reference, other, count = Math.min(reference.length, other.length)) {
    let peak = 0;
    let worst = 0;
    let signal = 0;
    let difference = 0;
    for (let k = 0; k < count; ++k) {
        const d = other[k] - reference[k];
        peak = Math.max(peak, Math.abs(reference[k]));
        worst = Math.max(worst, Math.abs(d));
        signal += reference[k] * reference[k];
        difference += d * d;
    }
    const db = difference === 0 ? Infinity : 10 * Math.log10(signal / difference);
    return {
        passed: peak > 0.1 && worst <= kMaxDifference * peak && db >= kMinAgreementDb,
        text: `largest difference ${(peak > 0 ? worst / peak : worst).toExponential(2)} of the peak, agreement ${db.toFixed(1)} dB`,
    };
}
