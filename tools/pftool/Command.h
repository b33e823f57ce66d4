#pragma once
// A pftool subcommand: its name, its operands, its options and its entry
// point. The table in CommandTable.cpp is the one place a command's syntax is
// written: the usage texts are made from it and the option parsers accept
// exactly what it lists. A new subcommand is one source file with its Run
// function plus one entry there.
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pftool {

// Arguments after the subcommand name. Answers the process exit code;
// messages for the user go to stderr, results to stdout.
using CommandFunction = int (*)(const std::vector<std::string>& args);

struct Option {
  std::string_view name;   // "--torrent"
  std::string_view value;  // what follows it, "FILE"
  bool required = false;
  bool repeats = false;    // may be given more than once
};

struct Command {
  std::string_view name;
  std::span<const Option> options;
  std::string_view operands;  // after the options, "TORRENT FOLDER"
  CommandFunction run;
  std::string_view notes = {};  // shown under the usage by COMMAND --help

  const Option* FindOption(std::string_view option) const;
  // `lead` + "NAME --opt VALUE [--opt VALUE ...] OPERANDS", folded at 100
  // columns with the continuation lines under the first option.
  std::string Usage(std::string_view lead = {}) const;
};

std::span<const Command> Commands();
const Command& CommandNamed(std::string_view name);
inline constexpr std::string_view kUsageLead = "usage: pftool ";
// The command's usage after kUsageLead, to stderr; answers the usage exit code.
int PrintCommandUsage(std::string_view name);
inline constexpr int kExitUsage = 2;

int RunTorrentInfo(const std::vector<std::string>& args);
int RunMakeTorrent(const std::vector<std::string>& args);
int RunCheck(const std::vector<std::string>& args);
int RunResumeInfo(const std::vector<std::string>& args);
int RunDownload(const std::vector<std::string>& args);
int RunSeed(const std::vector<std::string>& args);

}  // namespace pftool
