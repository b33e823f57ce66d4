#include "engine/content/Bencode.h"

#include <charconv>
#include <climits>

namespace pf {
namespace {

// Reserve beyond the tree's size so that appending a little more after it
// does not reallocate either.
constexpr size_t kEncodeSpare = 1024;

template <typename Container>
std::unique_ptr<Container> NewContainer(std::string_view empty) {
  std::unique_ptr<QElement> element = ParseElement(empty);
  return std::unique_ptr<Container>(static_cast<Container*>(element.release()));
}

int64_t SumOfChildren(const QElement* container) {
  int64_t sum = 0;
  for (int i = 0; const QElement* child = container->ChildAt(i); ++i) {
    const int size = EncodedSize(child);
    if (size <= 0) return 0;
    sum += size;
  }
  return sum;
}

void AppendDecimal(std::string& buffer, int64_t value) {
  char digits[24];
  buffer.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

bool Write(const QElement* element, std::string& buffer) {
  if (!IsValid(element)) return false;
  const int kind = element->Kind();
  if (kind == QElement::kKindText) {
    const std::string_view text = TextBytes(element);
    AppendDecimal(buffer, static_cast<int64_t>(text.size()));
    buffer += ':';
    buffer += text;
    if (HasInteger(element)) {
      buffer += 'i';
      AppendDecimal(buffer, IntegerValue(element));
      buffer += 'e';
    }
    return true;
  }
  if (kind == QElement::kKindDictionary) buffer += 'd';
  if (kind == QElement::kKindList) buffer += 'l';
  for (int i = 0; const QElement* child = element->ChildAt(i); ++i)
    if (!Write(child, buffer)) return false;
  if (kind == QElement::kKindDictionary || kind == QElement::kKindList) buffer += 'e';
  return true;
}

}  // namespace

std::unique_ptr<QElement> ParseElement(const char* bytes, int length) {
  if (!bytes || length <= 0) return nullptr;
  const unsigned char first = static_cast<unsigned char>(bytes[0]);
  std::unique_ptr<QElement> element;
  if (first == 'd' || first == 'D') {
    element = std::make_unique<QDictionaryElement>();
  } else if (first == 'l' || first == 'L') {
    element = std::make_unique<QListElement>();
  } else if (first >= '0' && first <= '9') {
    element = std::make_unique<QIntegerElement>();
  } else {
    return nullptr;  // includes a leading NUL
  }
  if (element->Parse(bytes, length) < 1 || ValidKind(element.get()) == 0) return nullptr;
  return element;
}

std::unique_ptr<QElement> ParseElement(std::string_view bytes) {
  if (bytes.size() > static_cast<size_t>(INT_MAX)) return nullptr;
  return ParseElement(bytes.data(), static_cast<int>(bytes.size()));
}

std::unique_ptr<QDictionaryElement> NewDictionary() { return NewContainer<QDictionaryElement>("de"); }

std::unique_ptr<QListElement> NewList() { return NewContainer<QListElement>("le"); }

int EncodedSize(const QElement* element) {
  if (!IsValid(element)) return 0;
  int64_t size = 0;
  switch (element->Kind()) {
    case QElement::kKindText:
      return EncodedSizeOf(element);
    case QElement::kKindDictionary:
    case QElement::kKindList:
      if (element->ChildAt(0) && (size = SumOfChildren(element)) == 0) return 0;
      size += 2;
      break;
    default:
      size = SumOfChildren(element);
      break;
  }
  return size > INT_MAX ? 0 : static_cast<int>(size);
}

bool Encode(const QElement* element, std::string& buffer) {
  if (!IsValid(element)) return false;
  const size_t needed = static_cast<size_t>(EncodedSize(element)) + kEncodeSpare;
  if (buffer.capacity() - buffer.size() < needed) buffer.reserve(buffer.size() + needed);
  const size_t before = buffer.size();
  if (!Write(element, buffer)) {
    buffer.resize(before);
    return false;
  }
  return true;
}

}  // namespace pf
