#pragma once

namespace pf::platform {

// Prepares the process for socket use (a peer closing a connection must not
// kill the process with SIGPIPE). Returns false when sockets are unusable.
bool SocketsStartup();
void SocketsCleanup();

}  // namespace pf::platform
