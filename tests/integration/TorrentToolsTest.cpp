// Torrents made by other tools read the same in pftool as in those tools'
// own readers, and torrents made by pftool read the same in theirs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Debian's libtorrent bindings belong to the system interpreter.
constexpr const char* kPython = "/usr/bin/python3";

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class TorrentToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pf-torrent-tools-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
    // Content: one file and a small tree with a nested folder, an empty file
    // and a UTF-8 name, sizes that do not fill the last piece.
    single_ = dir_ / "content" / "setup.bin";
    tree_ = dir_ / "content" / "pack";
    fs::create_directories(tree_ / "data" / "deeper");
    std::mt19937 random(7);
    auto write = [&](const fs::path& path, size_t size) {
      std::string bytes(size, '\0');
      for (char& c : bytes) c = static_cast<char>(random());
      std::ofstream(path, std::ios::binary) << bytes;
    };
    write(single_, 100001);
    write(tree_ / "readme.txt", 1234);
    write(tree_ / "data" / "a.pak", 70000);
    write(tree_ / "data" / "deeper" / "b.pak", 33000);
    write(tree_ / "data" / "\xc3\xa9t\xc3\xa9.txt", 17);
    write(tree_ / "zero", 0);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Result Run(const std::string& command) {
    const fs::path out = dir_ / "stdout";
    const fs::path err = dir_ / "stderr";
    Result result;
    const int status = std::system((command + " >" + Quote(out.string()) + " 2>" +
                                    Quote(err.string()) + " </dev/null")
                                       .c_str());
    result.status = WEXITSTATUS(status);
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    return result;
  }

  // Fails the test with a hint instead of skipping when a peer tool is absent.
  void Require(const std::string& check, const std::string& what) {
    if (Run(check).status != 0)
      FAIL() << what << " is missing; scripts/setup installs it (mktorrent, transmission-cli, "
                        "python3-libtorrent)";
  }

  fs::path Torrent(const std::string& label) { return dir_ / (label + ".torrent"); }

  fs::path dir_;
  fs::path single_;
  fs::path tree_;
};

// What a reader says about a torrent.
struct Report {
  std::string infoHash;
  long pieces = -1;
  std::vector<std::pair<long long, std::string>> files;  // length, relative name
  std::vector<std::string> names;                        // without lengths

  friend bool operator==(const Report&, const Report&) = default;
};

std::string After(const std::string& line, const std::string& prefix) {
  return line.compare(0, prefix.size(), prefix) == 0 ? line.substr(prefix.size()) : std::string();
}

Report ParseLines(const std::string& text) {
  Report report;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("info_hash: ", 0) == 0) report.infoHash = After(line, "info_hash: ");
    if (line.rfind("pieces: ", 0) == 0) report.pieces = std::stol(After(line, "pieces: "));
    if (line.rfind("file: ", 0) == 0) {
      const std::string rest = After(line, "file: ");
      const size_t space = rest.find(' ');
      report.files.emplace_back(std::stoll(rest.substr(0, space)), rest.substr(space + 1));
      report.names.push_back(rest.substr(space + 1));
    }
  }
  return report;
}

// The "FILES" section of transmission-show lists "name (size)"; sizes are rounded.
Report ParseTransmission(const std::string& text) {
  Report report;
  std::istringstream lines(text);
  std::string line;
  bool inFiles = false;
  while (std::getline(lines, line)) {
    const size_t start = line.find_first_not_of(' ');
    const std::string trimmed = start == std::string::npos ? "" : line.substr(start);
    if (trimmed.rfind("Hash: ", 0) == 0 && report.infoHash.empty())
      report.infoHash = After(trimmed, "Hash: ");
    if (trimmed.rfind("Piece Count: ", 0) == 0)
      report.pieces = std::stol(After(trimmed, "Piece Count: "));
    if (line == "FILES") {
      inFiles = true;
      continue;
    }
    if (inFiles && !trimmed.empty()) {
      const size_t paren = trimmed.rfind(" (");
      report.names.push_back(trimmed.substr(0, paren));
    }
  }
  return report;
}

class Readers : public TorrentToolsTest {
 protected:
  Report Pftool(const fs::path& torrent) {
    const Result result = Run(std::string(PFTOOL_PATH) + " torrent-info " + Quote(torrent.string()));
    EXPECT_EQ(result.status, 0) << result.err;
    return ParseLines(result.out);
  }
  Report Libtorrent(const fs::path& torrent) {
    const std::string script =
        "import sys, libtorrent as lt\n"
        "ti = lt.torrent_info(sys.argv[1])\n"
        "print('info_hash: %s' % ti.info_hash())\n"
        "print('pieces: %d' % ti.num_pieces())\n"
        "fs = ti.files()\n"
        "for i in range(fs.num_files()):\n"
        "    print('file: %d %s' % (fs.file_size(i), fs.file_path(i)))\n";
    std::ofstream(dir_ / "read.py") << script;
    const Result result =
        Run(std::string(kPython) + " " + Quote((dir_ / "read.py").string()) + " " +
            Quote(torrent.string()));
    EXPECT_EQ(result.status, 0) << result.err;
    return ParseLines(result.out);
  }
  Report Transmission(const fs::path& torrent) {
    const Result result = Run("transmission-show " + Quote(torrent.string()));
    EXPECT_EQ(result.status, 0) << result.err;
    return ParseTransmission(result.out);
  }

