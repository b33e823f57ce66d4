// pftool COMMAND [ARGS...]: hands the arguments to the named subcommand.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Command.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "usage: pftool COMMAND [ARGS...]\ncommands:\n");
  for (const pftool::Command& command : pftool::Commands()) std::fprintf(out, "%s\n", command.Usage("  ").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return pftool::kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    PrintUsage(stdout);
    return 0;
  }
  for (const pftool::Command& command : pftool::Commands()) {
    if (command.name != name) continue;
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
      std::printf("%s\n", command.Usage(pftool::kUsageLead).c_str());
      if (!command.notes.empty()) std::printf("%.*s\n", static_cast<int>(command.notes.size()), command.notes.data());
      return 0;
    }
    try {
      return command.run(args);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "pftool %s: %s\n", name.c_str(), error.what());
      return 1;
    }
  }
  std::fprintf(stderr, "pftool: unknown command \"%s\"\n", name.c_str());
  PrintUsage(stderr);
  return pftool::kExitUsage;
}
