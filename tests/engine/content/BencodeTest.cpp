#include "engine/content/Bencode.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <string_view>
#include <vector>

namespace pf {
namespace {

using namespace std::string_literals;

std::string EncodeToString(const QElement* element) {
  std::string out;
  EXPECT_TRUE(Encode(element, out));
  return out;
}

std::vector<std::string> ChildTexts(QElement* container) {
  std::vector<std::string> texts;
  for (QElement* child = container->ChildAt(0); child; child = container->NextSibling(child))
    texts.emplace_back(TextBytes(child));
  return texts;
}

TEST(BencodeElementTest, CanonicalInputReencodesByteForByte) {
  const std::string cases[] = {
      "d3:fooi42e3:bar4:spame",
      "3:abci-7e",
      "de",
      "le",
      "l1:ai1ee",
      "d1:zi1e1:a1:xe",  // keys out of order stay out of order
      "d4:infod5:filesld6:lengthi5e4:pathl1:a1:beee4:name3:pkgee",
      "0:",
      "1:ai0e",  // a zero that was written stays written
      "3:a\0b"s,
      "1:xi-9223372036854775808e",
      "1:xi9223372036854775807e",
      "ll1:ael1:bee",
  };
  for (const std::string& input : cases) {
    SCOPED_TRACE(input);
    auto tree = ParseElement(input);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(EncodedSizeOf(tree.get()), static_cast<int>(input.size()));
    EXPECT_EQ(EncodedSize(tree.get()), static_cast<int>(input.size()));
    EXPECT_EQ(EncodeToString(tree.get()), input);
  }
}

TEST(BencodeElementTest, IntegersRideOnTheTextBeforeThem) {
  auto dict = ParseElement("d3:fooi42e3:bar4:spame");
  ASSERT_NE(dict, nullptr);
  EXPECT_EQ(dict->Kind(), QElement::kKindDictionary);
  EXPECT_EQ(ChildTexts(dict.get()), (std::vector<std::string>{"foo", "bar", "spam"}));
  EXPECT_EQ(IntegerValue(dict->ChildAt(0)), 42);
  EXPECT_TRUE(HasInteger(dict->ChildAt(0)));
  EXPECT_FALSE(HasInteger(dict->ChildAt(1)));

  auto list = ParseElement("l1:ai1ee");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->Count(), 1);
  EXPECT_EQ(TextBytes(list->ChildAt(0)), "a");
  EXPECT_EQ(IntegerValue(list->ChildAt(0)), 1);

  auto text = ParseElement("3:abci-7e");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->Kind(), QElement::kKindText);
  EXPECT_EQ(text->Text(""), "abc");
  EXPECT_EQ(IntegerValue(text.get()), -7);
}

TEST(BencodeElementTest, FindValuePairsKeysWithValues) {
  auto dict = ParseElement("d3:fooi42e3:bar4:spam4:numm1:vi1e4:listl1:xee");
  ASSERT_NE(dict, nullptr);
  QElement* foo = dict->FindValue("foo", 3);
  ASSERT_NE(foo, nullptr);
  EXPECT_EQ(TextBytes(foo), "foo");  // the key itself carries the value
  EXPECT_EQ(IntegerValue(foo), 42);
  EXPECT_EQ(TextBytes(dict->FindValue("bar", 0)), "spam");  // length 0: NUL-terminated key
  EXPECT_EQ(dict->FindValue("spam", 4), nullptr);           // a value, not a key
  EXPECT_EQ(dict->FindValue("FOO", 3), nullptr);            // keys match case-sensitively
  EXPECT_EQ(dict->FindValue("numm", 4), nullptr);           // its value carries an integer
  QElement* list = dict->FindValue("list", 4);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->Kind(), QElement::kKindList);

  QElement* spam = dict->FindText("SPAM", 4);
  ASSERT_NE(spam, nullptr);
  EXPECT_EQ(TextBytes(spam), "spam");
  QElement* bar = dict->FindText("bar", -1);
  EXPECT_EQ(dict->NextSibling(bar), spam);
  EXPECT_EQ(dict->PreviousSibling(spam), bar);

  auto dangling = ParseElement("l1:ae");  // a key with nothing after it
  ASSERT_NE(dangling, nullptr);
  EXPECT_EQ(dangling->FindValue("a", 1), nullptr);

  // Text elements answer container questions with nothing.
  EXPECT_EQ(foo->FindValue("foo", 3), nullptr);
  EXPECT_EQ(foo->Count(), 0);
  EXPECT_EQ(foo->ChildAt(0), nullptr);
}

