// Parses arbitrary bytes as bencode. A tree that parses must encode, and the
// encoding must parse back to the same bytes; input already written the
// canonical way must come back unchanged.
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/content/Bencode.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "bencode fuzz check failed: %s\n", what);
    std::abort();
  }
}

// Independent reader of strictly canonical bencode in the integer-on-text
// shape: no leading zeros, lower-case delimiters, ':' right after the length,
// integers only right after a text. Returns the end of the element, or npos.
class CanonicalReader {
 public:
  explicit CanonicalReader(std::string_view in) : in_(in) {}

  size_t Element(size_t pos, int depth) {
    if (pos >= in_.size()) return npos;
    const char c = in_[pos];
    if (c == 'd' || c == 'l') {
      if (depth >= pf::QMultiElement::kMaxNestingDepth) return npos;
      ++pos;
      while (pos < in_.size() && in_[pos] != 'e') {
        pos = Element(pos, depth + 1);
        if (pos == npos) return npos;
      }
      return pos < in_.size() ? pos + 1 : npos;
    }
    int64_t length = 0;
    pos = Number(pos, false, length);
    if (pos == npos || pos >= in_.size() || in_[pos] != ':') return npos;
    if (length > static_cast<int64_t>(in_.size() - pos - 1)) return npos;
    pos += 1 + static_cast<size_t>(length);
    if (pos < in_.size() && in_[pos] == 'I') return npos;  // the reader takes it as an integer
    if (pos < in_.size() && in_[pos] == 'i') {
      int64_t value = 0;
      pos = Number(pos + 1, true, value);
      if (pos == npos || pos >= in_.size() || in_[pos] != 'e') return npos;
      ++pos;
    }
    return pos;
  }

  static constexpr size_t npos = std::string_view::npos;

 private:
  size_t Number(size_t pos, bool allowSign, int64_t& value) {
    const size_t start = pos;
    if (allowSign && pos < in_.size() && in_[pos] == '-') ++pos;
    const size_t digits = pos;
    while (pos < in_.size() && in_[pos] >= '0' && in_[pos] <= '9') ++pos;
    if (pos == digits) return npos;
    if (in_[digits] == '0' && (pos - digits > 1 || digits != start)) return npos;  // 01, -0
    const auto [end, error] = std::from_chars(in_.data() + start, in_.data() + pos, value);
    if (error != std::errc() || end != in_.data() + pos) return npos;
    return pos;
  }

  std::string_view in_;
};

void Walk(pf::QElement* element) {
  if (element->Kind() == pf::QElement::kKindText) {
    (void)pf::LocalText(element);
    return;
  }
  int count = 0;
  for (pf::QElement* child = element->ChildAt(0); child; child = element->NextSibling(child)) {
    ++count;
    if (child->Kind() == pf::QElement::kKindText) {
      const std::string_view key = pf::TextBytes(child);
      Check(element->FindText(key.data(), static_cast<int>(key.size())) != nullptr || key.empty(),
            "FindText misses a child text");
      (void)element->FindValue(key.data(), static_cast<int>(key.size()));
    }
    Check(child->Parent() == element, "child has the wrong parent");
    Walk(child);
  }
  Check(count == element->Count(), "sibling walk and Count disagree");
  (void)element->Text("/");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT_MAX) return 0;
  const char* bytes = reinterpret_cast<const char*>(data);
  const std::string_view input(bytes, size);
  CanonicalReader reader(input);
  const size_t canonical = size > 0 ? reader.Element(0, 0) : CanonicalReader::npos;

  std::unique_ptr<pf::QElement> tree = pf::ParseElement(bytes, static_cast<int>(size));
  Check(tree != nullptr || canonical == CanonicalReader::npos, "canonical input rejected");
  if (!tree) return 0;

  const int consumed = pf::EncodedSizeOf(tree.get());
  Check(consumed > 0 && static_cast<size_t>(consumed) <= size, "consumed count out of range");
  Check(pf::SourceBytes(tree.get()) == bytes, "root source is not the buffer start");
  Check(pf::EncodedSize(tree.get()) == consumed, "EncodedSize differs from the bytes consumed");

  std::string encoded;
  Check(pf::Encode(tree.get(), encoded), "parsed tree does not encode");
  if (canonical != CanonicalReader::npos) {
    Check(canonical == static_cast<size_t>(consumed), "canonical element consumed differently");
    Check(encoded == input.substr(0, canonical), "canonical input does not re-encode byte for byte");
  }

  std::unique_ptr<pf::QElement> again = pf::ParseElement(encoded);
  Check(again != nullptr, "encoding does not parse back");
  Check(pf::EncodedSizeOf(again.get()) == static_cast<int>(encoded.size()),
        "encoding parses back to a different length");
  std::string reencoded;
  Check(pf::Encode(again.get(), reencoded) && reencoded == encoded, "encoding is not stable");

  Walk(tree.get());
  tree->SetCodePage(936);
  (void)tree->Text("/");
  return 0;
}
