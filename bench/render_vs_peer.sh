#!/usr/bin/env bash
# kelvane-render beside Debian's soundstretch on one minute of generated
# stereo music at pitch +3, the two run by turns in the same run so that a
# busy machine weighs on both alike. Prints each program's best CPU and wall
# time over the rounds and kelvane-render's speed as a share of
# soundstretch's (its CPU time over ours: 1 is as fast).
#
#   bench/render_vs_peer.sh                  uses build/tools/kelvane-render
#   ROUNDS=9 bench/render_vs_peer.sh         more turns each (5 by default)
#   KELVANE_RENDER=path bench/render_vs_peer.sh
#   KELVANE_RENDER_BEFORE=path bench/render_vs_peer.sh
#                                            a second kelvane-render in the same turns, to
#                                            compare two builds; their outputs are then
#                                            compared at several settings and formats too
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-5}
render=${KELVANE_RENDER:-build/tools/kelvane-render}
before=${KELVANE_RENDER_BEFORE:-}

if [ ! -x "$render" ]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build --target kelvane-render >/dev/null
fi
missing=()
command -v soundstretch >/dev/null || missing+=(soundstretch)
/usr/bin/python3 -c 'import numpy' 2>/dev/null || missing+=(python3-numpy)
/usr/bin/python3 -c 'import soundfile' 2>/dev/null || missing+=(python3-soundfile)
command -v sox >/dev/null || missing+=(sox)
if [ ${#missing[@]} -gt 0 ]; then
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/music_mix.py "$work/in.wav" 60

programs=("kelvane-render")
commands=("$render --quiet --pitch 3 $work/in.wav $work/kelvane.wav")
if [ -n "$before" ]; then
    programs+=("kelvane-render, before")
    commands+=("$before --quiet --pitch 3 $work/in.wav $work/before.wav")
fi
programs+=("soundstretch")
commands+=("soundstretch $work/in.wav $work/soundstretch.wav -pitch=3")

# Processor and wall seconds of one command, from the kernel's account of
# the child to the microsecond (GNU time prints only hundredths, a twentieth
# of a run here).
measure() {
    /usr/bin/python3 -c '
import resource, subprocess, sys, time
start = time.perf_counter()
run = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = time.perf_counter() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print(usage.ru_utime + usage.ru_stime, wall)
sys.exit(run.returncode)' "$@"
}

# Each round runs every program once, in turn; the best of each is kept.
declare -A best_cpu best_wall
for _ in $(seq "$rounds"); do
    for i in "${!commands[@]}"; do
        # shellcheck disable=SC2086  # the commands are word lists
        measure ${commands[$i]} >"$work/time" || {
            echo "failed: ${commands[$i]}" >&2
            exit 1
        }
        read -r cpu wall <"$work/time"
        if [ -z "${best_cpu[$i]:-}" ] || awk -v a="$cpu" -v b="${best_cpu[$i]}" 'BEGIN { exit !(a < b) }'; then
            best_cpu[$i]=$cpu
        fi
        if [ -z "${best_wall[$i]:-}" ] || awk -v a="$wall" -v b="${best_wall[$i]}" 'BEGIN { exit !(a < b) }'; then
            best_wall[$i]=$wall
        fi
    done
done

peer=$((${#commands[@]} - 1))
echo "60 s of stereo 44100 Hz music at pitch +3, best of $rounds turns each"
printf '%-24s %8s %8s %18s %21s\n' "program" "CPU s" "wall s" "x real time (CPU)" "speed / soundstretch"
for i in "${!commands[@]}"; do
    awk -v n="${programs[$i]}" -v c="${best_cpu[$i]}" -v w="${best_wall[$i]}" -v p="${best_cpu[$peer]}" 'BEGIN {
        printf "%-24s %8.3f %8.3f %18.1f %21.2f\n", n, c, w, 60 / c, p / c }'
done
echo "speed / soundstretch: soundstretch's CPU time over the program's; above 1, faster than soundstretch."

[ -z "$before" ] && exit 0
# The two builds must write the same files. Float WAV files carry the time
# they were written and Ogg streams a random serial number, so where the
# bytes differ the samples are compared.
echo
echo "outputs of the two builds, 12 s of the music:"
/usr/bin/python3 bench/music_mix.py "$work/short.wav" 12
sox "$work/short.wav" -b 24 "$work/short24.wav"
sox "$work/short.wav" "$work/short.flac"
sox "$work/short.wav" -c 1 "$work/mono.wav"
differ=0
while IFS='|' read -r input output options; do
    for build in new before; do
        program=$render
        [ "$build" = before ] && program=$before
        # shellcheck disable=SC2086
        "$program" --quiet $options "$work/$input" "$work/$build-$output"
    done
    if cmp -s "$work/new-$output" "$work/before-$output"; then
        verdict="identical"
    elif /usr/bin/python3 -c '
import sys, soundfile
a, ra = soundfile.read(sys.argv[1], dtype="float32")
b, rb = soundfile.read(sys.argv[2], dtype="float32")
sys.exit(not (ra == rb and a.shape == b.shape and (a == b).all()))' "$work/new-$output" "$work/before-$output"; then
        verdict="same samples"
    else
        verdict="DIFFERENT"
        differ=1
    fi
    printf '%-14s %-12s %-36s %s\n' "$input" "$output" "$options" "$verdict"
done <<'SETTINGS'
short.wav|a.wav|--pitch 3
short.wav|b.wav|--speed 50
short.wav|c.wav|--speed 200 --pitch -5
short.wav|d.wav|--pitch 7 --preserve-formants
short.wav|e.wav|--reverse --pitch -2
short.wav|f.wav|--pitch 3 --bits 24
short.wav|g.wav|--pitch 3 --bits 32f
short.wav|h.flac|--speed 75
short.wav|i.ogg|--pitch 3
short.wav|j.aiff|--quality 0 --pitch 5
short24.wav|k.wav|--pitch 1
short.flac|l.wav|--reverse
short.flac|m.wav|--speed 130 --pitch 2
mono.wav|n.wav|--pitch -3
SETTINGS
exit "$differ"
