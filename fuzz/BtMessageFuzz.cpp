// Feeds arbitrary bytes to the BitTorrent wire readers as a remote peer would
// send them. The message reader must give the same messages whether the
// bytes arrive at once or in two pieces split anywhere, never point outside
// the buffer, and the messages we also send must encode back to the bytes
// they were read from. The preamble and handshake readers get the same bytes.
//
// Input: byte 0 picks the piece count (0 = metadata unknown), byte 1 where
// the stream is split; the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "engine/wire/BtHandshake.h"
#include "engine/wire/BtMessage.h"
#include "engine/wire/BtPreamble.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "bt message fuzz check failed: %s\n", what);
    std::abort();
  }
}

bool Within(std::span<const uint8_t> inner, std::span<const uint8_t> outer) {
  return inner.empty() || (inner.data() >= outer.data() && inner.data() + inner.size() <= outer.data() + outer.size());
}

// The bytes we would send for this message, or empty for kinds we never send.
std::string Encode(const pf::BtMessage& m) {
  std::string out;
  switch (m.kind) {
    case pf::BtMessageKind::kRequest: pf::AppendBtRequest(out, m.index, m.begin, m.length); break;
    case pf::BtMessageKind::kCancel: pf::AppendBtCancel(out, m.index, m.begin, m.length); break;
    case pf::BtMessageKind::kPiece: pf::AppendBtPiece(out, m.index, m.begin, m.data); break;
    case pf::BtMessageKind::kUnavailable: pf::AppendBtUnavailable(out, m.index); break;
    case pf::BtMessageKind::kBitfield: pf::AppendBtBitfield(out, m.data); break;
    default: break;
  }
  return out;
}

struct Event {
  pf::BtReadStatus status;
  std::string bytes;  // what the message took from the stream
};

// Reads `stream` arriving in two pieces, as a connection does: after each
// arrival, whole messages are taken off the front.
std::vector<Event> Read(std::span<const uint8_t> stream, size_t split, uint32_t pieceCount) {
  std::vector<Event> events;
  std::vector<uint8_t> buffered;
  for (const std::span<const uint8_t> arrival : {stream.first(split), stream.subspan(split)}) {
    buffered.insert(buffered.end(), arrival.begin(), arrival.end());
    while (true) {
      const std::span<const uint8_t> view(buffered);
      const pf::BtReadResult r = pf::ReadBtMessage(view, pieceCount);
      const pf::BtMessage& m = r.message;
      Check(Within(m.data, view), "message data outside the buffer");
      if (r.Fatal()) {
        Check(r.size == 0, "a fatal result names bytes to drop");
        events.push_back({r.status, {}});
        return events;
      }
      if (r.status == pf::BtReadStatus::kNeedMore || r.status == pf::BtReadStatus::kPieceArriving) {
        Check(r.size == 0 || r.size > view.size(), "waiting for a message that is here");
        if (r.status == pf::BtReadStatus::kPieceArriving) {
          Check(m.data.size() < m.length && m.length <= pf::kMaxBtBlock, "arriving block size");
        }
        break;
      }
      Check(r.size >= 4 && r.size <= view.size(), "message size outside the buffer");
      Check(r.size <= 4 + pf::kMaxBtMessageLength, "message longer than allowed");
      const std::string taken(view.begin(), view.begin() + r.size);
      const std::string encoded = r.status == pf::BtReadStatus::kMessage ? Encode(m) : std::string();
      Check(encoded.empty() || encoded == taken, "message does not encode back to its bytes");
      events.push_back({r.status, taken});
      buffered.erase(buffered.begin(), buffered.begin() + r.size);
    }
  }
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static constexpr uint32_t kPieceCounts[] = {0, 1, 8, 9, 100, 4000};
  const uint32_t pieceCount = kPieceCounts[data[0] % std::size(kPieceCounts)];
  const std::span<const uint8_t> stream(data + 2, size - 2);
  const size_t split = stream.empty() ? 0 : data[1] * stream.size() / 256;

  const std::vector<Event> whole = Read(stream, stream.size(), pieceCount);
  const std::vector<Event> pieces = Read(stream, split, pieceCount);
  Check(whole.size() == pieces.size(), "split arrival changed the number of messages");
  for (size_t i = 0; i < whole.size(); ++i) {
    Check(whole[i].status == pieces[i].status && whole[i].bytes == pieces[i].bytes,
          "split arrival changed a message");
  }

  pf::BtPreambleReader preamble;
  const pf::BtPreambleReader::Step step = preamble.Read(stream);
  Check(step.consumed <= stream.size(), "preamble consumed more than arrived");
  const pf::BtHandshakeResult handshake = pf::ReadBtHandshake(stream.subspan(step.consumed));
  Check(handshake.status != pf::BtHandshakeStatus::kValid || stream.size() - step.consumed >= pf::kBtHandshakeSize,
        "handshake valid before 68 bytes");
  return 0;
}
