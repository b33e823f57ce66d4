// pftool make-torrent: builds a torrent from a file (single-file form) or a
// directory (multi-file form, files in byte order of their relative paths).
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "engine/content/Bencode.h"
#include "engine/content/Sha1.h"
#include "engine/content/TTorrent.h"

namespace pftool {
namespace {

namespace fs = std::filesystem;

struct Options {
  int64_t pieceLength = 0;
  std::vector<std::string> announces;
  std::string name;
  std::string comment;
  std::string output;
  std::string input;
};

struct InputFile {
  fs::path path;
  std::vector<std::string> components;  // below the input directory
  int64_t length = 0;
};

int Usage(const char* problem) {
  std::fprintf(stderr, "pftool make-torrent: %s\n", problem);
  return PrintCommandUsage("make-torrent");
}

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& problem) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        problem = arg + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string text;
    if (!arg.empty() && arg[0] == '-' && !CommandNamed("make-torrent").FindOption(arg)) {
      problem = "unknown option " + arg;
      return false;
    }
    if (arg == "--piece-length") {
      if (!value(text)) return false;
      const auto [end, error] =
          std::from_chars(text.data(), text.data() + text.size(), options.pieceLength);
      if (error != std::errc() || end != text.data() + text.size() || options.pieceLength < 16384 ||
          options.pieceLength > pf::TTorrent::kMaxPieceLength ||
          (options.pieceLength & (options.pieceLength - 1)) != 0) {
        problem = "the piece length must be a power of two from 16384 to 1 GiB";
        return false;
      }
    } else if (arg == "--announce") {
      if (!value(text)) return false;
      options.announces.push_back(text);
    } else if (arg == "--name") {
      if (!value(options.name)) return false;
    } else if (arg == "--comment") {
      if (!value(options.comment)) return false;
    } else if (arg == "-o") {
      if (!value(options.output)) return false;
    } else if (!arg.empty() && arg[0] == '-') {
      problem = "unknown option " + arg;
      return false;
    } else if (options.input.empty()) {
      options.input = arg;
    } else {
      problem = "more than one input path";
      return false;
    }
  }
  if (options.pieceLength == 0) problem = "--piece-length is missing";
  else if (options.announces.empty()) problem = "at least one --announce is needed";
  else if (options.output.empty()) problem = "-o is missing";
  else if (options.input.empty()) problem = "the input path is missing";
  return problem.empty();
}

std::vector<InputFile> CollectFiles(const fs::path& root) {
  std::vector<InputFile> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    InputFile file;
    file.path = entry.path();
    for (const fs::path& part : fs::relative(entry.path(), root)) file.components.push_back(part.string());
    file.length = static_cast<int64_t>(entry.file_size());
    files.push_back(std::move(file));
  }
  std::sort(files.begin(), files.end(),
            [](const InputFile& a, const InputFile& b) { return a.components < b.components; });
  return files;
}

// SHA-1 of every piece over the files laid end to end.
std::string HashPieces(const std::vector<InputFile>& files, int64_t pieceLength) {
  std::string hashes;
  pf::Sha1 sha;
  int64_t inPiece = 0;
  std::vector<char> buffer(1 << 16);
  for (const InputFile& file : files) {
    std::ifstream in(file.path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.path.string());
    int64_t left = file.length;
    while (left > 0) {
      const int64_t want =
          std::min<int64_t>({left, pieceLength - inPiece, static_cast<int64_t>(buffer.size())});
      if (!in.read(buffer.data(), want))
        throw std::runtime_error(file.path.string() + " changed while it was read");
      sha.update(buffer.data(), static_cast<size_t>(want));
      left -= want;
      inPiece += want;
      if (inPiece == pieceLength) {
        pf::Sha1::Digest digest;
        sha.finish(digest);
        hashes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
        sha.reset();
        inPiece = 0;
      }
    }
  }
  if (inPiece > 0) {
    pf::Sha1::Digest digest;
    sha.finish(digest);
    hashes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  }
  return hashes;
}

void AddText(pf::QElement* dictionary, std::string_view key, std::string_view value) {
  dictionary->AppendText(key.data(), static_cast<int>(key.size()), 0, false);
  dictionary->AppendText(value.data(), static_cast<int>(value.size()), 0, false);
}

