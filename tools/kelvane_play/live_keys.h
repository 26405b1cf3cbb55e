// kelvane-play's keys while it plays from a terminal: what each key means,
// how the bytes a terminal sends become keys, and the status line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "play_options.h"

namespace kelvane::play {

enum class Key {
    PitchUp,      // Up arrow
    PitchDown,    // Down arrow
    SeekForward,  // Right arrow
    SeekBack,     // Left arrow
    SpeedUp,      // ]
    SpeedDown,    // [
    Pause,        // Space: pause or resume
    Formant,      // f: formant preservation on or off
    Reverse,      // r
    Loop,         // l
    Quit,         // q
};

// Turns what the terminal sends into keys. An arrow comes as an escape
// sequence (ESC [ A, or ESC O A in application mode) that may arrive split
// over several reads: the decoder keeps an unfinished one for the next
// bytes. Bytes that are no key, a lone Escape and unknown sequences are
// skipped.
class KeyDecoder {
public:
    void Decode(const char* bytes, std::size_t count, std::vector<Key>& keys);

private:
    // 0: plain bytes; 1: after ESC; 2: after ESC [ or ESC O, until the
    // sequence's final byte.
    int escapeStage = 0;
};

// Steps the keys take.
inline constexpr double kPitchStepSemitones = 1.0;
inline constexpr double kSpeedStepPercent = 10.0;
inline constexpr double kLowestKeySpeed = 25.0;
inline constexpr double kSeekStepSeconds = 5.0;

// What a key asks of the player beyond the settings it changes.
enum class KeyAction { Settings, SeekForward, SeekBack, Pause, Quit };

// Applies a key to the live settings (pitch, speed, formants, direction,
// Loop): pitch moves by a semitone within -24..24, speed by ten points
// within 25..400, `f` turns formant preservation on (the formants stay
// where they are while the pitch moves) or turns every formant setting off.
// Returns what else the player has to do.
KeyAction ApplyKey(Key key, PlayOptions& settings);

// The status line: heard position and length, speed, pitch and the toggles,
// e.g. "0:12.3 / 1:05.0  speed 80 %  pitch +2  formants kept  reverse  loop  paused".
std::string FormatStatusLine(double heardSeconds, double lengthSeconds, const PlayOptions& settings,
                             bool paused);

// The lines of the keys, for --help and for the start of a session.
std::string KeysHelpText();

}  // namespace kelvane::play
