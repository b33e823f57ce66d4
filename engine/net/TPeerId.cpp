#include "engine/net/TPeerId.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "engine/net/HostResolver.h"
#include "engine/content/LocalCodePage.h"
#include "engine/net/UrlEscape.h"

namespace pf {
namespace {

constexpr size_t kNormalisedMax = 4096;  // decoded addresses are cut to this length
constexpr char kAnonymousPassword[] = "pelicanfetch@example.com";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

// ASCII-only folding: bytes of multibyte characters are never changed.
bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x < 0x80) x = static_cast<unsigned char>(std::tolower(x));
    if (y < 0x80) y = static_cast<unsigned char>(std::tolower(y));
    if (x != y) return false;
  }
  return true;
}

// A port text after ":": empty keeps the default; otherwise at most 12
// decimal digits giving 1-65535.
bool ReadPort(std::string_view text, int32_t defaultPort, int32_t* port) {
  if (text.empty()) {
    *port = defaultPort;
    return true;
  }
  if (text.size() > 12) return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *port = static_cast<int32_t>(value);
  return true;
}

// Splits "host[:port]".
bool SplitHostPort(std::string_view hostPort, int32_t defaultPort, std::string* host, int32_t* port) {
  const size_t colon = hostPort.find(':');
  *host = std::string(hostPort.substr(0, colon));
  return ReadPort(colon == std::string_view::npos ? std::string_view() : hostPort.substr(colon + 1),
                  defaultPort, port);
}

// atoi-style: leading digits, 0 when none; bounded so it cannot overflow.
int32_t LeadingNumber(std::string_view text) {
  int32_t value = 0;
  for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < 100000000; ++i)
    value = value * 10 + (text[i] - '0');
  return value;
}

}  // namespace

RefPtr<TPeerId> TPeerId::MakeBtNode(uint32_t ip, uint16_t port) {
  uint8_t b[4];
  std::memcpy(b, &ip, 4);  // network order in memory
  auto source = RefPtr<TPeerId>::Make("btnode://" + std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                                      std::to_string(b[2]) + "." + std::to_string(b[3]) + ":" + std::to_string(port));
  source->kind = kBtNode;
  source->ip = ip;
  source->port = port;
  source->parsed = 1;
  return source;
}

TPeerIdDetails& TPeerId::Details() {
  if (!details) details = std::make_unique<TPeerIdDetails>();
  return *details;
}

std::string TPeerId::ShownUrl() const {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const size_t authorityStart = scheme + 3;
  const size_t authorityEnd = std::min(url.find('/', authorityStart), url.size());
  const size_t at = url.rfind('@', authorityEnd);
  if (at == std::string::npos || at < authorityStart) return url;
  const size_t colon = url.find(':', authorityStart);
  if (colon == std::string::npos || colon > at) return url;
  return url.substr(0, colon + 1) + "***" + url.substr(at);
}

bool TPeerId::ParseFtp(const std::string& rest) {
  TPeerIdDetails& d = Details();
  const size_t slash = rest.find('/');
  std::string_view authority = std::string_view(rest).substr(0, slash);
  const size_t at = authority.find('@');
  if (at == std::string_view::npos) {
    d.user = "anonymous";
    d.password = kAnonymousPassword;
  } else {
    const std::string_view credentials = authority.substr(0, at);
    const size_t colon = credentials.find(':');
    d.user = std::string(credentials.substr(0, colon));
    d.password = colon == std::string_view::npos ? std::string() : std::string(credentials.substr(colon + 1));
    authority = authority.substr(at + 1);
  }
  if (!SplitHostPort(authority, 21, &d.host, &port)) return false;
  d.path = slash == std::string::npos ? std::string("/") : rest.substr(slash);
  kind = kFtp;
  return true;
}

bool TPeerId::ParseHttp(const std::string& rest, HttpScheme scheme) {
  TPeerIdDetails& d = Details();
  const size_t slash = rest.find('/');
  overTls = scheme == HttpScheme::kTls ? 1 : 0;
  const int32_t defaultPort = overTls ? 443 : 80;
  if (!SplitHostPort(std::string_view(rest).substr(0, slash), defaultPort, &d.host, &port)) return false;
  d.httpPath = slash == std::string::npos ? std::string("/") : rest.substr(slash);
  kind = kHttp;
  return true;
}

bool TPeerId::ParseTracker(const std::string& rest) {
  TPeerIdDetails& d = Details();
  const size_t sep = rest.find("://");
  if (sep == std::string::npos) return false;
  d.scheme = rest.substr(0, sep);
  if (StartsWithNoCase(d.scheme, "http") || StartsWithNoCase(d.scheme, "tcp")) {
    overTcp = 1;
  } else if (StartsWithNoCase(d.scheme, "udp")) {
    overTcp = 0;
  } else {
    return false;
  }
  const std::string_view tail = std::string_view(rest).substr(sep + 3);
  const size_t hostEnd = tail.find_first_of(":/?");
  d.host = std::string(tail.substr(0, hostEnd));
  port = 80;
  if (hostEnd != std::string_view::npos && tail[hostEnd] == ':') port = LeadingNumber(tail.substr(hostEnd + 1));
  const size_t question = tail.find('?');
  const size_t slash = tail.find('/');
  if (slash == std::string_view::npos || (question != std::string_view::npos && slash > question)) {
    d.path = "/";
  } else {
    d.path = std::string(tail.substr(slash, question == std::string_view::npos ? std::string_view::npos
                                                                                : question - slash));
  }
  if (question != std::string_view::npos) d.query = std::string(tail.substr(question + 1));
  kind = kTracker;
  return true;
}

