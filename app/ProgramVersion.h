#pragma once
// The program's own version as the telemetry reports it: the four parts of
// the build's file version, or "1.0.3" for a build that has none.

namespace pf {

const char* ProgramVersionText();

}  // namespace pf
