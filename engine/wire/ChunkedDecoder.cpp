#include "engine/wire/ChunkedDecoder.h"

#include <algorithm>

namespace pf {
namespace {

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

size_t ChunkedDecoder::TakeLine(std::span<const uint8_t> input, std::span<const uint8_t>* line) {
  const auto end = std::find(input.begin(), input.end(), uint8_t{'\n'});
  if (end == input.end()) {
    if (input.size() > kMaxLine) state_ = State::kBroken;
    return 0;
  }
  size_t length = static_cast<size_t>(end - input.begin());
  const size_t used = length + 1;
  if (length > 0 && input[length - 1] == '\r') --length;
  if (length > kMaxLine) state_ = State::kBroken;
  *line = input.first(length);
  return used;
}

bool ChunkedDecoder::ReadSize(std::span<const uint8_t> line) {
  int64_t size = 0;
  size_t digits = 0;
  for (; digits < line.size(); ++digits) {
    const int value = HexValue(line[digits]);
    if (value < 0) break;
    if (size > (INT64_MAX >> 4)) return false;
    size = (size << 4) | value;
  }
  if (digits == 0) return false;
  // Blanks and extensions may follow the digits, nothing else.
  if (digits < line.size() && line[digits] != ';' && line[digits] != ' ' && line[digits] != '\t') return false;
  left_ = size;
  return true;
}

size_t ChunkedDecoder::Decode(std::span<const uint8_t> input, QSocketBuffer& out) {
  size_t used = 0;
  while (state_ == State::kReading && used < input.size()) {
    const std::span<const uint8_t> rest = input.subspan(used);
    if (step_ == Step::kData) {
      const auto take = static_cast<size_t>(std::min<int64_t>(left_, static_cast<int64_t>(rest.size())));
      if (!out.Append(rest.data(), static_cast<int>(take))) {
        state_ = State::kBroken;
        break;
      }
      used += take;
      left_ -= static_cast<int64_t>(take);
      if (left_ == 0) step_ = Step::kDataEnd;
      continue;
    }
    std::span<const uint8_t> line;
    const size_t taken = TakeLine(rest, &line);
    if (taken == 0 || state_ == State::kBroken) break;
    used += taken;
    switch (step_) {
      case Step::kSize:
        if (!ReadSize(line)) state_ = State::kBroken;
        else step_ = left_ > 0 ? Step::kData : Step::kTrailer;
        break;
      case Step::kDataEnd:
        // The data ends with a bare line end.
        if (!line.empty()) state_ = State::kBroken;
        else step_ = Step::kSize;
        break;
      case Step::kTrailer:
        if (line.empty()) state_ = State::kDone;
        break;
      case Step::kData:
        break;
    }
  }
  return used;
}

}  // namespace pf
