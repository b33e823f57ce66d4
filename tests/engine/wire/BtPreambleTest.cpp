#include "engine/wire/BtPreamble.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/wire/BtHandshake.h"
#include "support/Ipv4.h"

namespace pf {
namespace {

using testing::Ip;

constexpr const char* kUserAgent = "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";

TEST(BtPreamble, RequestAndReplyOnTheWire) {
  EXPECT_EQ(BuildBtRequestPreamble(Ip(10, 0, 0, 7), 6881, 0),
            std::string("GET / HTTP/1.0\r\n") + kUserAgent + "Host: 10.0.0.7:0\r\n\r\n");
  EXPECT_EQ(BuildBtRequestPreamble(Ip(192, 168, 20, 255), 51413, 1),
            "GET / HTTP/1.0\r\nHost: 192.168.20.255:3246\r\n\r\n");
  EXPECT_EQ(BuildBtRequestPreamble(Ip(1, 2, 3, 4), 80, 4), std::string("GET / HTTP/1.0\r\n") + kUserAgent +
                                                               "Host: 1.2.3.4:80\r\n\r\n");

  EXPECT_EQ(BuildBtReplyPreamble(1001), "HTTP/1.0 200 OK\r\nConnection: Close\r\n\r\n");
  EXPECT_EQ(BuildBtReplyPreamble(1002),
            "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Encoding: none\r\n\r\n");
}

TEST(BtPreamble, SentOverTcpWhenSwitchedOnOrEveryThirdAttempt) {
  struct Case {
    bool preambleSwitch;
    bool overUdp;
    int failures;
    bool sends;
  } cases[] = {
      {true, false, 0, true},  {false, false, 0, false}, {false, false, 1, true},
      {false, false, 2, false}, {false, false, 4, true},  {true, true, 1, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(BtSendsRequestPreamble(c.preambleSwitch, c.overUdp, c.failures), c.sends)
        << c.preambleSwitch << c.overUdp << c.failures;
}

struct Outcome {
  BtPreambleReader::Status status;
  bool seen;
  std::string left;  // what remains buffered
};

// Feeds `stream` in chunks of `chunk` bytes, dropping what the reader
// consumed, until it stops asking for more or the stream ends.
Outcome Strip(const std::string& stream, size_t chunk) {
  BtPreambleReader reader;
  std::string buffered;
  size_t fed = 0;
  BtPreambleReader::Step step{BtPreambleReader::Status::kNeedMore, 0};
  while (true) {
    step = reader.Read({reinterpret_cast<const uint8_t*>(buffered.data()), buffered.size()});
    buffered.erase(0, step.consumed);
    if (step.status != BtPreambleReader::Status::kNeedMore || fed == stream.size()) break;
    const size_t take = std::min(chunk, stream.size() - fed);
    buffered += stream.substr(fed, take);
    fed += take;
  }
  return {step.status, reader.Seen(), buffered + stream.substr(fed)};
}

TEST(BtPreamble, StrippedFromTheIncomingStreamHoweverItArrives) {
  using Status = BtPreambleReader::Status;
  const BtHandshakeBytes bytes = BuildBtHandshake(BtHash{1}, BtHash{2});
  const std::string handshake(bytes.begin(), bytes.end());
  const std::string request = BuildBtRequestPreamble(Ip(10, 0, 0, 7), 6881, 0);
  const std::string reply = BuildBtReplyPreamble(7);
  const std::string longest = "GET /" + std::string(kMaxBtPreamble - 7, 'x') + "\n\n";
  ASSERT_EQ(longest.size(), kMaxBtPreamble);

  struct Case {
    const char* what;
    std::string stream;
    Status status;
    bool seen;
    std::string left;
  } cases[] = {
      {"no preamble", handshake, Status::kDone, false, handshake},
      {"our request", request + handshake, Status::kDone, true, handshake},
      {"our reply", reply + handshake, Status::kDone, true, handshake},
      {"bare line feeds", "POST /x HTTP/1.1\nHost: a\n\n" + handshake, Status::kDone, true, handshake},
      {"status, post and get in turn", reply + "POST / HTTP/1.0\r\n\r\n" + request + handshake, Status::kDone, true,
       handshake},
      {"a status line after a request is not looked for", request + reply + handshake, Status::kDone, true,
       reply + handshake},
      {"a block of the largest size", longest + handshake, Status::kDone, true, handshake},
      {"a block without its end", request.substr(0, request.size() - 2), Status::kNeedMore, false,
       request.substr(0, request.size() - 2)},
      {"a block too long", "GET /" + std::string(kMaxBtPreamble, 'x') + "\r\n\r\n", Status::kMalformed, false, ""},
      {"H but not HTTP", "HTTX/1.0 200 OK\r\n\r\n" + handshake, Status::kMalformed, false, ""},
      {"G but not GET", "GEX / HTTP/1.0\r\n\r\n", Status::kMalformed, false, ""},
  };
  for (const Case& c : cases) {
    for (size_t chunk : {c.stream.size() + 1, size_t{1}, size_t{5}}) {
      const Outcome outcome = Strip(c.stream, chunk);
      EXPECT_EQ(outcome.status, c.status) << c.what << ", chunks of " << chunk;
      EXPECT_EQ(outcome.seen, c.seen) << c.what << ", chunks of " << chunk;
      if (c.status != Status::kMalformed) {
        EXPECT_EQ(outcome.left, c.left) << c.what << ", chunks of " << chunk;
      }
    }
  }
}

}  // namespace
}  // namespace pf
