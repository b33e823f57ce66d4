#pragma once
// The window's bitmaps by resource number, loaded once and kept for the
// window's life. res/bg.bmp and res/bg2.bmp in the working directory, when
// there, stand in for the two backgrounds.
#include <wx/bitmap.h>

#include <map>

namespace pf::ui {

class ArtBitmaps {
 public:
  // The bitmap; an invalid one when the build has none (the area then stays
  // unpainted).
  const wxBitmap& Get(int id);
  // The same with the colour key as its mask (the action buttons).
  const wxBitmap& Masked(int id);

 private:
  std::map<int, wxBitmap> plain_;
  std::map<int, wxBitmap> masked_;
};

}  // namespace pf::ui
