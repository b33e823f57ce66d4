#pragma once
// Process-wide bookkeeping of incoming BitTorrent connections: the info-hashes
// that tasks serve, and the accepted connections whose first bytes have not
// yet named a task. Both live under the registry lock; every call takes it
// (the lock is recursive, callers may already hold it).
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/wire/BtHandshake.h"
#include "engine/net/QTcpSocket.h"

namespace pf {

class ServedInfoHashes {
 public:
  // Adds a copy of `hash` for `task` unless the hash is all zero or the task
  // is listed already.
  static bool Register(const BtHash& hash, const void* task);
  static void Unregister(const void* task);
  static bool IsServed(const BtHash& hash);
  static void Clear();
};

// What becomes of a pending connection after a look at its first bytes.
enum class PendingVerdict : uint8_t { kWait, kAccept, kDrop };

// A full handshake prefix (48 bytes and more) naming `infoHash`.
bool IsHandshakeForTask(std::span<const uint8_t> bytes, const BtHash& infoHash);
// `bytes`: what arrived after any preamble; `taskHash`: the asking task's
// info-hash (null when it has none); `ageMs`: since the accept; `arrived`:
// every byte received so far. A handshake for another served task waits for
// that task's sweep for a few seconds.
PendingVerdict JudgePending(std::span<const uint8_t> bytes, const BtHash* taskHash, uint32_t ageMs,
                            uint64_t arrived);

class IncomingConnections {
 public:
  static constexpr size_t kMaxPending = 32;

  struct Matched {
    std::unique_ptr<QTcpSocket> connection;
    bool sawPreamble = false;  // an HTTP-looking block came first (stripped)
  };

  // An accepted connection (already past the IP filter) joins the pending
  // list; in a full list it takes the place of one that is worth less (gone,
  // else silent, else the oldest). The first one from outside the listener's
  // /24 network (`peerIp`, `listenerIp` in network order) marks the process
  // reachable.
  static void AddPending(std::unique_ptr<QTcpSocket> connection, uint32_t nowMs, uint32_t listenerIp);
  // One sweep on behalf of the task serving `taskHash` (null: none): reads
  // what arrived, drops broken, foreign and stale connections, the oldest
  // beyond kMaxPending, and hands out those whose handshake names the task.
  static std::vector<Matched> Sweep(const BtHash* taskHash, uint32_t nowMs);
  static size_t PendingCount();
  static void Clear();

  // Whether a peer from outside has reached this process's listener.
  static bool Reachable();
  static void ClearReachable();
};

}  // namespace pf
