#pragma once
// The text element: a bencoded string, optionally followed by the integer
// that belongs to it. Every string of a tree is one of these.
#include "engine/content/QElement.h"

namespace pf {

class QIntegerElement : public QElement {
 public:
  QIntegerElement() : QElement(kKindText) {}

  int Parse(const char* bytes, int length) override;
  int Kind() const override { return kKindText; }
  std::string Text(std::string_view separator) const override;

  // Gives the element new content as if it had been parsed from its
  // canonical encoding. False (and nothing changed) for null bytes or for an
  // empty text asked to carry an integer.
  bool Assign(const char* bytes, int length, int64_t integer, bool hasInteger);

  // Bytes of "<length>:<text>", plus "i<integer>e" when an integer is carried.
  static int64_t CanonicalSize(int64_t textLength, bool carriesInteger, int64_t integer);
};

}  // namespace pf
