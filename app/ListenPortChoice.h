#pragma once
// The port the engine listens on for peers when no port mapping chose one.

namespace pf {

inline constexpr int kLowestListenPort = 40000;
inline constexpr int kHighestListenPort = 50000;

// A port of 40000-50000 that nothing listens on now, starting at a random
// one; 0 when every try failed.
int ChooseFreeListenPort();

}  // namespace pf
