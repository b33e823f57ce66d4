// The built-in art: every bitmap the window asks for is there at its size,
// and the shape key sits exactly where the window and the action buttons are
// cut, never where they are drawn.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ui/art/ArtResources.h"

namespace {

using pf::ui::ArtResource;
using pf::ui::FindArt;

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb&) const = default;
};

constexpr Rgb kKey{232, 5, 246};

// Just enough PNG for the art's own files: 8-bit RGB or RGBA, not interlaced.
struct Pixels {
  int width = 0, height = 0, channels = 0;
  std::vector<unsigned char> data;

  Rgb At(int x, int y) const {
    const unsigned char* p = &data[(static_cast<size_t>(y) * width + x) * channels];
    return {p[0], p[1], p[2]};
  }
};

uint32_t BigEndian(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

Pixels Decode(const ArtResource& art) {
  Pixels out;
  std::string idat;
  int colourType = -1;
  for (size_t pos = 8; pos + 12 <= art.size;) {
    const uint32_t length = BigEndian(art.png + pos);
    const std::string type(reinterpret_cast<const char*>(art.png + pos + 4), 4);
    const unsigned char* body = art.png + pos + 8;
    if (type == "IHDR") {
      out.width = int(BigEndian(body));
      out.height = int(BigEndian(body + 4));
      colourType = body[9];
      if (body[8] != 8 || body[12] != 0) return {};
    } else if (type == "IDAT") {
      idat.append(reinterpret_cast<const char*>(body), length);
    }
    pos += 12 + length;
  }
  if (colourType != 2 && colourType != 6) return {};
  out.channels = colourType == 2 ? 3 : 4;
  const size_t stride = size_t(out.width) * out.channels;
  std::vector<unsigned char> raw((stride + 1) * out.height);
  uLongf rawSize = raw.size();
  if (uncompress(raw.data(), &rawSize, reinterpret_cast<const Bytef*>(idat.data()), idat.size()) != Z_OK ||
      rawSize != raw.size())
    return {};
  out.data.resize(stride * out.height);
  const int bpp = out.channels;
  for (int y = 0; y < out.height; ++y) {
    const unsigned char filter = raw[y * (stride + 1)];
    const unsigned char* in = &raw[y * (stride + 1) + 1];
    unsigned char* line = &out.data[y * stride];
    const unsigned char* prev = y > 0 ? line - stride : nullptr;
    for (size_t i = 0; i < stride; ++i) {
      const int a = i >= size_t(bpp) ? line[i - bpp] : 0;
      const int b = prev ? prev[i] : 0;
      const int c = prev && i >= size_t(bpp) ? prev[i - bpp] : 0;
      int predicted = 0;
      switch (filter) {
        case 0: predicted = 0; break;
        case 1: predicted = a; break;
        case 2: predicted = b; break;
        case 3: predicted = (a + b) / 2; break;
        case 4: {
          const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
          break;
        }
        default: return {};
      }
      line[i] = static_cast<unsigned char>(in[i] + predicted);
    }
  }
  return out;
}

Pixels DecodeId(int id) {
  const ArtResource* art = FindArt(id);
  if (!art) {
    ADD_FAILURE() << "no bitmap " << id;
    return {};
  }
  Pixels pixels = Decode(*art);
  EXPECT_EQ(pixels.width, art->width) << "bitmap " << id << " does not decode";
  return pixels;
}

struct Rect {
  int left, top, right, bottom;
};

// Where the program writes its texts and draws its progress bar.
const Rect kTextAreas[] = {
    {9, 205, 130, 230},   {190, 205, 250, 230}, {255, 205, 367, 230}, {9, 260, 124, 280},
    {129, 260, 204, 280}, {209, 260, 259, 280}, {262, 260, 312, 280}, {11, 244, 297, 256},
};

// Only whole key or colours well away from it: an edge blended into the key
// would survive the cut as a pink fringe.
bool FarFromKey(Rgb c) {
  return std::abs(c.r - kKey.r) + std::abs(c.g - kKey.g) + std::abs(c.b - kKey.b) > 90;
}

// The key must fill the corners outside a rounded outline of at most `radius`,
// appear nowhere else, and meet the art without a blended edge.
void ExpectCutCorners(int id, int height, int radius) {
  SCOPED_TRACE("bitmap " + std::to_string(id));
  const Pixels px = DecodeId(id);
  ASSERT_EQ(px.height, height);
  const int w = px.width, h = px.height;
  for (auto [x, y] : {std::pair{0, 0}, {w - 1, 0}, {0, h - 1}, {w - 1, h - 1}})
    EXPECT_EQ(px.At(x, y), kKey) << "corner " << x << "," << y;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const Rgb c = px.At(x, y);
      const bool inCorner = (x < radius || x >= w - radius) && (y < radius || y >= h - radius);
      if (c == kKey) {
        ASSERT_TRUE(inCorner) << "key colour at " << x << "," << y;
      } else if (inCorner) {
        ASSERT_TRUE(FarFromKey(c)) << "near-key colour at " << x << "," << y;
      }
    }
  }
}

