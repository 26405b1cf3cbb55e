// The application: starts the audio library, runs the main window until it
// closes, and ends the audio library. A failure of either end is shown in a
// "portaudio" box and does not stop the program.
#pragma once

#include <string>

namespace sevrane::ui {

class DialogServices;

inline constexpr const char* kAudioLibraryTitle = "portaudio";
inline constexpr const char* kStartFailedText = "Error initializing";
inline constexpr const char* kEndFailedText = "Error terminating";

class CSevraneApp {
public:
    explicit CSevraneApp(DialogServices& services) noexcept : services(services) {}

    // Runs the program in an existing QApplication; `soundPath` (as the file
    // system spells it), if not empty, is loaded as soon as the window shows.
    // Returns the exit status.
    int Run(const std::string& soundPath);

private:
    DialogServices& services;
};

// Whether a window can be shown at all: a display server is named, or Qt is
// told which platform to use.
bool HasWindowSystem(const char* display, const char* waylandDisplay, const char* qtPlatform) noexcept;

// The line that explains, without a window, what to use instead.
inline constexpr const char* kNoDisplayMessage =
    "sevrane: no display to open its window on (DISPLAY and WAYLAND_DISPLAY are unset); "
    "without a window, use kelvane-play to play a sound file or kelvane-render to process one";

}  // namespace sevrane::ui
