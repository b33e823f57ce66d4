#pragma once
// Why a source was given up on, held back or read another way: each cause
// is told to the user once per source, with the text made here.
#include <cstdint>
#include <string>

#include "engine/base/EngineTypes.h"

namespace pf {

enum class SourceProblem : uint8_t {
  kUnusableAddress,    // a scheme or form this engine cannot fetch from
  kHostUnresolved,
  kUnreachable,        // detail: the system's reason
  kRefused,            // a 4xx answer; detail: status and reason
  kServerError,        // a 5xx answer; detail: status and reason
  kNotHttp,            // the answer is not HTTP
  kRedirectLoop,
  kRedirectUnusable,   // detail: the target
  kWrongSize,          // detail: the server's size and the torrent's
  kIgnoresRanges,
  kBrokenBody,         // a chunked body that does not follow the rules
  kTlsRefused,         // detail: what the TLS layer said
  kLoginRefused,       // FTP: the user or password was refused; detail: the answer
  kFileMissing,        // FTP: no such file or folder; detail: the answer
  kNotFtp,             // the answer is not FTP
  kDataUnreachable,    // FTP: the data connection did not open; detail: the system's reason
  kDataEnded,          // FTP: the file's data ended before the part asked for
};

// "answered 404 Not Found; not asked again", ...
std::string SourceProblemText(SourceProblem problem, const std::string& detail);

// What a task tells its caller about its sources, in the order it happened.
struct SourceNotice {
  SourceNoticeKind kind = kNoticeSource;
  std::string text;
};

}  // namespace pf
