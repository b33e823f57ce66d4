#include "engine/net/ProxyProtocol.h"

#include <cctype>
#include <cstring>
#include <string_view>

#include "engine/content/Base64.h"

namespace pf {
namespace {

void AppendPort(std::string* out, uint16_t port) {
  out->push_back(static_cast<char>(port >> 8));
  out->push_back(static_cast<char>(port & 0xFF));
}

void AppendAddress(std::string* out, uint32_t ip) {
  char bytes[4];
  std::memcpy(bytes, &ip, 4);  // already in network order
  out->append(bytes, 4);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

}  // namespace

std::string BuildHttpProxyRequest(const QProxySettings& proxy, bool masked) {
  std::string request = proxy.method.empty() ? std::string("CONNECT") : proxy.method;
  request += " ";
  request += proxy.target;
  if (!proxy.user.empty()) {
    request += "Proxy-Authorization: Basic ";
    request += masked ? std::string("******") : Base64::encode(proxy.user + ":" + proxy.password);
    request += "\r\n";
  }
  if (!proxy.domain.empty()) request += "Domain: " + proxy.domain + "\r\n";
  request += "\r\n";
  return request;
}

std::string BuildSocks4Request(uint32_t ip, uint16_t port, const std::string& hostName) {
  std::string request{'\x04', '\x01'};
  AppendPort(&request, port);
  if (hostName.empty()) {
    AppendAddress(&request, ip);
    request.push_back('\0');
  } else {
    request.append({'\0', '\0', '\0', '\x01', '\0'});
    request += hostName.substr(0, 255);
    request.push_back('\0');
  }
  return request;
}

std::string BuildSocks5Greeting(bool withCredentials) {
  return std::string{'\x05', '\x01', withCredentials ? '\x02' : '\0'};
}

std::string BuildSocks5Login(const std::string& user, const std::string& password) {
  const std::string u = user.substr(0, 255), p = password.substr(0, 255);
  std::string request{'\x01'};
  request.push_back(static_cast<char>(u.size()));
  request += u;
  request.push_back(static_cast<char>(p.size()));
  request += p;
  return request;
}

std::string BuildSocks5Connect(uint32_t ip, uint16_t port, const std::string& hostName) {
  std::string request{'\x05', '\x01', '\0'};
  if (hostName.empty()) {
    request.push_back('\x01');
    AppendAddress(&request, ip);
  } else {
    const std::string name = hostName.substr(0, 255);
    request.push_back('\x03');
    request.push_back(static_cast<char>(name.size()));
    request += name;
  }
  AppendPort(&request, port);
  return request;
}

int ParseHttpProxyReply(const uint8_t* data, int length) {
  if (!data || length <= 0) return -2;
  const std::string_view text(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
  size_t headerLength;
  const size_t crlf = text.find("\r\n\r\n"), lf = text.find("\n\n");
  if (crlf != std::string_view::npos && (lf == std::string_view::npos || crlf + 2 <= lf)) {
    headerLength = crlf + 4;
  } else if (lf != std::string_view::npos) {
    headerLength = lf + 2;
  } else {
    return length > kMaxProxyReply ? -1 : -2;
  }
  if (headerLength > static_cast<size_t>(kMaxProxyReply)) return -1;
  const std::string_view header = text.substr(0, headerLength);

  // Status line: version, status, reason; words longer than 50 bytes are malformed.
  const std::string_view line = header.substr(0, header.find('\n'));
  std::string_view words[2];
  size_t pos = 0;
  for (auto& word : words) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    const size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t' && line[pos] != '\r') ++pos;
    word = line.substr(start, pos - start);
    if (word.size() > 50) return -1;
  }
  if (!StartsWithNoCase(words[0], "HTTP/") || words[1].size() < 2 || words[1].substr(0, 2) != "20") return -1;

  int64_t bodyLength = 0;
  for (size_t at = header.find('\n'); at != std::string_view::npos; at = header.find('\n', at + 1)) {
    const std::string_view rest = header.substr(at + 1);
    if (!StartsWithNoCase(rest, "Content-Length:")) continue;
    size_t i = 15;
    while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t')) ++i;
    while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9' && bodyLength <= kMaxProxyReply)
      bodyLength = bodyLength * 10 + (rest[i++] - '0');
    break;
  }
  const int64_t total = static_cast<int64_t>(headerLength) + bodyLength;
  if (total > kMaxProxyReply) return -1;
  return total > length ? -2 : static_cast<int>(total);
}

int ParseSocks4Reply(const uint8_t* data, int length) {
  if (!data || length < 8) return -2;
  return data[0] == 0 && data[1] == 90 ? 8 : -1;
}

int ParseSocks5Reply(const uint8_t* data, int length) {
  if (!data || length < 2) return -2;
  if (data[1] != 0) return -1;
  if (length < 5) return -2;
  int n;
  if (data[3] == 3) n = 7 + data[4];
  else if (data[3] == 1) n = 10;
  else return -1;
  return length < n ? -2 : n;
}

}  // namespace pf
