#include "engine/content/LocalCodePage.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/content/Bencode.h"

namespace pf {
namespace {

struct Sample {
  int codePage;
  std::string encoded;
  std::string utf8;
};

const Sample kSamples[] = {
    {936, "\xC4\xE3\xBA\xC3", "你好"},
    {950, "\xA7" "A" "\xA6" "n", "你好"},
    {949, "\xBE\xC8\xB3\xE7", "안녕"},
    {932, "\x82\xB1\x82\xF1", "こん"},
    {65001, "caf\xC3\xA9", "café"},
};

TEST(LocalCodePageTest, TorrentCodePagesConvertBothWays) {
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(s.codePage);
    EXPECT_EQ(ToLocalCodePage(s.encoded.data(), static_cast<int>(s.encoded.size()), s.codePage),
              s.utf8);
    EXPECT_EQ(FromLocalCodePage(s.utf8.c_str(), -1, s.codePage), s.encoded);
  }
}

TEST(LocalCodePageTest, PrintableAsciiAndEmptyInputPassThrough) {
  for (int codePage : {0, 936, 65001, 123456}) {
    EXPECT_EQ(ToLocalCodePage("Game Setup.exe", -1, codePage), "Game Setup.exe");
    EXPECT_EQ(FromLocalCodePage("a b~", 4, codePage), "a b~");
    EXPECT_EQ(ToLocalCodePage("", -1, codePage), "");
    EXPECT_EQ(ToLocalCodePage(nullptr, 3, codePage), "");
  }
  // Not printable ASCII, in a code page that does not exist.
  EXPECT_EQ(ToLocalCodePage("\xC4\xE3", 2, 123456), "");
  EXPECT_EQ(ToLocalCodePage("tab\there", -1, 123456), "");
}

TEST(LocalCodePageTest, LocalTextFollowsTheElementsCodePage) {
  auto path = ParseElement("l3:dir4:\xD6\xD6\xD7\xD3" "e");
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(LocalText(path->ChildAt(1)), "\xD6\xD6\xD7\xD3");  // no code page: raw bytes
  EXPECT_EQ(path->SetCodePage(936), 2);
  EXPECT_EQ(LocalText(path->ChildAt(1)), "种子");
  EXPECT_EQ(path->Text("/"), "dir/种子");
  EXPECT_EQ(path->ChildAt(1)->Text(""), "\xD6\xD6\xD7\xD3");  // Text of a leaf stays raw
}

}  // namespace
}  // namespace pf
