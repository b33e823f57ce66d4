#include "ui/art/ArtResources.h"

#include <algorithm>

#include "ui/art/ArtTable.h"

namespace pf::ui {

const ArtResource* FindArt(int id) {
  const ArtResource* begin = art_detail::kArtTable;
  const ArtResource* end = begin + art_detail::kArtTableSize;
  const ArtResource* found =
      std::lower_bound(begin, end, id, [](const ArtResource& art, int wanted) { return art.id < wanted; });
  return found != end && found->id == id ? found : nullptr;
}

}  // namespace pf::ui
