#pragma once
// BitTorrent peer messages after the handshake: a 4-byte big-endian length,
// then an id byte and the payload (a length of 0 is a keep-alive). Reading
// never copies and never waits for more than one bounded message; building
// appends to an output string.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace pf {

enum class BtMessageId : uint8_t {
  kChoke = 0,
  kUnchoke = 1,
  kInterested = 2,
  kNotInterested = 3,
  kHave = 4,
  kBitfield = 5,
  kRequest = 6,
  kPiece = 7,
  kCancel = 8,
};

// A length above this closes the connection, whatever the message.
inline constexpr uint32_t kMaxBtMessageLength = 524288;
// Blocks are asked for in 16 KB; a peer may send up to 128 KB at once.
inline constexpr uint32_t kMaxBtBlock = 131072;

enum class BtMessageKind : uint8_t {
  kKeepAlive,
  kChoke,
  kUnchoke,
  kInterested,
  kNotInterested,
  kHave,         // index
  kBitfield,     // data: the bits, piece 0 in the high bit of the first byte
  kRequest,      // index, begin, length
  kPiece,        // index, begin, length = data.size(), data: the block
  kCancel,       // index, begin, length
  kUnavailable,  // index: a piece the sender failed to read (see AppendBtUnavailable)
  kUnknown,      // id, data: the payload
};

struct BtMessage {
  BtMessageKind kind = BtMessageKind::kKeepAlive;
  uint8_t id = 0;  // the id byte (none for a keep-alive)
  uint32_t index = 0;
  uint32_t begin = 0;
  uint32_t length = 0;
  std::span<const uint8_t> data;  // points into the buffer that was read
};

enum class BtReadStatus : uint8_t {
  kMessage,        // `message` is whole; drop `size` bytes and read on
  kNeedMore,       // nothing whole yet
  kPieceArriving,  // the head of a piece is here: index, begin, the full block
                   // length, and data holding the part of the block that arrived
  kMalformed,      // a have, request or cancel of the wrong size (`message.id`);
                   // drop `size` bytes: the peer is at fault but stays
  // The rest close the connection; nothing can be dropped safely.
  kTooLong,      // length above kMaxBtMessageLength
  kBadBlock,     // a piece whose block is not 1..kMaxBtBlock bytes
  kBadBitfield,  // a bitfield whose size does not fit the piece count
};

struct BtReadResult {
  BtReadStatus status = BtReadStatus::kNeedMore;
  // Bytes of the whole message with its length field, known once the length
  // arrived (also while waiting for the rest); 0 when fatal.
  size_t size = 0;
  BtMessage message;

  bool Fatal() const { return status >= BtReadStatus::kTooLong; }
};

// Reads the message at the front of `buffered`. `pieceCount` is 0 while the
// torrent's metadata is unknown; once known, a bitfield must hold exactly
// ceil(pieceCount / 8) bytes. Errors are reported as soon as the length and id
// show them, so a bad peer never makes the caller buffer a huge message.
// Piece indexes are not checked against the piece count: that is the
// receiver's, which also holds the bit arrays.
BtReadResult ReadBtMessage(std::span<const uint8_t> buffered, uint32_t pieceCount);

// Builders for what we send.
// choke, unchoke, interested and not-interested carry no payload.
void AppendBtSignal(std::string& out, BtMessageId id);
void AppendBtBitfield(std::string& out, std::span<const uint8_t> bits);
void AppendBtRequest(std::string& out, uint32_t index, uint32_t begin, uint32_t length);
void AppendBtCancel(std::string& out, uint32_t index, uint32_t begin, uint32_t length);
void AppendBtPiece(std::string& out, uint32_t index, uint32_t begin, std::span<const uint8_t> block);
// The head of a piece message (length, id, index, begin) written in place,
// for a block the caller puts right behind it.
inline constexpr size_t kBtPieceHeadSize = 13;
void WriteBtPieceHead(uint8_t* head, uint32_t index, uint32_t begin, uint32_t blockLength);
// What we send instead of a block we failed to read from disk: a piece
// message of piece 0 at offset 2 whose 5-byte block is '5' and the index of
// the piece that could not be read. ReadBtMessage reports it as kUnavailable.
void AppendBtUnavailable(std::string& out, uint32_t pieceIndex);

// Request messages gathered for sending in few writes.
class BtRequestBatch {
 public:
  // Sent once it holds more than this: 48 requests of 17 bytes.
  static constexpr size_t kFlushAbove = 815;

  // True when the batch should be sent now.
  bool Add(uint32_t index, uint32_t begin, uint32_t length);
  bool Empty() const { return bytes_.empty(); }
  // The gathered bytes; the batch starts over.
  std::string Take();

 private:
  std::string bytes_;
};

}  // namespace pf
