#pragma once
#include <cstdint>

#include "engine/net/QSocketBuffer.h"
#include "engine/wire/ChunkedDecoder.h"
#include "engine/wire/HttpResponseHeader.h"
#include "engine/peers/TPeerObject.h"

namespace pf {

// Fetches pieces from an HTTP mirror: one GET with an open-ended range per
// attempt, the body read as one stream and handed out block by block to the
// queued requests; a new attempt when the next blocks are not just ahead.
// Also learns the resource's size and name, follows redirects by making new
// sources, and can fetch a whole resource into memory. A server that ignores
// ranges is read as one stream from the start: the pieces still missing are
// taken as they pass ("passing" mode). Bodies may come chunked or without a
// length (read up to the close).
class THttpPeer : public TPeerObject {
 public:
  static constexpr int64_t kMaxSkip = 131072;
  // A header that has not ended by then is not an HTTP answer.
  static constexpr int kMaxHeaderBytes = 65536;
  // The size given to a whole-content source that names no length: its body
  // is read until the server closes.
  static constexpr int64_t kSizeUntilClosed = 2147483647;

  explicit THttpPeer(PeerHost* host) : TPeerObject(host, kHttp) {}

  bool Process() override;
  bool AfterTick() override;
  bool FillRequests() override;
  void Reset() override;
  bool AttachSource(TPeerId* source) override;
  bool IsStalled() override;
  void ReleaseSegment() override;

  uint8_t headerDone = 0;
  int64_t skipBytes = 0;
  int64_t streamPos = 0;
  HttpResponseHeader response;
  uint8_t noLength = 0;
  int runLength = 0;
  // This connection reads the whole body and takes what it needs as it
  // passes, holding no segment.
  uint8_t passing = 0;
  // The body comes in chunks, decoded into `decoded_`.
  uint8_t chunked = 0;

 private:
  // Connects and sends a GET ranged at the first queued request.
  bool StartAttempt();
  bool ReadHeader();
  // Takes the body's position in the resource from the answer; false (and
  // the source held back) when it starts past what was asked.
  bool TakeBodyStart();
  bool OnRedirect();
  bool ReadWholeContent();
  bool StreamBlocks();
  // Hands the buffered body bytes out to the queued requests.
  bool DeliverBuffered();
  // The next run of a passing connection: the first piece ahead of the
  // stream that nobody else works on.
  bool FillPassing();
  bool PassingMayTake(int piece);
  // The queued requests' first run of consecutive blocks.
  int ConsecutiveRun() const;
  void StartPassing();

  // The body as read so far: straight from the connection, or decoded from
  // its chunks. ReceiveBody reads more, with Receive's return convention.
  int ReceiveBody(int maxBytes);
  const uint8_t* BodyData() const { return chunked ? decoded_.data() : connection->ReceivedData(); }
  int BodyCount() const { return chunked ? decoded_.used() : connection->ReceivedCount(); }
  void ConsumeBody(int count);
  // A chunked body's last chunk has arrived: nothing more will come.
  bool BodyEnded() const { return chunked && chunks_.state() == ChunkedDecoder::State::kDone; }
  // False, after telling the user why when the connection never got an
  // answer; a server that TLS refused is dropped.
  bool ConnectionFailed();
  // Closes the connection, tells the user why and holds the source back or
  // drops it. `detail` is a copy: closing may clear what it came from.
  bool GiveUp(SourceProblem problem, std::string detail, SourceRetry retry, int seconds);

  ChunkedDecoder chunks_;
  QSocketBuffer decoded_{4096};
};

}  // namespace pf
