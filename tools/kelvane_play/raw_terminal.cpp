#include "raw_terminal.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace kelvane::play {

RawTerminal::RawTerminal() noexcept
{
    if (::isatty(STDIN_FILENO) != 1 || ::tcgetattr(STDIN_FILENO, &saved) != 0) {
        return;
    }
    termios raw = saved;
    // Keys arrive one at a time and unechoed; ISIG stays, so Ctrl-C still
    // stops the sound through the program's own handler.
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    active = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

RawTerminal::~RawTerminal()
{
    if (active) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
}

int RawTerminal::Read(char* bytes, int capacity, int milliseconds) noexcept
{
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, milliseconds) <= 0) {
        return 0;
    }
    if ((input.revents & POLLIN) == 0) {
        return -1;
    }
    const ssize_t count = ::read(STDIN_FILENO, bytes, static_cast<std::size_t>(capacity));
    if (count < 0) {
        return errno == EINTR || errno == EAGAIN ? 0 : -1;
    }
    // Ready, yet nothing to read: the other end is gone.
    return count == 0 ? -1 : static_cast<int>(count);
}

}  // namespace kelvane::play
