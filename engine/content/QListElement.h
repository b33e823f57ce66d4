#pragma once
// A bencoded list ("l...e").
#include "engine/content/QMultiElement.h"

namespace pf {

class QListElement : public QMultiElement {
 public:
  QListElement() : QMultiElement(kKindList) {}
  int Kind() const override { return kKindList; }

 protected:
  void ContainerTag() override;
};

}  // namespace pf
