#include "tests/support/Listing.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <system_error>

namespace refwarden::testing {

namespace {

namespace fs = std::filesystem;

std::string HashOfBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return "unreadable";
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::to_string(std::hash<std::string>()(bytes.str()));
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
