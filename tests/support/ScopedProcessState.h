#pragma once
// Keeps the process-wide settings a test may change and puts them back when
// it goes, also when a failed assertion ends the test early: the engine's
// switches, the installed clock, the host lookup, the resolver's report, the
// registered peer classes, the default proxy, the debug output sink and the
// UTC offset source. Declare it after what an installed sink refers to, so
// that the sink is taken back before that goes.
#include <cstdint>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineSwitches.h"
#include "engine/net/HostResolver.h"
#include "engine/net/QProxySettings.h"
#include "engine/net/TPeerId.h"
#include "engine/task/TWorkWithPeers.h"
#include "platform/DebugOutput.h"
#include "platform/HostLookup.h"
#include "platform/LocalTime.h"

namespace pf::testing {

class ScopedProcessState {
 public:
  ScopedProcessState()
      : listenPort_(Switches().listenPort),
        p2pEnabled_(Switches().p2pEnabled),
        httpPreamble_(Switches().httpPreamble),
        externalIp_(Switches().externalIp),
        bindAddress_(Switches().bindAddress),
        clock_(&CurrentClock()),
        lookup_(platform::SetHostLookup(nullptr)),
        report_(SetResolverReport(nullptr)),
        proxy_(DefaultProxy()),
        sink_(platform::SetDebugOutputSink(nullptr)),
        utcOffset_(platform::SetUtcOffsetSource(nullptr)) {
    // The setters answer what they replace; put it straight back.
    platform::SetHostLookup(lookup_);
    SetResolverReport(report_);
    platform::SetDebugOutputSink(sink_);
    platform::SetUtcOffsetSource(utcOffset_);
    for (int i = 0; i < kKinds; ++i) peerClasses_[i] = TWorkWithPeers::PeerClass(kPeerKinds[i]);
  }

  ~ScopedProcessState() {
    Switches().listenPort = listenPort_;
    Switches().p2pEnabled = p2pEnabled_;
    Switches().httpPreamble = httpPreamble_;
    Switches().externalIp = externalIp_;
    Switches().bindAddress = bindAddress_;
    InstallClock(clock_);
    platform::SetHostLookup(lookup_);
    SetResolverReport(report_);
    SetDefaultProxy(proxy_);
    platform::SetDebugOutputSink(sink_);
    platform::SetUtcOffsetSource(utcOffset_);
    for (int i = 0; i < kKinds; ++i) TWorkWithPeers::RegisterPeerClass(kPeerKinds[i], peerClasses_[i]);
  }

  ScopedProcessState(const ScopedProcessState&) = delete;
  ScopedProcessState& operator=(const ScopedProcessState&) = delete;

 private:
  static constexpr int kKinds = 4;
  static constexpr int kPeerKinds[kKinds] = {kBtNode, kHttp, kFtp, kTracker};

  const int listenPort_;
  const uint8_t p2pEnabled_;
  const uint8_t httpPreamble_;
  const uint32_t externalIp_;
  const uint32_t bindAddress_;
  EngineClock* const clock_;
  const platform::HostLookupFunction lookup_;
  const ResolverReportFunction report_;
  const QProxySettings proxy_;
  const platform::DebugSink sink_;
  const platform::UtcOffsetSource utcOffset_;
  TWorkWithPeers::PeerFactory peerClasses_[kKinds] = {};
};

}  // namespace pf::testing
