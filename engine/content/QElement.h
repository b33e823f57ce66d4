#pragma once
// Node of a bencode tree. A bencoded integer is never a node of its own: it
// rides on the text node in front of it, so a dictionary entry with an
// integer value is one node (the key carrying the number) and any other entry
// is two consecutive nodes (key, then value).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace pf {

class QMultiElement;

class QElement {
 public:
  enum KindCode : int {
    kKindContainer = 1,
    kKindText = 2,
    kKindDictionary = 3,
    kKindList = 4,
  };

  QElement(const QElement&) = delete;
  QElement& operator=(const QElement&) = delete;
  virtual ~QElement();

  // Reads one element from the front of the buffer (a negative length means
  // NUL-terminated). Returns the bytes consumed (> 0), 0 when there is nothing
  // to read, -1 on a syntax fault, -3 when a string runs past the buffer.
  virtual int Parse(const char* bytes, int length) = 0;
  virtual int Kind() const = 0;

  // The container operations; on a text element they do nothing and return
  // null / 0 / false.
  virtual QElement* NextSibling(const QElement* child);
  virtual QElement* PreviousSibling(const QElement* child);
  // Dictionary lookup; a key length <= 0 means the key is NUL-terminated.
  virtual QElement* FindValue(const char* key, int keyLength) const;
  // First child (key or value) whose text equals the given one, ignoring case.
  virtual QElement* FindText(const char* text, int length) const;
  virtual QElement* ChildAt(int index) const;
  // Takes the element as last child. An element already in a container is
  // moved out of it. A refused element (null, never encoded, an ancestor of
  // this container) is given back to its owner or destroyed.
  virtual QElement* Append(std::unique_ptr<QElement> element);
  virtual QElement* AppendText(const char* bytes, int length, int64_t integer, bool hasInteger);
  virtual QElement* InsertAt(int index, std::unique_ptr<QElement> element);
  virtual QElement* InsertTextAt(int index, const char* bytes, int length, int64_t integer,
                                 bool hasInteger);
  virtual bool DeleteAt(int index);
  virtual bool Delete(QElement* child);
  // Removes the child and hands it to the caller; null when it is not a child.
  virtual std::unique_ptr<QElement> DetachAt(int index);
  virtual std::unique_ptr<QElement> Detach(QElement* child);
  virtual bool DeleteAll();
  virtual int Count() const;
  // A text element's raw bytes; a container joins its children's local texts.
  virtual std::string Text(std::string_view separator) const;
  virtual int SetCodePage(int codePage);
  // Back to the empty, invalid state. A child stays in its container (which
  // keeps owning it) but encodes as nothing until it is parsed again.
  virtual QElement* Reset();

  QMultiElement* Parent() const { return parent_; }
  int CodePage() const { return codePage_; }

  friend bool IsValid(const QElement* element);
  friend std::string_view TextBytes(const QElement* element);
  friend int TextLength(const QElement* element);
  friend int64_t IntegerValue(const QElement* element);
  friend bool HasInteger(const QElement* element);
  friend int EncodedSizeOf(const QElement* element);
  friend const char* SourceBytes(const QElement* element);
  friend int ValidKind(const QElement* element);
  friend class QMultiElement;

 protected:
  explicit QElement(int kind) : kind_(kind) {}

  // Clears the fields; does not touch the parent link or children.
  void ClearFields();
  void SetText(const char* bytes, int length);

  bool hasInteger_ = false;
  int codePage_ = 0;
  const char* source_ = nullptr;  // where parsing began; points into the caller's buffer
  std::unique_ptr<char[]> text_;  // textLength_ bytes and a NUL
  int textLength_ = 0;
  int kind_;
  int validKind_ = 0;
  int64_t integer_ = 0;
  int encodedSize_ = 0;
  QMultiElement* parent_ = nullptr;
};

// Accessors; all accept null or invalid elements.
bool IsValid(const QElement* element);
// The text (NUL-terminated behind the view), empty when invalid.
std::string_view TextBytes(const QElement* element);
int TextLength(const QElement* element);  // -1 when invalid
int64_t IntegerValue(const QElement* element);
bool HasInteger(const QElement* element);
// Bytes the element took in its source, or its computed size when built.
int EncodedSizeOf(const QElement* element);
const char* SourceBytes(const QElement* element);
int ValidKind(const QElement* element);

// The text converted from the element's code page to the local one; empty
// when invalid or when the text starts with a NUL byte.
std::string LocalText(const QElement* element);

}  // namespace pf
