// Resume state of the piece map: the resume record and the partial-pieces
// file.
#include "engine/content/TPieces.h"

namespace pf {

void TPieces::SaveResume() {}

bool TPieces::LoadResume() { return false; }

bool TPieces::SavePartials() { return false; }

bool TPieces::LoadPartials() { return false; }

bool TPieces::ReadTemplate(const std::string&, TTorrent&) { return true; }

}  // namespace pf
