#include <gtest/gtest.h>

#include <string>

#include "engine/wire/ChunkedDecoder.h"
#include "engine/wire/HttpResponseHeader.h"

namespace pf {
namespace {

struct Decoded {
  std::string data;
  ChunkedDecoder::State state;
  size_t left;  // input bytes not used
};

// Feeds `input` in pieces of `step` bytes, offering the unused rest again
// with the next piece, as a connection's receive buffer does.
Decoded Decode(const std::string& input, size_t step) {
  ChunkedDecoder decoder;
  QSocketBuffer out(64);
  std::string pending;
  for (size_t at = 0; at < input.size(); at += step) {
    pending += input.substr(at, step);
    const size_t used = decoder.Decode(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(pending.data()), pending.size()), out);
    pending.erase(0, used);
  }
  return {std::string(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(out.used())), decoder.state(),
          pending.size()};
}

TEST(ChunkedDecoder, DecodesWhateverPiecesTheInputComesIn) {
  const std::string body = "4\r\nWiki\r\n5;ext=\"x\"\r\npedia\r\nE \r\n in\r\n\r\nchunks.\r\n0\r\nExpires: never\r\n\r\n";
  for (const size_t step : {body.size(), size_t{1}, size_t{2}, size_t{7}}) {
    SCOPED_TRACE(step);
    const Decoded d = Decode(body + "NEXT", step);
    EXPECT_EQ(d.data, "Wikipedia in\r\n\r\nchunks.");
    EXPECT_EQ(d.state, ChunkedDecoder::State::kDone);
    EXPECT_EQ(d.left, 4u) << "what follows the body is not taken";
  }
  const Decoded open = Decode("a\r\n0123456789\r\n5\r\n01", 3);
  EXPECT_EQ(open.data, "012345678901");
  EXPECT_EQ(open.state, ChunkedDecoder::State::kReading);
}

TEST(ChunkedDecoder, RefusesWhatIsNotChunked) {
  const char* cases[] = {
      "zz\r\ndata\r\n",                 // no size
      "5\r\nshortzz\r\n",               // data longer than its size
      "-1\r\n",                         // a sign
      "5x\r\nhello\r\n",                // junk after the size
      "fffffffffffffffff\r\n",          // past 64 bits
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Decode(text, 3).state, ChunkedDecoder::State::kBroken);
  }
  EXPECT_EQ(Decode(std::string(ChunkedDecoder::kMaxLine + 10, '1'), 100).state, ChunkedDecoder::State::kBroken)
      << "a size line without end";
}

TEST(ChunkedDecoder, TheHeaderSaysWhenTheBodyIsChunked) {
  struct Case {
    const char* header;
    bool chunked;
    std::optional<int64_t> size;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 99\r\n\r\n", true, std::nullopt},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n", true, std::nullopt},
      {"HTTP/1.1 206 Partial\r\nTransfer-Encoding: chunked\r\nContent-Range: bytes 5-9/10\r\n\r\n", true, 10},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunkedx\r\nContent-Length: 99\r\n\r\n", false, 99},
      {"HTTP/1.0 200 OK\r\n\r\n", false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    HttpResponseHeader header;
    header.Parse(c.header);
    EXPECT_EQ(header.Chunked(), c.chunked);
    EXPECT_EQ(header.ResourceSize(), c.size);
  }
}

}  // namespace
}  // namespace pf