  // pftool must agree with both readers on the torrent another tool made.
  void ExpectSameReading(const fs::path& torrent, size_t dataFiles) {
    SCOPED_TRACE(torrent.filename().string());
    const Report ours = Pftool(torrent);
    const Report lt = Libtorrent(torrent);
    const Report tr = Transmission(torrent);
    ASSERT_EQ(ours.infoHash.size(), 40u);
    // Tools differ on whether an empty file is listed; the data files are always there.
    EXPECT_GE(ours.files.size(), dataFiles);
    EXPECT_EQ(ours, lt);
    EXPECT_EQ(ours.infoHash, tr.infoHash);
    EXPECT_EQ(ours.pieces, tr.pieces);
    std::vector<std::string> ourNames = ours.names, theirNames = tr.names;
    std::sort(ourNames.begin(), ourNames.end());
    std::sort(theirNames.begin(), theirNames.end());
    EXPECT_EQ(ourNames, theirNames);
  }

  void RequireReaders() {
    Require("command -v transmission-show", "transmission-show (transmission-cli)");
    Require(std::string(kPython) + " -c 'import libtorrent'", "python3-libtorrent");
  }
};

TEST_F(Readers, TorrentsMadeByMktorrent) {
  ASSERT_NO_FATAL_FAILURE(RequireReaders());
  ASSERT_NO_FATAL_FAILURE(Require("command -v mktorrent", "mktorrent"));
  for (const fs::path& content : {single_, tree_}) {
    const fs::path out = Torrent("mk-" + content.filename().string());
    const Result made = Run("mktorrent -l 15 -a http://127.0.0.1:6969/announce -a "
                            "udp://127.0.0.1:6969 -o " + Quote(out.string()) + " " +
                            Quote(content.string()));
    ASSERT_EQ(made.status, 0) << made.err;
    ExpectSameReading(out, content == single_ ? 1 : 4);
  }
}

TEST_F(Readers, TorrentsMadeByTransmission) {
  ASSERT_NO_FATAL_FAILURE(RequireReaders());
  ASSERT_NO_FATAL_FAILURE(
      Require("command -v transmission-create", "transmission-create (transmission-cli)"));
  for (const fs::path& content : {single_, tree_}) {
    const fs::path out = Torrent("tr-" + content.filename().string());
    const Result made = Run("transmission-create -s 16 -t http://127.0.0.1:6969/announce -o " +
                            Quote(out.string()) + " " + Quote(content.string()));
    ASSERT_EQ(made.status, 0) << made.err;
    ExpectSameReading(out, content == single_ ? 1 : 4);
  }
}

TEST_F(Readers, TorrentsMadeByLibtorrent) {
  ASSERT_NO_FATAL_FAILURE(RequireReaders());
  const std::string script =
      "import sys, os, libtorrent as lt\n"
      "fs = lt.file_storage()\n"
      "lt.add_files(fs, sys.argv[1])\n"
      "t = lt.create_torrent(fs, 65536, flags=lt.create_torrent.v1_only)\n"
      "t.add_tracker('http://127.0.0.1:6969/announce')\n"
      "lt.set_piece_hashes(t, os.path.dirname(sys.argv[1]))\n"
      "open(sys.argv[2], 'wb').write(lt.bencode(t.generate()))\n";
  std::ofstream(dir_ / "make.py") << script;
  for (const fs::path& content : {single_, tree_}) {
    const fs::path out = Torrent("lt-" + content.filename().string());
    const Result made = Run(std::string(kPython) + " " + Quote((dir_ / "make.py").string()) + " " +
                            Quote(content.string()) + " " + Quote(out.string()));
    ASSERT_EQ(made.status, 0) << made.err;
    ExpectSameReading(out, content == single_ ? 1 : 4);
  }
}

