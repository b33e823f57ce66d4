#pragma once
#include <cstdint>
#include <string>

namespace pf {

// The process-wide listening socket for incoming BitTorrent connections,
// kept by the tasks' ticks: opened on the engine's listen port while the P2P
// switch is on, reopened when the machine's address changes, closed when the
// switch goes off. Accepted connections join the pending incoming list,
// where the tasks find theirs by info-hash.
class EngineListener {
 public:
  // One upkeep pass at wall second `now`; the text a task shows for the
  // listener ("address : port", or "Service Disabled!" with P2P off; empty
  // when it could not be opened).
  static std::string Upkeep(int64_t now);
  // Accepts the waiting connections into the pending list (a bounded number
  // per call); how many.
  static int AcceptWaiting(uint32_t nowMs);
  static bool IsOpen();
  // Whether a connection waits to be accepted (a poll, no wait).
  static bool HasWaiting();
  // The machine's address for listening (network order) as last looked up;
  // 0 until the first lookup. Never waits: the upkeep looks it up again on a
  // thread of its own now and then. RefreshLocalAddress looks it up and
  // waits (the engine's start calls it, outside any task's loop).
  static uint32_t LocalAddress();
  static void RefreshLocalAddress();
  static void RefreshLocalAddressInBackground();
  static uint16_t Port();
  static void Close();
};

}  // namespace pf
