#include "engine/wire/HttpResponseHeader.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "engine/net/UrlEscape.h"

namespace pf {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::optional<int64_t> Number(std::string_view text) {
  text = TrimBlanks(text);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front()))) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    if (value > (INT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

size_t HttpResponseHeader::FindEnd(std::string_view buffered) {
  if (buffered.size() <= 2) return 0;
  for (size_t i = 0; i + 1 < buffered.size(); ++i) {
    if (buffered[i] != '\n') continue;
    if (buffered[i + 1] == '\n') return i + 2;
    if (i + 2 < buffered.size() && buffered[i + 1] == '\r' && buffered[i + 2] == '\n') return i + 3;
  }
  return 0;
}

void HttpResponseHeader::Parse(std::string_view header) {
  status = 0;
  reason.clear();
  version = "1.0";
  lines.clear();
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find('\n', start);
    if (end == std::string_view::npos) end = header.size();
    std::string_view line = header.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    start = end + 1;
  }
  if (lines.empty() || !StartsWithNoCase(lines.front(), "HTTP")) return;
  std::string_view first = lines.front();
  if (StartsWithNoCase(first, "HTTP/")) {
    first.remove_prefix(5);
    size_t v = 0;
    while (v < first.size() && static_cast<unsigned char>(first[v]) > ' ') ++v;
    version = std::string(first.substr(0, v));
    first.remove_prefix(v);
  } else {
    first.remove_prefix(4);
  }
  first = TrimBlanks(first);
  size_t digits = 0;
  while (digits < first.size() && std::isdigit(static_cast<unsigned char>(first[digits]))) ++digits;
  status = digits > 0 && digits < 6 ? std::atoi(std::string(first.substr(0, digits)).c_str()) : 0;
  reason = std::string(TrimBlanks(first.substr(digits)));
  lines.erase(lines.begin());
}

std::optional<std::string> HttpResponseHeader::Value(std::string_view name) const {
  for (const std::string& line : lines) {
    if (!StartsWithNoCase(line, name)) continue;
    std::string_view rest = std::string_view(line).substr(name.size());
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (rest.empty() || rest.front() != ':') continue;
    rest.remove_prefix(1);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    return std::string(rest);
  }
  return std::nullopt;
}

std::optional<int64_t> HttpResponseHeader::ResourceSize() const {
  if (auto range = Value("Content-Range")) {
    const size_t slash = range->rfind('/');
    if (slash != std::string::npos) return Number(std::string_view(*range).substr(slash + 1));
  }
  if (Chunked()) return std::nullopt;
  if (auto length = Value("Content-Length")) return Number(*length);
  return std::nullopt;
}

bool HttpResponseHeader::Chunked() const {
  const auto coding = Value("Transfer-Encoding");
  if (!coding) return false;
  // The last coding applied is the one the message is framed with.
  std::string_view last = *coding;
  if (const size_t comma = last.rfind(','); comma != std::string_view::npos) last.remove_prefix(comma + 1);
  last = TrimBlanks(last);
  return last.size() == 7 && StartsWithNoCase(last, "chunked");
}

std::optional<int64_t> HttpResponseHeader::BodyStart() const {
  if (status != 206) return 0;
  const auto range = Value("Content-Range");
  if (!range) return std::nullopt;
  std::string_view text = TrimBlanks(*range);
  if (text.size() >= 5 && std::equal(text.begin(), text.begin() + 5, "bytes", [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
      }))
    text.remove_prefix(5);
  return Number(text);
}

std::optional<std::string> HttpResponseHeader::FileName() const {
  const auto disposition = Value("Content-Disposition");
  if (!disposition) return std::nullopt;
  const size_t at = disposition->find("filename=");
  if (at == std::string::npos) return std::string();
  std::string_view name = std::string_view(*disposition).substr(at + 9);
  if (!name.empty() && name.front() == '"') {
    name.remove_prefix(1);
    const size_t quote = name.find('"');
    if (quote != std::string_view::npos) name = name.substr(0, quote);
  }
  const size_t semicolon = name.find(';');
  if (semicolon != std::string_view::npos) name = name.substr(0, semicolon);
  return std::string(name);
}

std::string BuildHttpRequest(std::string_view host, std::string_view path, std::string_view referer,
                             std::string_view explicitReferer, std::string_view cookie,
                             int64_t rangeStart, int64_t rangeEnd) {
  std::string request;
  // The path arrives decoded: encoded once here, whatever form the source
  // address had ("a b", "a%20b"), so that a server sees what the name is.
  request.append("GET ").append(EscapeRequestTarget(path)).append(" HTTP/1.1\r\n");
  request.append("Host:").append(host).append("\r\n");
  request.append("Accept:*/*\r\n");
  if (!explicitReferer.empty())
    request.append("Referer:").append(explicitReferer).append("\r\n");
  else
    request.append("Referer: ").append(referer).append("\r\n");
  request.append("User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Pelicanfetch/1.0.3\r\n");
  request.append("Connection:Keep-Alive\r\n");
  if (!cookie.empty()) request.append("Set Cookie:0").append(cookie).append("\r\n");
  if (rangeStart > 0) {
    request.append("Range: bytes=").append(std::to_string(rangeStart)).append("-");
    if (rangeEnd > rangeStart) request.append(std::to_string(rangeEnd));
    request.append("\r\n");
  }
  request.append("Pragma: no-cache\r\n");
  request.append("Cache-Control: no-cache\r\n\r\n");
  return request;
}

namespace {

// Whether the text begins with a URI scheme and "://" (any scheme: one this
// engine cannot fetch from is still an absolute address, not a path).
bool HasScheme(std::string_view text) {
  const size_t colon = text.find("://");
  if (colon == std::string_view::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(text[0])))
    return false;
  return std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
  });
}

}  // namespace

std::string AbsoluteLocation(std::string_view location, std::string_view scheme, std::string_view host, int port) {
  if (HasScheme(location)) return std::string(location);
  std::string target(scheme);
  target.append("://").append(host);
  if (port != (scheme == "https" ? 443 : 80)) target.append(":").append(std::to_string(port));
  if (location.empty() || location.front() != '/') target.append("/");
  target.append(location);
  return target;
}

}  // namespace pf
