#pragma once
// The HTTP side of a tracker announce, without any socket: the request bytes
// and the reading of what the tracker sends back (HTTP header, bencoded
// dictionary, peers in compact or dictionary form).
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pf {

// One peer a tracker named.
struct TrackerPeerAddress {
  uint32_t ip = 0;     // network order
  uint16_t port = 0;   // host order
  // The peer's own id, or the synthetic one: 14 zero bytes, then the 4
  // address bytes and the 2 port bytes as the tracker sent them. UDP replies
  // carry no ids, so their peers get all zeros.
  std::array<uint8_t, 20> peerId{};

  bool operator==(const TrackerPeerAddress&) const = default;
};

// Everything one announce tells the tracker.
struct TrackerAnnounce {
  // The UDP protocol's numbers; over HTTP any other value is sent as stopped.
  static constexpr int32_t kEventCompleted = 1;
  static constexpr int32_t kEventStarted = 2;
  static constexpr int32_t kEventStopped = 3;

  std::string path = "/";  // the tracker URL's path; its own query is not sent
  std::array<uint8_t, 20> infoHash{};
  std::array<uint8_t, 20> peerId{};
  uint16_t port = 0;  // our listener's port
  int64_t uploaded = 0;
  int64_t downloaded = 0;
  int64_t left = 0;
  int32_t event = kEventStarted;

  // The request target: path + "?info_hash=...&peer_id=...&port=...&uploaded=
  // ...&downloaded=...&left=...&event=...&key=5127&compact=1&numwant=200".
  // Hash and id keep letters and digits, every other byte becomes %xx.
  std::string Target() const;

  // The whole GET for a target; the Host line names the port unless it is 80.
  static std::string Request(std::string_view target, std::string_view host, int port);
};

// What one read of the buffered HTTP reply found.
struct TrackerReply {
  // Bounds on what a tracker may send. An answer to numwant=200 is a few
  // kilobytes even in the dictionary form; anything far larger is not a
  // tracker reply and must not make us hold or parse megabytes.
  static constexpr size_t kMaxHeaderBytes = 16 * 1024;
  static constexpr size_t kMaxBodyBytes = 256 * 1024;
  static constexpr size_t kMaxPeers = 1000;
  static constexpr size_t kMaxFailureReason = 512;

  enum class State {
    kIncomplete,  // wait for more bytes
    kRead,        // a bencoded dictionary was read (it may still name no peers)
    kUnusable,    // the reply is over but holds nothing usable; `error` says why
  };

  State state = State::kIncomplete;
  size_t used = 0;  // bytes of header and body the reply took (not for kIncomplete)
  int httpStatus = 0;
  std::string error;
  // The tracker's "failure reason", when it gave one (cut to kMaxFailureReason
  // bytes). Peers in the same dictionary are still read.
  std::string failureReason;
  int64_t interval = 0;  // 0 when not given; informational only
  std::vector<TrackerPeerAddress> peers;

  // Reads the bytes buffered so far on the tracker connection. The body is
  // Content-Length bytes when the header gives that; otherwise it runs to the
  // close of the connection (`peerClosed`), or ends earlier once it already
  // holds one complete bencoded dictionary.
  static TrackerReply Read(std::string_view buffered, bool peerClosed);

  // Reads a bencoded reply body on its own (state kRead or kUnusable).
  static TrackerReply ReadBody(std::string_view body);
};

}  // namespace pf
