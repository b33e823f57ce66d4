#pragma once
// The debugger-output channel of the log. By default lines go to stderr when
// PELICANFETCH_DEBUG is set and are dropped otherwise; a sink can take them.
#include <functional>

namespace pf::platform {

void DebugOutput(const char* text);

// Replaces where debugger output goes; an empty function restores the
// default. Answers the sink it replaces.
using DebugSink = std::function<void(const char*)>;
DebugSink SetDebugOutputSink(DebugSink sink);

}  // namespace pf::platform
