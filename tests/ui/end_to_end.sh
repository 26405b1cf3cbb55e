#!/usr/bin/env bash
# Sevrane end to end, as a person would use it: a real window on a virtual X
# server, real clicks, and the sound that reaches the default output device
# recorded into a file, paced in real time by a JACK server with a dummy
# driver. Starts sevrane with a 440 Hz tone, presses Play, turns the pitch
# slider to its top (+24 semitones), presses Stop and closes the window; then
# end_to_end_check.py finds the tone, its rise to 1760 Hz and its end.
#   end_to_end.sh SEVRANE WORK_FOLDER
set -euo pipefail
sevrane=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)

for tool in xvfb-run xdotool jackd jack_wait python3; do
    command -v "$tool" >/dev/null || { echo "end_to_end: $tool is missing (scripts/deps installs it)" >&2; exit 1; }
done

rm -rf "$work"
mkdir -p "$work/runtime"
chmod 700 "$work/runtime"
python3 "$here/end_to_end_check.py" --write-tone "$work/tone.wav"

# A JACK server of this run's own, so that parallel runs do not meet.
export JACK_NO_AUDIO_RESERVATION=1
export JACK_DEFAULT_SERVER="sevrane-test-$$"
jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 44100 -p 256 >"$work/jackd.log" 2>&1 &
jackd_pid=$!
trap 'kill "$jackd_pid" 2>/dev/null; wait "$jackd_pid" 2>/dev/null || true' EXIT
jack_wait -w -t 10 >/dev/null

cat >"$work/alsa.conf" <<CONF
pcm.!default {
    type file
    slave.pcm { type plug slave.pcm { type jack playback_ports { 0 system:playback_1 1 system:playback_2 } } }
    file "$work/out-%r.raw"
    format "raw"
    perm 0644
}
CONF
export ALSA_CONFIG_PATH="$work/alsa.conf"
export XDG_RUNTIME_DIR="$work/runtime"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY

xvfb-run -a -s "-screen 0 1280x800x24" bash "$here/end_to_end_drive.sh" "$sevrane" "$work"
python3 "$here/end_to_end_check.py" --check "$work"
