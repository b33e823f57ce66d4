#include "engine/peers/THttpPeer.h"

#include <algorithm>
#include <cctype>

#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineTypes.h"
#include "engine/content/TPieces.h"
#include "engine/content/BlockSize.h"
#include "engine/net/SourceGroup.h"
#include "engine/schedule/SegmentList.h"
#include "platform/Socket.h"

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
  passing = 0;
  chunked = 0;
  chunks_.Reset();
  decoded_.Reset();
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
  } else if (source->ignoresRanges) {
    if (!work->HostPieces() || work->HostComplete()) return false;
    passing = 1;
  } else {
    if (requests.empty() && source->resourceSize > 0) TPeerObject::FillRequests();
    if (requests.empty() && source->resourceSize > 0) return false;
  }
  return StartAttempt();
}

bool THttpPeer::StartAttempt() {
  TPeerId& source = *peerSource;
  streamPos = requests.empty() || passing ? 0 : requests.front().block * kBlockSize;
  headerDone = 0;
  noLength = 0;
  chunked = 0;
  chunks_.Reset();
  decoded_.Reset();
  if (!connection) connection = std::make_unique<QTcpSocket>();
  const TPeerIdDetails& details = source.Details();
  const std::string& host = details.hostName.empty() ? details.host : details.hostName;
  if (!connection->Connect(source.ip, static_cast<uint16_t>(source.port), false)) return false;
  // The certificate must name the host the requests name.
  if (source.overTls && !connection->StartTls(host)) return ConnectionFailed();
  linkState = kConnected;
  ++source.attempts;
  const std::string& url = source.url;
  const size_t lastSlash = url.rfind('/');
  const std::string referer = url.substr(0, lastSlash == std::string::npos ? url.size() : lastSlash);
  const std::string path = details.httpPath.empty() ? "/" : details.httpPath;
  const std::string request =
      BuildHttpRequest(host, path, source.referer.empty() ? referer : source.referer, "", "", streamPos, 0);
  return connection->Send(request.data(), static_cast<int>(request.size())) >= 0 || ConnectionFailed();
}

bool THttpPeer::AfterTick() {
  if (IsConnected() && connection->QueuedCount() > 0) return connection->Send(nullptr, 0) >= 0 || ConnectionFailed();
  return IsConnected();
}

bool THttpPeer::ConnectionFailed() {
  if (!connection) return false;
  if (!connection->TlsFailure().empty()) {
    // A certificate that is not trusted, or a server that cannot speak TLS,
    // gives the same answer every time.
    GiveUp(SourceProblem::kTlsRefused, connection->TlsFailure(), SourceRetry::kDrop, 60);
    phase = kPhaseNothingLeft;
    return false;
  }
  // Nothing ever came back: the server cannot be reached (the pool backs
  // off and tries again).
  if (connection->lastError != 0 && connection->bytesReceived == 0)
    work->ReportSource(*peerSource, SourceProblem::kUnreachable, platform::SocketErrorText(connection->lastError));
  return false;
}

bool THttpPeer::IsStalled() {
  int64_t limit = headerDone ? 30 : 15;
  if (tick.receiveRate >= 1 && tick.receiveRate <= 2047) limit *= 2;
  if (WallSeconds() - stats.activityTime <= limit) return false;
  phase = kPhaseStalled;
  ReleaseSegment();
  return true;
}

bool THttpPeer::GiveUp(SourceProblem problem, std::string detail, SourceRetry retry, int seconds) {
  if (connection) connection->Close();
  work->ReportSource(*peerSource, problem, detail);
  work->Retry(*peerSource, retry, seconds);
  return false;
}

