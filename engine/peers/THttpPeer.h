#pragma once
#include <cstdint>

#include "engine/wire/HttpResponseHeader.h"
#include "engine/peers/TPeerObject.h"

namespace pf {

// Fetches pieces from an HTTP mirror: one GET with an open-ended range per
// attempt, the body read as one stream and handed out block by block to the
// queued requests; a new attempt when the next blocks are not just ahead.
// Also learns the resource's size and name, follows redirects by making new
// sources, and can fetch a whole resource into memory.
class THttpPeer : public TPeerObject {
 public:
  static constexpr int64_t kMaxSkip = 131072;
  // A header that has not ended by then is not an HTTP answer.
  static constexpr int kMaxHeaderBytes = 65536;
  static constexpr int kStreamRead = 262144;
  // Up to 4 MB per tick, so one connection is not capped by the tick rate.
  static constexpr int kReadsPerTick = 16;
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
  // The answer began before the asked range (the server ignores ranges):
  // asking again elsewhere would bring the same answer.
  uint8_t startsEarly = 0;

 private:
  // Connects and sends a GET ranged at the first queued request.
  bool StartAttempt();
  bool ReadHeader();
  // Takes the body's position in the resource from the answer; false (and
  // the source held back) when it starts past what was asked.
  bool TakeBodyStart();
  bool OnRedirect();
  // After the connection failed: when TLS refused the server, says so and
  // drops the source.
  void DropIfTlsRefused();
  bool ReadWholeContent();
  bool StreamBlocks();
  // Hands the buffered body bytes out to the queued requests.
  bool DeliverBuffered();
};

}  // namespace pf
