#pragma once
// The port the engine listens on for peers: a random free one in
// 40000-50000, never one of the ports other programs are known to use.
#include <array>
#include <cstdint>
#include <functional>

namespace pf {

inline constexpr int kLowestListenPort = 40000;
inline constexpr int kHighestListenPort = 50000;
inline constexpr std::array<int, 8> kExcludedListenPorts = {40412, 40421, 40422, 40423,
                                                            40426, 43958, 44444, 47262};

bool IsExcludedListenPort(int port);
// The first port tried for a random value: value % 10000 + 40000, moved on
// by at least one and past the excluded ports.
int FirstListenPortCandidate(uint32_t randomValue);
// The port tried after `port`: the next one that is not excluded, back to
// 40000 past 50000.
int NextListenPortCandidate(int port);

// Tries the candidates from the one of `randomValue` until `inUse` says one
// is free; 0 when every candidate is in use.
int SelectListenPort(uint32_t randomValue, const std::function<bool(int port)>& inUse);

// SelectListenPort with a random value drawn from a time-seeded generator
// and the sockets of this computer as the test.
int ChooseFreeListenPort();

}  // namespace pf
