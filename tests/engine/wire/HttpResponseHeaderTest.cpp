#include <gtest/gtest.h>

#include "engine/wire/HttpResponseHeader.h"

namespace pf {
namespace {

TEST(HttpResponseHeader, FindsTheEndAndParsesStatusAndValues) {
  const std::string answer =
      "HTTP/1.1 206 Partial Content\r\nServer: nginx\r\nContent-Range : bytes 100-199/1048576\r\n"
      "content-length: 100\r\nContent-Disposition: attachment; filename=\"data 1.pak\"; size=3\r\n\r\nBODY";
  const size_t end = HttpResponseHeader::FindEnd(answer);
  ASSERT_EQ(answer.substr(end), "BODY");
  EXPECT_EQ(HttpResponseHeader::FindEnd(answer.substr(0, end - 1)), 0u) << "incomplete";
  EXPECT_EQ(HttpResponseHeader::FindEnd("HTTP/1.0 200 OK\n\nrest"), 17u) << "bare line feeds end it too";

  HttpResponseHeader header;
  header.Parse(std::string_view(answer).substr(0, end));
  EXPECT_EQ(header.status, 206);
  EXPECT_EQ(header.version, "1.1");
  EXPECT_EQ(header.reason, "Partial Content");
  EXPECT_EQ(header.lines.size(), 4u) << "the status line is not a header line";
  EXPECT_EQ(header.Value("CONTENT-LENGTH"), "100");
  EXPECT_EQ(header.ResourceSize(), 1048576) << "Content-Range wins over Content-Length";
  EXPECT_EQ(header.FileName(), "data 1.pak");
  EXPECT_FALSE(header.Value("Location"));
}

TEST(HttpResponseHeader, SizesAndNamesFromWhatTheServerSent) {
  struct Case {
    const char* header;
    std::optional<int64_t> size;
    std::optional<std::string> name;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 12345\r\n\r\n", 12345, std::nullopt},
      {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", std::nullopt, std::nullopt},
      {"HTTP/1.1 200 OK\r\nContent-Length: banana\r\n\r\n", std::nullopt, std::nullopt},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", std::nullopt, std::nullopt},
      {"HTTP/1.1 200 OK\r\nContent-Disposition: inline; filename=setup.exe\r\n\r\n", std::nullopt, "setup.exe"},
      {"HTTP/1.1 200 OK\r\nContent-Disposition: inline\r\n\r\n", std::nullopt, ""},
      {"Server: odd\r\nContent-Length: 7\r\n\r\n", 7, std::nullopt},
  };
  for (const auto& c : cases) {
    HttpResponseHeader header;
    header.Parse(c.header);
    EXPECT_EQ(header.ResourceSize(), c.size) << c.header;
    EXPECT_EQ(header.FileName(), c.name) << c.header;
  }
}

TEST(HttpResponseHeader, BodyStartFollowsTheAnswerNotTheRequest) {
  struct Case {
    const char* header;
    std::optional<int64_t> start;
  } cases[] = {
      {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 4096-8191/8192\r\n\r\n", 4096},
      {"HTTP/1.1 206 Partial\r\nContent-Range: BYTES  0-1/2\r\n\r\n", 0},
      // A server that ignores the range sends the resource from its start.
      {"HTTP/1.1 200 OK\r\nContent-Length: 8192\r\n\r\n", 0},
      {"HTTP/1.1 206 Partial\r\nContent-Length: 10\r\n\r\n", std::nullopt},
      {"HTTP/1.1 206 Partial\r\nContent-Range: bytes */8192\r\n\r\n", std::nullopt},
      {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 99999999999999999999-1/2\r\n\r\n", std::nullopt},
  };
  for (const auto& c : cases) {
    HttpResponseHeader header;
    header.Parse(c.header);
    EXPECT_EQ(header.BodyStart(), c.start) << c.header;
  }
}

TEST(HttpRequest, BytesOfTheGet) {
  EXPECT_EQ(BuildHttpRequest("mirror.local", "/pkg/data1.pak", "http://mirror.local/pkg", "", "", 0, 0),
            "GET /pkg/data1.pak HTTP/1.1\r\n"
            "Host:mirror.local\r\n"
            "Accept:*/*\r\n"
            "Referer: http://mirror.local/pkg\r\n"
            "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Pelicanfetch/1.0.3\r\n"
            "Connection:Keep-Alive\r\n"
            "Pragma: no-cache\r\n"
            "Cache-Control: no-cache\r\n\r\n");
  const std::string resumed = BuildHttpRequest("h", "/f", "r", "", "", 1638400, 0);
  EXPECT_NE(resumed.find("\r\nRange: bytes=1638400-\r\nPragma"), std::string::npos);
  const std::string both = BuildHttpRequest("h", "/f", "r", "http://x/", "abc", 10, 20);
  EXPECT_NE(both.find("\r\nReferer:http://x/\r\n"), std::string::npos);
  EXPECT_NE(both.find("\r\nSet Cookie:0abc\r\n"), std::string::npos);
  EXPECT_NE(both.find("\r\nRange: bytes=10-20\r\n"), std::string::npos);
}

TEST(HttpRequest, RedirectTargetsAreMadeAbsolute) {
  struct Case {
    const char* location;
    const char* scheme;
    int port;
    const char* target;
  } cases[] = {
      {"/new/path.pak", "http", 8080, "http://mirror.local:8080/new/path.pak"},
      {"new.pak", "http", 80, "http://mirror.local/new.pak"},
      {"HTTP://other/x", "http", 8080, "HTTP://other/x"},
      {"ftp://files/x", "http", 80, "ftp://files/x"},
      {"gopher://other/x", "http", 80, "gopher://other/x"},    // another scheme is no path
      {"https://other/x", "http", 80, "https://other/x"},
      {"a/b://c", "http", 80, "http://mirror.local/a/b://c"},  // not a scheme: a path
      // From an https source a path stays on https, with its default port.
      {"/new.pak", "https", 443, "https://mirror.local/new.pak"},
      {"/new.pak", "https", 8443, "https://mirror.local:8443/new.pak"},
      {"/new.pak", "https", 80, "https://mirror.local:80/new.pak"},
  };
  for (const auto& c : cases) EXPECT_EQ(AbsoluteLocation(c.location, c.scheme, "mirror.local", c.port), c.target);
}

}  // namespace
}  // namespace pf
