#!/usr/bin/env bash
# Kelvane beside the time-stretchers Debian ships, in the same run.
#
# First a Markdown table for the README: the engine and the libraries
# (Rubber Band's real-time mode with its faster and finer engines,
# SoundTouch) at stereo 44100 Hz, pitch +3, from kelvane-bench-peer-table:
# speed, the worst 512-frame callback as a share of its budget (running, and
# in the first calls after a reset) and latency, with the processor.
#
# Then kelvane-render beside the command-line programs (rubberband-cli in its
# faster and finer engines, soundstretch) on the same generated 60-second
# stereo file: CPU seconds, how many times faster than real time (output
# duration over CPU time), peak memory, and each program's CPU time over
# kelvane-render's.
#
# The peers are installed here when missing and only ever run as separate
# programs or linked into the benchmark: nothing of theirs is shipped.
#
#   bench/peers.sh                 both parts, building what is missing in build/
#   bench/peers.sh table           the Markdown table only
#   bench/peers.sh programs        the command-line comparison only
#   RUNS=3 bench/peers.sh          best of three runs for every program cell
#   KELVANE_RENDER=path KELVANE_BENCH=path bench/peers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

part=${1:-all}
case "$part" in
    all | table | programs) ;;
    *) echo "usage: bench/peers.sh [table|programs]" >&2; exit 1 ;;
esac
runs=${RUNS:-1}
render=${KELVANE_RENDER:-build/tools/kelvane-render}
bench=${KELVANE_BENCH:-build/bench/kelvane-bench-peer-table}

install_missing() {
    local missing=()
    command -v rubberband >/dev/null || missing+=(rubberband-cli)
    command -v soundstretch >/dev/null || missing+=(soundstretch)
    [ -x /usr/bin/time ] || missing+=(time)
    [ -x /usr/bin/python3 ] || missing+=(python3)
    /usr/bin/python3 -c 'import numpy' 2>/dev/null || missing+=(python3-numpy)
    pkg-config --exists rubberband 2>/dev/null || missing+=(librubberband-dev)
    pkg-config --exists soundtouch 2>/dev/null || missing+=(libsoundtouch-dev)
    [ ${#missing[@]} -eq 0 ] && return
    local as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    echo "Installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    "${as_root[@]}" apt-get update -q >&2
    "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}
install_missing

build_missing() {
    local targets=()
    [ "$part" != programs ] && [ ! -x "$bench" ] && targets+=(kelvane-bench-peer-table)
    [ "$part" != table ] && [ ! -x "$render" ] && targets+=(kelvane-render)
    [ ${#targets[@]} -eq 0 ] && return
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_BENCHMARKS=ON >/dev/null
    cmake --build build --target "${targets[@]}" >/dev/null
}
build_missing

print_table() {
    local processor
    processor=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
    "$bench" --benchmark_format=json 2>/dev/null |
        /usr/bin/python3 -c '
import json, sys
names = {"Kelvane": "Kelvane", "RubberBandFaster": "Rubber Band, faster engine",
         "RubberBandFiner": "Rubber Band, finer engine", "SoundTouch": "SoundTouch"}
processor, cores = sys.argv[1], sys.argv[2]
print("Stereo 44100 Hz, pitch +3, one thread, fed as an audio callback of 512 frames; "
      "measured on %s (%s cores) with `bench/peers.sh table`." % (processor, cores))
print()
print("| library | speed (x real time) | worst block, running (% of budget) "
      "| worst block, starting (% of budget) | latency (ms) |")
print("|---|---:|---:|---:|---:|")
for run in json.load(sys.stdin)["benchmarks"]:
    if run.get("error_occurred"):
        continue
    name = run["name"].split("/")[0]
    print("| %s | %.0f | %.1f | %.1f | %.0f |" % (names.get(name, name), run["x_real_time"],
          run["worst_%budget"], run["start_%budget"], run["latency_ms"]))
' "$processor" "$(nproc)"
}

if [ "$part" != programs ]; then
    print_table
fi
[ "$part" = table ] && exit 0
[ "$part" = all ] && echo

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 bench/music_mix.py "$work/input.wav" 60

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