TEST_F(Readers, TorrentsMadeByPftoolReadTheSameElsewhere) {
  ASSERT_NO_FATAL_FAILURE(RequireReaders());
  for (const fs::path& content : {single_, tree_}) {
    SCOPED_TRACE(content.filename().string());
    const fs::path out = Torrent("pf-" + content.filename().string());
    const Result made = Run(std::string(PFTOOL_PATH) +
                            " make-torrent --piece-length 32768 --announce "
                            "http://127.0.0.1:6969/announce --announce udp://127.0.0.1:6970 "
                            "--comment 'made here' -o " +
                            Quote(out.string()) + " " + Quote(content.string()));
    ASSERT_EQ(made.status, 0) << made.err;
    const Report ours = Pftool(out);
    EXPECT_EQ(made.out, "info_hash: " + ours.infoHash + "\n");
    ExpectSameReading(out, content == single_ ? 1 : 4);

    // Both trackers reach the other clients; transmission lists them per tier.
    const std::string shown = Run("transmission-show " + Quote(out.string())).out;
    EXPECT_NE(shown.find("http://127.0.0.1:6969/announce"), std::string::npos) << shown;
    EXPECT_NE(shown.find("udp://127.0.0.1:6970"), std::string::npos) << shown;
    EXPECT_NE(shown.find("made here"), std::string::npos) << shown;
  }
}

TEST_F(TorrentToolsTest, TorrentInfoRefusesUnusableFiles) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty", ""},
      {"not bencode", "hello world"},
      {"escaping path",
       "d4:infod5:filesld6:lengthi5e4:pathl2:..6:passwdeee4:name1:n12:piece lengthi16384e"
       "6:pieces20:aaaaaaaaaaaaaaaaaaaaee"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir_ / (std::string(c.name) + ".torrent");
    std::ofstream(path, std::ios::binary) << c.bytes;
    const Result result = Run(std::string(PFTOOL_PATH) + " torrent-info " + Quote(path.string()));
    EXPECT_NE(result.status, 0);
    EXPECT_TRUE(result.out.empty()) << result.out;
    EXPECT_NE(result.err.find("not a usable torrent"), std::string::npos) << result.err;
  }
  const Result missing = Run(std::string(PFTOOL_PATH) + " torrent-info " +
                             Quote((dir_ / "nowhere.torrent").string()));
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
}

}  // namespace

namespace pf {
namespace {

using OptionsByCommand = std::map<std::string, std::set<std::string>>;

// The options a usage text names for each command: a line that begins with
// `lead` and a command's name opens that command's entry, lines that begin
// with a space continue it, anything else closes it.
OptionsByCommand OptionsIn(const std::string& text, const std::string& lead) {
  static const char* const kCommands[] = {"torrent-info", "make-torrent", "check", "resume-info", "download", "seed"};
  static const std::regex optionWord("(^|[ \\[])(-{1,2}[a-z][a-z-]*)");
  OptionsByCommand found;
  std::set<std::string>* current = nullptr;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::set<std::string>* opened = nullptr;
    for (const char* command : kCommands) {
      const std::string head = lead + command;
      if (line.compare(0, head.size(), head) == 0 && (line.size() == head.size() || line[head.size()] == ' '))
        opened = &found[command];
    }
    if (opened) current = opened;
    else if (line.empty() || line[0] != ' ') current = nullptr;
    if (!current) continue;
    const std::string words = line.substr(0, line.find('#'));  // the README's remarks
    for (auto it = std::sregex_iterator(words.begin(), words.end(), optionWord); it != std::sregex_iterator(); ++it)
      current->insert((*it)[2]);
  }
  return found;
}

// The usage texts come from one table: the general usage, each command's
// help and the README's pftool section name the same options for every
// command, and every option shown is one its parser takes (it asks for the
// option's value rather than calling it unknown).
TEST_F(TorrentToolsTest, UsageListsWhatTheParsersTake) {
  const Result general = Run(std::string(PFTOOL_PATH));
  EXPECT_EQ(general.status, 2);
  const OptionsByCommand listed = OptionsIn(general.err, "  ");
  EXPECT_EQ(listed.size(), 6u) << general.err;
  OptionsByCommand helped;
  for (const auto& [command, options] : listed) {
    const Result help = Run(std::string(PFTOOL_PATH) + " " + command + " --help");
    ASSERT_EQ(help.status, 0) << command;
    helped[command] = OptionsIn(help.out, "usage: pftool ")[command];
    for (const std::string& option : options) {
      const Result alone = Run(std::string(PFTOOL_PATH) + " " + command + " " + option);
      EXPECT_EQ(alone.err.find("unknown option"), std::string::npos) << command << " " << option << ": " << alone.err;
    }
  }
  EXPECT_EQ(helped, listed) << "each command's help and the general usage";
  ASSERT_EQ(listed.count("download"), 1u);
  EXPECT_EQ(listed.at("download").size(), 12u) << "the options are read: " << general.err;
  EXPECT_EQ(OptionsIn(ReadFile(PF_README_PATH), "    pftool "), listed) << "the README's pftool section";
  for (const char* command : {"make-torrent", "download", "seed"}) {
    const Result unknown = Run(std::string(PFTOOL_PATH) + " " + command + " --no-such-option 1");
    EXPECT_NE(unknown.err.find("unknown option --no-such-option"), std::string::npos) << command;
    EXPECT_EQ(unknown.status, 2) << command;
  }
}

}  // namespace
}  // namespace pf
