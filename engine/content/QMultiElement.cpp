#include "engine/content/QMultiElement.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "engine/content/QDictionaryElement.h"
#include "engine/content/QIntegerElement.h"
#include "engine/content/QListElement.h"

namespace pf {
namespace {

bool IsDictionaryOpen(unsigned char c) { return c == 'd' || c == 'D'; }
bool IsListOpen(unsigned char c) { return c == 'l' || c == 'L'; }
bool IsClose(unsigned char c) { return c == 'e' || c == 'E'; }

int KeyLength(const char* key, int length) {
  return length > 0 ? length : static_cast<int>(std::min(std::strlen(key), size_t{INT_MAX}));
}

bool IsText(const QElement* element) {
  return IsValid(element) && element->Kind() == QElement::kKindText;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    return lower(static_cast<unsigned char>(x)) == lower(static_cast<unsigned char>(y));
  });
}

}  // namespace

int QMultiElement::Parse(const char* bytes, int length) { return ParseNested(bytes, length, 1); }

int QMultiElement::ParseNested(const char* bytes, int length, int depth) {
  Reset();
  if (!bytes) return 0;
  if (length < 0) length = static_cast<int>(std::min(std::strlen(bytes), size_t{INT_MAX}));
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  if (length < 2 || p[0] == '\0') return 0;
  if (depth > kMaxNestingDepth) return -1;

  const bool delimited = IsDictionaryOpen(p[0]) || IsListOpen(p[0]);
  int consumed = 0;
  if (!delimited) {
    consumed = ParseChildren(bytes, length, depth);
    if (consumed < 1) {
      Reset();
      return -1;
    }
  } else if (!IsClose(p[1])) {
    const int children = ParseChildren(bytes + 1, length - 2, depth);
    // The children may fill the window, which still leaves the last byte.
    if (children < 1 || !IsClose(p[1 + children])) {
      Reset();
      return -1;
    }
    consumed = children + 2;
  } else {
    consumed = 2;
  }

  // A container's own text is never used; it only has to be present.
  text_ = std::make_unique<char[]>(2);
  textLength_ = 0;
  validKind_ = kind_;
  source_ = bytes;
  encodedSize_ = consumed;
  return consumed;
}

int QMultiElement::ParseChildren(const char* bytes, int window, int depth) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  int offset = 0;
  while (offset < window && p[offset] != '\0' && !IsClose(p[offset])) {
    std::unique_ptr<QElement> child;
    int used = 0;
    if (IsDictionaryOpen(p[offset]) || IsListOpen(p[offset])) {
      std::unique_ptr<QMultiElement> container;
      if (IsDictionaryOpen(p[offset])) {
        container = std::make_unique<QDictionaryElement>();
      } else {
        container = std::make_unique<QListElement>();
      }
      used = container->ParseNested(bytes + offset, window - offset, depth + 1);
      child = std::move(container);
    } else if (p[offset] >= '0' && p[offset] <= '9') {
      child = std::make_unique<QIntegerElement>();
      used = child->Parse(bytes + offset, window - offset);
    } else {
      return 0;
    }
    if (used < 1) return -1;
    child->parent_ = this;
    children_.push_back(std::move(child));
    offset += used;
  }
  return offset;
}

ptrdiff_t QMultiElement::IndexOf(const QElement* child) const {
  if (!child || child->parent_ != this) return -1;
  for (size_t i = 0; i < children_.size(); ++i)
    if (children_[i].get() == child) return static_cast<ptrdiff_t>(i);
  return -1;
}

bool QMultiElement::IsSelfOrAncestor(const QElement* element) const {
  for (const QElement* e = this; e; e = e->parent_)
    if (e == element) return true;
  return false;
}

QElement* QMultiElement::NextSibling(const QElement* child) {
  ptrdiff_t index = cursor_ < children_.size() && children_[cursor_].get() == child
                        ? static_cast<ptrdiff_t>(cursor_)
                        : IndexOf(child);
  if (index < 0 || static_cast<size_t>(index) + 1 >= children_.size()) return nullptr;
  cursor_ = static_cast<size_t>(index) + 1;
  return children_[cursor_].get();
}

QElement* QMultiElement::PreviousSibling(const QElement* child) {
  ptrdiff_t index = cursor_ < children_.size() && children_[cursor_].get() == child
                        ? static_cast<ptrdiff_t>(cursor_)
                        : IndexOf(child);
  if (index < 1) return nullptr;
  cursor_ = static_cast<size_t>(index) - 1;
  return children_[cursor_].get();
}

