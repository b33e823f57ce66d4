#include "platform/Terminal.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pf::platform {

static_assert(sizeof(termios) <= 128, "the saved settings must fit");

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }
bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }
bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

KeyboardMode::KeyboardMode() {
  termios settings{};
  if (!StdinIsTerminal() || ::tcgetattr(STDIN_FILENO, &settings) != 0) return;
  std::memcpy(saved_, &settings, sizeof settings);
  // Keys one at a time and unechoed; Ctrl-C still interrupts.
  settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  changed_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &settings) == 0;
}

KeyboardMode::~KeyboardMode() {
  if (!changed_) return;
  termios settings{};
  std::memcpy(&settings, saved_, sizeof settings);
  ::tcsetattr(STDIN_FILENO, TCSANOW, &settings);
}

std::optional<char> ReadInputByte(int timeoutMs, bool* ended) {
  *ended = false;
  pollfd in{STDIN_FILENO, POLLIN, 0};
  const int ready = ::poll(&in, 1, timeoutMs);
  if (ready <= 0) return std::nullopt;  // time-out, or a signal broke the wait
  char byte = 0;
  const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
  if (got == 1) return byte;
  if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) *ended = true;
  return std::nullopt;
}

}  // namespace pf::platform
