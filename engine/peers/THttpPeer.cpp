#include "engine/peers/THttpPeer.h"

#include <algorithm>
#include <cctype>

#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineTypes.h"
#include "engine/content/TPieces.h"
#include "engine/content/BlockSize.h"
#include "engine/net/SourceGroup.h"

namespace pf {
namespace {

// Redirects followed from one source before the chain is given up.
constexpr int kMaxRedirectDepth = 8;

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

void THttpPeer::Reset() {
  TPeerObject::Reset();
  headerDone = 0;
  skipBytes = streamPos = 0;
  noLength = 0;
  runLength = 0;
  startsEarly = 0;
}

void THttpPeer::ReleaseSegment() {
  TPeerObject::ReleaseSegment();
  skipBytes = 0;
  runLength = 0;
}

bool THttpPeer::AttachSource(TPeerId* source) {
  if (!TPeerObject::AttachSource(source)) return false;
  if (source->wholeContent) {
    if (source->useMarker == 1) work->SetHttpStarted();
  } else {
    if (requests.empty() && source->resourceSize > 0) TPeerObject::FillRequests();
    if (requests.empty() && source->resourceSize > 0) return false;
  }
  return StartAttempt();
}

bool THttpPeer::StartAttempt() {
  TPeerId& source = *peerSource;
  streamPos = requests.empty() ? 0 : requests.front().block * kBlockSize;
  headerDone = 0;
  noLength = 0;
  if (!connection) connection = std::make_unique<QTcpSocket>();
  const TPeerIdDetails& details = source.Details();
  const std::string& host = details.hostName.empty() ? details.host : details.hostName;
  if (!connection->Connect(source.ip, static_cast<uint16_t>(source.port), false)) return false;
  // The certificate must name the host the requests name.
  if (source.overTls && !connection->StartTls(host)) {
    DropIfTlsRefused();
    return false;
  }
  linkState = kConnected;
  ++source.attempts;
  const std::string& url = source.url;
  const size_t lastSlash = url.rfind('/');
  const std::string referer = url.substr(0, lastSlash == std::string::npos ? url.size() : lastSlash);
  const std::string path = details.httpPath.empty() ? "/" : details.httpPath;
  const std::string request =
      BuildHttpRequest(host, path, source.referer.empty() ? referer : source.referer, "", "", streamPos, 0);
  if (connection->Send(request.data(), static_cast<int>(request.size())) >= 0) return true;
  DropIfTlsRefused();
  return false;
}

void THttpPeer::DropIfTlsRefused() {
  if (!connection || connection->TlsFailure().empty()) return;
  // A certificate that is not trusted, or a server that cannot speak TLS,
  // gives the same answer every time.
  LogLine(kLogEngine, "%s: TLS failed, source dropped: %s", peerSource->url.c_str(),
          connection->TlsFailure().c_str());
  work->Retry(*peerSource, SourceRetry::kDrop, 60);
  phase = kPhaseNothingLeft;
}

bool THttpPeer::AfterTick() {
  if (IsConnected() && connection->QueuedCount() > 0) {
    if (connection->Send(nullptr, 0) >= 0) return true;
    DropIfTlsRefused();
    return false;
  }
  return IsConnected();
}

bool THttpPeer::IsStalled() {
  int64_t limit = headerDone ? 30 : 15;
  if (tick.receiveRate >= 1 && tick.receiveRate <= 2047) limit *= 2;
  if (WallSeconds() - stats.activityTime <= limit) return false;
  phase = kPhaseStalled;
  ReleaseSegment();
  return true;
}

bool THttpPeer::ReadHeader() {
  const int held = connection->Receive();
  if (held < 0 && connection->ReceivedCount() == 0) {
    DropIfTlsRefused();
    return false;
  }
  const std::string_view buffered(reinterpret_cast<const char*>(connection->ReceivedData()),
                                  static_cast<size_t>(connection->ReceivedCount()));
  const size_t end = HttpResponseHeader::FindEnd(buffered);
  if (end == 0) {
    if (buffered.size() <= static_cast<size_t>(kMaxHeaderBytes)) return held >= 0;
    connection->Close();
    work->Retry(*peerSource, SourceRetry::kHoldBack, 60);
    return false;
  }
  response.Parse(buffered.substr(0, end));
  connection->Consume(static_cast<int>(end));
  headerDone = 1;
  linkState = kReady;
  stats.activityTime = WallSeconds();
  return true;
}

bool THttpPeer::OnRedirect() {
  TPeerId& source = *peerSource;
  source.redirected = 1;
  const std::string target =
      AbsoluteLocation(response.Value("Location").value_or(""), source.overTls ? "https" : "http",
                       source.Details().host, source.port);
  connection->Close();
  if (EqualNoCase(target, source.lastRedirect)) {
    if (++source.redirectCount > 2) work->Retry(source, SourceRetry::kDrop, 60);
  } else {
    source.lastRedirect = target;
    ++source.redirectCount;
  }
  if (source.redirectCount <= 2) {
    // A chain of redirects that does not end (A to B to A ...) would make new
    // sources for ever: past the limit the chain is given up.
    if (source.redirectDepth >= kMaxRedirectDepth) {
      LogLine(kLogEngine, "%s: more than %d redirects, given up", source.url.c_str(), kMaxRedirectDepth);
      work->Retry(source, SourceRetry::kDrop, 60);
      phase = kPhaseNothingLeft;
      return false;
    }
    auto next = RefPtr<TPeerId>::Make(target);
    next->referer = target;
    next->wholeContent = source.wholeContent;
    next->useMarker = source.useMarker;
    next->redirectDepth = source.redirectDepth + 1;
    // Its host is looked up while the task goes on.
    if (next->BeginParse() != TPeerId::ParseState::kFailed) {
      work->AddFoundSource(next);
    } else if (next->unresolvable) {
      work->SetStateCode(kStateHostUnresolved);
    } else {
      // An address this engine cannot fetch from (another scheme): asking
      // the source again would only bring the same answer.
      LogLine(kLogEngine, "%s: redirected to %s, which cannot be used", source.url.c_str(), target.c_str());
      work->Retry(source, SourceRetry::kDrop, 60);
    }
  }
  phase = kPhaseNothingLeft;
  return false;
}

bool THttpPeer::Process() {
  if (!IsConnected()) return false;
  TPeerId& source = *peerSource;
  if (IsStalled()) {
    work->Retry(source, SourceRetry::kHoldBack, 15);
    return false;
  }
  if (!headerDone) {
    if (!ReadHeader()) return false;
    if (!headerDone) return true;
    const int status = response.status;
    if (status >= 200 && status < 300) {
      if (source.group == kOwnSourceGroup) source.group = kAnsweredOwnSourceGroup;
      if (!source.wholeContent && !TakeBodyStart()) return false;
      if (source.users > 1) return true;
      source.redirected = 0;
      if (source.resourceSize <= 0) {
        const auto size = response.ResourceSize();
        source.resourceSize = size.value_or(-1);
        noLength = size ? 0 : 1;
        if (source.resourceSize <= 0 && source.wholeContent && noLength) source.resourceSize = kSizeUntilClosed;
      }
      const auto name = response.FileName();
      if (name && !name->empty()) source.fileName = *name;
      else if (!name && source.fileName.empty()) source.fileName = "index.htm";
      return source.resourceSize > 0;
    }
    if (status >= 300 && status < 400) return OnRedirect();
    connection->Close();
    if (status >= 400 && status < 500) work->Retry(source, SourceRetry::kDrop, 60);
    if (status >= 500 && status < 600) work->Retry(source, SourceRetry::kHoldBack, 60);
    return false;
  }
  if (source.wholeContent) return ReadWholeContent();
  if (runLength > 0) return StreamBlocks();
  return true;
}

bool THttpPeer::TakeBodyStart() {
  // The stream position follows what the server sends, not what was asked:
  // a server that ignores the range starts at 0, and bytes must never be
  // taken for another offset than their own.
  const auto start = response.BodyStart();
  if (!start || *start > streamPos) {
    connection->Close();
    work->Retry(*peerSource, SourceRetry::kHoldBack, 60);
    return false;
  }
  startsEarly = *start < streamPos ? 1 : 0;
  if (startsEarly) {
    // The run and its skip were worked out for the asked position.
    streamPos = *start;
    runLength = 0;
    skipBytes = 0;
  }
  return true;
}

bool THttpPeer::ReadWholeContent() {
  TPeerId& source = *peerSource;
  const int held = connection->Receive();
  const int buffered = connection->ReceivedCount();
  if (buffered > 0) {
    source.body.append(reinterpret_cast<const char*>(connection->ReceivedData()), static_cast<size_t>(buffered));
    connection->Consume(buffered);
    stats.activityTime = WallSeconds();
  }
  const auto size = static_cast<size_t>(std::max<int64_t>(source.resourceSize, 0));
  if (!source.body.empty() && (source.body.size() >= size || (held < 0 && noLength))) source.bodyDone = 1;
  return held >= 0 || source.bodyDone;
}

bool THttpPeer::StreamBlocks() {
  // Read and hand out in steps, so the receive buffer stays small: up to a
  // few large reads per tick, within the task's download limit.
  for (int reads = 0; reads < kReadsPerTick && runLength > 0; ++reads) {
    const int64_t allowance = work->ReceiveAllowance() - connection->ReceivedCount();
    const int want = static_cast<int>(std::min<int64_t>(kStreamRead, allowance));
    const int before = connection->ReceivedCount();
    const int held = want > 0 ? connection->Receive(want) : before;
    if (held < 0 && connection->ReceivedCount() == 0) return false;
    if (!DeliverBuffered()) return false;
    if (held < 0) return IsConnected();
    if (want <= 0 || held - before < want) break;  // the socket is empty for now
  }
  return IsConnected();
}

bool THttpPeer::DeliverBuffered() {
  const uint8_t* data = connection->ReceivedData();
  const int available = connection->ReceivedCount();
  int used = static_cast<int>(std::min<int64_t>(skipBytes, available));
  skipBytes -= used;
  streamPos += used;
  bool good = true;
  while (skipBytes == 0 && runLength > 0 && !requests.empty() && requests.front().length <= available - used) {
    const BlockRequest request = requests.front();
    if (!OnBlock(request.block, request.length, data + used)) {
      good = false;
      break;
    }
    used += request.length;
    streamPos += request.length;
    --runLength;
  }
  connection->Consume(used);
  return good;
}

bool THttpPeer::FillRequests() {
  if (!IsConnected()) return false;
  if (!headerDone || runLength > 0 || !peerSource || peerSource->wholeContent) return true;
  TPieces* map = work->HostPieces();
  const int64_t size = peerSource->resourceSize;
  if (size > 0 && map && map->totalLength > 0 && size != map->totalLength) {
    connection->Close();
    work->Retry(*peerSource, SourceRetry::kHoldBack, 60);
    return false;
  }
  if (requests.empty()) {
    skipBytes = 0;
    TPeerObject::FillRequests();
    if (requests.empty()) {
      MarkNothingLeft();
      return false;
    }
  }
  runLength = 1;
  while (static_cast<size_t>(runLength) < requests.size() &&
         requests[static_cast<size_t>(runLength)].block == requests[static_cast<size_t>(runLength) - 1].block + 1)
    ++runLength;
  skipBytes = requests.front().block * kBlockSize - streamPos;
  if (skipBytes >= 0 && skipBytes <= kMaxSkip) return true;
  // Not just ahead in this response: ask again from the first request,
  // unless this server does not serve ranges.
  skipBytes = 0;
  connection->Close();
  if (startsEarly) {
    work->Retry(*peerSource, SourceRetry::kHoldBack, 60);
    return false;
  }
  return StartAttempt();
}

}  // namespace pf