bool THttpPeer::ReadHeader() {
  const int held = connection->Receive();
  if (held < 0 && connection->ReceivedCount() == 0) return ConnectionFailed();
  const std::string_view buffered(reinterpret_cast<const char*>(connection->ReceivedData()),
                                  static_cast<size_t>(connection->ReceivedCount()));
  const size_t end = HttpResponseHeader::FindEnd(buffered);
  if (end == 0) {
    if (buffered.size() <= static_cast<size_t>(kMaxHeaderBytes)) return held >= 0;
    return GiveUp(SourceProblem::kNotHttp, "", SourceRetry::kHoldBack, 60);
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
    if (++source.redirectCount > 2) {
      work->ReportSource(source, SourceProblem::kRedirectLoop, "");
      work->Retry(source, SourceRetry::kDrop, 60);
    }
  } else {
    source.lastRedirect = target;
    ++source.redirectCount;
  }
  if (source.redirectCount <= 2) {
    // A chain of redirects that does not end (A to B to A ...) would make new
    // sources for ever: past the limit the chain is given up.
    if (source.redirectDepth >= kMaxRedirectDepth) {
      LogLine(kLogEngine, "%s: more than %d redirects, given up", source.url.c_str(), kMaxRedirectDepth);
      work->ReportSource(source, SourceProblem::kRedirectLoop, "");
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
      work->ReportSource(source, SourceProblem::kRedirectUnusable, target);
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
      chunked = response.Chunked() ? 1 : 0;
      if (!source.wholeContent && !TakeBodyStart()) return false;
      if (source.users > 1) return true;
      source.redirected = 0;
      if (source.resourceSize <= 0) {
        const auto size = response.ResourceSize();
        source.resourceSize = size.value_or(-1);
        noLength = size ? 0 : 1;
        if (noLength && source.wholeContent) source.resourceSize = kSizeUntilClosed;
        // A body without a length (chunked, or up to the close) is the
        // resource the torrent describes.
        const TPieces* map = work->HostPieces();
        if (noLength && !source.wholeContent && map && map->totalLength > 0) source.resourceSize = map->totalLength;
      }
      const auto name = response.FileName();
      if (name && !name->empty()) source.fileName = *name;
      else if (!name && source.fileName.empty()) source.fileName = "index.htm";
      return source.resourceSize > 0;
    }
    if (status >= 300 && status < 400) return OnRedirect();
    const std::string answer = std::to_string(status) + (response.reason.empty() ? "" : " " + response.reason);
    if (status >= 400 && status < 500) return GiveUp(SourceProblem::kRefused, answer, SourceRetry::kDrop, 60);
    if (status >= 500 && status < 600) return GiveUp(SourceProblem::kServerError, answer, SourceRetry::kHoldBack, 60);
    return GiveUp(SourceProblem::kNotHttp, "", SourceRetry::kHoldBack, 60);
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
  if (*start < streamPos && !passing) StartPassing();
  // The run and its skip were worked out for the asked position.
  if (passing) {
    streamPos = *start;
    runLength = 0;
    skipBytes = 0;
  }
  return true;
}

void THttpPeer::StartPassing() {
  TPeerId& source = *peerSource;
  if (!source.ignoresRanges) {
    source.ignoresRanges = 1;
    work->ReportSource(source, SourceProblem::kIgnoresRanges, "");
  }
  // Its segment goes back to the others: this connection reads the stream
  // from the start and takes only what nobody else works on.
  ReleaseSegment();
  requests.clear();
  passing = 1;
}

int THttpPeer::ReceiveBody(int maxBytes) {
  const int held = connection->Receive(maxBytes);
  if (!chunked) return held;
  if (const int raw = connection->ReceivedCount(); raw > 0) {
    const size_t used =
        chunks_.Decode(std::span<const uint8_t>(connection->ReceivedData(), static_cast<size_t>(raw)), decoded_);
    connection->Consume(static_cast<int>(used));
  }
  if (chunks_.state() == ChunkedDecoder::State::kBroken) {
    GiveUp(SourceProblem::kBrokenBody, "", SourceRetry::kHoldBack, 60);
    return -1;
  }
  return held < 0 ? -1 : decoded_.used();
}

void THttpPeer::ConsumeBody(int count) {
  if (chunked)
    decoded_.Consume(count);
  else
    connection->Consume(count);
}

bool THttpPeer::ReadWholeContent() {
  TPeerId& source = *peerSource;
  const int held = ReceiveBody(0);
  const int buffered = BodyCount();
  if (buffered > 0) {
    source.body.append(reinterpret_cast<const char*>(BodyData()), static_cast<size_t>(buffered));
    ConsumeBody(buffered);
    stats.activityTime = WallSeconds();
  }
  const auto size = static_cast<size_t>(std::max<int64_t>(source.resourceSize, 0));
  if (!source.body.empty() && (source.body.size() >= size || (held < 0 && noLength) || BodyEnded()))
    source.bodyDone = 1;
  return held >= 0 || source.bodyDone;
}

bool THttpPeer::StreamBlocks() {
  // Read and hand out in steps, so the receive buffer stays small: up to a
  // few large reads per tick, within the task's download limit.
  for (int reads = 0; reads < kReadsPerTick && runLength > 0; ++reads) {
    const int64_t allowance = work->ReceiveAllowance() - BodyCount();
    const int want = static_cast<int>(std::min<int64_t>(kStreamRead, allowance));
    const uint64_t before = connection->bytesReceived;
    const int held = want > 0 ? ReceiveBody(want) : BodyCount();
    if (held < 0 && BodyCount() == 0) return false;
    if (!DeliverBuffered()) return false;
    if (held < 0) return IsConnected();
    // A chunked body that has ended brings nothing more on this connection.
    if (BodyEnded() && runLength > 0) {
      connection->Close();
      return false;
    }
    if (want <= 0 || connection->bytesReceived - before < static_cast<uint64_t>(want)) break;  // empty for now
  }
  return IsConnected();
}

bool THttpPeer::DeliverBuffered() {
  const uint8_t* data = BodyData();
  const int available = BodyCount();
  int used = static_cast<int>(std::min<int64_t>(skipBytes, available));
  skipBytes -= used;
  streamPos += used;
  // Passing over held pieces is progress too: the stream is alive.
  if (used > 0) stats.activityTime = WallSeconds();
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
  ConsumeBody(used);
  return good;
}

bool THttpPeer::FillRequests() {
  if (!IsConnected()) return false;
  if (!headerDone || runLength > 0 || !peerSource || peerSource->wholeContent) return true;
  TPieces* map = work->HostPieces();
  const int64_t size = peerSource->resourceSize;
  if (size > 0 && map && map->totalLength > 0 && size != map->totalLength) {
    // Another file, or another version of it: nothing it serves fits.
    return GiveUp(SourceProblem::kWrongSize,
                  std::to_string(size) + " bytes where the torrent has " + std::to_string(map->totalLength),
                  SourceRetry::kDrop, 60);
  }
  if (BodyEnded()) {
    // The next blocks need a new request; a new connection asks for them.
    connection->Close();
    return false;
  }
  if (passing) return FillPassing();
  if (requests.empty()) {
    skipBytes = 0;
    TPeerObject::FillRequests();
    if (requests.empty()) {
      MarkNothingLeft();
      return false;
    }
  }
  runLength = ConsecutiveRun();
  skipBytes = requests.front().block * kBlockSize - streamPos;
  if (skipBytes >= 0 && skipBytes <= kMaxSkip) return true;
  // Not just ahead in this response: ask again from the first request.
  skipBytes = 0;
  connection->Close();
  return StartAttempt();
}

int THttpPeer::ConsecutiveRun() const {
  size_t run = requests.empty() ? 0 : 1;
  while (run < requests.size() && requests[run].block == requests[run - 1].block + 1) ++run;
  return static_cast<int>(run);
}

bool THttpPeer::PassingMayTake(int piece) {
  TPieces& map = *work->HostPieces();
  if (!NeedsBytes(map, piece)) return false;
  // In the part of a segment that its holder has asked for already.
  for (const auto& s : work->HostSegments().Segments())
    if (s->holder && s->holder != this && s->start <= piece && piece <= s->current) return false;
  return true;
}

bool THttpPeer::FillPassing() {
  TPieces* map = work->HostPieces();
  if (!map || map->pieceLength <= 0) return true;
  requests.clear();
  const int64_t length = map->pieceLength;
  for (auto piece = static_cast<int>(streamPos / length); piece < map->pieceCount; ++piece) {
    if (!PassingMayTake(piece)) continue;
    // The blocks still missing ahead of the stream; a piece begun earlier
    // is completed as the stream passes.
    QueuePiece(piece, streamPos);
    if (requests.empty()) continue;
    runLength = ConsecutiveRun();
    skipBytes = requests.front().block * kBlockSize - streamPos;
    return true;
  }
  // Nothing ahead to take in this pass. If pieces are still missing, the
  // next connection reads the stream again (at once when this one delivered).
  connection->Close();
  return false;
}

}  // namespace pf
