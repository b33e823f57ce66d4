#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pf {

// The head of an HTTP answer: status line and header lines.
class HttpResponseHeader {
 public:
  // Where the header ends in buffered bytes: the length of the header with
  // its blank line, or 0 while it is incomplete.
  static size_t FindEnd(std::string_view buffered);
  // Parses the header bytes (up to FindEnd). A first line beginning "HTTP" is
  // the status line; any other first line with a ':' counts as a header line.
  void Parse(std::string_view header);

  int status = 0;
  std::string reason;
  std::string version = "1.0";
  std::vector<std::string> lines;

  // The value of the first line with that name (case ignored, blanks allowed
  // before the ':'), leading blanks removed.
  std::optional<std::string> Value(std::string_view name) const;
  // Whether the body comes with "Transfer-Encoding: chunked".
  bool Chunked() const;
  // The resource size: after the last '/' of Content-Range, else
  // Content-Length (which a chunked body overrides); nullopt when the answer
  // has neither.
  std::optional<int64_t> ResourceSize() const;
  // Where in the resource the body begins: the first number of a 206's
  // Content-Range ("bytes first-last/size"), 0 for any other 2xx answer;
  // nullopt for a 206 without a readable range.
  std::optional<int64_t> BodyStart() const;
  // The file name of Content-Disposition's filename=, quotes removed;
  // nullopt without that header.
  std::optional<std::string> FileName() const;
};

// The GET request for a range of a resource, byte for byte as the mirrors
// expect it. No Range line when rangeStart is 0; no end when it is not past
// the start.
std::string BuildHttpRequest(std::string_view host, std::string_view path, std::string_view referer,
                             std::string_view explicitReferer, std::string_view cookie,
                             int64_t rangeStart, int64_t rangeEnd);

// A redirect target made absolute: a Location without a scheme of its own is
// taken relative to the scheme ("http" or "https"), host and port it came
// from; the scheme's default port is left out.
std::string AbsoluteLocation(std::string_view location, std::string_view scheme, std::string_view host, int port);

}  // namespace pf
