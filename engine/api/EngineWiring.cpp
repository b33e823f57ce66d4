#include "engine/api/EngineWiring.h"

#include <mutex>

#include "engine/net/HostResolver.h"
#include "engine/net/TPeerId.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TFtpPeer.h"
#include "engine/peers/THttpPeer.h"
#include "engine/peers/TTrackerPeer.h"
#include "engine/task/TWorkWithPeers.h"
#include "telemetry/ReportingCalls.h"

namespace pf {
namespace {

TPeerObject* MakeHttpPeer(PeerHost* host) { return new THttpPeer(host); }
TPeerObject* MakeFtpPeer(PeerHost* host) { return new TFtpPeer(host); }

void ReportToTelemetry(const char* eventCode, const char* message) { ReportEvent(eventCode, message, 0); }

}  // namespace

void WireEngine() {
  static std::once_flag once;
  std::call_once(once, [] {
    TWorkWithPeers::RegisterPeerClass(kHttp, &MakeHttpPeer);
    TWorkWithPeers::RegisterPeerClass(kFtp, &MakeFtpPeer);
    TWorkWithPeers::RegisterPeerClass(kBtNode, &MakeBtPeer);
    TWorkWithPeers::RegisterPeerClass(kTracker, &MakeTrackerPeer);
    SetResolverReport(&ReportToTelemetry);
  });
}

}  // namespace pf
