#pragma once
// The HTTP-looking block that may travel in front of a BitTorrent handshake,
// so that a connection passes for web traffic: outgoing connections may open
// with a GET request, and a connection that did gets a status line back.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace pf {

// An incoming block that has not ended within this many bytes is not a
// preamble; it bounds what a handshake wait buffers.
inline constexpr size_t kMaxBtPreamble = 1024;

// Whether an outgoing connection opens with the request: over TCP, when the
// process-wide switch is on or on every third attempt (failures 1, 4, 7...).
bool BtSendsRequestPreamble(bool preambleSwitch, bool overUdp, int failures);
// "GET / HTTP/1.0", a browser User-Agent line when `failures` is even, and a
// Host line of the peer's address and its port modulo 6881. `ip` in network
// order.
std::string BuildBtRequestPreamble(uint32_t ip, uint16_t port, int failures);
// The status line answering a peer that sent a preamble; its other lines
// vary with the engine second so that answers do not all look alike.
std::string BuildBtReplyPreamble(int64_t engineSecond);

// Strips preambles from the front of an incoming byte stream, whose bytes
// may arrive in any pieces. Blocks beginning "HTTP", "POST" and "GET" are
// looked for in that order, each at most once, each ending at its first
// empty line.
class BtPreambleReader {
 public:
  enum class Status : uint8_t {
    kNeedMore,   // wait for more bytes, then call again
    kDone,       // what follows is the handshake
    kMalformed,  // a block that begins like a preamble but is not one
  };
  struct Step {
    Status status;
    size_t consumed;  // bytes to drop from the front before the next call
  };

  // `buffered` is what the connection holds, after dropping what earlier
  // calls consumed.
  Step Read(std::span<const uint8_t> buffered);
  // Whether a preamble was found (and stripped).
  bool Seen() const { return seen_; }

 private:
  size_t next_ = 0;  // index of the next prefix to look for
  bool seen_ = false;
};

}  // namespace pf
