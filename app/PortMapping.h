#pragma once
// The listen port's choice and its mapping on the Internet gateway: once at
// start-up a free port is chosen and, when this computer sits behind a
// private address, the port-forward engine searches the gateway and asks it
// to forward the port here. The port goes to the engine whether or not the
// forwarding succeeds; every outcome is logged and reported.
//
// Threads: Start and Stop run on the owner's thread (the window's); the
// engine's threads post their notifications to it, and OnNotification runs
// there. The flags are that thread's alone. A Post that runs the work at
// once moves OnNotification to the engine's threads, which then take the
// flags in turn: the mapping's end follows the search's end, which the
// completion event orders.
#include <cstdint>
#include <functional>
#include <string>

#include "app/CPortForwardEngine.h"
#include "platform/ManualResetEvent.h"

namespace pf {

inline constexpr const char* kPortMappingDescription = "Pelicanfetch uPnP for P2SP upload/download";

// Whether a computer with this dotted IPv4 address needs the gateway to
// forward its port: 0-6.x, 10.x, 127.x, 169.254.x, 172.16-31.x, 192.168.x.
bool NeedsPortMapping(const std::string& address);

// The log lines on the port mapping's channel and the telemetry events.
PortMappingOutlet StandardPortMappingOutlet();

class PortMapping {
 public:
  // Runs `work` on the owner's thread, later.
  using Post = std::function<void(std::function<void()> work)>;

  PortMapping(PortMappingOutlet outlet, Post post);
  ~PortMapping();
  PortMapping(const PortMapping&) = delete;
  PortMapping& operator=(const PortMapping&) = delete;

  // Chooses the port with `choosePort` (0: none free) and starts the
  // mapping when the local address needs it: the port for the engine, 0
  // when there is none or a thread did not start.
  int Start(const std::function<int()>& choosePort);
  // The engine's notifications, on the owner's thread.
  void OnNotification(PortForwardNote code, int32_t value);
  // Ends the engine's threads (at exit); no notification comes after it.
  void Stop();

  bool MappingStarted() const { return mappingStarted_; }
  bool GatewayFound() const { return gatewayFound_; }

 private:
  void Fail(const char* text);

  const PortMappingOutlet outlet_;
  const Post post_;
  // Signalled once the gateway search ended; the mapping waits for it.
  platform::ManualResetEvent gatewaySearched_;
  bool mappingStarted_ = false;
  bool gatewayFound_ = false;
  CPortForwardEngine engine_;
};

}  // namespace pf
