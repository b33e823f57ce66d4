// Work objects built directly by the unit tests use the engine's peer
// classes, as tasks made through the call interface do.
#include "engine/api/EngineWiring.h"

namespace {

const bool registered = [] {
  pf::WireEngine();
  return true;
}();

}  // namespace
