#include "engine/content/QIntegerElement.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>

namespace pf {
namespace {

constexpr int kMaxLengthDigits = 12;
constexpr int kMaxIntegerDigits = 32;

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Bytes between the digits and the ':' (or 'e') the reader steps over.
bool IsSkipped(unsigned char c) { return c >= 0x01 && c <= 0x39; }

// The integer between "i" and "e": blanks, a sign, then digits. Values past
// the 64-bit range saturate rather than wrap.
int64_t ReadInteger(const unsigned char* p, int length) {
  int i = 0;
  while (i < length && (p[i] == ' ' || p[i] == '\t')) ++i;
  bool negative = false;
  if (i < length && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
  const uint64_t limit = negative ? uint64_t{1} << 63 : uint64_t{INT64_MAX};
  uint64_t value = 0;
  for (int digits = 0; i < length && digits < kMaxIntegerDigits && IsDigit(p[i]); ++i, ++digits) {
    const unsigned digit = p[i] - '0';
    value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
  }
  if (!negative) return static_cast<int64_t>(value);
  return value == uint64_t{1} << 63 ? INT64_MIN : -static_cast<int64_t>(value);
}

int64_t DecimalWidth(int64_t value) {
  char digits[24];
  return std::to_chars(digits, digits + sizeof digits, value).ptr - digits;
}

}  // namespace

int QIntegerElement::Parse(const char* bytes, int length) {
  Reset();
  if (!bytes) return 0;
  if (length < 0) length = static_cast<int>(std::min(std::strlen(bytes), size_t{INT_MAX}));
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  if (length <= 0 || !IsDigit(p[0])) return 0;

  int64_t textLength = 0;
  for (int i = 0; i < length && i < kMaxLengthDigits && IsDigit(p[i]); ++i)
    textLength = textLength * 10 + (p[i] - '0');

  int colon = 1;
  while (colon < length && IsSkipped(p[colon])) ++colon;
  if (colon >= length || p[colon] != ':') return -1;
  const int start = colon + 1;
  if (textLength > length - start) return -3;

  int consumed = start + static_cast<int>(textLength);
  if (consumed < length && (p[consumed] == 'i' || p[consumed] == 'I')) {
    int close = consumed + 1;
    while (close < length && IsSkipped(p[close])) ++close;
    if (close >= length || p[close] != 'e') return -1;
    integer_ = ReadInteger(p + consumed + 1, close - consumed - 1);
    hasInteger_ = true;
    consumed = close + 1;
  }
  SetText(bytes + start, static_cast<int>(textLength));
  validKind_ = kind_;
  source_ = bytes;
  encodedSize_ = consumed;
  return consumed;
}

std::string QIntegerElement::Text(std::string_view) const { return std::string(TextBytes(this)); }

bool QIntegerElement::Assign(const char* bytes, int length, int64_t integer, bool hasInteger) {
  if (!bytes) return false;
  if (length < 0) length = static_cast<int>(std::min(std::strlen(bytes), size_t{INT_MAX}));
  const bool carriesInteger = hasInteger || integer != 0;
  if (length == 0 && carriesInteger) return false;
  const int64_t size = CanonicalSize(length, carriesInteger, integer);
  if (size > INT_MAX) return false;
  ClearFields();
  SetText(bytes, length);
  integer_ = integer;
  hasInteger_ = hasInteger;
  validKind_ = kind_;
  encodedSize_ = static_cast<int>(size);
  return true;
}

int64_t QIntegerElement::CanonicalSize(int64_t textLength, bool carriesInteger, int64_t integer) {
  int64_t size = DecimalWidth(textLength) + 1 + textLength;
  if (carriesInteger) size += 2 + DecimalWidth(integer);
  return size;
}

}  // namespace pf
