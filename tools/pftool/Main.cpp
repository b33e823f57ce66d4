// pftool COMMAND [ARGS...]: hands the arguments to the named subcommand.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Command.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "usage: pftool COMMAND [ARGS...]\ncommands:\n");
  for (const pftool::Command& command : pftool::Commands())
    std::fprintf(out, "  %.*s\n", static_cast<int>(command.usage.size()), command.usage.data());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  const std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    PrintUsage(stdout);
    return 0;
  }
  for (const pftool::Command& command : pftool::Commands()) {
    if (command.name != name) continue;
    try {
      return command.run(std::vector<std::string>(argv + 2, argv + argc));
    } catch (const std::exception& error) {
      std::fprintf(stderr, "pftool %s: %s\n", name.c_str(), error.what());
      return 1;
    }
  }
  std::fprintf(stderr, "pftool: unknown command \"%s\"\n", name.c_str());
  PrintUsage(stderr);
  return 2;
}
