#include "engine/wire/BtPreamble.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/wire/HttpResponseHeader.h"

namespace pf {
namespace {

constexpr std::string_view kPrefixes[] = {"HTTP", "POST", "GET"};

std::string Dotted(uint32_t ip) {
  uint8_t b[4];
  std::memcpy(b, &ip, 4);
  return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
         std::to_string(b[3]);
}

}  // namespace

bool BtSendsRequestPreamble(bool preambleSwitch, bool overUdp, int failures) {
  return !overUdp && (preambleSwitch || failures % 3 == 1);
}

std::string BuildBtRequestPreamble(uint32_t ip, uint16_t port, int failures) {
  std::string text = "GET / HTTP/1.0\r\n";
  if (failures % 2 == 0) text += "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";
  text += "Host: " + Dotted(ip) + ':' + std::to_string(port % 6881) + "\r\n\r\n";
  return text;
}

std::string BuildBtReplyPreamble(int64_t engineSecond) {
  const bool odd = engineSecond % 2 != 0;
  std::string text = "HTTP/1.0 200 OK\r\nConnection: ";
  text += odd ? "Close\r\n" : "Keep-Alive\r\n";
  if (!odd) text += "Content-Encoding: none\r\n";
  text += "\r\n";
  return text;
}

BtPreambleReader::Step BtPreambleReader::Read(std::span<const uint8_t> buffered) {
  const std::string_view bytes(reinterpret_cast<const char*>(buffered.data()), buffered.size());
  size_t consumed = 0;
  while (next_ < std::size(kPrefixes)) {
    const std::string_view rest = bytes.substr(consumed);
    if (rest.empty()) return {Status::kNeedMore, consumed};
    const std::string_view prefix = kPrefixes[next_];
    if (rest.front() != prefix.front()) {
      ++next_;
      continue;
    }
    // Its first letter commits the stream to this block.
    const size_t compared = std::min(rest.size(), prefix.size());
    if (rest.compare(0, compared, prefix, 0, compared) != 0) return {Status::kMalformed, consumed};
    if (rest.size() < prefix.size()) return {Status::kNeedMore, consumed};
    const size_t end = HttpResponseHeader::FindEnd(rest.substr(0, kMaxBtPreamble));
    if (end == 0) {
      return {rest.size() >= kMaxBtPreamble ? Status::kMalformed : Status::kNeedMore, consumed};
    }
    consumed += end;
    seen_ = true;
    ++next_;
  }
  return {Status::kDone, consumed};
}

}  // namespace pf