bool TPeerId::ParseBtNode(const std::string& rest) {
  const size_t colon = rest.find(':');
  uint32_t address = ParseDottedAddress(std::string_view(rest).substr(0, colon));
  ip = address == 0 ? kNoAddress : address;
  port = colon == std::string::npos ? 0 : LeadingNumber(std::string_view(rest).substr(colon + 1));
  kind = kBtNode;
  return true;
}

bool TPeerId::ParseText() {
  parsed = 0;
  unresolvable = 0;
  std::replace(url.begin(), url.end(), '\\', '/');
  if (StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://")) {
    url = UnescapeUrl(url, kNormalisedMax);
  } else {
    std::string utf8 = FromLocalCodePage(url.data(), static_cast<int>(std::min(url.size(), size_t{1} << 30)), 65001);
    // Bytes that are not text in the local code page are escaped as they are.
    url = EscapeUrl(utf8.empty() ? url : utf8);
  }
  if (StartsWithNoCase(url, "ftp://")) return ParseFtp(url.substr(6));
  if (StartsWithNoCase(url, "http://")) return ParseHttp(url.substr(7), HttpScheme::kPlain);
  if (StartsWithNoCase(url, "https://")) return ParseHttp(url.substr(8), HttpScheme::kTls);
  if (StartsWithNoCase(url, "tracker://")) return ParseTracker(url.substr(10));
  if (StartsWithNoCase(url, "btnode://")) return ParseBtNode(url.substr(9));
  return false;
}

bool TPeerId::FinishParse(int found, std::vector<uint32_t> addresses) {
  if (kind != kBtNode) {
    TPeerIdDetails& d = Details();
    d.addresses = std::move(addresses);
    if (found < 0) {
      ip = kNoAddress;
      unresolvable = 1;
      return false;
    }
    if (!d.addresses.empty()) {
      ip = d.addresses.front();
      d.addresses.erase(d.addresses.begin());
    } else {
      ip = kNoAddress;
    }
  }
  parsed = 1;

  if (kind == kHttp || kind == kFtp) {
    const size_t last = url.rfind('/');
    const size_t schemeEnd = url.find("://");
    if (last != std::string::npos && last != schemeEnd + 2) {
      std::string name = url.substr(last + 1);
      if (kind == kHttp) {
        name = UnescapeUrl(name, kNormalisedMax);
        std::string local = ToLocalCodePage(name.data(), static_cast<int>(name.size()), 65001);
        if (!local.empty()) name = std::move(local);
      }
      Details().fileName = std::move(name);
    }
  }
  return true;
}

bool TPeerId::ParseSource() {
  resolution.reset();
  if (!ParseText()) return false;
  if (kind == kBtNode) return FinishParse(0, {});
  std::vector<uint32_t> addresses;
  const int found = ResolveHost(Details().host, &addresses);
  return FinishParse(found, std::move(addresses));
}

TPeerId::ParseState TPeerId::BeginParse() {
  resolution.reset();
  if (!ParseText()) return ParseState::kFailed;
  if (kind == kBtNode) return FinishParse(0, {}) ? ParseState::kReady : ParseState::kFailed;
  resolution = std::make_unique<HostResolution>(Details().host);
  return PollParse();
}

TPeerId::ParseState TPeerId::PollParse() {
  if (parsed) return ParseState::kReady;
  if (!resolution) return ParseState::kFailed;
  const HostResolution::State state = resolution->Poll();
  if (state == HostResolution::State::kWaiting) return ParseState::kResolving;
  const bool ok = FinishParse(state == HostResolution::State::kResolved ? 0 : -1, resolution->Addresses());
  resolution.reset();
  return ok ? ParseState::kReady : ParseState::kFailed;
}

bool TPeerId::SameSource(const TPeerId* a, const TPeerId* b) {
  if (a == b) return true;
  if (!a || !b || a->kind != b->kind) return false;
  switch (a->kind) {
    case kBtNode: {
      if (a->ip == b->ip && a->port == b->port) return true;
      // An unknown (all-zero) peer id says nothing about identity.
      static const uint8_t kZero[20] = {};
      return std::memcmp(a->peerId, kZero, 20) != 0 && std::memcmp(a->peerId, b->peerId, 20) == 0;
    }
    case kTracker:
      return a->ip == b->ip && a->port == b->port && a->overTcp == b->overTcp;
    case kHttp:
    case kFtp:
      return EqualNoCase(a->url, b->url);
    default:
      return false;
  }
}

bool TPeerId::MayConnectNow(int64_t taskSpeed, int64_t now) {
  if (!parsed) return false;
  if ((kind == kBtNode || kind == kTracker) && openConnections > 0) return false;
  if (IsServer()) {
    if (openConnections >= allowance) return false;
    if (openConnections == 1 && resourceSize <= 0) return false;
    if (openConnections == 0) {
      // Pieces that came wholly from a server shorten its wait.
      if (score > 15) {
        sequence = 0;
        return true;
      }
      if (score > 5) sequence = sequence < 10 ? 0 : sequence / 10;
      else if (score > 0) sequence = sequence < 5 ? 0 : sequence / 5;
    }
    // A task that receives nothing has nothing to lose by trying again.
    if (taskSpeed == 0 && sequence > 0) sequence = sequence <= 10 ? 0 : sequence / 10;
  }
  // One announce per tracker every ten minutes.
  if (kind == kTracker && lastConnect != 0 && now - lastConnect < 600) return false;
  if (sequence > 0) --sequence;
  return sequence <= 0;
}

bool TPeerId::WantsMoreConnections() const {
  if (IsServer()) return resourceSize > 0;
  return false;
}

}  // namespace pf
