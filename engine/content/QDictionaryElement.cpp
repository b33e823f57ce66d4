#include "engine/content/QDictionaryElement.h"

namespace pf {

void QDictionaryElement::ContainerTag() {}

}  // namespace pf
