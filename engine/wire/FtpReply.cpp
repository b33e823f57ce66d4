#include "engine/wire/FtpReply.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "engine/net/UrlEscape.h"

namespace pf {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The code at the start of a line: three digits, the first 1-5; 0 when none.
int LineCode(std::string_view line) {
  if (line.size() < 3 || line[0] < '1' || line[0] > '5' || !IsDigit(line[1]) || !IsDigit(line[2])) return 0;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// The line at `from` without its end; `next` is where the following line
// starts. False while the line has not ended.
bool TakeLine(std::string_view text, size_t from, std::string_view* line, size_t* next) {
  const size_t end = text.find('\n', from);
  if (end == std::string_view::npos) return false;
  *line = text.substr(from, end - from);
  if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
  *next = end + 1;
  return true;
}

int HexDigit(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether every escape decodes to a byte other than 0: the decoder stops at
// a 0 byte or a cut escape, which would name another (shorter) path.
bool DecodesWhole(std::string_view escaped) {
  for (size_t at = escaped.find('%'); at != std::string_view::npos; at = escaped.find('%', at + 3)) {
    if (escaped.size() - at < 3) return false;
    const int high = HexDigit(escaped[at + 1]), low = HexDigit(escaped[at + 2]);
    if (high < 0 || low < 0 || high * 16 + low == 0) return false;
  }
  return true;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

FtpReplyScan FtpReplyScan::Read(std::string_view buffered) {
  FtpReplyScan scan;
  const std::string_view window = buffered.substr(0, std::min(buffered.size(), kMaxReplyBytes));
  std::string_view first;
  size_t next = 0;
  if (!TakeLine(window, 0, &first, &next)) {
    if (buffered.size() >= kMaxReplyBytes) scan.state = State::kMalformed;
    return scan;
  }
  const int code = LineCode(first);
  const char separator = first.size() > 3 ? first[3] : ' ';
  if (code == 0 || (separator != ' ' && separator != '-')) {
    scan.state = State::kMalformed;
    return scan;
  }
  // A multi-line reply ends with the line that starts with the same code
  // and a blank (or the code alone); lines between may say anything.
  if (separator == '-') {
    for (;;) {
      std::string_view line;
      size_t after = 0;
      if (!TakeLine(window, next, &line, &after)) {
        if (buffered.size() >= kMaxReplyBytes) scan.state = State::kMalformed;
        return scan;
      }
      next = after;
      if (LineCode(line) == code && (line.size() == 3 || line[3] == ' ')) break;
    }
  }
  scan.state = State::kComplete;
  scan.reply.code = code;
  scan.reply.text = std::string(first.size() > 4 ? first.substr(4) : std::string_view());
  scan.length = next;
  return scan;
}

std::optional<FtpPassive> ParsePassiveReply(std::string_view text) {
  std::string_view fields;
  const size_t open = text.find('(');
  if (open != std::string_view::npos) {
    const size_t close = text.find(')', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    fields = text.substr(open + 1, close - open - 1);
  } else {
    const auto digit = std::find_if(text.begin(), text.end(), IsDigit);
    if (digit == text.end()) return std::nullopt;
    fields = text.substr(static_cast<size_t>(digit - text.begin()));
    // Up to the end of the numbers: a trailing "." or words end them.
    const size_t end = fields.find_first_not_of("0123456789, ");
    fields = fields.substr(0, end);
  }
  std::vector<int> numbers;
  size_t at = 0;
  while (at < fields.size()) {
    if (fields[at] == ',' || fields[at] == ' ') {
      ++at;
      continue;
    }
    int value = 0;
    size_t digits = 0;
    while (at < fields.size() && IsDigit(fields[at])) {
      if (++digits > 3) return std::nullopt;
      value = value * 10 + (fields[at++] - '0');
    }
    if (digits == 0 || value > 255) return std::nullopt;
    numbers.push_back(value);
    if (numbers.size() > 6) return std::nullopt;
  }
  if (numbers.size() != 6) return std::nullopt;
  FtpPassive passive;
  const uint8_t bytes[4] = {static_cast<uint8_t>(numbers[0]), static_cast<uint8_t>(numbers[1]),
                            static_cast<uint8_t>(numbers[2]), static_cast<uint8_t>(numbers[3])};
  static_assert(sizeof passive.ip == sizeof bytes);
  std::copy(bytes, bytes + 4, reinterpret_cast<uint8_t*>(&passive.ip));
  passive.port = static_cast<uint16_t>(numbers[4] * 256 + numbers[5]);
  if (passive.port == 0) return std::nullopt;
  return passive;
}

std::optional<int64_t> ParseSizeReply(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint64_t value = 0;
  size_t digits = 0;
  for (char c : text) {
    int digit;
    if (IsDigit(c)) digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else break;
    if (value > (static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - static_cast<uint64_t>(digit)) /
                    static_cast<uint64_t>(base))
      return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  // "213 1024 bytes" is fine; "213 10x24" is not a size.
  if (digits < text.size() && text[digits] != ' ' && text[digits] != '\r') return std::nullopt;
  return static_cast<int64_t>(value);
}

std::optional<std::string> FtpCommand(std::string_view verb, std::string_view argument) {
  if (HasLineBreak(verb) || HasLineBreak(argument)) return std::nullopt;
  std::string line(verb);
  if (!argument.empty()) {
    line += ' ';
    line += argument;
  }
  line += "\r\n";
  return line;
}

std::optional<FtpPath> SplitFtpPath(std::string_view escapedPath) {
  if (!DecodesWhole(escapedPath)) return std::nullopt;
  FtpPath result;
  result.path = UnescapeUrl(escapedPath, escapedPath.size() + 1);
  if (result.path.empty() || result.path.front() != '/' || HasLineBreak(result.path)) return std::nullopt;
  const size_t last = result.path.rfind('/');
  result.fileName = result.path.substr(last + 1);
  if (result.fileName.empty()) return std::nullopt;
  result.directory = last == 0 ? std::string("/") : result.path.substr(0, last);
  return result;
}

}  // namespace pf
