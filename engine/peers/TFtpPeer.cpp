#include "engine/peers/TFtpPeer.h"

#include <algorithm>

#include "engine/base/EngineClock.h"
#include "engine/content/BlockSize.h"
#include "engine/content/TPieces.h"
#include "engine/net/UrlEscape.h"
#include "platform/Socket.h"

namespace pf {
namespace {

// An answer as the user may see it: its code and first line, without
// control bytes, cut at 200 characters.
std::string ShownAnswer(const FtpReply& reply) {
  std::string text = std::to_string(reply.code);
  if (!reply.text.empty()) text += " " + reply.text.substr(0, 200);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return text;
}

// Replies that end a transfer; one that comes late is passed over.
bool EndsTransfer(int code) { return code == 226 || code == 426 || code == 451; }

}  // namespace

void TFtpPeer::Reset() {
  TPeerObject::Reset();
  CloseData();
  step = Step::kGreeting;
  ioState = Io::kAwaiting;
  streamPos = skipBytes = 0;
  path_.reset();
  user_.clear();
  password_.clear();
  dataReceived_ = 0;
  cycleStart_ = 0;
  emptyCycles_ = 0;
  abandoned_ = 0;
}

void TFtpPeer::CloseData() {
  if (dataConnection) dataConnection->Close();
  dataConnection.reset();
}

void TFtpPeer::ReleaseSegment() {
  TPeerObject::ReleaseSegment();
  // Its blocks are another connection's now.
  requests.clear();
  streamPos = skipBytes = 0;
  if (!dataConnection) return;
  CloseData();
  abandoned_ = 1;
  if (step == Step::kData) {
    step = Step::kClosing;
    ioState = Io::kAwaiting;
  }
}

bool TFtpPeer::AttachSource(TPeerId* source) {
  if (!TPeerObject::AttachSource(source)) return false;
  const TPeerIdDetails& details = source->Details();
  path_ = SplitFtpPath(details.path);
  user_ = UnescapeUrl(details.user);
  password_ = UnescapeUrl(details.password);
  // A name or password with a line break in it would send commands of its own.
  if (!path_ || !FtpCommand("USER", user_) || !FtpCommand("PASS", password_))
    return GiveUp(SourceProblem::kUnusableAddress, "", SourceRetry::kDrop, 60);
  if (source->wholeContent && source->useMarker == 1) work->SetHttpStarted();
  step = Step::kGreeting;
  ioState = Io::kAwaiting;
  streamPos = skipBytes = 0;
  emptyCycles_ = 0;
  abandoned_ = 0;
  if (!connection->Connect(source->ip, static_cast<uint16_t>(source->port), false)) {
    if (connection->lastError != 0)
      work->ReportSource(*source, SourceProblem::kUnreachable, platform::SocketErrorText(connection->lastError));
    return false;
  }
  linkState = kConnected;
  return IsConnected();
}

bool TFtpPeer::ConnectionFailed() {
  // The server never greeted: it cannot be reached, or is no FTP server.
  if (linkState == kConnected && connection) {
    if (connection->lastError != 0)
      work->ReportSource(*peerSource, SourceProblem::kUnreachable, platform::SocketErrorText(connection->lastError));
    else
      work->ReportSource(*peerSource, SourceProblem::kNotFtp, "");
  }
  return false;
}

bool TFtpPeer::GiveUp(SourceProblem problem, const std::string& detail, SourceRetry retry, int seconds) {
  if (connection) connection->Close();
  CloseData();
  work->ReportSource(*peerSource, problem, detail);
  work->Retry(*peerSource, retry, seconds);
  return false;
}

bool TFtpPeer::IsStalled() {
  int64_t limit = step == Step::kData ? 15 : 30;
  if (tick.receiveRate >= 1 && tick.receiveRate <= 2047) limit *= 2;
  if (WallSeconds() - stats.activityTime <= limit) return false;
  phase = kPhaseStalled;
  ReleaseSegment();
  return true;
}

bool TFtpPeer::AfterTick() {
  if (ioState != Io::kSending) return true;
  if (connection->Send(nullptr, 0) < 0) return ConnectionFailed();
  if (connection->QueuedCount() == 0) ioState = Io::kAwaiting;
  return true;
}

bool TFtpPeer::SendCommand(const char* verb, const std::string& argument) {
  const auto line = FtpCommand(verb, argument);
  if (!line) return GiveUp(SourceProblem::kUnusableAddress, "", SourceRetry::kDrop, 60);
  if (connection->Send(line->data(), static_cast<int>(line->size())) < 0) return ConnectionFailed();
  ioState = connection->QueuedCount() > 0 ? Io::kSending : Io::kAwaiting;
  return true;
}

bool TFtpPeer::FillRequests() {
  if (!IsConnected()) return false;
  TPeerId& source = *peerSource;
  if (!source.wholeContent && source.resourceSize > 0) {
    // The torrent may have become known since the size was learned.
    if (!SizeFits(source.resourceSize)) return false;
    if ((step == Step::kData || step == Step::kPassive) && requests.empty()) {
      skipBytes = 0;
      TPeerObject::FillRequests();
      if (requests.empty()) {
        MarkNothingLeft();
        return false;
      }
    }
  }
  if (ioState != Io::kCommandDue) return true;
  switch (step) {
    case Step::kUser: return SendCommand("USER", user_);
    case Step::kPassword: return SendCommand("PASS", password_);
    case Step::kDirectory: return SendCommand("CWD", path_->directory);
    case Step::kType: return SendCommand("TYPE", "I");
    case Step::kSize: return SendCommand("SIZE", path_->fileName);
    case Step::kPassive:
      if (!source.wholeContent && requests.empty()) return true;
      abandoned_ = 0;
      return SendCommand("PASV");
    default: return true;
  }
}

bool TFtpPeer::Process() {
  if (!IsConnected()) return false;
  if (IsStalled()) {
    work->Retry(*peerSource, SourceRetry::kHoldBack, 15);
    return false;
  }
  if (ioState != Io::kAwaiting) return true;
  if (step == Step::kData) return ReadData();
  FtpReply reply;
  if (!ReadReply(&reply)) return false;
  return reply.code == 0 || OnReply(reply);
}

bool TFtpPeer::ReadReply(FtpReply* reply) {
  reply->code = 0;
  auto buffered = [this] {
    return std::string_view(reinterpret_cast<const char*>(connection->ReceivedData()),
                            static_cast<size_t>(connection->ReceivedCount()));
  };
  // A reply that came with the last one is taken before reading more: a
  // read that finds the connection closed drops what is held.
  FtpReplyScan scan = FtpReplyScan::Read(buffered());
  if (scan.state == FtpReplyScan::State::kIncomplete) {
    if (connection->Receive() < 0) return ConnectionFailed();
    scan = FtpReplyScan::Read(buffered());
  }
  if (scan.state == FtpReplyScan::State::kMalformed)
    return GiveUp(SourceProblem::kNotFtp, "", SourceRetry::kHoldBack, 60);
  if (scan.state == FtpReplyScan::State::kIncomplete) return true;
  connection->Consume(static_cast<int>(scan.length));
  *reply = std::move(scan.reply);
  return true;
}

bool TFtpPeer::OnReply(const FtpReply& reply) {
  const int code = reply.code;
  // A preliminary reply; the step's own follows (RETR's 150 is its own).
  if (code < 200 && step != Step::kRetrieve) return true;
  // Replies up to the file's size show the server alive; those of the
  // transfer cycles do not, or a server that answers but never sends data
  // would hold the connection for ever.
  if (step <= Step::kSize) stats.activityTime = WallSeconds();
  switch (step) {
    case Step::kGreeting:
      if (code != 220) return Refused(reply);
      linkState = kReady;
      StartStep(Step::kUser);
      return true;
    case Step::kUser:
      // 230: logged in without a password.
      if (code != 331 && code != 230) return Refused(reply);
      StartStep(code == 230 ? Step::kDirectory : Step::kPassword);
      return true;
    case Step::kPassword:
      if (code != 230 && code != 202) return Refused(reply);
      StartStep(Step::kDirectory);
      return true;
    case Step::kDirectory:
      if (code != 250) return Refused(reply);
      StartStep(Step::kType);
      return true;
    case Step::kType:
      if (code != 200) return Refused(reply);
      StartStep(Step::kSize);
      return true;
    case Step::kSize: return OnSize(reply);
    case Step::kPassive: return OnPassive(reply);
    case Step::kRestart:
      if (code != 350) return Refused(reply);
      if (!dataConnection || (!peerSource->wholeContent && requests.empty())) {
        // The cycle's work went elsewhere meanwhile.
        CloseData();
        StartStep(Step::kPassive);
        return true;
      }
      if (!SendCommand("RETR", path_->path)) return false;
      step = Step::kRetrieve;
      return true;
    case Step::kRetrieve:
      if (code == 125 || code == 150) {
        cycleStart_ = streamPos;
        step = dataConnection ? Step::kData : Step::kClosing;
        ioState = Io::kAwaiting;
        return true;
      }
      // Our closed data connection may be answered with anything but a
      // missing file.
      if (abandoned_ && code < 500) {
        StartStep(Step::kPassive);
        return true;
      }
      return Refused(reply);
    case Step::kClosing:
      // 226 or 250 for a whole transfer; 426 or 451 when we closed the data
      // connection first or the server ended early (counted when the data ended).
      if (code >= 500) return Refused(reply);
      StartStep(Step::kPassive);
      return true;
    case Step::kData: return true;
  }
  return true;
}

bool TFtpPeer::Refused(const FtpReply& reply) {
  const int code = reply.code;
  const std::string answer = ShownAnswer(reply);
  const bool login = step == Step::kUser || step == Step::kPassword;
  // A refused login or a missing file stays so: the source is not asked again.
  if (login && (code == 530 || code == 332)) return GiveUp(SourceProblem::kLoginRefused, answer, SourceRetry::kDrop, 60);
  if (code == 550 && (step == Step::kDirectory || step == Step::kSize || step == Step::kRetrieve))
    return GiveUp(SourceProblem::kFileMissing, answer, SourceRetry::kDrop, 60);
  if (code >= 400 && code < 500) {
    // Busy (421: too many connections) or failing for now: fewer connections
    // to it, and the pool's back-off.
    if (peerSource->allowance > 2) --peerSource->allowance;
    work->ReportSource(*peerSource, SourceProblem::kServerError, answer);
    connection->Close();
    CloseData();
    return false;
  }
  if (code >= 500) return GiveUp(SourceProblem::kServerError, answer, SourceRetry::kHoldBack, 60);
  return GiveUp(SourceProblem::kNotFtp, "", SourceRetry::kHoldBack, 60);
}

bool TFtpPeer::OnSize(const FtpReply& reply) {
  TPeerId& source = *peerSource;
  const TPieces* map = work->HostPieces();
  const int64_t torrentLength = map ? map->totalLength : 0;
  std::optional<int64_t> size;
  if (reply.code == 213) {
    size = ParseSizeReply(reply.text);
    if (!size) return GiveUp(SourceProblem::kNotFtp, "", SourceRetry::kHoldBack, 60);
  } else if ((reply.code == 500 || reply.code == 502) && !source.wholeContent && torrentLength > 0) {
    // A server without SIZE: the torrent tells the length, and every piece
    // is checked against its hash.
    size = torrentLength;
  } else {
    return Refused(reply);
  }
  if (!SizeFits(*size)) return false;
  source.resourceSize = *size;
  StartStep(Step::kPassive);
  return true;
}

bool TFtpPeer::SizeFits(int64_t size) {
  const bool whole = peerSource->wholeContent;
  const TPieces* map = work->HostPieces();
  const int64_t torrentLength = map ? map->totalLength : 0;
  if (size > 0 && (whole ? size <= kMaxWholeContent : torrentLength <= 0 || size == torrentLength)) return true;
  // Another file, or another version of it: nothing it serves fits.
  const std::string expected = whole ? std::string("a torrent was expected")
                                     : "the torrent has " + std::to_string(torrentLength);
  return GiveUp(SourceProblem::kWrongSize, std::to_string(size) + " bytes where " + expected, SourceRetry::kDrop, 60);
}

bool TFtpPeer::OnPassive(const FtpReply& reply) {
  if (EndsTransfer(reply.code)) return true;  // the last transfer's, late
  if (reply.code != 227) return Refused(reply);
  const auto passive = ParsePassiveReply(reply.text);
  if (!passive) return GiveUp(SourceProblem::kNotFtp, "", SourceRetry::kHoldBack, 60);
  // The data comes from the server we logged in to, whatever address the
  // reply names: a server behind NAT names its private address, and a
  // hostile one could send us to any other host.
  dataConnection = std::make_unique<QTcpSocket>();
  if (!dataConnection->Connect(peerSource->ip, passive->port, false)) {
    const int error = dataConnection->lastError;
    CloseData();
    return GiveUp(SourceProblem::kDataUnreachable, platform::SocketErrorText(error), SourceRetry::kHoldBack, 60);
  }
  return SendRestart();
}

bool TFtpPeer::SendRestart() {
  if (!peerSource->wholeContent) {
    if (requests.empty()) {
      CloseData();
      StartStep(Step::kPassive);
      return true;
    }
    streamPos = requests.front().block * kBlockSize;
  }
  skipBytes = 0;
  if (!SendCommand("REST", std::to_string(streamPos))) return false;
  step = Step::kRestart;
  return true;
}

void TFtpPeer::EndCycle() {
  CloseData();
  step = Step::kClosing;
  ioState = Io::kAwaiting;
  streamPos = skipBytes = 0;
}

bool TFtpPeer::ReadData() {
  if (work->ReceiveAllowance() <= 0 && linkState != kConnected) return true;
  if (peerSource->wholeContent) return ReadWholeContent();
  for (int reads = 0;; ++reads) {
    if (!dataConnection) {
      EndCycle();
      return true;
    }
    // What is held is handed out first: a read that finds the connection
    // closed drops it.
    const Delivery delivery = Deliver();
    if (delivery == Delivery::kRefused) return false;
    if (delivery == Delivery::kNewCycle) {
      EndCycle();
      return true;
    }
    if ((requests.empty() && skipBytes <= 0) || reads == kReadsPerTick) return true;
    QTcpSocket& data = *dataConnection;
    const int want =
        static_cast<int>(std::min<int64_t>(kStreamRead, work->ReceiveAllowance() - data.ReceivedCount()));
    if (want <= 0) return true;
    const bool wasConnected = data.connected != 0;
    const uint64_t before = data.bytesReceived;
    if (data.Receive(want) < 0) {
      if (!wasConnected && data.lastError != 0)
        return GiveUp(SourceProblem::kDataUnreachable, platform::SocketErrorText(data.lastError),
                      SourceRetry::kHoldBack, 60);
      // The server ended the data: the file's end, or earlier.
      if (!requests.empty()) {
        emptyCycles_ = streamPos == cycleStart_ ? emptyCycles_ + 1 : 0;
        if (emptyCycles_ >= kMaxEmptyCycles) return GiveUp(SourceProblem::kDataEnded, "", SourceRetry::kHoldBack, 60);
      }
      EndCycle();
      return true;
    }
    const uint64_t got = data.bytesReceived - before;
    dataReceived_ += got;
    if (got == 0) return true;
    // A short read emptied the socket: what came is handed out, then the
    // tick goes on.
    if (got < static_cast<uint64_t>(want)) reads = kReadsPerTick - 1;
  }
}

TFtpPeer::Delivery TFtpPeer::Deliver() {
  QTcpSocket& data = *dataConnection;
  const uint8_t* bytes = data.ReceivedData();
  const int available = data.ReceivedCount();
  int used = 0;
  Delivery result = Delivery::kWait;
  for (;;) {
    if (skipBytes > 0) {
      const int skip = static_cast<int>(std::min<int64_t>(skipBytes, available - used));
      // Passing over bytes is progress too: the stream is alive.
      if (skip > 0) stats.activityTime = WallSeconds();
      used += skip;
      skipBytes -= skip;
      streamPos += skip;
      if (skipBytes > 0) break;
    }
    if (requests.empty()) break;
    const BlockRequest request = requests.front();
    skipBytes = request.block * kBlockSize - streamPos;
    if (skipBytes < 0 || skipBytes > kMaxSkip) {
      // Behind the stream, or too far ahead to read through: a new cycle.
      result = Delivery::kNewCycle;
      break;
    }
    if (skipBytes > 0) continue;
    if (request.length > available - used) break;
    if (!OnBlock(request.block, request.length, bytes + used)) {
      result = Delivery::kRefused;
      break;
    }
    // Taken off the queue by OnBlock; never offered twice.
    if (!requests.empty() && requests.front().block == request.block) requests.pop_front();
    used += request.length;
    streamPos += request.length;
  }
  data.Consume(used);
  return result;
}

bool TFtpPeer::ReadWholeContent() {
  TPeerId& source = *peerSource;
  if (!dataConnection) return GiveUp(SourceProblem::kDataEnded, "", SourceRetry::kHoldBack, 60);
  QTcpSocket& data = *dataConnection;
  const uint64_t before = data.bytesReceived;
  const int held = data.Receive(kStreamRead);
  if (data.IsOpen()) dataReceived_ += data.bytesReceived - before;
  const auto size = static_cast<size_t>(std::max<int64_t>(source.resourceSize, 0));
  if (const int buffered = data.ReceivedCount(); buffered > 0 && held >= 0) {
    // Bytes past the size the server gave are not the file's.
    const size_t take = std::min(static_cast<size_t>(buffered), size - std::min(size, source.body.size()));
    source.body.append(reinterpret_cast<const char*>(data.ReceivedData()), take);
    data.Consume(buffered);
    stats.activityTime = WallSeconds();
  }
  if (!source.body.empty() && source.body.size() >= size) {
    source.bodyDone = 1;
    return true;
  }
  if (held < 0) return GiveUp(SourceProblem::kDataEnded, "", SourceRetry::kHoldBack, 60);
  return true;
}

}  // namespace pf
