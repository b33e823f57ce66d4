#pragma once
// A bencoded dictionary ("d...e"). Keys keep their stored order, so a parsed
// dictionary encodes back to the same bytes.
#include "engine/content/QMultiElement.h"

namespace pf {

class QDictionaryElement : public QMultiElement {
 public:
  QDictionaryElement() : QMultiElement(kKindDictionary) {}
  int Kind() const override { return kKindDictionary; }

 protected:
  void ContainerTag() override;
};

}  // namespace pf
