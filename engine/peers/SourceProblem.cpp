#include "engine/peers/SourceProblem.h"

namespace pf {

std::string SourceProblemText(SourceProblem problem, const std::string& detail) {
  switch (problem) {
    case SourceProblem::kUnusableAddress: return "not an address this program can fetch from; not used";
    case SourceProblem::kHostUnresolved: return "its host name did not resolve; tried again later";
    case SourceProblem::kUnreachable: return "cannot be reached (" + detail + "); tried again later";
    case SourceProblem::kRefused: return "answered " + detail + "; not asked again";
    case SourceProblem::kServerError: return "answered " + detail + "; asked again later";
    case SourceProblem::kNotHttp: return "does not answer in HTTP; asked again later";
    case SourceProblem::kRedirectLoop: return "redirects without end; given up";
    case SourceProblem::kRedirectUnusable: return "redirected to " + detail + ", which cannot be used; given up";
    case SourceProblem::kWrongSize: return "serves " + detail + "; not used";
    case SourceProblem::kIgnoresRanges:
      return "ignores ranges: its whole body is read and the missing pieces taken as they pass";
    case SourceProblem::kBrokenBody: return "sent a broken chunked body; asked again later";
    case SourceProblem::kTlsRefused: return "TLS: " + detail + "; not used";
    case SourceProblem::kLoginRefused: return "refused the login (" + detail + "); not asked again";
    case SourceProblem::kFileMissing: return "has no such file (" + detail + "); not asked again";
    case SourceProblem::kNotFtp: return "does not answer in FTP; asked again later";
    case SourceProblem::kDataUnreachable:
      return "its data connection cannot be opened (" + detail + "); asked again later";
    case SourceProblem::kDataEnded: return "ended the file's data early; asked again later";
  }
  return detail;
}

}  // namespace pf
