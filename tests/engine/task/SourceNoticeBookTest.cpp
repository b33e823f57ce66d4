#include <gtest/gtest.h>

#include "engine/task/SourceNoticeBook.h"

namespace pf {
namespace {

TEST(SourceNoticeBook, EachCauseOnceAndTheEndOfSourcesOnce) {
  SourceNoticeBook book;
  const auto first = book.Problem("http://a/f", SourceProblem::kRefused, "404 Not Found");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->text, "http://a/f: answered 404 Not Found; not asked again");
  EXPECT_FALSE(book.Problem("http://a/f", SourceProblem::kRefused, "404 Not Found")) << "told once";
  EXPECT_TRUE(book.Problem("http://a/f", SourceProblem::kUnreachable, "Connection refused")) << "another cause";
  EXPECT_TRUE(book.Problem("http://b/f", SourceProblem::kRefused, "403 Forbidden")) << "another source";

  EXPECT_FALSE(book.Remaining(0, 3)) << "peers only from the start: nothing to say";
  EXPECT_FALSE(book.Remaining(2, 3));
  const auto waiting = book.Remaining(0, 3);
  ASSERT_TRUE(waiting);
  EXPECT_EQ(waiting->kind, kNoticeWaitingForPeers);
  EXPECT_FALSE(book.Remaining(0, 3));
  const auto none = book.Remaining(0, 0);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->kind, kNoticeNoSourceLeft);
  EXPECT_FALSE(book.Remaining(0, 0));
  EXPECT_FALSE(book.Remaining(1, 0)) << "a source came back";
  EXPECT_TRUE(book.Remaining(0, 0)) << "and went again";
}

}  // namespace
}  // namespace pf