void AddInteger(pf::QElement* dictionary, std::string_view key, int64_t value) {
  dictionary->AppendText(key.data(), static_cast<int>(key.size()), value, true);
}

pf::QElement* AddContainer(pf::QElement* dictionary, std::string_view key,
                           std::unique_ptr<pf::QElement> container) {
  dictionary->AppendText(key.data(), static_cast<int>(key.size()), 0, false);
  return dictionary->Append(std::move(container));
}

}  // namespace

int RunMakeTorrent(const std::vector<std::string>& args) {
  Options options;
  std::string problem;
  if (!ParseOptions(args, options, problem)) return Usage(problem.c_str());

  const fs::path input = fs::absolute(options.input).lexically_normal();
  const fs::path source = input.has_filename() ? input : input.parent_path();
  std::vector<InputFile> files;
  const bool multiFile = fs::is_directory(source);
  if (multiFile) {
    files = CollectFiles(source);
  } else if (fs::is_regular_file(source)) {
    files.push_back({source, {}, static_cast<int64_t>(fs::file_size(source))});
  } else {
    std::fprintf(stderr, "pftool make-torrent: %s is neither a file nor a directory\n",
                 options.input.c_str());
    return 1;
  }
  int64_t total = 0;
  for (const InputFile& file : files) total += file.length;
  if (total == 0) {
    std::fprintf(stderr, "pftool make-torrent: %s holds no data\n", options.input.c_str());
    return 1;
  }
  const std::string name = options.name.empty() ? source.filename().string() : options.name;
  const std::string pieces = HashPieces(files, options.pieceLength);

  // Keys go in in sorted order: the encoder writes them as stored.
  std::unique_ptr<pf::QDictionaryElement> root = pf::NewDictionary();
  AddText(root.get(), "announce", options.announces.front());
  if (options.announces.size() > 1) {
    pf::QElement* tiers = AddContainer(root.get(), "announce-list", pf::NewList());
    for (const std::string& url : options.announces) {
      pf::QElement* tier = tiers->Append(pf::NewList());
      tier->AppendText(url.data(), static_cast<int>(url.size()), 0, false);
    }
  }
  if (!options.comment.empty()) AddText(root.get(), "comment", options.comment);
  AddText(root.get(), "created by", "pftool");
  AddInteger(root.get(), "creation date",
             std::chrono::duration_cast<std::chrono::seconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count());
  pf::QElement* info = AddContainer(root.get(), "info", pf::NewDictionary());
  if (multiFile) {
    pf::QElement* list = AddContainer(info, "files", pf::NewList());
    for (const InputFile& file : files) {
      pf::QElement* entry = list->Append(pf::NewDictionary());
      AddInteger(entry, "length", file.length);
      pf::QElement* path = AddContainer(entry, "path", pf::NewList());
      for (const std::string& component : file.components)
        path->AppendText(component.data(), static_cast<int>(component.size()), 0, false);
    }
  } else {
    AddInteger(info, "length", total);
  }
  AddText(info, "name", name);
  AddInteger(info, "piece length", options.pieceLength);
  AddText(info, "pieces", pieces);

  std::string bytes;
  if (!pf::Encode(root.get(), bytes)) {
    std::fprintf(stderr, "pftool make-torrent: the torrent could not be encoded\n");
    return 1;
  }
  // Read it back the way the engine will, so that a torrent we would refuse
  // is never written.
  pf::TTorrent check;
  if (!check.OpenBytes(bytes.data(), static_cast<int64_t>(bytes.size()))) {
    std::fprintf(stderr, "pftool make-torrent: the result is not usable: %s\n",
                 check.Error().c_str());
    return 1;
  }
  std::ofstream out(options.output, std::ios::binary | std::ios::trunc);
  if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush()) {
    std::fprintf(stderr, "pftool make-torrent: cannot write %s\n", options.output.c_str());
    return 1;
  }
  std::printf("info_hash: %s\n", check.InfoHashHex().c_str());
  return 0;
}

}  // namespace pftool
