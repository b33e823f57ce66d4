#pragma once
// The table render_art.py generates (ArtData.cpp) and FindArt reads.
#include <cstddef>

#include "ui/art/ArtResources.h"

namespace pf::ui::art_detail {

// Sorted by id, each id once.
extern const ArtResource kArtTable[];
extern const std::size_t kArtTableSize;

}  // namespace pf::ui::art_detail
