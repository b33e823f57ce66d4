#include <cstdio>
#include <stdexcept>

#include "Command.h"

namespace pftool {
namespace {

constexpr Option kMakeTorrentOptions[] = {
    {"--piece-length", "N", true, false},
    {"--announce", "URL", true, true},
    {"--name", "NAME"},
    {"--comment", "TEXT"},
    {"-o", "OUT.torrent", true, false},
};
constexpr Option kDownloadOptions[] = {
    {"--torrent", "FILE", true, false},
    {"--target", "PATH", true, false},
    {"--source", "URL", false, true},
    {"--limit", "KBps"},
    {"--upload-limit", "KBps"},
    {"--interface", "IP"},
    {"--port", "N"},
    {"--peers", "N"},
    {"--resume", "STATEFILE"},
    {"--log", "BASE"},
    {"--telemetry", "INIFILE"},
    {"--ca-file", "PEM"},
};
constexpr Option kSeedOptions[] = {
    {"--torrent", "FILE", true, false},
    {"--target", "PATH", true, false},
    {"--interface", "IP"},
    {"--port", "N"},
    {"--peers", "N"},
    {"--upload-limit", "KBps"},
    {"--log", "BASE"},
    {"--telemetry", "INIFILE"},
};

constexpr size_t kUsageWidth = 100;

constexpr std::string_view kTargetNotes =
    "PATH: for a single-file torrent, the file. For a multi-file torrent, the folder to save in:\n"
    "the files go to PATH/<torrent name>/<paths> (to PATH/<paths> when PATH ends in the torrent's\n"
    "name); a PATH that is an existing file, or that names one of the torrent's files, is refused.";

}  // namespace

std::span<const Command> Commands() {
  static const Command kCommands[] = {
      {"torrent-info", {}, "FILE", RunTorrentInfo},
      {"make-torrent", kMakeTorrentOptions, "PATH", RunMakeTorrent},
      {"check", {}, "TORRENT FOLDER", RunCheck},
      {"resume-info", {}, "STATEFILE", RunResumeInfo},
      {"download", kDownloadOptions, "", RunDownload, kTargetNotes},
      {"seed", kSeedOptions, "", RunSeed, kTargetNotes},
  };
  return kCommands;
}

const Command& CommandNamed(std::string_view name) {
  for (const Command& command : Commands())
    if (command.name == name) return command;
  throw std::logic_error("no pftool command " + std::string(name));
}

const Option* Command::FindOption(std::string_view option) const {
  for (const Option& o : options)
    if (o.name == option) return &o;
  return nullptr;
}

std::string Command::Usage(std::string_view lead) const {
  std::vector<std::string> words;
  for (const Option& o : options) {
    std::string word = std::string(o.name) + " " + std::string(o.value);
    if (o.repeats) word = o.required ? word + " [" + word + " ...]" : word + " ...";
    if (!o.required) word = "[" + word + "]";
    words.push_back(word);
  }
  if (!operands.empty()) words.emplace_back(operands);
  std::string text = std::string(lead) + std::string(name);
  const std::string indent(text.size() + 1, ' ');
  size_t lineStart = 0;
  for (const std::string& word : words) {
    if (text.size() - lineStart + 1 + word.size() > kUsageWidth) {
      text += "\n" + indent;
      lineStart = text.size() - indent.size();
      text += word;
    } else {
      text += " " + word;
    }
  }
  return text;
}

int PrintCommandUsage(std::string_view name) {
  std::fprintf(stderr, "%s\n", CommandNamed(name).Usage(kUsageLead).c_str());
  return kExitUsage;
}

}  // namespace pftool
