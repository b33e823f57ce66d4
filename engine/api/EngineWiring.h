#pragma once

namespace pf {

// Connects what the engine's lower layers leave open: registers the peer
// classes with the pool (HTTP sources, BitTorrent peers, trackers) and sends
// the resolver's one-time report to telemetry. Once per process; later calls
// do nothing, so a test that installed its own classes keeps them.
void WireEngine();

}  // namespace pf
