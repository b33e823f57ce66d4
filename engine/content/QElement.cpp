#include "engine/content/QElement.h"

#include <cstring>

#include "engine/content/LocalCodePage.h"

namespace pf {

QElement::~QElement() = default;

QElement* QElement::NextSibling(const QElement*) { return nullptr; }
QElement* QElement::PreviousSibling(const QElement*) { return nullptr; }
QElement* QElement::FindValue(const char*, int) const { return nullptr; }
QElement* QElement::FindText(const char*, int) const { return nullptr; }
QElement* QElement::ChildAt(int) const { return nullptr; }
QElement* QElement::Append(std::unique_ptr<QElement> element) {
  // Never destroy an element another container still owns.
  if (element && element->parent_) element.release();
  return nullptr;
}
QElement* QElement::AppendText(const char*, int, int64_t, bool) { return nullptr; }
QElement* QElement::InsertAt(int, std::unique_ptr<QElement> element) {
  return Append(std::move(element));
}
QElement* QElement::InsertTextAt(int, const char*, int, int64_t, bool) { return nullptr; }
bool QElement::DeleteAt(int) { return false; }
bool QElement::Delete(QElement*) { return false; }
std::unique_ptr<QElement> QElement::DetachAt(int) { return nullptr; }
std::unique_ptr<QElement> QElement::Detach(QElement*) { return nullptr; }
bool QElement::DeleteAll() { return false; }
int QElement::Count() const { return 0; }
std::string QElement::Text(std::string_view) const { return {}; }

int QElement::SetCodePage(int codePage) {
  codePage_ = codePage;
  return 0;
}

QElement* QElement::Reset() {
  ClearFields();
  return this;
}

void QElement::ClearFields() {
  hasInteger_ = false;
  codePage_ = 0;
  source_ = nullptr;
  text_.reset();
  textLength_ = 0;
  validKind_ = 0;
  integer_ = 0;
  encodedSize_ = 0;
}

void QElement::SetText(const char* bytes, int length) {
  text_ = std::make_unique<char[]>(static_cast<size_t>(length) + 1);  // zero-filled
  if (length > 0) std::memcpy(text_.get(), bytes, static_cast<size_t>(length));
  textLength_ = length;
}

bool IsValid(const QElement* element) {
  return element && element->validKind_ != 0 && element->text_ && element->textLength_ >= 0;
}

std::string_view TextBytes(const QElement* element) {
  if (!IsValid(element)) return {};
  return {element->text_.get(), static_cast<size_t>(element->textLength_)};
}

int TextLength(const QElement* element) {
  return IsValid(element) ? element->textLength_ : -1;
}

int64_t IntegerValue(const QElement* element) {
  return IsValid(element) ? element->integer_ : 0;
}

bool HasInteger(const QElement* element) {
  return IsValid(element) && (element->hasInteger_ || element->integer_ != 0);
}

int EncodedSizeOf(const QElement* element) {
  return IsValid(element) ? element->encodedSize_ : 0;
}

const char* SourceBytes(const QElement* element) {
  return IsValid(element) ? element->source_ : nullptr;
}

int ValidKind(const QElement* element) { return element ? element->validKind_ : 0; }

std::string LocalText(const QElement* element) {
  const std::string_view text = TextBytes(element);
  if (text.empty() || text.front() == '\0') return {};
  if (element->CodePage() != 0)
    return ToLocalCodePage(text.data(), static_cast<int>(text.size()), element->CodePage());
  return std::string(text);
}

}  // namespace pf
