#include "platform/CodePage.h"

#include <iconv.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace pf::platform {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

std::string IconvName(int codePage) {
  switch (codePage) {
    case kLocalCodePage:
    case kUtf8CodePage:
      return "UTF-8";
    case 54936:
      return "GB18030";
    default:
      return "CP" + std::to_string(codePage);
  }
}

const char* Utf32Name() {
  return std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE";
}

// Owns one iconv conversion descriptor.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Decodes to code points; invalid or truncated sequences become U+FFFD and
// decoding resumes one byte later, as MultiByteToWideChar does.
std::optional<std::u32string> Decode(std::string_view text, int codePage) {
  Converter converter(Utf32Name(), IconvName(codePage).c_str());
  if (!converter.ok()) return std::nullopt;
  // One code point per input byte at most, plus room for a final flush.
  std::u32string out(text.size() + 4, U'\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* outStart = reinterpret_cast<char*>(out.data());
  char* outPtr = outStart;
  size_t outLeft = out.size() * sizeof(char32_t);
  auto emitReplacement = [&] {
    if (outLeft < sizeof(char32_t)) return false;
    const char32_t replacement = kReplacementCharacter;
    std::memcpy(outPtr, &replacement, sizeof replacement);
    outPtr += sizeof replacement;
    outLeft -= sizeof replacement;
    return true;
  };
  while (inLeft > 0) {
    if (iconv(converter.get(), &in, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) break;
    if (errno == EILSEQ) {
      if (!emitReplacement()) return std::nullopt;
      ++in;
      --inLeft;
      iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
    } else if (errno == EINVAL) {  // sequence cut off by the end of the text
      if (!emitReplacement()) return std::nullopt;
      inLeft = 0;
    } else {
      return std::nullopt;
    }
  }
  out.resize(static_cast<size_t>(outPtr - outStart) / sizeof(char32_t));
  return out;
}

// Encodes code points; one the target cannot hold becomes '?', as
// WideCharToMultiByte does with its default character.
std::optional<std::string> Encode(const std::u32string& codePoints, int codePage) {
  Converter converter(IconvName(codePage).c_str(), Utf32Name());
  if (!converter.ok()) return std::nullopt;
  std::string out;
  std::vector<char> chunk(4096);
  char* in = reinterpret_cast<char*>(const_cast<char32_t*>(codePoints.data()));
  size_t inLeft = codePoints.size() * sizeof(char32_t);
  for (;;) {
    // Once the input is used up, one more call writes any closing shift sequence.
    const bool flushing = inLeft == 0;
    char* outPtr = chunk.data();
    size_t outLeft = chunk.size();
    const size_t result = flushing
                              ? iconv(converter.get(), nullptr, nullptr, &outPtr, &outLeft)
                              : iconv(converter.get(), &in, &inLeft, &outPtr, &outLeft);
    const int error = errno;
    out.append(chunk.data(), static_cast<size_t>(outPtr - chunk.data()));
    if (result != static_cast<size_t>(-1)) {
      if (flushing) break;
      continue;
    }
    if (error == E2BIG) continue;
    if (flushing || error != EILSEQ || inLeft < sizeof(char32_t)) return std::nullopt;
    out.push_back('?');
    in += sizeof(char32_t);
    inLeft -= sizeof(char32_t);
  }
  return out;
}

}  // namespace

bool IsCodePageSupported(int codePage) {
  if (codePage < 0) return false;
  Converter converter(Utf32Name(), IconvName(codePage).c_str());
  return converter.ok();
}

std::optional<std::string> ConvertCodePage(std::string_view text, int fromCodePage,
                                           int toCodePage) {
  if (fromCodePage < 0 || toCodePage < 0) return std::nullopt;
  auto codePoints = Decode(text, fromCodePage);
  if (!codePoints) return std::nullopt;
  return Encode(*codePoints, toCodePage);
}

}  // namespace pf::platform
