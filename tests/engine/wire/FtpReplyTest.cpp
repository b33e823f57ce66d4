#include "engine/wire/FtpReply.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pf {
namespace {

using State = FtpReplyScan::State;

struct Taken {
  std::vector<int> codes;  // replies in the order they were taken
  std::string firstText;
  std::string left;        // bytes no reply took
  State last = State::kIncomplete;
};

// Feeds `input` in pieces of `step` bytes, taking every complete reply as
// the peer does: the rest stays buffered for the next read.
Taken TakeAll(const std::string& input, size_t step) {
  Taken taken;
  std::string buffered;
  for (size_t at = 0; at < input.size(); at += step) {
    buffered += input.substr(at, step);
    for (;;) {
      const FtpReplyScan scan = FtpReplyScan::Read(buffered);
      taken.last = scan.state;
      if (scan.state != State::kComplete) break;
      if (taken.codes.empty()) taken.firstText = scan.reply.text;
      taken.codes.push_back(scan.reply.code);
      buffered.erase(0, scan.length);
    }
    if (taken.last == State::kMalformed) break;
  }
  taken.left = buffered;
  return taken;
}

TEST(FtpReplyScan, TakesOneReplyAtATimeWhateverPiecesItComesIn) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<int> codes;
    std::string firstText;
    std::string left;
    State last;
  };
  const Case cases[] = {
      {"single line", "220 Ready\r\n", {220}, "Ready", "", State::kIncomplete},
      {"continuation lines up to the final one",
       "220-Welcome\r\n220-to the mirror\r\n 220 indented, not the end\r\n220 Ready\r\n", {220}, "Welcome", "",
       State::kIncomplete},
      {"a line of another code inside a multi-line reply",
       "211-Features:\r\n 213 SIZE\r\n230 not the end either\r\n211 End\r\n", {211}, "Features:", "",
       State::kIncomplete},
      {"two replies in one read are two replies", "150 Opening\r\n226 Done\r\n", {150, 226}, "Opening", "",
       State::kIncomplete},
      {"bare line feeds", "331 Password please\n230 In\n", {331, 230}, "Password please", "", State::kIncomplete},
      {"code alone", "200\r\n", {200}, "", "", State::kIncomplete},
      {"a cut reply waits for its end", "220-Hello\r\n220 Rea", {}, "", "220-Hello\r\n220 Rea", State::kIncomplete},
      {"a reply then half of the next", "350 Restart ok\r\n15", {350}, "Restart ok", "15", State::kIncomplete},
      {"no code", "hello there\r\n", {}, "", "hello there\r\n", State::kMalformed},
      {"code out of range", "999 what\r\n", {}, "", "999 what\r\n", State::kMalformed},
      {"code glued to its text", "220Ready\r\n", {}, "", "220Ready\r\n", State::kMalformed},
      {"HTTP answer", "HTTP/1.1 400 Bad Request\r\n", {}, "", "HTTP/1.1 400 Bad Request\r\n", State::kMalformed},
  };
  for (const Case& c : cases) {
    for (const size_t step : {c.input.size(), size_t{1}, size_t{5}}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(step));
      const Taken t = TakeAll(c.input, step);
      EXPECT_EQ(t.codes, c.codes);
      EXPECT_EQ(t.firstText, c.firstText);
      EXPECT_EQ(t.left, c.left);
      EXPECT_EQ(t.last, c.last);
    }
  }
}

TEST(FtpReplyScan, AReplyThatNeverEndsIsNoFtp) {
  const std::string endless = "220-" + std::string(FtpReplyScan::kMaxReplyBytes, 'x');
  EXPECT_EQ(FtpReplyScan::Read(endless).state, State::kMalformed);
  std::string lines = "220-Welcome\r\n";
  while (lines.size() < FtpReplyScan::kMaxReplyBytes) lines += "220-more\r\n";
  EXPECT_EQ(FtpReplyScan::Read(lines).state, State::kMalformed);
  EXPECT_EQ(FtpReplyScan::Read(lines.substr(0, 4096)).state, State::kIncomplete);
}

