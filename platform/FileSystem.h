#pragma once
// File services the engine needs outside its storage layer.
#include <cstddef>
#include <cstdint>

namespace pf::platform {

// Opens the file for appending (creating it), writes the bytes, closes it.
bool AppendToFile(const char* path, const char* data, size_t length);

// Free bytes available to this user on the file system holding an absolute
// path (or its nearest existing parent). 0 for a relative path or on failure.
uint64_t FreeBytesAvailable(const char* path);

// Bytes the file occupies on disk (allocated blocks), or -1 when it cannot be
// examined; 0 with notFound set when the file does not exist.
int64_t AllocatedBytes(const char* path, bool* notFound);

}  // namespace pf::platform
