#include "tests/support/Listing.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <system_error>

namespace refwarden::testing {

namespace {

namespace fs = std::filesystem;

std::string HashOfBytes(const fs::path& file) {
  FILE* f = std::fopen(file.c_str(), "rb");
  if (f == nullptr) return "unreadable";
  std::string bytes;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
  std::fclose(f);
  return std::to_string(std::hash<std::string>()(bytes));
}

}  // namespace

std::set<std::string> Listing(const std::string& folder) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0) continue;
    std::string line = it->path().string() + " mode " + std::to_string(st.st_mode);
    if (S_ISREG(st.st_mode)) {
      line += " size " + std::to_string(st.st_size) + " hash " + HashOfBytes(it->path());
    } else if (S_ISLNK(st.st_mode)) {
      std::error_code unreadable;
      line += " -> " + fs::read_symlink(it->path(), unreadable).string();
    }
    out.insert(line);
  }
  return out;
}

}  // namespace refwarden::testing
