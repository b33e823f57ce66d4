#include "platform/CodePage.h"

#include <gtest/gtest.h>

namespace pf::platform {
namespace {

TEST(CodePageTest, BadInputAndUnmappableCharactersAreReplaced) {
  struct Case {
    std::string text;
    int from;
    int to;
    std::string expected;
  };
  const Case cases[] = {
      {"a\xFF" "b", kUtf8CodePage, kLocalCodePage, "a\xEF\xBF\xBD" "b"},  // invalid byte -> U+FFFD
      {"ok\xC4", 936, kLocalCodePage, "ok\xEF\xBF\xBD"},                  // cut-off double byte
      {"x\xF0\x9F\x98\x80y", kLocalCodePage, 936, "x?y"},                 // emoji has no GBK form
      {"\xC4\xE3", 936, 950, "\xA7" "A"},                                  // between two code pages
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ConvertCodePage(c.text, c.from, c.to), c.expected);
  }
}

TEST(CodePageTest, UnknownCodePagesAreReported) {
  EXPECT_TRUE(IsCodePageSupported(kLocalCodePage));
  for (int codePage : {936, 950, 949, 932, 65001}) EXPECT_TRUE(IsCodePageSupported(codePage));
  EXPECT_FALSE(IsCodePageSupported(123456));
  EXPECT_FALSE(IsCodePageSupported(-1));
  EXPECT_EQ(ConvertCodePage("abc", 123456, kLocalCodePage), std::nullopt);
  EXPECT_EQ(ConvertCodePage("abc", kLocalCodePage, -5), std::nullopt);
}

}  // namespace
}  // namespace pf::platform
