#include "platform/files.h"

#include <windows.h>

namespace {

std::wstring wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string words_of(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n > 0 && text != nullptr) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    out.assign(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), bytes, nullptr, nullptr);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  }
  if (text != nullptr) LocalFree(text);
  if (out.empty()) out = "error " + std::to_string(error);
  return out;
}

FileStatus status_of(DWORD error) {
  if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return FileStatus::exists;
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return FileStatus::no_space;
  return FileStatus::failed;
}

HANDLE handle_of(const OutputFile& file) { return reinterpret_cast<HANDLE>(file.handle); }

}  // namespace

FileStatus file_create(const std::string& path, bool exclusive, OutputFile& file, std::string& reason) {
  const HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               exclusive ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    reason = words_of(error);
    return status_of(error);
  }
  file.handle = reinterpret_cast<intptr_t>(h);
  return FileStatus::ok;
}

FileStatus file_write_all(OutputFile& file, const void* data, size_t size, size_t& written, std::string& reason) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  written = 0;
  while (size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD done = 0;
    if (!WriteFile(handle_of(file), bytes, chunk, &done, nullptr) || done == 0) {
      const DWORD error = GetLastError();
      reason = words_of(error);
      return status_of(error);
    }
    bytes += done;
    written += done;
    size -= done;
  }
  return FileStatus::ok;
}

bool file_sync(OutputFile& file) { return file.handle != -1 && FlushFileBuffers(handle_of(file)) != 0; }

void file_close(OutputFile& file) {
  if (file.handle != -1) CloseHandle(handle_of(file));
  file.handle = -1;
}

bool file_rename_replace(const std::string& from, const std::string& to, std::string& reason) {
  if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  reason = words_of(GetLastError());
  return false;
}

bool file_remove(const std::string& path) { return DeleteFileW(wide(path).c_str()) != 0; }
