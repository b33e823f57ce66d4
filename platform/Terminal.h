#pragma once
// The terminal the program was started from.
#include <optional>

namespace pf::platform {

// Whether standard error is a terminal (progress bars are drawn only there).
bool StderrIsTerminal();
bool StdinIsTerminal();
bool StdoutIsTerminal();

// While it lives, the terminal on standard input hands over single key
// presses without echoing them; the old settings come back at the end. Does
// nothing when standard input is not a terminal.
class KeyboardMode {
 public:
  KeyboardMode();
  ~KeyboardMode();
  KeyboardMode(const KeyboardMode&) = delete;
  KeyboardMode& operator=(const KeyboardMode&) = delete;

 private:
  bool changed_ = false;
  alignas(8) unsigned char saved_[128];  // the terminal's settings before
};

// One byte from standard input within `timeoutMs` (negative: wait); nothing
// on a time-out, EOF is reported as std::nullopt with *ended set.
std::optional<char> ReadInputByte(int timeoutMs, bool* ended);

}  // namespace pf::platform
