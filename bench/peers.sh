#!/usr/bin/env bash
# Compares kelvane-render with the command-line time-stretchers Debian ships
# (rubberband-cli in its faster and finer engines, soundstretch) on the same
# generated 60-second stereo file, in the same run. Prints one table: CPU
# seconds, how many times faster than real time (output duration over CPU
# time), peak memory, and each program's CPU time over kelvane-render's.
#
# The peers are installed here when missing and only ever run as separate
# programs: nothing of theirs is linked or shipped.
#
#   bench/peers.sh                 uses build/tools/kelvane-render, building it if needed
#   RUNS=3 bench/peers.sh          best of three runs for every cell
#   KELVANE_RENDER=path bench/peers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-1}
render=${KELVANE_RENDER:-build/tools/kelvane-render}

if [ ! -x "$render" ]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build --target kelvane-render >/dev/null
fi

install_missing() {
    local missing=()
    command -v rubberband >/dev/null || missing+=(rubberband-cli)
    command -v soundstretch >/dev/null || missing+=(soundstretch)
    [ -x /usr/bin/time ] || missing+=(time)
    command -v python3 >/dev/null || missing+=(python3)
    [ ${#missing[@]} -eq 0 ] && return
    local as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    echo "Installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    "${as_root[@]}" apt-get update -q >&2
    "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}
install_missing

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 60 s, stereo, 44100 Hz, 16-bit: a chord that changes every two seconds, a
# melody with vibrato, noise bursts as drum hits and a little hiss, so every
# program meets tones, transients and noise.
python3 - "$work/input.wav" <<'EOF'
import math, random, struct, sys, wave

rate, seconds = 44100, 60
random.seed(6)
chords = [(220.0, 277.2, 329.6), (196.0, 246.9, 293.7), (174.6, 220.0, 261.6), (164.8, 207.7, 246.9)]
melody = [440.0, 493.9, 523.3, 587.3, 659.3, 587.3, 523.3, 493.9]
frames = bytearray()
phase = [0.0, 0.0]
hit = 0.0
for i in range(rate * seconds):
    t = i / rate
    chord = chords[int(t / 2) % len(chords)]
    note = melody[int(t * 4) % len(melody)] * (1 + 0.004 * math.sin(2 * math.pi * 5.5 * t))
    if i % (rate // 2) == 0:
        hit = 1.0
    hit *= 0.9993
    noise = random.uniform(-1, 1)
    pad = sum(math.sin(2 * math.pi * f * t) for f in chord) / 3
    for c in range(2):
        phase[c] += 2 * math.pi * note * (1.0 + 0.001 * c) / rate
        value = 0.3 * pad + 0.25 * math.sin(phase[c]) + 0.3 * hit * noise + 0.01 * random.uniform(-1, 1)
        frames += struct.pack('<h', max(-32768, min(32767, int(value * 32767))))
out = wave.open(sys.argv[1], 'wb')
out.setnchannels(2)
out.setsampwidth(2)
out.setframerate(rate)
out.writeframes(bytes(frames))
out.close()
EOF

# Runs a command `runs` times; prints "cpu_seconds peak_kib" of the run with
# the least CPU time.
measure() {
    local best_cpu="" best_mem=""
    for _ in $(seq "$runs"); do
        /usr/bin/time -f '%U %S %M' -o "$work/time" "$@" >/dev/null 2>&1 || {
            echo "failed: $*" >&2
            return 1
        }
        read -r user system kib <"$work/time"
        local cpu
        cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.3f", u + s }')
        if [ -z "$best_cpu" ] || awk -v a="$cpu" -v b="$best_cpu" 'BEGIN { exit !(a < b) }'; then
            best_cpu=$cpu
            best_mem=$kib
        fi
    done
    echo "$best_cpu $best_mem"
}

in="$work/input.wav"
out="$work/output.wav"
# case name | output seconds | kelvane options | rubberband options | soundstretch options
cases=(
    "pitch +3|60|--pitch 3|-p 3|-pitch=3"
    "speed 50 %|120|--speed 50|-T 0.5|-tempo=-50"
    "speed 200 %, pitch -5|30|--speed 200 --pitch -5|-T 2 -p -5|-tempo=+100 -pitch=-5"
    "pitch +7, formants kept|60|--pitch 7 --preserve-formants|-p 7 -F|-pitch=7"
)

printf '%-24s %-20s %8s %12s %9s %14s\n' "case" "program" "CPU s" "x real time" "peak MiB" "CPU / kelvane"
for entry in "${cases[@]}"; do
    IFS='|' read -r name seconds kelvane rubberband soundstretch <<<"$entry"
    marker=""
    [[ "$name" == *formants* ]] && marker="*"
    # shellcheck disable=SC2086  # the options are word lists
    read -r base_cpu base_mem < <(measure "$render" --quiet $kelvane "$in" "$out")
    row() {
        local program=$1 cpu=$2 kib=$3
        awk -v n="$name" -v p="$program" -v c="$cpu" -v k="$kib" -v s="$seconds" -v b="$base_cpu" 'BEGIN {
            printf "%-24s %-20s %8.2f %12.1f %9.1f %14.2f\n", n, p, c, s / c, k / 1024, c / b }'
        name=""
    }
    row "kelvane-render" "$base_cpu" "$base_mem"
    # shellcheck disable=SC2086
    read -r cpu mem < <(measure rubberband -q --fast $rubberband "$in" "$out")
    row "rubberband --fast" "$cpu" "$mem"
    # shellcheck disable=SC2086
    read -r cpu mem < <(measure rubberband -q --fine $rubberband "$in" "$out")
    row "rubberband --fine" "$cpu" "$mem"
    # shellcheck disable=SC2086
    read -r cpu mem < <(measure soundstretch "$in" "$out" $soundstretch)
    row "soundstretch$marker" "$cpu" "$mem"
done
echo
echo "x real time: output duration over CPU time. CPU / kelvane: above 1, the peer needs more CPU time."
echo "* soundstretch has no formant option: it shifts the formants with the pitch."
