#include "ui/window/ArtBitmaps.h"

#include <wx/filename.h>
#include <wx/image.h>
#include <wx/mstream.h>

#include "ui/art/ArtResources.h"
#include "ui/window/WindowLayout.h"

namespace pf::ui {
namespace {

wxBitmap Load(int id) {
  // A skin of the user's own replaces a background.
  const char* replacement = id == layout::kBackgroundWithList ? "res/bg.bmp"
                            : id == layout::kBackground       ? "res/bg2.bmp"
                                                              : nullptr;
  if (replacement && wxFileName::FileExists(replacement)) {
    wxImage image;
    if (image.LoadFile(replacement, wxBITMAP_TYPE_BMP)) return wxBitmap(image);
  }
  const ArtResource* art = FindArt(id);
  if (!art) return wxBitmap();
  wxMemoryInputStream stream(art->png, art->size);
  wxImage image;
  if (!image.LoadFile(stream, wxBITMAP_TYPE_PNG)) return wxBitmap();
  return wxBitmap(image);
}

}  // namespace

const wxBitmap& ArtBitmaps::Get(int id) {
  auto found = plain_.find(id);
  if (found == plain_.end()) found = plain_.emplace(id, Load(id)).first;
  return found->second;
}

const wxBitmap& ArtBitmaps::Masked(int id) {
  auto found = masked_.find(id);
  if (found == masked_.end()) {
    wxBitmap bitmap = Get(id);
    if (bitmap.IsOk()) {
      bitmap = wxBitmap(bitmap.ConvertToImage());  // its own copy, so that the plain one keeps no mask
      bitmap.SetMask(new wxMask(bitmap, layout::ColourKey()));
    }
    found = masked_.emplace(id, bitmap).first;
  }
  return found->second;
}

}  // namespace pf::ui
