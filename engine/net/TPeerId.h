#pragma once
// One place a task can fetch from, written as an address text:
//   http://host[:port][/path]
//   https://host[:port][/path]      (HTTP over TLS)
//   ftp://[user[:password]@]host[:port][/path]
//   tracker://<http|tcp|udp>...://host[:port][/path][?query]
//   btnode://a.b.c.d[:port]
// together with what parsing the text yielded.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/content/SourceKind.h"
#include "engine/net/HostResolver.h"
#include "engine/net/SourceGroup.h"
#include "engine/net/TPeerIdDetails.h"
#include "engine/base/TRefObject.h"

namespace pf {

class TPeerId : public TRefObject {
 public:

  TPeerId() = default;
  explicit TPeerId(std::string address) : url(std::move(address)) {}

  // Normalises `url`, reads it by its scheme and resolves the host (not for
  // BitTorrent peers). False for an unknown scheme, a tracker that is not
  // HTTP, TCP or UDP, a malformed port, or a host that cannot be resolved.
  // Waits for the lookup: for callers outside a task's loop.
  bool ParseSource();

  // The same without waiting: the text is read at once and the host's
  // lookup is started; PollParse answers once it ended. kFailed leaves
  // `unresolvable` set when the name did not resolve.
  enum class ParseState { kReady, kResolving, kFailed };
  ParseState BeginParse();
  ParseState PollParse();

  // A BitTorrent peer known by its address ("btnode://a.b.c.d:port"),
  // parsed already. `ip` in network order.
  static RefPtr<TPeerId> MakeBtNode(uint32_t ip, uint16_t port);

  // Whether two records name the same source.
  static bool SameSource(const TPeerId* a, const TPeerId* b);

  // Connect rules the peer pool asks of a candidate.
  bool IsServer() const { return (kind & kServerKinds) != 0; }
  // The once-per-pass connect check; counts `sequence` down. `taskSpeed` is
  // the task's current download speed, `now` wall seconds.
  bool MayConnectNow(int64_t taskSpeed, int64_t now);
  // Asked after each connection opened for it.
  bool WantsMoreConnections() const;
  // A server whose last answer was a redirect.
  bool IsRedirected() const { return IsServer() && redirected != 0; }

  // The address as the user may see it (logs, notices, reports): a password
  // in it is replaced by "***".
  std::string ShownUrl() const;

  // Created on first use.
  TPeerIdDetails& Details();
  const TPeerIdDetails* DetailsIfAny() const { return details.get(); }

  std::unique_ptr<TPeerIdDetails> details;
  std::unique_ptr<HostResolution> resolution;  // while the host is looked up
  uint8_t parsed = 0;
  uint8_t unresolvable = 0;
  int32_t port = 0;
  uint8_t peerId[20] = {};
  std::string url;
  uint32_t ip = 0xFFFFFFFFu;  // network order; all ones when not resolved
  uint8_t kind = 0;
  uint8_t overTcp = 0;
  uint8_t overTls = 0;  // HTTP: an https address, fetched over TLS

  // Kept by the task's peer pool.
  int32_t sequence = 0;         // connect passes to sit out; last order key, lower first
  int32_t group = kDefaultSourceGroup;  // order group, higher first (SourceGroup.h)
  int32_t failures = 0;
  int32_t openConnections = 0;
  int32_t score = 0;            // pieces that came wholly from this source
  int32_t attempts = 0;
  int32_t allowance = 1;        // connections it may have at once
  int64_t lastConnect = 0;
  int32_t badPieces = 0;        // consecutive pieces that failed their hash

  // What a server taught the task across attempts.
  int64_t resourceSize = 0;     // 0 = not yet known
  int32_t lastSpeed = 0;        // bytes per second its last connection reached
  std::string fileName;
  std::string referer;
  std::string lastRedirect;
  int32_t redirectCount = 0;
  // How many redirects led to this source (0 for one the task was given).
  int32_t redirectDepth = 0;
  uint8_t redirected = 0;
  // The server answers every request from the start, whatever range was
  // asked: its connections read the whole body (THttpPeer).
  uint8_t ignoresRanges = 0;
  uint8_t wholeContent = 0;     // fetched whole into `body` rather than by pieces
  std::string body;
  uint8_t bodyDone = 0;
  uint8_t useMarker = 0;
  int32_t users = 0;            // peer objects using this source
  int32_t sourceEntry = -1;     // its line in the task's source list, if it came from there

 private:
  // The scheme's syntax, without the host's lookup.
  bool ParseText();
  // The lookup's outcome (`found` < 0: it failed) and the file name.
  bool FinishParse(int found, std::vector<uint32_t> addresses);

  bool ParseFtp(const std::string& rest);
  enum class HttpScheme { kPlain, kTls };
  bool ParseHttp(const std::string& rest, HttpScheme scheme);
  bool ParseTracker(const std::string& rest);
  bool ParseBtNode(const std::string& rest);
};

}  // namespace pf
