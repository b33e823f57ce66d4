#include "engine/wire/TrackerAnnounce.h"

#include <charconv>
#include <cstring>
#include <memory>
#include <optional>

#include "engine/content/Bencode.h"
#include "engine/net/HostResolver.h"
#include "engine/content/TTorrent.h"
#include "engine/wire/HttpResponseHeader.h"

namespace pf {
namespace {

const char* EventName(int32_t event) {
  if (event == TrackerAnnounce::kEventCompleted) return "completed";
  if (event == TrackerAnnounce::kEventStarted) return "started";
  return "stopped";
}

bool UsableAddress(uint32_t ip) { return ip != 0 && ip != 0xFFFFFFFFu; }

// 14 zero bytes and the 6 bytes of the compact entry: the BitTorrent side
// recognises this shape and derives the peer's UDP node key from it.
std::array<uint8_t, 20> SyntheticPeerId(uint32_t ip, uint16_t port) {
  std::array<uint8_t, 20> id{};
  std::memcpy(id.data() + 14, &ip, 4);
  id[18] = static_cast<uint8_t>(port >> 8);
  id[19] = static_cast<uint8_t>(port & 0xFF);
  return id;
}

void ReadCompactPeers(std::string_view bytes, std::vector<TrackerPeerAddress>& peers) {
  // A trailing partial entry is ignored.
  for (size_t at = 0; at + 6 <= bytes.size() && peers.size() < TrackerReply::kMaxPeers; at += 6) {
    TrackerPeerAddress peer;
    std::memcpy(&peer.ip, bytes.data() + at, 4);
    peer.port = static_cast<uint16_t>((static_cast<uint8_t>(bytes[at + 4]) << 8) |
                                      static_cast<uint8_t>(bytes[at + 5]));
    if (!UsableAddress(peer.ip) || peer.port == 0) continue;
    peer.peerId = SyntheticPeerId(peer.ip, peer.port);
    peers.push_back(peer);
  }
}

// The text value following a key found by name (any letter case). A key that
// carries an integer has no separate value.
const QElement* TextValueOf(QElement* dictionary, const char* key) {
  QElement* found = dictionary->FindText(key, 0);
  if (!found || HasInteger(found)) return nullptr;
  const QElement* value = dictionary->NextSibling(found);
  return value && value->Kind() == QElement::kKindText ? value : nullptr;
}

void ReadDictionaryPeers(QElement* list, std::vector<TrackerPeerAddress>& peers) {
  for (int i = 0; peers.size() < TrackerReply::kMaxPeers; ++i) {
    QElement* entry = list->ChildAt(i);
    if (!entry) break;
    if (!IsValid(entry) || entry->Kind() != QElement::kKindDictionary) continue;

    const QElement* port = entry->FindText("port", 0);
    if (!HasInteger(port)) continue;
    const int64_t portValue = IntegerValue(port);
    if (portValue < 1 || portValue > 65535) continue;

    const QElement* ipText = TextValueOf(entry, "ip");
    if (!ipText) continue;
    const uint32_t ip = ParseInetAddress(TextBytes(ipText));
    if (!UsableAddress(ip)) continue;

    TrackerPeerAddress peer;
    peer.ip = ip;
    peer.port = static_cast<uint16_t>(portValue);
    const QElement* id = TextValueOf(entry, "peer id");
    if (id && TextBytes(id).size() >= 20) {
      std::memcpy(peer.peerId.data(), TextBytes(id).data(), 20);
    } else {
      peer.peerId = SyntheticPeerId(peer.ip, peer.port);
    }
    peers.push_back(peer);
  }
}

TrackerReply Unusable(std::string why, size_t used, int status) {
  TrackerReply reply;
  reply.state = TrackerReply::State::kUnusable;
  reply.error = std::move(why);
  reply.used = used;
  reply.httpStatus = status;
  return reply;
}

// Content-Length as a number; nullopt when absent or not a number.
std::optional<uint64_t> ContentLength(const HttpResponseHeader& header) {
  const std::optional<std::string> text = header.Value("Content-Length");
  if (!text) return std::nullopt;
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (error != std::errc() || end == text->data()) return std::nullopt;
  return value;
}

// Whether a body with no announced length already holds one whole
// dictionary. Only tried when it ends in 'e', so a reply arriving in many
// small pieces is not parsed over and over.
bool HoldsWholeDictionary(std::string_view body) {
  if (body.empty() || (body.back() != 'e' && body.back() != 'E')) return false;
  const std::unique_ptr<QElement> root = ParseElement(body);
  return root && root->Kind() == QElement::kKindDictionary;
}

}  // namespace

std::string TrackerAnnounce::Target() const {
  std::string target = path;
  target.append("?info_hash=").append(TTorrent::EscapeInfoHash(infoHash));
  target.append("&peer_id=").append(TTorrent::EscapeInfoHash(peerId));
  target.append("&port=").append(std::to_string(port));
  target.append("&uploaded=").append(std::to_string(uploaded));
  target.append("&downloaded=").append(std::to_string(downloaded));
  target.append("&left=").append(std::to_string(left));
  target.append("&event=").append(EventName(event));
  target.append("&key=5127&compact=1&numwant=200");
  return target;
}

std::string TrackerAnnounce::Request(std::string_view target, std::string_view host, int port) {
  std::string request;
  request.append("GET ").append(target).append(" HTTP/1.0\r\n");
  request.append("User-Agent: BitTorrent/4.1.2\r\nHost: ").append(host);
  if (port != 80) request.append(":").append(std::to_string(port));
  request.append("\r\n");
  request.append("Accept-Encoding: gzip\r\n");
  request.append("Connection: close\r\n\r\n");
  return request;
}

TrackerReply TrackerReply::Read(std::string_view buffered, bool peerClosed) {
  const size_t headerEnd = HttpResponseHeader::FindEnd(buffered);
  if (headerEnd == 0 || headerEnd > kMaxHeaderBytes) {
    if (headerEnd > kMaxHeaderBytes || buffered.size() > kMaxHeaderBytes)
      return Unusable("HTTP header longer than " + std::to_string(kMaxHeaderBytes) + " bytes",
                      buffered.size(), 0);
    if (peerClosed) return Unusable("connection closed before the HTTP header ended", buffered.size(), 0);
    return TrackerReply();
  }

  HttpResponseHeader header;
  header.Parse(buffered.substr(0, headerEnd));
  const int status = header.status;
  std::string_view body = buffered.substr(headerEnd);

  size_t used;
  if (const std::optional<uint64_t> length = ContentLength(header)) {
    if (*length == 0) return Unusable("empty reply", headerEnd, status);
    if (*length > kMaxBodyBytes)
      return Unusable("reply of " + std::to_string(*length) + " bytes is too large", buffered.size(),
                      status);
    if (body.size() < *length) {
      if (peerClosed)
        return Unusable("connection closed after " + std::to_string(body.size()) + " of " +
                            std::to_string(*length) + " body bytes",
                        buffered.size(), status);
      return TrackerReply();
    }
    body = body.substr(0, static_cast<size_t>(*length));
    used = headerEnd + body.size();
  } else {
    if (body.size() > kMaxBodyBytes)
      return Unusable("reply larger than " + std::to_string(kMaxBodyBytes) + " bytes", buffered.size(),
                      status);
    if (!peerClosed && !HoldsWholeDictionary(body)) return TrackerReply();
    if (body.empty()) return Unusable("empty reply", buffered.size(), status);
    used = buffered.size();
  }

  const std::optional<std::string> encoding = header.Value("Content-Encoding");
  if (encoding && !encoding->empty() && *encoding != "identity")
    return Unusable("compressed reply (" + *encoding + ")", used, status);

  TrackerReply reply = ReadBody(body);
  reply.used = used;
  reply.httpStatus = status;
  if (reply.state == State::kUnusable && status != 0 && (status < 200 || status > 299))
    reply.error = "HTTP status " + std::to_string(status) + ", " + reply.error;
  return reply;
}

TrackerReply TrackerReply::ReadBody(std::string_view body) {
  if (body.size() > kMaxBodyBytes)
    return Unusable("reply larger than " + std::to_string(kMaxBodyBytes) + " bytes", body.size(), 0);
  if (body.size() >= 2 && static_cast<uint8_t>(body[0]) == 0x1F && static_cast<uint8_t>(body[1]) == 0x8B)
    return Unusable("compressed reply (gzip)", body.size(), 0);
  const std::unique_ptr<QElement> root = ParseElement(body);
  if (!root) return Unusable("reply is not bencoded", body.size(), 0);
  if (root->Kind() != QElement::kKindDictionary)
    return Unusable("reply is not a bencoded dictionary", body.size(), 0);

  TrackerReply reply;
  reply.state = State::kRead;
  reply.used = body.size();
  if (const QElement* failure = root->FindValue("failure reason", 0);
      failure && failure->Kind() == QElement::kKindText && !HasInteger(failure))
    reply.failureReason = std::string(TextBytes(failure).substr(0, kMaxFailureReason));
  if (const QElement* interval = root->FindValue("interval", 0); HasInteger(interval))
    reply.interval = IntegerValue(interval);

  QElement* peers = root->FindValue("peers", 0);
  if (!IsValid(peers) || HasInteger(peers)) return reply;
  if (peers->Kind() == QElement::kKindText) {
    ReadCompactPeers(TextBytes(peers), reply.peers);
  } else if (peers->Kind() == QElement::kKindList) {
    ReadDictionaryPeers(peers, reply.peers);
  }
  return reply;
}

}  // namespace pf
