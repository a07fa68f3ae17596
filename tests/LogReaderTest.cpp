#include "tools/replay/LogReader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace refwarden {
namespace {

namespace fs = std::filesystem;

class LogReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("refwarden-logreader-" +
            std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string WritePlain(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  // Each piece becomes one gzip member of the file.
  std::string WriteGzip(const std::string& name, const std::vector<std::string>& members) {
    const std::string path = (dir_ / name).string();
    for (std::size_t i = 0; i < members.size(); ++i) {
      gzFile file = gzopen(path.c_str(), i == 0 ? "wb" : "ab");
      EXPECT_NE(file, nullptr);
      gzwrite(file, members[i].data(), static_cast<unsigned>(members[i].size()));
      gzclose(file);
    }
    return path;
  }

  static std::vector<std::string> ReadAll(LogReader& reader) {
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.NextLine(&line)) lines.emplace_back(line);
    return lines;
  }

  fs::path dir_;
};

TEST_F(LogReaderTest, PlainAndGzipReadAlike) {
  struct Case {
    std::string content;
    std::vector<std::string> lines;
  };
  const std::string big(3 << 20, 'x');  // longer than a block
  const Case cases[] = {
      {"", {}},
      {"one", {"one"}},
      {"one\n", {"one"}},
      {"one\r\ntwo\r\n", {"one", "two"}},
      {"\n\nthree\n", {"", "", "three"}},
      {"a\rb\n", {"a\rb"}},
      {std::string("nul\0inside\n", 11), {std::string("nul\0inside", 10)}},
      {"short\n" + big + "\nend", {"short", big, "end"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string plain = WritePlain("plain" + std::to_string(n), c.content);
    // The compressed copy's name does not say so: the content does.
    const std::string packed = WriteGzip("packed" + std::to_string(n) + ".log", {c.content});
    ++n;
    for (const std::string& path : {plain, packed}) {
      LogReader reader;
      ASSERT_TRUE(reader.Open(path)) << reader.error();
      EXPECT_EQ(ReadAll(reader), c.lines) << path;
      EXPECT_EQ(reader.error(), "") << path;
      EXPECT_EQ(reader.lineNumber(), c.lines.size()) << path;
      EXPECT_EQ(reader.size(), fs::file_size(path)) << path;
    }
  }
}

TEST_F(LogReaderTest, ConcatenatedGzipMembersReadAsOne) {
  const std::string path = WriteGzip("rotated.log.gz", {"a\nb", "c\n", "d\n"});
  LogReader reader;
  ASSERT_TRUE(reader.Open(path));
  EXPECT_EQ(ReadAll(reader), (std::vector<std::string>{"a", "bc", "d"}));
}

TEST_F(LogReaderTest, TruncatedGzipIsAReadError) {
  std::string content;
  for (int i = 0; i < 20000; ++i) content += "line " + std::to_string(i) + "\n";
  const std::string path = WriteGzip("cut.gz", {content});
  fs::resize_file(path, fs::file_size(path) / 2);
  LogReader reader;
  ASSERT_TRUE(reader.Open(path));
  ReadAll(reader);
  EXPECT_NE(reader.error(), "");
}

TEST_F(LogReaderTest, UnopenableFilesSayWhy) {
  LogReader missing;
  EXPECT_FALSE(missing.Open((dir_ / "absent.log").string()));
  EXPECT_EQ(missing.error(), "No such file or directory");
  LogReader directory;
  EXPECT_FALSE(directory.Open(dir_.string()));
  EXPECT_EQ(directory.error(), "is a directory");
  std::string_view line;
  EXPECT_FALSE(directory.NextLine(&line));
}

}  // namespace
}  // namespace refwarden
