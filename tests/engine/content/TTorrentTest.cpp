#include "engine/content/TTorrent.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/content/Sha1.h"

namespace pf {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

// Bencode pieces for hand-made metainfo.
std::string S(const std::string& text) { return std::to_string(text.size()) + ":" + text; }
std::string I(int64_t value) { return "i" + std::to_string(value) + "e"; }
std::string Hashes(int count) { return std::string(static_cast<size_t>(count) * 20, 'h'); }

std::string SingleInfo(const std::string& name, int64_t length, int64_t pieceLength, int pieces) {
  return "d" + S("length") + I(length) + S("name") + S(name) + S("piece length") + I(pieceLength) +
         S("pieces") + S(Hashes(pieces)) + "e";
}

std::string FileEntry(int64_t length, const std::vector<std::string>& path) {
  std::string list = "l";
  for (const std::string& part : path) list += S(part);
  return "d" + S("length") + I(length) + S("path") + list + "ee";
}

std::string MultiInfo(const std::string& name, const std::vector<std::string>& entries,
                      int64_t pieceLength, int pieces) {
  std::string files = "l";
  for (const std::string& entry : entries) files += entry;
  return "d" + S("files") + files + "e" + S("name") + S(name) + S("piece length") +
         I(pieceLength) + S("pieces") + S(Hashes(pieces)) + "e";
}

std::string Torrent(const std::string& info, const std::string& before = S("announce") +
                                                                         S("http://t/ann")) {
  return "d" + before + S("info") + info + "e";
}

bool Open(TTorrent& torrent, const std::string& bytes) {
  return torrent.OpenBytes(bytes.data(), static_cast<int64_t>(bytes.size()));
}

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() /
            ("pf-ttorrent-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  fs::path path_;
};

struct FakeOwner : TTorrentOwner {
  void SetRunPhase(int phase) override { phases.push_back(phase); }
  void SetErrorCode(int code) override { errorCode = code; }
  void Fail(std::string_view text) override {
    failed = true;
    failText = text;
  }
  bool ReadTaskLinkTemplate(std::string_view link) override {
    templateLink = link;
    return templateResult;
  }
  std::vector<int> phases;
  int errorCode = 0;
  bool failed = false;
  std::string failText;
  std::string templateLink;
  bool templateResult = true;
};

TEST(TTorrentTest, SingleFileLayoutTextsAndHashForms) {
  const std::string info = "d" + S("length") + I(100000) + S("name") + S("setup.exe") +
                           S("piece length") + I(32768) + S("pieces") + S(Hashes(4)) +
                           S("publisher") + S("Studio") + "e";
  const std::string bytes = "d" + S("announce") + S("http://t/ann") + S("comment") + S("hi") +
                            S("creation date") + I(1700000000) + S("info") + info + "e";
  TTorrent torrent;
  torrent.SetBaseDirectory("/save");
  ASSERT_TRUE(Open(torrent, bytes)) << torrent.Error();

  const Sha1::Digest digest = Sha1::hash(info);
  EXPECT_TRUE(std::equal(digest.begin(), digest.end(), torrent.GetInfoHash().begin()));
  EXPECT_EQ(torrent.InfoHashHex(), Sha1::toHex(digest));
  EXPECT_EQ(torrent.Name(), "setup.exe");
  EXPECT_EQ(torrent.PieceLength(), 32768);
  EXPECT_EQ(torrent.PieceCount(), 4);
  EXPECT_EQ(torrent.PieceHashes(), Hashes(4));
  EXPECT_EQ(torrent.TotalLength(), 100000);
  EXPECT_EQ(torrent.Comment(), "hi");
  EXPECT_EQ(torrent.CreationDate(), 1700000000);
  EXPECT_EQ(torrent.Publisher(), "Studio");  // from inside info when the top level has none
  ASSERT_EQ(torrent.Files().size(), 1u);
  const TTorrentFile& file = torrent.Files()[0];
  EXPECT_EQ(file.place.path, "/save/setup.exe");
  EXPECT_EQ(file.relativeName, "setup.exe");
  EXPECT_EQ(file.length, 100000);
  EXPECT_EQ(file.lastPiece, 3);
  EXPECT_FALSE(torrent.IsMultiFile());

  // An explicit target file wins over save folder + name; an empty name gets
  // a stand-in.
  TTorrent target;
  target.SetTargetFile("/elsewhere/x.bin");
  ASSERT_TRUE(Open(target, Torrent(SingleInfo("", 10, 16384, 1))));
  EXPECT_EQ(target.Files()[0].place.path, "/elsewhere/x.bin");
  EXPECT_EQ(target.Files()[0].relativeName, "strRecommend");
}

TEST(TTorrentTest, EscapedHashKeepsLettersAndDigitsOnly) {
  TTorrent::InfoHash hash{};
  const std::string raw = "Az09 %/\xff\x00-._~abcdefghi"s;
  std::copy(raw.begin(), raw.begin() + 20, hash.begin());
  EXPECT_EQ(TTorrent::EscapeInfoHash(hash), "Az09%20%25%2f%ff%00%2d%2e%5f%7eabcdefg");
}

TEST(TTorrentTest, InfoHashIsTakenFromTheBytesAsStored) {
  // Unsorted keys, an unknown key, upper-case delimiters and trailing bytes
  // after the metainfo: a re-encoding would hash differently.
  const std::string info = "D" + S("pieces") + S(Hashes(1)) + S("name") + S("a") + S("zzz") +
                           S("extra") + S("piece length") + I(16384) + S("length") + I(5) + "E";
  // A value that reads like a key is not taken for one.
  const std::string bytes = Torrent(info, S("comment") + S("info")) + "trailing";
  TTorrent torrent;
  ASSERT_TRUE(Open(torrent, bytes)) << torrent.Error();
  EXPECT_EQ(torrent.InfoHashHex(), Sha1::toHex(Sha1::hash(info)));
  EXPECT_EQ(torrent.Comment(), "info");
}

TEST(TTorrentTest, MultiFileLayoutAndFolders) {
  TempDir save;
  const fs::path base = save.path() / "Game";  // the torrent's own folder, other case
  fs::create_directories(base);
  const std::string info = MultiInfo(
      "game",
      {FileEntry(40000, {"data", "a.pak"}), FileEntry(0, {"maps", ""}), FileEntry(0, {"empty"}),
       FileEntry(30000, {"b.pak"})},
      32768, 3);
  TTorrent torrent;
  torrent.SetBaseDirectory(base.string());
  ASSERT_TRUE(Open(torrent, Torrent(info))) << torrent.Error();
  EXPECT_TRUE(torrent.IsMultiFile());
  EXPECT_EQ(torrent.TotalLength(), 70000);

  struct Expected {
    const char* relative;
    int64_t length, offset, firstPiece, lastPiece;
  };
  const Expected expected[] = {{"game/data/a.pak", 40000, 0, 0, 1},
                               {"game/empty", 0, 40000, 1, 1},
                               {"game/b.pak", 30000, 40000, 1, 2}};
  ASSERT_EQ(torrent.Files().size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const TTorrentFile& file = torrent.Files()[i];
    SCOPED_TRACE(file.relativeName);
    EXPECT_EQ(file.relativeName, expected[i].relative);
    EXPECT_EQ(file.index, static_cast<int>(i));
    EXPECT_EQ(file.length, expected[i].length);
    EXPECT_EQ(file.offset, expected[i].offset);
    EXPECT_EQ(file.firstPiece, expected[i].firstPiece);
    EXPECT_EQ(file.lastPiece, expected[i].lastPiece);
    // Not nested twice: the save folder already is the torrent's folder.
    EXPECT_EQ(file.place.path, save.str() + "/" + expected[i].relative);
  }
  // The folder entry made its folder and no file.
  EXPECT_TRUE(fs::is_directory(save.path() / "game" / "maps"));
}

TEST(TTorrentTest, MalformedFileEntryEndsTheListAndTheLayoutCheckDecides) {
  // The entry without a path ends the list; what was read before still has to
  // match the pieces.
  const std::string stops = MultiInfo(
      "n", {FileEntry(10, {"a"}), "d" + S("length") + I(5) + "e", FileEntry(7, {"b"})}, 16384, 1);
  TTorrent torrent;
  ASSERT_TRUE(Open(torrent, Torrent(stops))) << torrent.Error();
  ASSERT_EQ(torrent.Files().size(), 1u);
  EXPECT_EQ(torrent.TotalLength(), 10);
}

TEST(TTorrentTest, TrackersAreCleanedAndTheAnnounceListWalked) {
  struct Case {
    std::string before;
    std::vector<std::string> trackers;
  };
  const Case cases[] = {
      {S("announce") + S(" \t http://a/ann|||"), {"http://a/ann"}},
      {S("announce") + S("*** udp://b:80||  "), {"udp://b:80||"}},  // trimmed after clean-up
      {S("announce") + S("0.0.0.0"), {""}},
      {S("announce") + S("xh"), {""}},  // one byte left is no URL
      // Without "announce" the first entry is empty; the list follows in order,
      // duplicates stay, "Tracker" is skipped and "Name" ends its own list only.
      {S("announce-list") + "l" + "l" + S("http://a/1") + S("Tracker") + S("http://a/1") + "e" +
           "l" + S("Name") + S("http://never") + "e" + "d" + S("k") + S("UDP://c/2|") + "e" + "e",
       {"", "http://a/1", "http://a/1", "", "UDP://c/2"}},
      {S("announce") + S("http://x") + S("announce-list") + S("http://not-a-list"), {"http://x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    TTorrent torrent;
    ASSERT_TRUE(Open(torrent, Torrent(SingleInfo("f", 1, 16384, 1), c.before))) << torrent.Error();
    EXPECT_EQ(torrent.Trackers(), c.trackers);
    EXPECT_EQ(torrent.Announce(), c.trackers.front());
  }
}

TEST(TTorrentTest, CodePagesConvertNamesAndTexts) {
  EXPECT_EQ(TTorrent::CodePageFromName("gbk"), 936);
  EXPECT_EQ(TTorrent::CodePageFromName("Big5"), 950);
  EXPECT_EQ(TTorrent::CodePageFromName("kor"), 949);
  EXPECT_EQ(TTorrent::CodePageFromName("SHIFT-JIS"), 932);
  EXPECT_EQ(TTorrent::CodePageFromName("UTF-8"), 0);

  const std::string big5Name = "\xb4\xfa\xb8\xd5";  // 測試
  const std::string gbkName = "\xb2\xe2\xca\xd4";   // 测试
  struct Case {
    std::string header;
    std::string name;
    int codePage;
    std::string localName;
  };
  const Case cases[] = {
      {S("codepage") + I(950), big5Name, 950, "測試"},
      {S("encoding") + S("gbk"), gbkName, 936, "测试"},
      {S("encoding") + S("UTF-8"), "测试", 0, "测试"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codePage);
    const std::string info =
        MultiInfo(c.name, {FileEntry(3, {c.name, "f"})}, 16384, 1);
    TTorrent torrent;
    ASSERT_TRUE(Open(torrent, Torrent(info, S("comment") + S(c.name) + c.header)))
        << torrent.Error();
    EXPECT_EQ(torrent.CodePage(), c.codePage);
    EXPECT_EQ(torrent.Name(), c.localName);
    EXPECT_EQ(torrent.Comment(), c.localName);
    EXPECT_EQ(torrent.Files()[0].relativeName, c.localName + "/" + c.localName + "/f");
  }

  // A code page once read stays for later openings, which no longer need to say it.
  TTorrent torrent;
  ASSERT_TRUE(Open(torrent, Torrent(SingleInfo(gbkName, 1, 16384, 1), S("encoding") + S("GBK"))));
  ASSERT_TRUE(Open(torrent, Torrent(SingleInfo(gbkName, 1, 16384, 1))));
  EXPECT_EQ(torrent.CodePage(), 936);
  EXPECT_EQ(torrent.Name(), "测试");
}

TEST(TTorrentTest, BadTorrentsAreRefusedAndLeaveNothingBehind) {
  TempDir save;
  const fs::path base = save.path() / "inside";
  fs::create_directories(base);
  const std::string good = Torrent(SingleInfo("f", 100, 16384, 1));
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"list at the top", "l" + S("a") + "e"},
      {"text at the top", S("abc")},
      {"truncated", good.substr(0, good.size() - 7)},
      {"string running past the end", "d" + S("info") + "9999:xx" + "e"},
      {"no info", "d" + S("announce") + S("http://a") + "e"},
      {"info not a dictionary", "d" + S("info") + "l" + S("x") + "ee"},
      {"info key carrying an integer", "d" + S("info") + I(3) + "e"},
      {"piece length 0", Torrent(SingleInfo("f", 100, 0, 1))},
      {"piece length negative", Torrent(SingleInfo("f", 100, -16384, 1))},
      {"piece length over 1 GiB", Torrent(SingleInfo("f", 100, (int64_t{1} << 30) + 1, 1))},
      {"pieces of 39 bytes",
       Torrent("d" + S("length") + I(1) + S("name") + S("f") + S("piece length") + I(16384) +
               S("pieces") + S(std::string(39, 'h')) + "e")},
      {"pieces missing",
       Torrent("d" + S("length") + I(1) + S("name") + S("f") + S("piece length") + I(16384) + "e")},
      {"too many pieces for the length", Torrent(SingleInfo("f", 100, 16384, 2))},
      {"too few pieces for the length", Torrent(SingleInfo("f", 40000, 16384, 2))},
      {"length 0", Torrent(SingleInfo("f", 0, 16384, 1))},
      {"length negative", Torrent(SingleInfo("f", -5, 16384, 1))},
      {"no length and no files",
       Torrent("d" + S("name") + S("f") + S("piece length") + I(16384) + S("pieces") +
               S(Hashes(1)) + "e")},
      {"empty files list", Torrent(MultiInfo("n", {}, 16384, 1))},
      {"only a folder entry", Torrent(MultiInfo("n", {FileEntry(0, {"d", ""})}, 16384, 1))},
      {"negative file length",
       Torrent(MultiInfo("n", {FileEntry(16384, {"a"}), FileEntry(-16384, {"b"})}, 16384, 1))},
      {"file lengths overflowing",
       Torrent(MultiInfo("n",
                         {FileEntry(INT64_MAX, {"a"}), FileEntry(INT64_MAX, {"b"}),
                          FileEntry(2, {"c"})},
                         16384, 1))},
      {"name ..", Torrent(SingleInfo("..", 100, 16384, 1))},
      {"name with a separator", Torrent(SingleInfo("../f", 100, 16384, 1))},
      {"multi-file name ..", Torrent(MultiInfo("..", {FileEntry(100, {"a"})}, 16384, 1))},
      {"component ..", Torrent(MultiInfo("n", {FileEntry(100, {"..", "..", "x"})}, 16384, 1))},
      {"component .", Torrent(MultiInfo("n", {FileEntry(100, {".", "x"})}, 16384, 1))},
      {"empty inner component", Torrent(MultiInfo("n", {FileEntry(100, {"a", "", "x"})}, 16384, 1))},
      {"absolute component", Torrent(MultiInfo("", {FileEntry(100, {"/etc/x"})}, 16384, 1))},
      {"backslash inside", Torrent(MultiInfo("n", {FileEntry(100, {"..\\x"})}, 16384, 1))},
      {"drive letter", Torrent(MultiInfo("", {FileEntry(100, {"C:", "x"})}, 16384, 1))},
      {"NUL inside", Torrent(MultiInfo("n", {FileEntry(100, {"..\0/x"s})}, 16384, 1))},
      {"folder entry climbing out",
       Torrent(MultiInfo("", {FileEntry(0, {"..", "escaped", ""}), FileEntry(100, {"a"})}, 16384,
                         1))},
      {"two files on one path",
       Torrent(MultiInfo("n", {FileEntry(8192, {"a"}), FileEntry(8192, {"a"})}, 16384, 1))},
      {"a file that is a folder of another",
       Torrent(MultiInfo("n", {FileEntry(8192, {"a"}), FileEntry(8192, {"a", "b"})}, 16384, 1))},
      {"a folder that is a later file",
       Torrent(MultiInfo("n", {FileEntry(8192, {"a", "b", "c"}), FileEntry(8192, {"a", "b"})}, 16384, 1))},
      {"path component a list",
       Torrent(MultiInfo("n",
                         {"d" + S("length") + I(100) + S("path") + "l" + "l" + S("x") + "ee" + "e"},
                         16384, 1))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TTorrent torrent;
    torrent.SetBaseDirectory(base.string());
    ASSERT_TRUE(Open(torrent, good));  // the failure must also clear an earlier success
    EXPECT_FALSE(Open(torrent, c.bytes));
    EXPECT_FALSE(torrent.Error().empty());
    EXPECT_TRUE(torrent.InfoHashHex().empty());
    EXPECT_TRUE(torrent.Files().empty());
    EXPECT_TRUE(torrent.Trackers().empty());
    EXPECT_EQ(torrent.PieceCount(), 0);
  }
  // Nothing was made beside the save folder.
  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(save.path()))
    entries.push_back(entry.path().filename().string());
  EXPECT_EQ(entries, std::vector<std::string>{"inside"});
}

TEST(TTorrentTest, OpenChoosesItsSourceAndReportsToTheOwner) {
  TempDir dir;
  const std::string bytes = Torrent(SingleInfo("f", 100, 16384, 1));
  const fs::path file = dir.path() / "x.torrent";
  std::ofstream(file, std::ios::binary) << bytes;
  const fs::path tiny = dir.path() / "tiny.torrent";
  std::ofstream(tiny, std::ios::binary) << "de";

  {  // a file:// task link, any letter case
    FakeOwner owner;
    TTorrent torrent(&owner);
    torrent.SetTaskLink("FILE://" + file.string());
    ASSERT_TRUE(torrent.Open()) << torrent.Error();
    EXPECT_EQ(torrent.Name(), "f");
    EXPECT_EQ(owner.phases, (std::vector<int>{3, 4}));
  }
  {  // bytes in memory win over the link
    TTorrent torrent;
    torrent.SetTaskLink("file:///nonexistent");
    torrent.SetTorrentBytes(Torrent(SingleInfo("mem", 100, 16384, 1)));
    ASSERT_TRUE(torrent.Open());
    EXPECT_EQ(torrent.Name(), "mem");
  }
  {  // a task-link template goes to the owner's template reader
    FakeOwner owner;
    TTorrent torrent(&owner);
    torrent.SetTaskLink("a|b|$End$");
    torrent.SetTorrentBytes(bytes);
    EXPECT_TRUE(torrent.Open());
    EXPECT_EQ(owner.templateLink, "a|b|$End$");
    EXPECT_EQ(owner.phases, (std::vector<int>{3, 4}));
  }
  // Content that cannot be a torrent marks the task; a refused address does not.
  struct Case {
    std::string address;
    int errorCode;
  };
  const Case cases[] = {
      {"file://" + (dir.path() / "missing").string(), TTorrent::kErrorUnreadable},
      {"file://" + tiny.string(), TTorrent::kErrorUnreadable},
      {"file://" + dir.str(), TTorrent::kErrorUnreadable},  // a folder
      {"http://kademlia/abc", 0},
      {"http://host/x.torrent", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    FakeOwner owner;
    TTorrent torrent(&owner);
    EXPECT_FALSE(torrent.OpenFileAddress(c.address));
    EXPECT_EQ(owner.errorCode, c.errorCode);
    EXPECT_EQ(owner.failed, c.errorCode != 0);
    EXPECT_TRUE(owner.failText.empty());
  }
}

struct FakePrevious : TTorrentPreviousFiles {
  bool IsComplete() const override { return complete; }
  int FileCount() const override { return static_cast<int>(places.size()); }
  bool FilePlace(int index, TTorrentFilePlace& place) const override {
    if (index < 0 || index >= FileCount()) return false;
    place = places[static_cast<size_t>(index)];
    return true;
  }
  void ClearFileState() override { ++clears; }
  bool complete = true;
  std::vector<TTorrentFilePlace> places;
  int clears = 0;
};

TEST(TTorrentTest, FilesOnTheirWayKeepTheirPlaceFromThePreviousMap) {
  TempDir dir;
  const std::string onDisk = (dir.path() / "old" / "a.pak.pftmp").string();
  fs::create_directories(dir.path() / "old");
  std::ofstream(onDisk) << "x";
  const std::string info =
      MultiInfo("n", {FileEntry(10, {"a.pak"}), FileEntry(10, {"b.pak"})}, 16384, 1);

  for (bool complete : {true, false}) {
    SCOPED_TRACE(complete);
    auto previous = std::make_shared<FakePrevious>();
    previous->complete = complete;
    previous->places = {{onDisk, dir.str() + "/old/a.pak", true},
                        {dir.str() + "/gone.pftmp", dir.str() + "/gone", true}};
    TTorrent torrent(nullptr, previous);
    torrent.SetBaseDirectory(dir.str());
    ASSERT_TRUE(Open(torrent, Torrent(info))) << torrent.Error();
    const TTorrentFile& a = torrent.Files()[0];
    const TTorrentFile& b = torrent.Files()[1];
    if (complete) {
      EXPECT_EQ(a.place.path, onDisk);
      EXPECT_EQ(a.place.finalPath, dir.str() + "/old/a.pak");
      EXPECT_TRUE(a.place.usesTempName);
      EXPECT_EQ(previous->clears, 2);  // before reuse and after success
    } else {
      EXPECT_EQ(a.place.path, dir.str() + "/n/a.pak");
      EXPECT_EQ(previous->clears, 0);
    }
    // A file that is no longer on disk is laid out afresh.
    EXPECT_EQ(b.place.path, dir.str() + "/n/b.pak");
    EXPECT_FALSE(b.place.usesTempName);
    // After a successful read the previous map is let go.
    EXPECT_EQ(previous.use_count(), 1);
  }
}

}  // namespace
}  // namespace pf
