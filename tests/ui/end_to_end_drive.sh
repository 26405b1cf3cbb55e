#!/usr/bin/env bash
# Runs on the virtual X server: opens sevrane on the tone and works its
# controls and keys, noting how much had been recorded when each step happened.
# Each step waits for what it needs (the window named after the file, the
# stream, enough sound) rather than for a fixed time.
#   end_to_end_drive.sh SEVRANE WORK_FOLDER [SOUND_FILE]
set -euo pipefail
sevrane=$1
work=$2
sound=${3:-$work/tone.wav}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/end_to_end_wait.sh"
recording="$work/out-44100.raw"
bytes_per_second=$((44100 * 8))   # float32 stereo

"$sevrane" "$sound" >"$work/sevrane.log" 2>&1 &
sevrane_pid=$!
trap 'kill "$sevrane_pid" 2>/dev/null || true' EXIT

alive() {
    kill -0 "$sevrane_pid" 2>/dev/null && return 0
    local status=0
    wait "$sevrane_pid" || status=$?
    give_up "sevrane ended early, with status $status: $(tail -n 5 "$work/sevrane.log")"
}

# The title names the file once it has loaded.
title="$(basename "$sound") - Kelvane demonstration"
window=
window_mapped() {
    alive
    window=$(xdotool search --onlyvisible --name "^${title//./\\.}$" | head -n 1)
    [ -n "$window" ]
}
wait_until "the window \"$title\" to be mapped" window_mapped
eval "$(xdotool getwindowgeometry --shell "$window")"

# The window is laid out on a grid of 508 x 291 dialog units, so a control's
# centre in units finds it in pixels whatever the font.
click_at() {
    alive
    xdotool mousemove --window "$window" $(($1 * WIDTH / 508)) $(($2 * HEIGHT / 291)) click 1
}
# Keys as a keyboard gives them, to the window given the focus.
press_key() {
    alive
    xdotool windowfocus --sync "$window" key "$1"
}

# The recording starts when the stream opens, once the file has loaded.
stream_open() {
    alive
    [ -e "$recording" ]
}
wait_until "the tone to load and its stream to open (creating $recording)" stream_open

# Play shows a moment after the stream opens: a press that came too early
# is repeated until the stream runs, which the recording's growth shows.
played_from=$(size_of "$recording")
deadline=$((SECONDS + wait_limit))
until [ "$(size_of "$recording")" -gt "$played_from" ]; do
    [ "$SECONDS" -lt "$deadline" ] || give_up "gave up after ${wait_limit} s waiting for the stream to run after Play"
    click_at 253 277   # Play
    for _ in $(seq 100); do
        alive
        [ "$(size_of "$recording")" -gt "$played_from" ] && break
        sleep 0.1
    done
done
size_of "$recording" >"$work/play.size"

# seconds_recorded_since MARK SECONDS: whether the recording has grown by
# SECONDS of sound since it held MARK bytes.
seconds_recorded_since() {
    alive
    [ "$(size_of "$recording")" -ge $(($1 + $2 * bytes_per_second)) ]
}
wait_until "2 s of the tone after Play" seconds_recorded_since "$(cat "$work/play.size")" 2

# Space pauses and resumes, although the Play button just clicked has the
# focus: the stream runs on, recording silence while paused.
size_of "$recording" >"$work/pause.size"
press_key space
wait_until "2 s of sound after Space paused" seconds_recorded_since "$(cat "$work/pause.size")" 2
size_of "$recording" >"$work/resume.size"
press_key space
wait_until "2 s of sound after Space resumed" seconds_recorded_since "$(cat "$work/resume.size")" 2

size_of "$recording" >"$work/pitch.size"
click_at 255 186   # the pitch slider's thumb, at 0
press_key End
wait_until "3 s of sound after the pitch moved" seconds_recorded_since "$(cat "$work/pitch.size")" 3

size_of "$recording" >"$work/stop.size"
click_at 343 277   # Stop
# Stopped: the recording has not grown for at least a whole second.
last_size=-1
last_change=$SECONDS
quiet_for_a_second() {
    alive
    local now
    now=$(size_of "$recording")
    if [ "$now" != "$last_size" ]; then
        last_size=$now
        last_change=$SECONDS
    fi
    [ $((SECONDS - last_change)) -ge 2 ]
}
wait_until "the sound to end after Stop (the recording kept growing)" quiet_for_a_second
size_of "$recording" >"$work/final.size"

press_key Escape
ended() { ! kill -0 "$sevrane_pid" 2>/dev/null; }
wait_until "sevrane to close after Escape" ended
status=0
wait "$sevrane_pid" || status=$?
trap - EXIT
echo "$status" >"$work/sevrane.status"
