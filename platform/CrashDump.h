#pragma once
// The crash dump: when the process dies of a fatal signal (a bad memory
// access, an abort, an illegal instruction, a division fault), a file named
// after the local time ("YYYY-MM-DD-hh-mm-ss-ms-rr.dmp") is written into the
// working directory with the signal, the faulting thread and a backtrace,
// and the process then ends the way the signal would have ended it.

namespace pf::platform {

// Installs the handler for the fatal signals; later calls do nothing. The
// calling thread also gets a stack of its own for the handler, so that a
// stack overflow there still leaves its file.
void InstallCrashDumpHandler();

}  // namespace pf::platform
