#pragma once
// Ctrl-C and termination requests for command-line programs: the handlers
// only note the request, so that the program can stop its work cleanly and
// save what it has.

namespace pf::platform {

// Notes SIGINT and SIGTERM instead of ending the process. A second request
// of the same kind ends the process the default way, for a user who does not
// want to wait.
void InstallInterruptHandlers();

// Whether a request arrived since the handlers were installed.
bool InterruptRequested();

}  // namespace pf::platform
