// Files for recordings: created without overwriting anything, written whole, synced,
// replaced in one step. Paths are UTF-8 on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct OutputFile {
  intptr_t handle = -1;  // the system's descriptor or handle; -1 when closed
};

enum class FileStatus { ok, exists, no_space, failed };

// Creates path for writing. exclusive: fails with `exists` when something is there
// already; otherwise an existing file is emptied. reason: the system's words on failure.
FileStatus file_create(const std::string& path, bool exclusive, OutputFile& file, std::string& reason);

// Writes all `size` bytes; `written` counts those that went in, all of them or up to a
// failure. A full disk or a file size limit gives no_space.
FileStatus file_write_all(OutputFile& file, const void* data, size_t size, size_t& written, std::string& reason);

// Pushes what was written to the disk.
bool file_sync(OutputFile& file);

// Closes the file (safe when it is not open).
void file_close(OutputFile& file);

// Renames from over to, replacing to when it exists, in one step.
bool file_rename_replace(const std::string& from, const std::string& to, std::string& reason);

// Removes a file; false when it could not.
bool file_remove(const std::string& path);
