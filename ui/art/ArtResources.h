#pragma once
// The window's bitmaps, drawn as SVG beside this file and built into the
// program as PNG under the resource numbers the window asks for them by.
#include <cstddef>

namespace pf::ui {

struct ArtResource {
  int id;
  const unsigned char* png;
  size_t size;
  int width;
  int height;
};

// The colour cut from the shapes of the window (list hidden, 186) and of the
// action buttons; no other pixel of the art has it.
inline constexpr unsigned char kArtKeyRed = 232, kArtKeyGreen = 5, kArtKeyBlue = 246;

// The PNG of a bitmap resource; nullptr when the build has none.
const ArtResource* FindArt(int id);

}  // namespace pf::ui