TEST(BencodeElementTest, MalformedInputIsRejected) {
  const std::string cases[] = {
      "", "\0de"s, "x", "i5e",  // a bare integer is not an element
      "li1ei2ee", "d", "l", "dx", "d1:a", "l1:ai1e", "d1:ai5",
      "4:abc", "3abc", "3:abci7E", "3:abci7", "99999999999999:a",
      "l1:a\0e"s, "d1:ad\0ee"s, "-1:a",
  };
  for (const std::string& input : cases) {
    SCOPED_TRACE(testing::PrintToString(input));
    EXPECT_EQ(ParseElement(input), nullptr);
  }
  EXPECT_EQ(ParseElement(nullptr, 5), nullptr);
  EXPECT_EQ(ParseElement("de", 0), nullptr);
}

TEST(BencodeElementTest, TextParseReportsWhyItFailed) {
  struct Case {
    std::string input;
    int result;
  };
  const Case cases[] = {
      {"4:abc", -3},     // string runs past the buffer
      {"3abc", -1},      // no ':'
      {"3:abci7E", -1},  // only a lower-case 'e' closes an integer
      {"x", 0},
      {"3:abcXYZ", 5},   // bytes after the element are left alone
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    QIntegerElement element;
    EXPECT_EQ(element.Parse(c.input.data(), static_cast<int>(c.input.size())), c.result);
    EXPECT_EQ(IsValid(&element), c.result > 0);
  }
}

TEST(BencodeElementTest, LenientSpellingsAreReadAndWrittenCanonically) {
  struct Case {
    std::string input;
    std::string encoded;
  };
  const Case cases[] = {
      {"DE", "de"},
      {"L1:aE", "l1:ae"},
      {"d1:aI5ee", "d1:ai5ee"},
      {"03:abc", "3:abc"},
      {"3 :abc", "3:abc"},
      {"1:ai+5e", "1:ai5e"},
      {"1:ai \t-5e", "1:ai-5e"},
      {"1:aie", "1:ai0e"},
      {"1:ai99999999999999999999e", "1:ai9223372036854775807e"},
      {"1:ai-99999999999999999999e", "1:ai-9223372036854775808e"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    auto tree = ParseElement(c.input);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(EncodedSizeOf(tree.get()), static_cast<int>(c.input.size()));
    EXPECT_EQ(EncodeToString(tree.get()), c.encoded);
  }
}

TEST(BencodeElementTest, SourceSpanCoversTheExactBytesOfAChild) {
  // Info-hashes are taken over the bytes as they came, odd spellings included.
  const std::string torrent = "d8:announce3:url4:infoD4:name1:x6:lengthI7eee";
  auto root = ParseElement(torrent);
  ASSERT_NE(root, nullptr);
  QElement* info = root->FindValue("info", 4);
  ASSERT_NE(info, nullptr);
  ASSERT_EQ(SourceBytes(info), torrent.data() + torrent.find('D'));
  EXPECT_EQ(std::string_view(SourceBytes(info), EncodedSizeOf(info)), "D4:name1:x6:lengthI7ee");
  EXPECT_EQ(SourceBytes(root.get()), torrent.data());
}

TEST(BencodeElementTest, NestingDepthIsBounded) {
  auto nested = [](int depth) { return std::string(depth, 'l') + "1:a" + std::string(depth, 'e'); };
  const int limit = QMultiElement::kMaxNestingDepth;
  auto deepest = ParseElement(nested(limit));
  ASSERT_NE(deepest, nullptr);
  EXPECT_EQ(EncodeToString(deepest.get()), nested(limit));
  EXPECT_EQ(ParseElement(nested(limit + 1)), nullptr);
  EXPECT_EQ(ParseElement(std::string(1'000'000, 'd')), nullptr);
  EXPECT_EQ(ParseElement(nested(1'000'000)), nullptr);
}

TEST(BencodeElementTest, BuildsATreeThatEncodesAsExpected) {
  auto root = NewDictionary();
  ASSERT_NE(root, nullptr);
  EXPECT_TRUE(IsValid(root.get()));
  EXPECT_EQ(root->Count(), 0);
  ASSERT_NE(root->AppendText("bits", -1, 0, false), nullptr);
  ASSERT_NE(root->AppendText("\x01\xff", 2, 0, false), nullptr);
  ASSERT_NE(root->AppendText("part", -1, 0, true), nullptr);  // integer 0, still written
  ASSERT_NE(root->AppendText("seeds", -1, -3, false), nullptr);  // non-zero: written anyway
  ASSERT_NE(root->InsertTextAt(0, "a", 1, 0, false), nullptr);
  ASSERT_NE(root->InsertTextAt(1, "b", 1, 0, false), nullptr);
  QElement* list = root->Append(NewList());
  ASSERT_NE(list, nullptr);
  ASSERT_NE(list->AppendText("x", 1, 1, true), nullptr);
  ASSERT_NE(root->InsertTextAt(99, "torrent", -1, 0, false), nullptr);  // clamped to the end
  ASSERT_NE(root->AppendText("", 0, 0, false), nullptr);                // empty text is fine

  const std::string expected = "d1:a1:b4:bits2:\x01\xff" "4:parti0e5:seedsi-3el1:xi1ee7:torrent0:e";
  EXPECT_EQ(EncodeToString(root.get()), expected);
  EXPECT_EQ(EncodedSize(root.get()), static_cast<int>(expected.size()));

  std::string buffer = "prefix";
  ASSERT_TRUE(Encode(root.get(), buffer));
  EXPECT_EQ(buffer, "prefix" + expected);

  // Refusals leave the tree as it was.
  EXPECT_EQ(root->AppendText("", 0, 5, false), nullptr);
  EXPECT_EQ(root->AppendText("", 0, 0, true), nullptr);
  EXPECT_EQ(root->AppendText(nullptr, 3, 0, false), nullptr);
  EXPECT_EQ(root->Append(std::make_unique<QIntegerElement>()), nullptr);  // never parsed
  EXPECT_EQ(root->Append(nullptr), nullptr);
  EXPECT_EQ(EncodeToString(root.get()), expected);
}

TEST(BencodeElementTest, ChildrenMoveBetweenContainersAndCanBeRemoved) {
  auto source = ParseElement("l1:a1:b1:ce");
  auto target = NewList();
  ASSERT_NE(source, nullptr);
  QElement* b = source->ChildAt(1);
  EXPECT_EQ(target->Append(source->Detach(b)), b);
  EXPECT_EQ(b->Parent(), target.get());
  EXPECT_EQ(EncodeToString(source.get()), "l1:a1:ce");
  EXPECT_EQ(EncodeToString(target.get()), "l1:be");

  // Appending a child of another container moves it rather than sharing it.
  QElement* a = source->ChildAt(0);
  EXPECT_EQ(target->InsertAt(0, std::unique_ptr<QElement>(a)), a);
  EXPECT_EQ(EncodeToString(source.get()), "l1:ce");
  EXPECT_EQ(EncodeToString(target.get()), "l1:a1:be");

  // A container cannot be put inside itself or its own descendant.
  QElement* inner = target->Append(NewList());
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->Append(std::unique_ptr<QElement>(inner)), nullptr);
  EXPECT_EQ(EncodeToString(target.get()), "l1:a1:blee");

  EXPECT_FALSE(target->Delete(source->ChildAt(0)));  // not its child
  EXPECT_EQ(source->DetachAt(5), nullptr);
  EXPECT_TRUE(target->DeleteAt(0));
  EXPECT_EQ(EncodeToString(target.get()), "l1:blee");
  EXPECT_TRUE(target->DeleteAll());
  EXPECT_EQ(target->Count(), 0);
  EXPECT_EQ(EncodeToString(target.get()), "le");
}

