#include <gtest/gtest.h>

#include "engine/task/SourceListText.h"

namespace pf {
namespace {

struct Case {
  const char* text;
  std::vector<std::string> lines;
};

TEST(ParseSourceLines, SplitsAndTrimsLikeTheSourceList) {
  const Case cases[] = {
      {"", {}},
      {"http://a/x", {"http://a/x"}},
      {"http://a/x\r\nftp://b/y\nhttp://c/z\rtracker://d", {"http://a/x", "ftp://b/y", "http://c/z", "tracker://d"}},
      {"  \thttp://a/x \t\r\n", {"http://a/x"}},
      {"a\n\nb\n", {"a", "", "b"}},
      {"a\n   \n", {"a", ""}},
      {"a\n   ", {"a", ""}},
      {"\xB2\xE2 a \xB2\xE2", {"\xB2\xE2 a \xB2\xE2"}},  // bytes >= 0x80 stay
  };
  for (const auto& c : cases) EXPECT_EQ(ParseSourceLines(c.text), c.lines) << c.text;
  EXPECT_TRUE(ParseSourceLines(nullptr).empty());
}

}  // namespace
}  // namespace pf
