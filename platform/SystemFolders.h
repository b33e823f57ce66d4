#pragma once
// The folders the system assigns to a program: where its data lives, where
// temporary files go and where per-session objects (locks, sockets) belong.
#include <string>

namespace pf::platform {

// $XDG_DATA_HOME, else ~/.local/share (an absolute path; "/tmp" when not
// even a home folder is known).
std::string ApplicationDataFolder();

// $TMPDIR, else /tmp.
std::string TemporaryFolder();

// The system's own directory, where its drivers are; empty on a system
// without one.
std::string SystemDirectory();

// $XDG_RUNTIME_DIR; empty when the session has none.
std::string RuntimeFolder();

}  // namespace pf::platform
