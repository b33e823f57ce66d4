#include "engine/wire/BtMessage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pf {
namespace {

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Raw(std::initializer_list<int> bytes) {
  std::string text;
  for (int b : bytes) text += static_cast<char>(b);
  return text;
}

std::string Describe(const BtMessage& m) {
  const std::string data(reinterpret_cast<const char*>(m.data.data()), m.data.size());
  const auto fields = [&] {
    return " " + std::to_string(m.index) + " " + std::to_string(m.begin) + " " + std::to_string(m.length);
  };
  switch (m.kind) {
    case BtMessageKind::kKeepAlive: return "keep-alive";
    case BtMessageKind::kChoke: return "choke";
    case BtMessageKind::kUnchoke: return "unchoke";
    case BtMessageKind::kInterested: return "interested";
    case BtMessageKind::kNotInterested: return "not-interested";
    case BtMessageKind::kHave: return "have " + std::to_string(m.index);
    case BtMessageKind::kBitfield: return "bitfield " + data;
    case BtMessageKind::kRequest: return "request" + fields();
    case BtMessageKind::kCancel: return "cancel" + fields();
    case BtMessageKind::kPiece: return "piece" + fields() + " " + data;
    case BtMessageKind::kUnavailable: return "unavailable " + std::to_string(m.index);
    case BtMessageKind::kUnknown: return "unknown " + std::to_string(m.id) + " " + data;
  }
  return "?";
}

struct Drained {
  std::vector<std::string> messages;
  BtReadStatus last;
  std::string left;
};

// Receives `stream` in chunks of `chunk` bytes and reads whole messages off
// the front after each, as a connection does.
Drained Drain(const std::string& stream, size_t chunk, uint32_t pieceCount) {
  Drained out;
  std::string buffered;
  for (size_t fed = 0; fed < stream.size();) {
    buffered += stream.substr(fed, chunk);
    fed += std::min(chunk, stream.size() - fed);
    while (true) {
      const BtReadResult r = ReadBtMessage(Bytes(buffered), pieceCount);
      out.last = r.status;
      if (r.Fatal()) return out;
      if (r.status == BtReadStatus::kMessage) out.messages.push_back(Describe(r.message));
      else if (r.status == BtReadStatus::kMalformed) out.messages.push_back("malformed " + std::to_string(r.message.id));
      else break;
      EXPECT_LE(r.size, buffered.size());
      buffered.erase(0, r.size);
    }
  }
  out.left = buffered;
  return out;
}

TEST(BtMessage, WhatWeSendOnTheWire) {
  std::string greeting;
  AppendBtSignal(greeting, BtMessageId::kInterested);
  AppendBtSignal(greeting, BtMessageId::kUnchoke);
  EXPECT_EQ(greeting, Raw({0, 0, 0, 1, 2, 0, 0, 0, 1, 1}));

  struct Case {
    std::string built;
    std::string expected;
  };
  std::string choke, bitfield, request, cancel, piece, unavailable;
  AppendBtSignal(choke, BtMessageId::kChoke);
  AppendBtBitfield(bitfield, Bytes("\xff\x80"));
  AppendBtRequest(request, 0x01020304, 0x4000, 0x4000);
  AppendBtCancel(cancel, 7, 0, 1);
  AppendBtPiece(piece, 2, 0x8000, Bytes("abc"));
  AppendBtUnavailable(unavailable, 0x0A0B0C0D);
  const Case cases[] = {
      {choke, Raw({0, 0, 0, 1, 0})},
      {bitfield, Raw({0, 0, 0, 3, 5, 0xff, 0x80})},
      {request, Raw({0, 0, 0, 0x0D, 6, 1, 2, 3, 4, 0, 0, 0x40, 0, 0, 0, 0x40, 0})},
      {cancel, Raw({0, 0, 0, 0x0D, 8, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 1})},
      {piece, Raw({0, 0, 0, 12, 7, 0, 0, 0, 2, 0, 0, 0x80, 0}) + "abc"},
      {unavailable, Raw({0, 0, 0, 0x0E, 7, 0, 0, 0, 0, 0, 0, 0, 2, 0x35, 0x0A, 0x0B, 0x0C, 0x0D})},
  };
  for (const Case& c : cases) EXPECT_EQ(c.built, c.expected);
}

TEST(BtMessage, ConversationReadTheSameHoweverItArrives) {
  std::string stream = Raw({0, 0, 0, 0});  // keep-alive
  AppendBtBitfield(stream, Bytes("\xa0\x40"));
  AppendBtSignal(stream, BtMessageId::kUnchoke);
  AppendBtSignal(stream, BtMessageId::kChoke);
  AppendBtSignal(stream, BtMessageId::kInterested);
  AppendBtSignal(stream, BtMessageId::kNotInterested);
  stream += Raw({0, 0, 0, 5, 4, 0, 0, 0, 9});  // have 9
  AppendBtRequest(stream, 3, 16384, 16384);
  AppendBtCancel(stream, 3, 16384, 16384);
  AppendBtPiece(stream, 3, 32768, Bytes("block"));
  AppendBtUnavailable(stream, 12);
  stream += Raw({0, 0, 0, 4, 20, 'd', 'e', 'e'});            // an extension message we do not speak
  stream += Raw({0, 0, 0, 3, 4, 0, 9});                      // a short have: the peer's fault
  stream += Raw({0, 0, 0, 14, 6}) + std::string(13, '\0');   // a long request
  stream += Raw({0, 0, 0, 5, 4, 0, 0, 1, 0});                // have 256, still read
  stream += Raw({0, 0, 0, 13, 6, 0, 0});                     // the start of a request

  const std::vector<std::string> expected = {
      "keep-alive", "bitfield \xa0\x40", "unchoke", "choke", "interested", "not-interested", "have 9",
      "request 3 16384 16384", "cancel 3 16384 16384", "piece 3 32768 5 block", "unavailable 12",
      "unknown 20 dee", "malformed 4", "malformed 6", "have 256"};
  for (size_t chunk : {stream.size(), size_t{1}, size_t{7}}) {
    const Drained drained = Drain(stream, chunk, 16);
    EXPECT_EQ(drained.messages, expected) << "chunks of " << chunk;
    EXPECT_EQ(drained.last, BtReadStatus::kNeedMore) << "chunks of " << chunk;
    EXPECT_EQ(drained.left, Raw({0, 0, 0, 13, 6, 0, 0})) << "chunks of " << chunk;
  }
}

TEST(BtMessage, BadFramesAreFoundFromTheirHeadAlone) {
  struct Case {
    const char* what;
    std::string head;  // all that arrived
    uint32_t pieceCount;
    BtReadStatus status;
  } cases[] = {
      {"longest allowed", Raw({0, 8, 0, 0, 20}), 0, BtReadStatus::kNeedMore},
      {"one byte longer", Raw({0, 8, 0, 1}), 0, BtReadStatus::kTooLong},
      {"negative length", Raw({0x80, 0, 0, 1}), 0, BtReadStatus::kTooLong},
      {"all ones", Raw({0xff, 0xff, 0xff, 0xff}), 0, BtReadStatus::kTooLong},
      {"piece without block", Raw({0, 0, 0, 9, 7}), 0, BtReadStatus::kBadBlock},
      {"piece shorter than its head", Raw({0, 0, 0, 1, 7}), 0, BtReadStatus::kBadBlock},
      {"largest block", Raw({0, 2, 0, 9, 7}), 0, BtReadStatus::kNeedMore},
      {"block too large", Raw({0, 2, 0, 10, 7}), 0, BtReadStatus::kBadBlock},
      {"bitfield of 10 pieces", Raw({0, 0, 0, 3, 5}), 10, BtReadStatus::kNeedMore},
      {"bitfield a byte short", Raw({0, 0, 0, 2, 5}), 10, BtReadStatus::kBadBitfield},
      {"bitfield a byte long", Raw({0, 0, 0, 4, 5}), 10, BtReadStatus::kBadBitfield},
      {"bitfield before metadata", Raw({0, 0, 0x10, 0, 5}), 0, BtReadStatus::kNeedMore},
  };
  for (const Case& c : cases) {
    const BtReadResult result = ReadBtMessage(Bytes(c.head), c.pieceCount);
    EXPECT_EQ(result.status, c.status) << c.what;
    EXPECT_EQ(result.Fatal(), c.status != BtReadStatus::kNeedMore) << c.what;
  }
}

TEST(BtMessage, PieceFollowedWhileItArrives) {
  std::string stream;
  AppendBtPiece(stream, 5, 49152, Bytes(std::string(16384, 'z')));
  EXPECT_EQ(ReadBtMessage(Bytes(stream).first(12), 8).status, BtReadStatus::kNeedMore)
      << "index and begin not here yet";
  for (size_t have : {size_t{13}, size_t{1037}, stream.size() - 1}) {
    const BtReadResult result = ReadBtMessage(Bytes(stream).first(have), 8);
    ASSERT_EQ(result.status, BtReadStatus::kPieceArriving) << have;
    EXPECT_EQ(result.message.index, 5u);
    EXPECT_EQ(result.message.begin, 49152u);
    EXPECT_EQ(result.message.length, 16384u) << "the whole block, not what arrived";
    EXPECT_EQ(result.message.data.size(), have - 13);
    EXPECT_EQ(result.size, stream.size()) << "the caller knows how much to wait for";
  }
  const BtReadResult whole = ReadBtMessage(Bytes(stream), 8);
  EXPECT_EQ(whole.status, BtReadStatus::kMessage);
  EXPECT_EQ(whole.message.data.size(), 16384u);
  EXPECT_EQ(whole.message.data.back(), 'z');
}

TEST(BtMessage, RequestsBatchedUpToFortyEightMessages) {
  BtRequestBatch batch;
  for (uint32_t i = 0; i < 47; ++i) ASSERT_FALSE(batch.Add(i, 0, 16384)) << i;
  EXPECT_TRUE(batch.Add(47, 0, 16384));
  const std::string bytes = batch.Take();
  EXPECT_TRUE(batch.Empty());
  ASSERT_EQ(bytes.size(), 48u * 17);
  const Drained drained = Drain(bytes, bytes.size(), 0);
  ASSERT_EQ(drained.messages.size(), 48u);
  EXPECT_EQ(drained.messages.back(), "request 47 0 16384");
}

}  // namespace
}  // namespace pf