std::string Address(uint32_t ip) {
  char text[INET_ADDRSTRLEN];
  ::inet_ntop(AF_INET, &ip, text, sizeof text);
  return text;
}

TEST(ParsePassiveReply, ReadsSixFieldsAndRefusesEverythingElse) {
  struct Case {
    const char* text;
    bool ok;
    const char* ip;
    int port;
  };
  const Case cases[] = {
      {"Entering Passive Mode (10,0,0,5,19,136).", true, "10.0.0.5", 5000},
      {"Entering Passive Mode (127, 0, 0, 1, 117, 48)", true, "127.0.0.1", 30000},
      {"Entering Passive Mode 127,0,0,2,0,21", true, "127.0.0.2", 21},
      {"=127,0,0,1,255,255", true, "127.0.0.1", 65535},
      {"Entering Passive Mode (127,0,0,1,117)", false, "", 0},
      {"Entering Passive Mode (127,0,0,1,117,48,1)", false, "", 0},
      {"Entering Passive Mode (127,0,0,256,1,1)", false, "", 0},
      {"Entering Passive Mode (127,0,0,1,0,0)", false, "", 0},
      {"Entering Passive Mode (127,0,0,1,1,0001)", false, "", 0},
      {"Entering Passive Mode (127,0,0,1,1,1", false, "", 0},
      {"Entering Passive Mode (a,b,c,d,e,f)", false, "", 0},
      {"Entering Passive Mode", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto passive = ParsePassiveReply(c.text);
    ASSERT_EQ(passive.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(Address(passive->ip), c.ip);
    EXPECT_EQ(passive->port, c.port);
  }
}

TEST(ParseSizeReply, ReadsDecimalAndHexWithin64Bits) {
  struct Case {
    const char* text;
    std::optional<int64_t> size;
  };
  const Case cases[] = {
      {"25178169", 25178169},
      {"5368709120", int64_t{5368709120}},  // beyond 32 bits
      {"0x1000", 4096},
      {"1024 bytes", 1024},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"-5", std::nullopt},
      {"12ab", std::nullopt},
      {"", std::nullopt},
      {"File not found", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseSizeReply(c.text), c.size);
  }
}

TEST(FtpCommand, NoArgumentCanStartASecondCommand) {
  EXPECT_EQ(FtpCommand("REST", "2147483648"), "REST 2147483648\r\n") << "offsets beyond 2 GB in full";
  EXPECT_EQ(FtpCommand("PASV"), "PASV\r\n");
  for (const std::string& argument : {std::string("name\r\nDELE x"), std::string("name\rx"), std::string("name\nx"),
                                      std::string("a\0b", 3)}) {
    EXPECT_FALSE(FtpCommand("USER", argument)) << argument;
  }
}

TEST(SplitFtpPath, FolderNameAndPathDecodedFromTheAddress) {
  struct Case {
    const char* escaped;
    bool ok;
    const char* directory;
    const char* fileName;
    const char* path;
  };
  const Case cases[] = {
      {"/pub/dir/file.bin", true, "/pub/dir", "file.bin", "/pub/dir/file.bin"},
      {"/file.bin", true, "/", "file.bin", "/file.bin"},
      {"/my%20dir/a%20b.bin", true, "/my dir", "a b.bin", "/my dir/a b.bin"},
      {"/%e4%b8%ad/x", true, "/\xe4\xb8\xad", "x", "/\xe4\xb8\xad/x"},
      {"/", false, "", "", ""},
      {"/pub/", false, "", "", ""},
      {"/a%0d%0aDELE%20b", false, "", "", ""},
      {"/a%00.bin", false, "", "", ""},
      {"/50%off.bin", false, "", "", ""},
      {"/cut%2", false, "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.escaped);
    const auto path = SplitFtpPath(c.escaped);
    ASSERT_EQ(path.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(path->directory, c.directory);
    EXPECT_EQ(path->fileName, c.fileName);
    EXPECT_EQ(path->path, c.path);
  }
}

}  // namespace
}  // namespace pf