TEST(ArtResources, EveryBitmapIsThereAtItsSize) {
  struct Expected {
    int id, width, height;
  };
  std::vector<Expected> expected = {{186, 411, 307}, {140, 411, 400}, {170, 1, 12},  {171, 297, 12},
                                    {172, 297, 12},  {163, 3, 1},     {156, 3, 49},  {128, 256, 256}};
  for (int id : {198, 200, 199, 201, 202, 204, 203, 205, 210, 212, 211, 213, 231, 233, 232, 234})
    expected.push_back({id, 84, 52});
  for (int id : {214, 216, 215, 235}) expected.push_back({id, 30, 22});
  for (int id : {228, 230, 229, 218, 220, 219, 222, 224, 223}) expected.push_back({id, 24, 24});

  for (const Expected& e : expected) {
    SCOPED_TRACE("bitmap " + std::to_string(e.id));
    const ArtResource* art = FindArt(e.id);
    ASSERT_NE(art, nullptr);
    EXPECT_EQ(art->id, e.id);
    EXPECT_EQ(art->width, e.width);
    EXPECT_EQ(art->height, e.height);
    ASSERT_GT(art->size, 24u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(art->png) + 1, 3), "PNG");
    EXPECT_EQ(int(BigEndian(art->png + 16)), e.width) << "the PNG's own width";
    EXPECT_EQ(int(BigEndian(art->png + 20)), e.height) << "the PNG's own height";
  }
  EXPECT_EQ(FindArt(0), nullptr);
  EXPECT_EQ(FindArt(187), nullptr);
}

TEST(ArtResources, WindowIsCutAtItsRoundedCornersOnly) {
  ExpectCutCorners(186, 307, 14);
}

TEST(ArtResources, ActionButtonsAreCutAtTheirRoundedCornersOnly) {
  for (int id : {198, 200, 199, 201, 202, 204, 203, 205, 210, 212, 211, 213, 231, 233, 232, 234})
    ExpectCutCorners(id, 52, 12);
}

TEST(ArtResources, NoKeyWhereTheProgramWritesOrOnTheListPanel) {
  for (int id : {186, 140}) {
    SCOPED_TRACE("bitmap " + std::to_string(id));
    const Pixels px = DecodeId(id);
    ASSERT_GT(px.height, 0);
    for (const Rect& r : kTextAreas)
      for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x) ASSERT_NE(px.At(x, y), kKey) << x << "," << y;
  }
  const Pixels list = DecodeId(140);
  ASSERT_EQ(list.height, 400);
  for (int y = 322; y < 400; ++y)
    for (int x = 0; x < 408; ++x) ASSERT_NE(list.At(x, y), kKey) << x << "," << y;
}

// The small buttons carry the background they sit on; it must be the same in
// both looks of the window, or they would show a patch in one of them.
TEST(ArtResources, BothBackgroundsAgreeUnderTheSmallButtons) {
  const Pixels hidden = DecodeId(186), shown = DecodeId(140);
  ASSERT_GT(hidden.height, 0);
  ASSERT_GT(shown.height, 0);
  const Rect places[] = {{372, 203, 402, 225}, {318, 10, 342, 34}, {346, 10, 370, 34}, {374, 10, 398, 34}};
  for (const Rect& r : places)
    for (int y = r.top; y < r.bottom; ++y)
      for (int x = r.left; x < r.right; ++x) ASSERT_EQ(hidden.At(x, y), shown.At(x, y)) << x << "," << y;
}

}  // namespace
