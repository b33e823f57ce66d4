#pragma once
// What an FTP server says on its control connection, read from the bytes
// received so far: one reply at a time, single-line ("213 1024") or
// multi-line ("220-Welcome" ... "220 Ready"), with the line ends servers use
// (CRLF, or a bare LF). Also the numbers some replies carry.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pf {

struct FtpReply {
  int code = 0;      // 100-599
  std::string text;  // the first line after its code and separator
};

class FtpReplyScan {
 public:
  enum class State { kIncomplete, kComplete, kMalformed };
  // A reply that has not ended by then is no FTP server talking.
  static constexpr size_t kMaxReplyBytes = 65536;

  // Reads the first reply at the start of `buffered`. Bytes after it (a
  // second reply that came in the same read) are left for the next call.
  static FtpReplyScan Read(std::string_view buffered);

  State state = State::kIncomplete;
  FtpReply reply;       // when complete
  size_t length = 0;    // bytes the reply took, line end included
};

// The data address of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)"
// reply; the parentheses may be missing (the numbers then start at the first
// digit). Six fields of 0-255 and a port other than 0, or nothing.
struct FtpPassive {
  uint32_t ip = 0;  // network order
  uint16_t port = 0;
};
std::optional<FtpPassive> ParsePassiveReply(std::string_view text);

// The size in a "213" reply: decimal, or hex after "0x"; nothing for text
// that is no number, a negative one or one beyond 64 bits.
std::optional<int64_t> ParseSizeReply(std::string_view text);

// "VERB argument\r\n"; nothing when the argument holds a line break or a 0
// byte, which would end the command early and start another.
std::optional<std::string> FtpCommand(std::string_view verb, std::string_view argument = {});

// Where a file of an ftp:// address is: the folder to change to, the name
// in it and the whole path, decoded from the address's escapes. Nothing for
// an address that names no file or whose decoded path holds a line break.
struct FtpPath {
  std::string directory;  // "/" for a file in the root
  std::string fileName;
  std::string path;
};
std::optional<FtpPath> SplitFtpPath(std::string_view escapedPath);

}  // namespace pf
