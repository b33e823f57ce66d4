#include "ui/program/ProgramOptions.h"

#include <charconv>
#include <functional>
#include <utility>

#include "app/TaskShares.h"

namespace pf::ui {
namespace {

struct Option {
  const char* name;
  const char* value;  // nullptr: a flag
  const char* help;
  std::function<bool(ProgramOptions&, const std::string&)> apply;
};

bool ParseInt(const std::string& text, int* out) {
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, *out);
  return error == std::errc() && at == end;
}

constexpr std::pair<ExitStatus, const char*> kExitMeanings[] = {
    {ExitStatus::kDone, "the installer started (with --exit-on-finish: every file arrived)"},
    {ExitStatus::kFailed, "the program could not set up, or the download failed"},
    {ExitStatus::kUsage, "the command line was wrong"},
    {ExitStatus::kUserQuit, "the user quit first"},
    {ExitStatus::kExpired, "this build has expired"},
    {ExitStatus::kAlreadyRunning, "another copy runs; it was brought forward"},
};

const std::vector<Option>& Options() {
  static const std::vector<Option> options = {
      {"--headless", nullptr, "the terminal front end, even where a display is",
       [](ProgramOptions& o, const std::string&) { return o.headless = true; }},
      {"--start", nullptr, "press Start (or Resume) at once",
       [](ProgramOptions& o, const std::string&) { return o.start = true; }},
      {"--install", nullptr, "press Install once every file has arrived",
       [](ProgramOptions& o, const std::string&) { return o.install = true; }},
      {"--exit-on-finish", nullptr, "end as soon as every file has arrived (before verification)",
       [](ProgramOptions& o, const std::string&) { return o.exitOnFinish = true; }},
      {"--verify", "yes|no", "answer the question whether to verify the files before installing",
       [](ProgramOptions& o, const std::string& v) {
         if (v != "yes" && v != "no") return false;
         o.verify = v == "yes";
         return true;
       }},
      {"--limit", "KBps", "download rate limit, 10 to 30000 KB/s, 0 for none",
       [](ProgramOptions& o, const std::string& v) {
         int rate = 0;
         if (!ParseInt(v, &rate) || (rate != 0 && (rate < kLowestRateLimitKB || rate > kHighestRateLimitKB)))
           return false;
         o.rateLimit = rate;
         return true;
       }},
      {"--save", "DIR", "the folder the package goes to (a folder QLN156 is made in it)",
       [](ProgramOptions& o, const std::string& v) {
         if (v.empty() || v[0] != '/') return false;
         o.saveFolder = v;
         return true;
       }},
      {"--shutdown-when-done", nullptr, "shut the computer down one minute after the download has finished",
       [](ProgramOptions& o, const std::string&) { return o.shutdownWhenDone = true; }},
      {"--no-upnp", nullptr, "do not ask the network's gateway (UPnP) to forward the port peers connect to",
       [](ProgramOptions& o, const std::string&) {
         o.upnp = false;
         return true;
       }},
      {"--help", nullptr, "this text", [](ProgramOptions& o, const std::string&) { return o.help = true; }},
  };
  return options;
}

}  // namespace

std::optional<ProgramOptions> ParseProgramOptions(const std::vector<std::string>& args, std::string* error) {
  ProgramOptions result;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i], value;
    bool hasValue = false;
    if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      hasValue = true;
    }
    if (name == "-h") name = "--help";
    const Option* option = nullptr;
    for (const Option& o : Options())
      if (name == o.name) option = &o;
    if (option == nullptr) {
      *error = "unknown option \"" + args[i] + "\"";
      return std::nullopt;
    }
    if (option->value != nullptr && !hasValue) {
      if (i + 1 >= args.size()) {
        *error = name + " needs " + option->value;
        return std::nullopt;
      }
      value = args[++i];
    } else if (option->value == nullptr && hasValue) {
      *error = name + " takes no value";
      return std::nullopt;
    }
    if (!option->apply(result, value)) {
      *error = "bad value \"" + value + "\" for " + name + " (" + option->value + ")";
      return std::nullopt;
    }
  }
  return result;
}

std::string ProgramUsage() {
  std::string text = "usage: pelicanfetch [OPTIONS]\n\nDownloads the game's installation package and starts its installer.\n\n";
  for (const Option& o : Options()) {
    std::string left = std::string("  ") + o.name + (o.value ? std::string(" ") + o.value : "");
    if (left.size() < 24) left.resize(24, ' ');
    text += left + o.help + "\n";
  }
  text +=
      "\nKeys: Enter or space presses the action button (Start, Pause, Resume, Install), f shows or hides\n"
      "the file list, q quits.\n\nExit status:\n";
  for (const auto& [status, meaning] : kExitMeanings)
    text += "  " + std::to_string(static_cast<int>(status)) + "  " + meaning + "\n";
  return text;
}

}  // namespace pf::ui
