// The recordings' files on this system: a name that exists is never overwritten,
// replacing is one step, and UTF-8 names reach the disk as such (UTF-16 on Windows).
#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(Files, CreateExclusivelyWriteAndReplaceUnderAUtf8Name) {
  const fs::path folder = fs::temp_directory_path() / fs::path(u8"rxiq-файлы-test");
  fs::remove_all(folder);
  fs::create_directories(folder);
  const fs::path data = folder / fs::path(u8"запись.sigmf-data");
  const fs::path temporary = folder / fs::path(u8"запись.tmp");
  const fs::path meta = folder / fs::path(u8"запись.sigmf-meta");

  OutputFile file;
  std::string reason;
  ASSERT_EQ(file_create(utf8(data), true, file, reason), FileStatus::ok) << reason;
  size_t written = 0;
  ASSERT_EQ(file_write_all(file, "abcd", 4, written, reason), FileStatus::ok) << reason;
  EXPECT_EQ(written, 4u);
  EXPECT_TRUE(file_sync(file));
  file_close(file);
  file_close(file);  // closing twice is harmless
  EXPECT_EQ(contents(data), "abcd") << "the file has the name it was given";

  OutputFile again;
  EXPECT_EQ(file_create(utf8(data), true, again, reason), FileStatus::exists);
  EXPECT_EQ(contents(data), "abcd") << "an existing file is left alone";

  // The metadata's update: a new file renamed over the old one.
  std::ofstream(meta, std::ios::binary) << "old";
  ASSERT_EQ(file_create(utf8(temporary), false, file, reason), FileStatus::ok) << reason;
  ASSERT_EQ(file_write_all(file, "new", 3, written, reason), FileStatus::ok) << reason;
  file_close(file);
  ASSERT_TRUE(file_rename_replace(utf8(temporary), utf8(meta), reason)) << reason;
  EXPECT_EQ(contents(meta), "new");
  EXPECT_FALSE(fs::exists(temporary));

  EXPECT_TRUE(file_remove(utf8(data)));
  EXPECT_FALSE(file_remove(utf8(data)));
  OutputFile nowhere;
  EXPECT_EQ(file_create(utf8(folder / "missing" / "x"), true, nowhere, reason), FileStatus::failed);
  EXPECT_FALSE(reason.empty());
  fs::remove_all(folder);
}
