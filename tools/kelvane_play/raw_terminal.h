// The terminal on standard input in key-at-a-time mode, for as long as the
// object lives: no line editing, no echo, reads that never wait. Ctrl-C and
// the other signal keys keep working. The terminal's own mode is put back
// when the object ends, on every way out that unwinds (the end of the
// sound, q, Ctrl-C, an error).
#pragma once

#include <termios.h>

namespace kelvane::play {

class RawTerminal {
public:
    // Switches standard input when it is a terminal; otherwise does nothing
    // and Active() is false.
    RawTerminal() noexcept;
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    bool Active() const noexcept { return active; }
    // Waits up to `milliseconds` for input and reads what there is, at most
    // `capacity` bytes; returns the count (0 when nothing came, also when a
    // signal cut the wait short), or -1 once the terminal has gone (hung
    // up): nothing more will come.
    int Read(char* bytes, int capacity, int milliseconds) noexcept;

private:
    termios saved{};
    bool active = false;
};

}  // namespace kelvane::play