QElement* QMultiElement::FindValue(const char* key, int keyLength) const {
  if (!IsValid(this) || !key) return nullptr;
  const std::string_view wanted(key, static_cast<size_t>(KeyLength(key, keyLength)));
  for (size_t i = 0; i < children_.size(); ++i) {
    const QElement* child = children_[i].get();
    if (!IsValid(child)) continue;
    if (IsText(child) && TextBytes(child) == wanted) {
      if (HasInteger(child)) return children_[i].get();
      if (i + 1 >= children_.size() || HasInteger(children_[i + 1].get())) return nullptr;
      return children_[i + 1].get();
    }
    // A key without an integer is followed by its value: step over both.
    if (!HasInteger(child)) ++i;
  }
  return nullptr;
}

QElement* QMultiElement::FindText(const char* text, int length) const {
  if (!IsValid(this) || !text) return nullptr;
  const std::string_view wanted(text, static_cast<size_t>(KeyLength(text, length)));
  for (const auto& child : children_)
    if (IsText(child.get()) && EqualsIgnoringCase(TextBytes(child.get()), wanted))
      return child.get();
  return nullptr;
}

QElement* QMultiElement::ChildAt(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= children_.size()) return nullptr;
  return children_[static_cast<size_t>(index)].get();
}

QElement* QMultiElement::Append(std::unique_ptr<QElement> element) {
  return InsertAt(static_cast<int>(children_.size()), std::move(element));
}

QElement* QMultiElement::InsertAt(int index, std::unique_ptr<QElement> element) {
  if (!element) return nullptr;
  if (element->encodedSize_ <= 0 || IsSelfOrAncestor(element.get())) {
    if (element->parent_) element.release();  // still owned by its container
    return nullptr;
  }
  if (element->parent_) element->parent_->Detach(element.get()).release();  // we own it now
  index = std::clamp(index, 0, static_cast<int>(children_.size()));
  element->parent_ = this;
  encodedSize_ = static_cast<int>(
      std::min<int64_t>(int64_t{encodedSize_} + element->encodedSize_, INT_MAX));
  QElement* added = element.get();
  children_.insert(children_.begin() + index, std::move(element));
  cursor_ = 0;
  return added;
}

QElement* QMultiElement::AppendText(const char* bytes, int length, int64_t integer,
                                    bool hasInteger) {
  return InsertTextAt(static_cast<int>(children_.size()), bytes, length, integer, hasInteger);
}

QElement* QMultiElement::InsertTextAt(int index, const char* bytes, int length, int64_t integer,
                                      bool hasInteger) {
  auto text = std::make_unique<QIntegerElement>();
  if (!text->Assign(bytes, length, integer, hasInteger)) return nullptr;
  return InsertAt(index, std::move(text));
}

bool QMultiElement::DeleteAt(int index) { return Delete(ChildAt(index)); }

bool QMultiElement::Delete(QElement* child) { return Detach(child) != nullptr; }

std::unique_ptr<QElement> QMultiElement::DetachAt(int index) { return Detach(ChildAt(index)); }

std::unique_ptr<QElement> QMultiElement::Detach(QElement* child) {
  const ptrdiff_t index = IndexOf(child);
  if (index < 0) return nullptr;
  std::unique_ptr<QElement> detached = std::move(children_[static_cast<size_t>(index)]);
  children_.erase(children_.begin() + index);
  detached->parent_ = nullptr;
  if (detached->encodedSize_ < encodedSize_) encodedSize_ -= detached->encodedSize_;
  cursor_ = 0;
  return detached;
}

bool QMultiElement::DeleteAll() {
  for (const auto& child : children_)
    if (child->encodedSize_ < encodedSize_) encodedSize_ -= child->encodedSize_;
  children_.clear();
  cursor_ = 0;
  return true;
}

int QMultiElement::Count() const {
  return IsValid(this) ? static_cast<int>(children_.size()) : 0;
}

std::string QMultiElement::Text(std::string_view separator) const {
  std::string joined;
  for (const auto& child : children_) {
    const std::string part = LocalText(child.get());
    if (!joined.empty()) joined.append(separator);
    joined += part;
  }
  return joined;
}

int QMultiElement::SetCodePage(int codePage) {
  codePage_ = codePage;
  for (const auto& child : children_) child->SetCodePage(codePage);
  return static_cast<int>(children_.size());
}

QElement* QMultiElement::Reset() {
  ClearFields();
  children_.clear();
  cursor_ = 0;
  return this;
}

}  // namespace pf
