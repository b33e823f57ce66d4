#include "engine/task/EngineListener.h"

#include <arpa/inet.h>

#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/EngineLocks.h"
#include "engine/base/EngineSwitches.h"
#include "engine/task/IncomingConnections.h"
#include "engine/base/ScopedLock.h"
#include "engine/net/QTcpSocket.h"
#include "platform/Socket.h"

namespace pf {
namespace {

constexpr int64_t kAddressCheckSeconds = 180;
// Every connection waiting is taken at each sweep, so that a flood cannot
// keep the kernel's short queue full and honest peers out of it; the pending
// list keeps what is worth keeping and closes the rest. The bound only keeps
// one sweep from running on while a flood lasts.
constexpr int kAcceptsPerSweep = 1024;

struct ListenerState {
  std::unique_ptr<QTcpSocket> socket;
  uint16_t port = 0;
  uint32_t ip = 0;  // the machine's address when it opened, network order
  int64_t lastCheck = 0;
};

// Guarded by the listener lock.
ListenerState& State() {
  static ListenerState state;
  return state;
}

// The machine's address as last looked up, and whether a lookup runs.
std::atomic<uint32_t> localAddress{0};
std::atomic<bool> lookingUp{false};

void StartLookup() {
  if (lookingUp.exchange(true)) return;
  try {
    std::thread([] {
      localAddress = QTcpSocket::LocalAddress();
      lookingUp = false;
    }).detach();
  } catch (const std::system_error& error) {
    LogLine(kLogEngine, "no thread to look up the local address: %s", error.what());
    lookingUp = false;
  }
}

std::string AddressText(uint32_t ip) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &ip, text, sizeof text);
  return text;
}

}  // namespace

std::string EngineListener::Upkeep(int64_t now) {
  ScopedLock lock(&ListenerLock());
  ListenerState& state = State();
  if (!Switches().p2pEnabled) {
    if (state.socket) {
      state.socket->Close();
      state.socket.reset();
    }
    return "Service Disabled!";
  }
  if (state.socket && now - state.lastCheck > kAddressCheckSeconds) {
    // A new address (another network) needs a new listener. The lookup runs
    // on a thread of its own; a change shows at a later check.
    if (Switches().bindAddress == 0 && LocalAddress() != state.ip) state.socket.reset();
    StartLookup();
    state.lastCheck = now;
  }
  if (!state.socket) {
    auto socket = std::make_unique<QTcpSocket>();
    const auto port = static_cast<uint16_t>(Switches().EffectiveListenPort());
    // All interfaces (peers on this machine and on the LAN reach it too),
    // unless the engine was given an address of its own.
    const uint32_t bound = Switches().bindAddress;
    if (!socket->Listen(port, bound)) return std::string();
    state.socket = std::move(socket);
    state.port = port;
    state.ip = bound != 0 ? bound : LocalAddress();
    state.lastCheck = now;
  }
  return AddressText(state.ip) + " : " + std::to_string(state.port);
}

uint32_t EngineListener::LocalAddress() { return localAddress.load(); }

void EngineListener::RefreshLocalAddress() { localAddress = QTcpSocket::LocalAddress(); }

void EngineListener::RefreshLocalAddressInBackground() { StartLookup(); }

int EngineListener::AcceptWaiting(uint32_t nowMs) {
  ScopedLock lock(&ListenerLock());
  ListenerState& state = State();
  int accepted = 0;
  while (state.socket && accepted < kAcceptsPerSweep) {
    std::unique_ptr<QTcpSocket> connection = state.socket->Accept();
    if (!connection) break;
    IncomingConnections::AddPending(std::move(connection), nowMs, state.ip);
    ++accepted;
  }
  return accepted;
}

bool EngineListener::IsOpen() {
  ScopedLock lock(&ListenerLock());
  return State().socket != nullptr;
}

bool EngineListener::HasWaiting() {
  ScopedLock lock(&ListenerLock());
  const auto& socket = State().socket;
  return socket && platform::WaitSocket(socket->handle, false, 0) == 1;
}

uint16_t EngineListener::Port() {
  ScopedLock lock(&ListenerLock());
  return State().socket ? State().port : 0;
}

void EngineListener::Close() {
  ScopedLock lock(&ListenerLock());
  State().socket.reset();
}

}  // namespace pf
