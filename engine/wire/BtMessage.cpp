#include "engine/wire/BtMessage.h"

#include <cstdint>

#include "engine/base/Bitfield.h"

namespace pf {
namespace {

constexpr size_t kLengthField = 4;
constexpr size_t kPieceHead = kLengthField + 1 + 8;  // length, id, index, begin
constexpr uint32_t kUnavailableBegin = 2;
constexpr uint8_t kUnavailableMark = 0x35;
constexpr size_t kUnavailableBlock = 5;  // the mark and a piece index

uint32_t ReadU32(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
         static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

void AppendU32(std::string& out, uint32_t value) {
  out += static_cast<char>(value >> 24);
  out += static_cast<char>(value >> 16);
  out += static_cast<char>(value >> 8);
  out += static_cast<char>(value);
}

void AppendHead(std::string& out, uint32_t length, BtMessageId id) {
  AppendU32(out, length);
  out += static_cast<char>(id);
}

void AppendBlockRequest(std::string& out, BtMessageId id, uint32_t index, uint32_t begin, uint32_t length) {
  AppendHead(out, 13, id);
  AppendU32(out, index);
  AppendU32(out, begin);
  AppendU32(out, length);
}

// The payload size that a have, request or cancel must have.
size_t FixedPayload(uint8_t id) {
  switch (static_cast<BtMessageId>(id)) {
    case BtMessageId::kHave: return 4;
    case BtMessageId::kRequest:
    case BtMessageId::kCancel: return 12;
    default: return SIZE_MAX;
  }
}

BtMessageKind KindOf(uint8_t id) {
  switch (static_cast<BtMessageId>(id)) {
    case BtMessageId::kChoke: return BtMessageKind::kChoke;
    case BtMessageId::kUnchoke: return BtMessageKind::kUnchoke;
    case BtMessageId::kInterested: return BtMessageKind::kInterested;
    case BtMessageId::kNotInterested: return BtMessageKind::kNotInterested;
    case BtMessageId::kHave: return BtMessageKind::kHave;
    case BtMessageId::kBitfield: return BtMessageKind::kBitfield;
    case BtMessageId::kRequest: return BtMessageKind::kRequest;
    case BtMessageId::kPiece: return BtMessageKind::kPiece;
    case BtMessageId::kCancel: return BtMessageKind::kCancel;
  }
  return BtMessageKind::kUnknown;
}

}  // namespace

BtReadResult ReadBtMessage(std::span<const uint8_t> buffered, uint32_t pieceCount) {
  BtReadResult result;
  if (buffered.size() < kLengthField) return result;
  const uint32_t length = ReadU32(buffered, 0);
  if (length == 0) {
    result.status = BtReadStatus::kMessage;
    result.size = kLengthField;
    return result;
  }
  if (length > kMaxBtMessageLength) {
    result.status = BtReadStatus::kTooLong;
    return result;
  }
  result.size = kLengthField + length;
  if (buffered.size() < kLengthField + 1) return result;

  BtMessage& message = result.message;
  message.id = buffered[kLengthField];
  message.kind = KindOf(message.id);
  const size_t payload = length - 1;

  // Checks that need only the length and the id, made before waiting.
  if (message.kind == BtMessageKind::kPiece && (payload <= 8 || payload - 8 > kMaxBtBlock)) {
    result.status = BtReadStatus::kBadBlock;
    result.size = 0;
    return result;
  }
  if (message.kind == BtMessageKind::kBitfield && pieceCount != 0 &&
      payload != BitfieldView::BytesFor(pieceCount)) {
    result.status = BtReadStatus::kBadBitfield;
    result.size = 0;
    return result;
  }

  if (buffered.size() < result.size) {
    // A block is worth following while it trickles in: its request stays alive.
    if (message.kind == BtMessageKind::kPiece && buffered.size() >= kPieceHead) {
      result.status = BtReadStatus::kPieceArriving;
      message.index = ReadU32(buffered, 5);
      message.begin = ReadU32(buffered, 9);
      message.length = static_cast<uint32_t>(payload - 8);
      message.data = buffered.subspan(kPieceHead);
    }
    return result;
  }

  const std::span<const uint8_t> body = buffered.subspan(kLengthField + 1, payload);
  result.status = BtReadStatus::kMessage;
  switch (message.kind) {
    case BtMessageKind::kHave:
    case BtMessageKind::kRequest:
    case BtMessageKind::kCancel:
      if (payload != FixedPayload(message.id)) {
        result.status = BtReadStatus::kMalformed;
        break;
      }
      message.index = ReadU32(body, 0);
      if (payload == 12) {
        message.begin = ReadU32(body, 4);
        message.length = ReadU32(body, 8);
      }
      break;
    case BtMessageKind::kPiece:
      message.index = ReadU32(body, 0);
      message.begin = ReadU32(body, 4);
      message.data = body.subspan(8);
      message.length = static_cast<uint32_t>(message.data.size());
      if (message.index == 0 && message.begin == kUnavailableBegin && message.length == kUnavailableBlock &&
          message.data[0] == kUnavailableMark) {
        message.kind = BtMessageKind::kUnavailable;
        message.index = ReadU32(message.data, 1);
        message.begin = 0;
        message.length = 0;
        message.data = {};
      }
      break;
    default:
      message.data = body;
      break;
  }
  return result;
}

void AppendBtSignal(std::string& out, BtMessageId id) { AppendHead(out, 1, id); }

void AppendBtBitfield(std::string& out, std::span<const uint8_t> bits) {
  AppendHead(out, static_cast<uint32_t>(1 + bits.size()), BtMessageId::kBitfield);
  out.append(reinterpret_cast<const char*>(bits.data()), bits.size());
}

void AppendBtRequest(std::string& out, uint32_t index, uint32_t begin, uint32_t length) {
  AppendBlockRequest(out, BtMessageId::kRequest, index, begin, length);
}

void AppendBtCancel(std::string& out, uint32_t index, uint32_t begin, uint32_t length) {
  AppendBlockRequest(out, BtMessageId::kCancel, index, begin, length);
}

void WriteBtPieceHead(uint8_t* head, uint32_t index, uint32_t begin, uint32_t blockLength) {
  const uint32_t fields[3] = {blockLength + 9, index, begin};
  head[4] = static_cast<uint8_t>(BtMessageId::kPiece);
  for (int f = 0; f < 3; ++f) {
    uint8_t* at = head + (f == 0 ? 0 : 1 + 4 * f);
    for (int b = 0; b < 4; ++b) at[b] = static_cast<uint8_t>(fields[f] >> (24 - 8 * b));
  }
}

void AppendBtPiece(std::string& out, uint32_t index, uint32_t begin, std::span<const uint8_t> block) {
  uint8_t head[kBtPieceHeadSize];
  WriteBtPieceHead(head, index, begin, static_cast<uint32_t>(block.size()));
  out.append(reinterpret_cast<const char*>(head), sizeof head);
  out.append(reinterpret_cast<const char*>(block.data()), block.size());
}

void AppendBtUnavailable(std::string& out, uint32_t pieceIndex) {
  AppendHead(out, static_cast<uint32_t>(9 + kUnavailableBlock), BtMessageId::kPiece);
  AppendU32(out, 0);
  AppendU32(out, kUnavailableBegin);
  out += static_cast<char>(kUnavailableMark);
  AppendU32(out, pieceIndex);
}

bool BtRequestBatch::Add(uint32_t index, uint32_t begin, uint32_t length) {
  AppendBtRequest(bytes_, index, begin, length);
  return bytes_.size() > kFlushAbove;
}

std::string BtRequestBatch::Take() {
  std::string taken;
  taken.swap(bytes_);
  return taken;
}

}  // namespace pf
