// pftool resume-info STATEFILE: what a task would resume from its state file
// and the partial-pieces file beside it.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <span>

#include "Command.h"
#include "engine/base/Bitfield.h"
#include "engine/content/Adler32.h"
#include "engine/content/Bencode.h"
#include "engine/content/Sha1.h"
#include "engine/content/TTorrent.h"
#include "engine/content/TaskStateFile.h"

namespace pftool {

namespace {

uint32_t Le32(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

std::string Hex(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kHex[c >> 4];
    text += kHex[c & 15];
  }
  return text;
}

bool IsKey(const pf::QElement* element, std::string_view key) {
  return element && element->Kind() == pf::QElement::kKindText && pf::TextBytes(element) == key;
}

const pf::QElement* ValueAfter(pf::QElement& root, std::string_view key) {
  pf::QElement* found = root.FindText(key.data(), static_cast<int>(key.size()));
  return found && !pf::HasInteger(found) ? root.NextSibling(found) : nullptr;
}

// Prints the records of the partial-pieces file up to the first one that a
// task would not read.
void PrintPartialsFile(const std::string& path, const std::optional<std::string>& infoHash) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t at = 0;
  while (at < file.size()) {
    if (file.size() - at < 16) {
      std::printf("partial_file: short header at offset %zu\n", at);
      return;
    }
    const uint32_t length = Le32(file, at);
    const uint32_t index = Le32(file, at + 8);
    if (length < 16 || file.size() - at - 16 < length) {
      std::printf("partial_file: bad or cut record at offset %zu\n", at);
      return;
    }
    const std::string_view record(file.data() + at + 16, length);
    if (infoHash) {
      const auto hashBytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(infoHash->data()), 20);
      const uint32_t seed = pf::Adler32::compute(hashBytes, index);
      if (pf::Adler32::compute(record, seed) != Le32(file, at + 4)) {
        std::printf("partial_file: checksum mismatch at offset %zu\n", at);
        return;
      }
    }
    std::printf("partial_file: index=%u units=%u%s\n", index, Le32(file, at + 16 + 8),
                infoHash ? "" : " (unchecked: no info-hash)");
    at += 16 + length;
  }
}

}  // namespace

int RunResumeInfo(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    return PrintCommandUsage("resume-info");
  }
  const std::string& path = args[0];
  pf::TaskStateStrings state;
  if (!pf::TaskStateFile::Read(path, state)) {
    std::fprintf(stderr, "pftool resume-info: %s: not a readable task state file\n", path.c_str());
    return 1;
  }
  std::string keys;
  for (const auto& [name, value] : {std::pair<const char*, const std::string*>{"bits", &state.bits},
                                    {"part", &state.part},
                                    {"seeds", &state.seeds},
                                    {"torrent", &state.torrent}})
    if (!value->empty()) keys += std::string(keys.empty() ? "" : " ") + name;
  std::printf("keys: %s\n", keys.empty() ? "(none)" : keys.c_str());

  std::optional<std::string> infoHash;
  int64_t pieces = -1;
  if (!state.torrent.empty()) {
    pf::TTorrent torrent;
    if (torrent.OpenBytes(state.torrent.data(), static_cast<int64_t>(state.torrent.size()))) {
      pieces = torrent.PieceCount();
      const auto& hash = torrent.GetInfoHash();
      infoHash = std::string(reinterpret_cast<const char*>(hash.data()), hash.size());
    } else {
      std::printf("torrent: unreadable (%s)\n", torrent.Error().c_str());
    }
  }

  const std::unique_ptr<pf::QElement> record =
      state.bits.empty() ? nullptr : pf::ParseElement(state.bits);
  if (!state.bits.empty() && (!record || record->Kind() != pf::QElement::kKindDictionary)) {
    std::printf("resume_record: unreadable\n");
  } else if (record) {
    const pf::QElement* hash = ValueAfter(*record, "infohash");
    if (hash && pf::TextLength(hash) == 20) {
      const std::string recorded(pf::TextBytes(hash));
      std::printf("info_hash: %s\n", Hex(recorded).c_str());
      if (infoHash && *infoHash != recorded) std::printf("info_hash_mismatch: torrent has %s\n", Hex(*infoHash).c_str());
      if (!infoHash) infoHash = recorded;
    } else {
      std::printf("info_hash: none\n");
    }
    const pf::QElement* bits = ValueAfter(*record, "BitField");
    if (bits && bits->Kind() == pf::QElement::kKindText) {
      const std::string_view field = pf::TextBytes(bits);
      const int64_t total = pieces >= 0 ? pieces : static_cast<int64_t>(field.size()) * 8;
      pf::Bitfield held;
      held.Assign(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(field.data()), field.size()), total);
      std::printf("held_pieces: %lld/%lld\n", static_cast<long long>(held.Count()), static_cast<long long>(total));
    } else {
      std::printf("held_pieces: none recorded\n");
    }
    const pf::QElement* status = ValueAfter(*record, "PieceStatus");
    const int count = status && status->Kind() == pf::QElement::kKindList ? status->Count() : 0;
    for (int i = 0; i < count; ++i) {
      const pf::QElement* item = status->ChildAt(i);
      if (!item || item->Kind() != pf::QElement::kKindDictionary) continue;
      const pf::QElement* index = item->ChildAt(0);
      const pf::QElement* part = item->ChildAt(1);
      if (!IsKey(index, "Index") || !IsKey(part, "Part")) continue;
      std::printf("partial: index=%lld flushed=%lld\n", static_cast<long long>(pf::IntegerValue(index)),
                  static_cast<long long>(pf::IntegerValue(part)));
    }
  }
  if (infoHash && infoHash->size() != 20) infoHash.reset();
  PrintPartialsFile(pf::TaskStateFile::PartialsPath(path), infoHash);
  return 0;
}

}  // namespace pftool
