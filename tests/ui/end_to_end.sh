#!/usr/bin/env bash
# Sevrane end to end, as a person would use it: a real window on a virtual X
# server, real clicks, and the sound that reaches the default output device
# recorded into a file, paced in real time by a JACK server with a dummy
# driver. Starts sevrane with a 440 Hz tone, presses Play, pauses and resumes
# with Space, turns the pitch slider to its top (+24 semitones), presses Stop
# and closes the window; then end_to_end_check.py finds the tone, the silence
# of the pause and the tone going on from where it paused, its rise to
# 1760 Hz and its end. The same again with the tone as MP3, FLAC and Ogg Vorbis.
#   end_to_end.sh SEVRANE WORK_FOLDER
set -euo pipefail
sevrane=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/end_to_end_wait.sh"

for tool in Xvfb xdotool jackd jack_wait python3 flock; do
    command -v "$tool" >/dev/null || give_up "$tool is missing (scripts/deps installs it)"
done

rm -rf "$work"
mkdir -p "$work/runtime"
chmod 700 "$work/runtime"
python3 "$here/end_to_end_check.py" --write-tone "$work/tone.wav"

# A JACK server of this run's own, so that parallel runs do not meet. JACK
# keeps a machine-wide table of eight servers, and a server that is killed
# keeps its entry until one of the same name starts: so the name comes from
# a small pool, each name held by a lock while in use, and runs that are
# killed can never fill the table.
export JACK_NO_AUDIO_RESERVATION=1
export JACK_NO_START_SERVER=1
jack_names=4
for ((slot = 0; slot < jack_names; ++slot)); do
    exec {jack_lock}>"${TMPDIR:-/tmp}/sevrane-test-jack-$slot.lock"
    if flock -n "$jack_lock"; then
        break
    fi
    exec {jack_lock}>&-
done
[ "$slot" -lt "$jack_names" ] || give_up "all $jack_names JACK server names of this test are in use by other runs"
export JACK_DEFAULT_SERVER="sevrane-test-$slot"
jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 44100 -p 256 >"$work/jackd.log" 2>&1 &
jackd_pid=$!
xvfb_pid=
# Servers are asked to stop and given time: a JACK server that is killed
# keeps its entry in the table.
stop() {
    kill "$1" 2>/dev/null || return 0
    local deadline=$((SECONDS + 60))
    while kill -0 "$1" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
        sleep 0.1
    done
    kill -9 "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
trap '[ -z "$xvfb_pid" ] || stop "$xvfb_pid"; stop "$jackd_pid"' EXIT
jack_running() {
    kill -0 "$jackd_pid" 2>/dev/null ||
        give_up "the JACK server $JACK_DEFAULT_SERVER ended as it started: $(tail -n 3 "$work/jackd.log")"
    [ "$(jack_wait -c 2>/dev/null)" = running ]
}
wait_until "the JACK server $JACK_DEFAULT_SERVER to run" jack_running

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

# A virtual X server on a display it finds free itself, named once it
# accepts connections. It must not reset when its last client leaves (as it
# would after the probe below): a program connecting then is turned away.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
xvfb_ready() {
    kill -0 "$xvfb_pid" 2>/dev/null || give_up "the virtual X server ended as it started: $(tail -n 3 "$work/xvfb.log")"
    [ -s "$work/display" ]
}
wait_until "the virtual X server to start" xvfb_ready
export DISPLAY=":$(head -n 1 "$work/display")"
xvfb_answers() {
    xvfb_ready
    xdotool getdisplaygeometry >/dev/null 2>&1
}
wait_until "the virtual X server on $DISPLAY to answer" xvfb_answers

bash "$here/end_to_end_drive.sh" "$sevrane" "$work"
python3 "$here/end_to_end_check.py" --check "$work"

# The compressed tones are written by libsndfile through Debian's Python.
for format in mp3 flac ogg; do
    echo "== the tone as $format"
    mkdir -p "$work/$format"
    /usr/bin/python3 "$here/end_to_end_check.py" --write-tone "$work/$format/tone.$format"
    sed "s|$work/out-|$work/$format/out-|" "$work/alsa.conf" >"$work/$format/alsa.conf"
    ALSA_CONFIG_PATH="$work/$format/alsa.conf" \
        bash "$here/end_to_end_drive.sh" "$sevrane" "$work/$format" "$work/$format/tone.$format"
    python3 "$here/end_to_end_check.py" --check "$work/$format"
done
