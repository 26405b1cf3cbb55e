#!/usr/bin/env bash
# Runs inside the virtual X server: opens sevrane on the tone and works its
# controls, noting when each step happened.
#   end_to_end_drive.sh SEVRANE WORK_FOLDER
set -euo pipefail
sevrane=$1
work=$2

"$sevrane" "$work/tone.wav" >"$work/sevrane.log" 2>&1 &
sevrane_pid=$!
trap 'kill "$sevrane_pid" 2>/dev/null || true' EXIT

window=$(timeout 30 xdotool search --sync --onlyvisible --name "Kelvane demonstration" | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$window")"
# The window is laid out on a grid of 508 x 291 dialog units, so a control's
# centre in units finds it in pixels whatever the font.
click_at() {
    xdotool mousemove --window "$window" $(($1 * WIDTH / 508)) $(($2 * HEIGHT / 291)) click 1
}
now() { date +%s.%N; }

# Play and Stop appear once the file has loaded and its stream is open,
# which creates the recording.
for _ in $(seq 200); do
    [ -e "$work/out-44100.raw" ] && break
    sleep 0.1
done
sleep 0.3
now >"$work/play.time"
click_at 253 277   # Play
sleep 1.5
click_at 255 186   # the pitch slider's thumb, at 0
xdotool key --window "$window" End
now >"$work/pitch.time"
sleep 1.5
now >"$work/stop.time"
click_at 343 277   # Stop
sleep 0.3
stat -c %s "$work/out-44100.raw" >"$work/stopped.size"
sleep 1
stat -c %s "$work/out-44100.raw" >"$work/later.size"

xdotool key --window "$window" Escape
status=0
wait "$sevrane_pid" || status=$?
trap - EXIT
echo "$status" >"$work/sevrane.status"
