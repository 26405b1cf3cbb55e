#!/usr/bin/env bash
# Makes the two synthetic voices the speech formant tests read: one sentence
# read by a low male and by a female voice of espeak-ng, resampled to
# 44100 Hz, 16-bit mono, with the silence around the sentence trimmed.
set -euo pipefail
cd "$(dirname "$0")"
sentence="Sam sat still as Tess told a tale."
for voice in m3:male f3:female; do
    espeak-ng -v "en+${voice%%:*}" -s 150 -w raw.wav "$sentence"
    sox -D raw.wav -r 44100 -b 16 "${voice##*:}.wav" \
        silence 1 0.005 0.3% reverse silence 1 0.005 0.3% reverse pad 0.02 0.02
done
rm -f raw.wav
