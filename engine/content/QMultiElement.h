#pragma once
// Common base of the two bencode containers: owns the children, in order.
#include <cstddef>
#include <memory>
#include <vector>

#include "engine/content/QElement.h"

namespace pf {

class QMultiElement : public QElement {
 public:
  // Deepest container nesting the parser accepts. Trees come from the network
  // (tracker replies), and every level costs parser stack.
  static constexpr int kMaxNestingDepth = 100;

  int Parse(const char* bytes, int length) override;
  int Kind() const override { return kKindContainer; }
  QElement* NextSibling(const QElement* child) override;
  QElement* PreviousSibling(const QElement* child) override;
  QElement* FindValue(const char* key, int keyLength) const override;
  QElement* FindText(const char* text, int length) const override;
  QElement* ChildAt(int index) const override;
  QElement* Append(std::unique_ptr<QElement> element) override;
  QElement* AppendText(const char* bytes, int length, int64_t integer, bool hasInteger) override;
  QElement* InsertAt(int index, std::unique_ptr<QElement> element) override;
  QElement* InsertTextAt(int index, const char* bytes, int length, int64_t integer,
                         bool hasInteger) override;
  bool DeleteAt(int index) override;
  bool Delete(QElement* child) override;
  std::unique_ptr<QElement> DetachAt(int index) override;
  std::unique_ptr<QElement> Detach(QElement* child) override;
  bool DeleteAll() override;
  int Count() const override;
  std::string Text(std::string_view separator) const override;
  int SetCodePage(int codePage) override;
  QElement* Reset() override;

 protected:
  explicit QMultiElement(int kind) : QElement(kind) {}

  // Only dictionaries and lists are ever instantiated.
  virtual void ContainerTag() = 0;

 private:
  int ParseNested(const char* bytes, int length, int depth);
  int ParseChildren(const char* bytes, int window, int depth);
  ptrdiff_t IndexOf(const QElement* child) const;
  bool IsSelfOrAncestor(const QElement* element) const;

  std::vector<std::unique_ptr<QElement>> children_;
  size_t cursor_ = 0;  // last sibling handed out, so walking a long list stays linear
};

}  // namespace pf
