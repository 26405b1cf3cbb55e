#include "live_keys.h"

#include <algorithm>
#include <cstdio>

namespace kelvane::play {

namespace {

constexpr char kEscape = '\x1b';

struct KeyByte {
    char byte;
    Key key;
};

// The final bytes of the arrows' escape sequences, and the plain keys.
constexpr KeyByte kArrowKeys[] = {
    {'A', Key::PitchUp}, {'B', Key::PitchDown}, {'C', Key::SeekForward}, {'D', Key::SeekBack}};
constexpr KeyByte kPlainKeys[] = {{']', Key::SpeedUp}, {'[', Key::SpeedDown}, {' ', Key::Pause},
                                  {'f', Key::Formant}, {'F', Key::Formant},   {'r', Key::Reverse},
                                  {'R', Key::Reverse}, {'l', Key::Loop},      {'L', Key::Loop},
                                  {'q', Key::Quit},    {'Q', Key::Quit}};

template <std::size_t N>
void AddKey(const KeyByte (&table)[N], char byte, std::vector<Key>& keys)
{
    for (const KeyByte& entry : table) {
        if (entry.byte == byte) {
            keys.push_back(entry.key);
            return;
        }
    }
}

}  // namespace

void KeyDecoder::Decode(const char* bytes, std::size_t count, std::vector<Key>& keys)
{
    for (std::size_t i = 0; i < count; ++i) {
        const char byte = bytes[i];
        if (escapeStage == 1) {
            escapeStage = byte == '[' || byte == 'O' ? 2 : 0;
            // Escape pressed on its own: the next byte is a key of its own.
            if (escapeStage == 2) {
                continue;
            }
        }
        if (escapeStage == 2) {
            // Parameters and intermediates run until a final byte (@ to ~).
            if (byte >= '@' && byte <= '~') {
                escapeStage = 0;
                AddKey(kArrowKeys, byte, keys);
            }
            continue;
        }
        if (byte == kEscape) {
            escapeStage = 1;
            continue;
        }
        AddKey(kPlainKeys, byte, keys);
    }
}

KeyAction ApplyKey(Key key, PlayOptions& settings)
{
    const auto movePitch = [&](double step) {
        settings.pitchSemitones =
            std::clamp(settings.pitchSemitones + step, -tools::kSemitoneLimit, tools::kSemitoneLimit);
    };
    const auto moveSpeed = [&](double step) {
        settings.speedPercent =
            std::clamp(settings.speedPercent + step, kLowestKeySpeed, tools::kMaximumSpeedPercent);
    };
    switch (key) {
        case Key::PitchUp:
            movePitch(kPitchStepSemitones);
            break;
        case Key::PitchDown:
            movePitch(-kPitchStepSemitones);
            break;
        case Key::SpeedUp:
            moveSpeed(kSpeedStepPercent);
            break;
        case Key::SpeedDown:
            moveSpeed(-kSpeedStepPercent);
            break;
        case Key::Formant:
            if (PlayFormantSemitones(settings) != 0.0 || settings.preserveFormants) {
                settings.preserveFormants = false;
                settings.formantSemitones.reset();
            } else {
                settings.preserveFormants = true;
            }
            break;
        case Key::Reverse:
            settings.reverse = !settings.reverse;
            break;
        case Key::Loop:
            settings.loop = !settings.loop;
            break;
        case Key::SeekForward:
            return KeyAction::SeekForward;
        case Key::SeekBack:
            return KeyAction::SeekBack;
        case Key::Pause:
            return KeyAction::Pause;
        case Key::Quit:
            return KeyAction::Quit;
    }
    return KeyAction::Settings;
}

std::string FormatStatusLine(double heardSeconds, double lengthSeconds, const PlayOptions& settings,
                             bool paused)
{
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "  speed %g %%  pitch %+g", settings.speedPercent,
                  settings.pitchSemitones);
    std::string line = FormatPlayTime(heardSeconds) + " / " + FormatPlayTime(lengthSeconds) + numbers;
    if (settings.preserveFormants) {
        line += "  formants kept";
    } else if (const double formant = PlayFormantSemitones(settings); formant != 0.0) {
        std::snprintf(numbers, sizeof numbers, "  formants %+g", formant);
        line += numbers;
    }
    line += settings.reverse ? "  reverse" : "";
    line += settings.loop ? "  loop" : "";
    line += paused ? "  paused" : "";
    return line;
}

std::string KeysHelpText()
{
    return "Keys, while it plays from a terminal:\n"
           "  Up / Down              pitch one semitone up / down\n"
           "  Right / Left           5 seconds on / back\n"
           "  ] / [                  speed 10 points up / down (25 to 400)\n"
           "  Space                  pause / resume\n"
           "  f                      keep the formants while the pitch moves, on / off\n"
           "  r                      forwards / backwards\n"
           "  l                      loop on / off\n"
           "  q                      quit\n";
}

}  // namespace kelvane::play
