#pragma once
// A pftool subcommand: its name, a one-line usage text and its entry point.
// A new subcommand is one source file with its Run function plus one line in
// CommandTable.cpp.
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pftool {

// Arguments after the subcommand name. Answers the process exit code;
// messages for the user go to stderr, results to stdout.
using CommandFunction = int (*)(const std::vector<std::string>& args);

struct Command {
  std::string_view name;
  std::string_view usage;
  CommandFunction run;
};

std::span<const Command> Commands();

int RunTorrentInfo(const std::vector<std::string>& args);
int RunMakeTorrent(const std::vector<std::string>& args);
int RunCheck(const std::vector<std::string>& args);
int RunResumeInfo(const std::vector<std::string>& args);
int RunDownload(const std::vector<std::string>& args);
int RunSeed(const std::vector<std::string>& args);

}  // namespace pftool
