#include "engine/task/IncomingConnections.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "engine/base/EngineLocks.h"
#include "engine/base/ScopedLock.h"
#include "engine/wire/BtPreamble.h"

namespace pf {
namespace {

struct ServedEntry {
  BtHash hash;
  const void* task;
};

std::vector<ServedEntry>& Served() {
  static std::vector<ServedEntry> served;
  return served;
}

struct Pending {
  std::unique_ptr<QTcpSocket> connection;
  uint32_t acceptedAt = 0;
  BtPreambleReader preamble;
  bool preambleDone = false;
};

std::vector<Pending>& PendingList() {
  static std::vector<Pending> pending;
  return pending;
}

std::atomic<bool> reachable{false};

constexpr uint64_t kReadWhileBelow = 1092;
constexpr int kReadSize = 1024;

// Makes room for one more pending connection in a full list: those whose
// peer has gone leave first, then the oldest that has sent nothing, else the
// oldest. A flood of connections that close at once or stay silent so never
// pushes out a peer whose handshake is in.
void MakeRoom(std::vector<Pending>& pending) {
  if (pending.size() < IncomingConnections::kMaxPending) return;
  std::erase_if(pending, [](Pending& entry) {
    QTcpSocket& socket = *entry.connection;
    if (socket.bytesReceived >= kReadWhileBelow || socket.Receive(kReadSize) >= 0) return false;
    socket.Close();
    return true;
  });
  if (pending.size() < IncomingConnections::kMaxPending) return;
  auto leaving = std::find_if(pending.begin(), pending.end(),
                              [](const Pending& entry) { return entry.connection->bytesReceived == 0; });
  if (leaving == pending.end()) leaving = pending.begin();
  leaving->connection->Close();
  pending.erase(leaving);
}

}  // namespace

bool ServedInfoHashes::Register(const BtHash& hash, const void* task) {
  if (std::all_of(hash.begin(), hash.end(), [](uint8_t b) { return b == 0; })) return false;
  ScopedLock lock(&ServedHashLock());
  auto& served = Served();
  if (std::any_of(served.begin(), served.end(), [task](const ServedEntry& e) { return e.task == task; }))
    return false;
  served.push_back({hash, task});
  return true;
}

void ServedInfoHashes::Unregister(const void* task) {
  ScopedLock lock(&ServedHashLock());
  std::erase_if(Served(), [task](const ServedEntry& e) { return e.task == task; });
}

bool ServedInfoHashes::IsServed(const BtHash& hash) {
  ScopedLock lock(&ServedHashLock());
  const auto& served = Served();
  return std::any_of(served.begin(), served.end(), [&hash](const ServedEntry& e) { return e.hash == hash; });
}

void ServedInfoHashes::Clear() {
  ScopedLock lock(&ServedHashLock());
  Served().clear();
}

bool IsHandshakeForTask(std::span<const uint8_t> bytes, const BtHash& infoHash) {
  const BtHandshakeResult read = ReadBtHandshake(bytes);
  return read.status != BtHandshakeStatus::kNotBitTorrent && read.infoHash && *read.infoHash == infoHash;
}

PendingVerdict JudgePending(std::span<const uint8_t> bytes, const BtHash* taskHash, uint32_t ageMs,
                            uint64_t arrived) {
  if (taskHash && IsHandshakeForTask(bytes, *taskHash)) return PendingVerdict::kAccept;
  // A peer that sent its whole handshake gets longer to be matched.
  const bool young = ageMs < 5000 && (ageMs < 3000 || arrived >= kBtHandshakeSize);
  if (!young) return PendingVerdict::kDrop;
  if (bytes.size() < kBtHandshakePeerIdAt) return PendingVerdict::kWait;  // the info-hash is not in yet
  const BtHandshakeResult read = ReadBtHandshake(bytes);
  if (read.status != BtHandshakeStatus::kNotBitTorrent && read.infoHash && ServedInfoHashes::IsServed(*read.infoHash))
    return PendingVerdict::kWait;
  return PendingVerdict::kDrop;
}

void IncomingConnections::AddPending(std::unique_ptr<QTcpSocket> connection, uint32_t nowMs, uint32_t listenerIp) {
  if (!connection) return;
  uint8_t peer[4], listener[4];
  std::memcpy(peer, &connection->remoteIp, 4);
  std::memcpy(listener, &listenerIp, 4);
  if (std::memcmp(peer, listener, 3) != 0) reachable = true;
  ScopedLock lock(&IncomingLock());
  MakeRoom(PendingList());
  Pending entry;
  entry.connection = std::move(connection);
  entry.acceptedAt = nowMs;
  PendingList().push_back(std::move(entry));
}

std::vector<IncomingConnections::Matched> IncomingConnections::Sweep(const BtHash* taskHash, uint32_t nowMs) {
  ScopedLock lock(&IncomingLock());
  auto& pending = PendingList();
  std::vector<Matched> matched;
  for (auto it = pending.begin(); it != pending.end();) {
    QTcpSocket& socket = *it->connection;
    bool keep = true;
    if (socket.bytesReceived < kReadWhileBelow && socket.Receive(kReadSize) < 0) keep = false;
    PendingVerdict verdict = PendingVerdict::kDrop;
    if (keep) {
      std::span<const uint8_t> bytes(socket.ReceivedData(), static_cast<size_t>(socket.ReceivedCount()));
      if (!it->preambleDone) {
        const BtPreambleReader::Step step = it->preamble.Read(bytes);
        socket.Consume(static_cast<int>(step.consumed));
        if (step.status == BtPreambleReader::Status::kDone) it->preambleDone = true;
        if (step.status == BtPreambleReader::Status::kMalformed) keep = false;
        bytes = std::span<const uint8_t>(socket.ReceivedData(), static_cast<size_t>(socket.ReceivedCount()));
        // Until the preamble has ended, nothing of the handshake is known.
        if (!it->preambleDone) bytes = {};
      }
      if (keep) verdict = JudgePending(bytes, taskHash, nowMs - it->acceptedAt, socket.bytesReceived);
    }
    if (keep && verdict == PendingVerdict::kAccept) {
      matched.push_back({std::move(it->connection), it->preamble.Seen()});
      it = pending.erase(it);
    } else if (keep && verdict == PendingVerdict::kWait) {
      ++it;
    } else {
      it->connection->Close();
      it = pending.erase(it);
    }
  }
  // Oldest first in the list.
  while (pending.size() > kMaxPending) {
    pending.front().connection->Close();
    pending.erase(pending.begin());
  }
  return matched;
}

size_t IncomingConnections::PendingCount() {
  ScopedLock lock(&IncomingLock());
  return PendingList().size();
}

void IncomingConnections::Clear() {
  ScopedLock lock(&IncomingLock());
  for (auto& entry : PendingList()) entry.connection->Close();
  PendingList().clear();
}

bool IncomingConnections::Reachable() { return reachable.load(); }

void IncomingConnections::ClearReachable() { reachable = false; }

}  // namespace pf
