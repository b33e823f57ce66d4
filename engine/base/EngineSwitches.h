#pragma once
// Process-wide switches set through the call interface and read by the
// engine's threads without a lock.
#include <atomic>
#include <cstdint>

namespace pf {

struct EngineSwitches {
  static constexpr int kDefaultListenPort = 8080;

  std::atomic<bool> started{false};
  std::atomic<int> listenPort{0};        // 0 = the default port
  std::atomic<uint8_t> p2pEnabled{1};
  std::atomic<uint8_t> httpPreamble{0};
  // This node's address as seen from outside, once the UDP server has learnt
  // it (network order; 0 = not known).
  std::atomic<uint32_t> externalIp{0};
  // The local address the engine's listener and connections use (network
  // order; 0 = any).
  std::atomic<uint32_t> bindAddress{0};

  int EffectiveListenPort() const {
    const int port = listenPort.load();
    return port == 0 ? kDefaultListenPort : port;
  }
};

EngineSwitches& Switches();

}  // namespace pf
