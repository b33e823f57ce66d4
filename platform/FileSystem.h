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

namespace pf::platform {

// Whether anything (file, directory, ...) exists at the path.
bool PathExists(const char* path);

// Sets or clears the read-only mark (the owner's write permission) of an
// existing file that is not a directory. True when the mark already was as
// asked or the change worked; false for a missing path or a directory.
bool SetReadOnlyMark(const char* path, bool readOnly);

// Free bytes available to this user on the file system of an existing
// directory. False when the directory cannot be examined.
bool DirectoryFreeBytes(const char* directory, uint64_t* bytes);

// Creates the directory and every missing parent; true when it exists as a
// directory afterwards.
bool CreateDirectories(const char* directory);

// Moves a file to a new name; fails (changing nothing) when something
// already exists at the new name.
bool RenameFile(const char* from, const char* to);

}  // namespace pf::platform

namespace pf::platform {

// Moves a file to a new name, replacing a file already there in one step, so
// that a reader sees either the old file or the new one.
bool ReplaceFile(const char* from, const char* to);

// Makes the file's data, or a directory's entries, durable on disk.
bool SyncPath(const char* path);

// Makes the entries of the directory holding the path durable (a rename or a
// newly created file survives a crash). The working directory for a bare name.
bool SyncParentDirectory(const char* path);

// Last-write time of a file as 100-ns units since 1601-01-01 UTC; false when
// the path cannot be examined.
bool LastWriteTime(const char* path, uint64_t* time);

// Deletes a file; true when nothing is left at the path.
bool RemoveFile(const char* path);

}  // namespace pf::platform
