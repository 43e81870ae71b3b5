#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

FileStatus status_of(int error) {
  if (error == EEXIST) return FileStatus::exists;
  // A file size limit (RLIMIT_FSIZE) ends the file as a full disk would.
  if (error == ENOSPC || error == EFBIG || error == EDQUOT) return FileStatus::no_space;
  return FileStatus::failed;
}

}  // namespace

FileStatus file_create(const std::string& path, bool exclusive, OutputFile& file, std::string& reason) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    const int error = errno;
    reason = std::strerror(error);
    return status_of(error);
  }
  file.handle = fd;
  return FileStatus::ok;
}

FileStatus file_write_all(OutputFile& file, const void* data, size_t size, size_t& written, std::string& reason) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  written = 0;
  while (size > 0) {
    const ssize_t n = ::write(static_cast<int>(file.handle), bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A short write followed by nothing at all: the limit has been reached.
      const int error = n < 0 ? errno : ENOSPC;
      reason = std::strerror(error);
      return status_of(error);
    }
    bytes += n;
    written += static_cast<size_t>(n);
    size -= static_cast<size_t>(n);
  }
  return FileStatus::ok;
}

bool file_sync(OutputFile& file) { return file.handle >= 0 && ::fsync(static_cast<int>(file.handle)) == 0; }

void file_close(OutputFile& file) {
  if (file.handle >= 0) ::close(static_cast<int>(file.handle));
  file.handle = -1;
}

bool file_rename_replace(const std::string& from, const std::string& to, std::string& reason) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  reason = std::strerror(errno);
  return false;
}

bool file_remove(const std::string& path) { return ::unlink(path.c_str()) == 0; }
