#!/usr/bin/env bash
# Measures kelvane-render on batches and on one long file:
#   - 200 ten-second stereo FLAC files at pitch +3, with -j 1 and -j 2:
#     files per second, total CPU seconds, peak memory;
#   - one long file (2 hours by default) and one of a twelfth of its length,
#     at pitch +3: peak memory, which should not grow with the length.
# Prints one table. Inputs are generated in a temporary folder.
#
#   bench/batch.sh                   uses build/tools/kelvane-render, building it if needed
#   FILES=50 LONG_MINUTES=20 bench/batch.sh
#   KELVANE_RENDER=path bench/batch.sh
set -euo pipefail
cd "$(dirname "$0")/.."

files=${FILES:-200}
long_minutes=${LONG_MINUTES:-120}
render=${KELVANE_RENDER:-build/tools/kelvane-render}

if [ ! -x "$render" ]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build --target kelvane-render >/dev/null
fi
if [ ! -x /usr/bin/time ]; then
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends time >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Ten seconds of stereo 44100 Hz, 16-bit: a chord, a melody and noise hits.
# A long file repeats it, written block by block.
python3 - "$work/ten.wav" "$work/long.wav" "$work/short.wav" "$long_minutes" <<'PYTHON'
import math, random, struct, sys, wave

rate = 44100
random.seed(3)
frames = bytearray()
hit = 0.0
for i in range(rate * 10):
    t = i / rate
    pad = (math.sin(2 * math.pi * 220.0 * t) + math.sin(2 * math.pi * 277.2 * t) + math.sin(2 * math.pi * 329.6 * t)) / 3
    note = math.sin(2 * math.pi * [440.0, 493.9, 523.3, 587.3][int(t * 4) % 4] * t)
    if i % (rate // 2) == 0:
        hit = 1.0
    hit *= 0.9993
    noise = random.uniform(-1, 1)
    for c in range(2):
        value = 0.35 * pad + 0.25 * note + 0.25 * hit * noise * (1 if c == 0 else -1)
        frames += struct.pack('<h', max(-32768, min(32767, int(value * 32767))))
block = bytes(frames)

def write(path, repeats):
    out = wave.open(path, 'wb')
    out.setnchannels(2)
    out.setsampwidth(2)
    out.setframerate(rate)
    for _ in range(repeats):
        out.writeframes(block)
    out.close()

long_blocks = int(sys.argv[4]) * 6
write(sys.argv[1], 1)
write(sys.argv[2], long_blocks)
write(sys.argv[3], max(1, long_blocks // 12))
PYTHON

"$render" --quiet "$work/ten.wav" "$work/ten.flac"
mkdir "$work/in"
for i in $(seq -w 1 "$files"); do
    cp "$work/ten.flac" "$work/in/f$i.flac"
done

# Runs the command; prints "wall_seconds cpu_seconds peak_kib".
measure() {
    /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >/dev/null
    awk '{ printf "%.2f %.2f %d\n", $1, $2 + $3, $4 }' "$work/time"
}

printf '%-40s %10s %10s %10s %12s\n' "run" "wall s" "CPU s" "files/s" "peak MiB"
for jobs in 1 2; do
    rm -rf "$work/out"
    read -r wall cpu peak < <(measure "$render" --quiet --pitch 3 -j "$jobs" "$work"/in/*.flac -o "$work/out")
    printf '%-40s %10.2f %10.2f %10.2f %12.1f\n' "$files x 10 s FLAC, pitch +3, -j $jobs" "$wall" "$cpu" \
        "$(awk -v f="$files" -v w="$wall" 'BEGIN { print f / w }')" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')"
done
for length in short long; do
    minutes=$long_minutes
    [ "$length" = short ] && minutes=$(( long_minutes / 12 > 0 ? long_minutes / 12 : 1 ))
    read -r wall cpu peak < <(measure "$render" --quiet --pitch 3 "$work/$length.wav" "$work/$length.flac")
    rm -f "$work/$length.flac"
    printf '%-40s %10.2f %10.2f %10s %12.1f\n' "one $minutes-minute WAV, pitch +3, to FLAC" "$wall" "$cpu" "" \
        "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')"
done
