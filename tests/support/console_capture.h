// Captures what print_console and console_write send to the terminal, for tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/console_out.h"

// The output goes to a temporary file, opened in binary mode so that the bytes arrive
// exactly as written, and is read back through a second handle.
class ConsoleCapture {
 public:
  ConsoleCapture() : path_(unique_path()), file_(std::fopen(path_.string().c_str(), "wb")),
                     saved_(console_out.fd) {
    console_out.fd = fileno(file_);
    // A fresh capture is a fresh console: a farewell written to an earlier one in this
    // process does not silence it.
    console_out.ended.store(false);
  }
  ~ConsoleCapture() {
    console_out.fd = saved_;
    std::fclose(file_);
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  std::string text() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  static std::filesystem::path unique_path() {
    static std::atomic<int> count{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::filesystem::temp_directory_path() /
           ("rxiq-console-" + std::to_string(stamp) + "-" + std::to_string(count.fetch_add(1)));
  }

  std::filesystem::path path_;
  std::FILE* file_;
  int saved_;
};
