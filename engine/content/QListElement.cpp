#include "engine/content/QListElement.h"

namespace pf {

void QListElement::ContainerTag() {}

}  // namespace pf