TEST(BencodeElementTest, ResetElementsAreInvalidAndStopEncoding) {
  auto tree = ParseElement("d3:key5:valuee");
  ASSERT_NE(tree, nullptr);
  QElement* value = tree->ChildAt(1);
  value->Reset();
  EXPECT_FALSE(IsValid(value));
  EXPECT_EQ(TextLength(value), -1);
  EXPECT_EQ(TextBytes(value), "");
  EXPECT_EQ(SourceBytes(value), nullptr);
  EXPECT_EQ(LocalText(value), "");
  EXPECT_EQ(EncodedSize(tree.get()), 0);
  std::string buffer = "kept";
  EXPECT_FALSE(Encode(tree.get(), buffer));
  EXPECT_EQ(buffer, "kept");

  tree->Reset();
  EXPECT_EQ(tree->Count(), 0);
  EXPECT_EQ(tree->Kind(), QElement::kKindDictionary);
  EXPECT_FALSE(Encode(tree.get(), buffer));
  EXPECT_FALSE(IsValid(nullptr));
  EXPECT_EQ(EncodedSize(nullptr), 0);
}

TEST(BencodeElementTest, TextJoinsLocalTextsOfChildren) {
  auto path = ParseElement("l3:dir0:4:filee");
  ASSERT_NE(path, nullptr);
  // An empty part only counts once something precedes it.
  EXPECT_EQ(path->Text("/"), "dir//file");
  auto leadingEmpty = ParseElement("l0:1:ae");
  ASSERT_NE(leadingEmpty, nullptr);
  EXPECT_EQ(leadingEmpty->Text("/"), "a");
}

}  // namespace
}  // namespace pf
