// A reproducible mix of requests as a small public site sees them: 70% pages,
// scripts and styles, 30% images of which half are hot-linked from other
// sites. Paths are 10 to 80 bytes; hosts and referers look like real ones.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace refwarden::bench {

struct Request {
  std::string path;
  std::string host;
  std::string referer;
  std::size_t hostIndex = 0;  // which of SiteHosts() the host is
};

inline const std::vector<std::string>& SiteHosts() {
  static const std::vector<std::string> hosts = {"www.example.com", "shop.example.net",
                                                 "media.example.org:8080", "localhost:8000"};
  return hosts;
}

namespace mix_detail {

class Picker {
 public:
  explicit Picker(std::uint32_t seed) : rng_(seed) {}
  std::size_t Below(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  int Between(int low, int high) {
    return low + static_cast<int>(Below(static_cast<std::size_t>(high - low + 1)));
  }
  bool Percent(int p) { return Below(100) < static_cast<std::size_t>(p); }
  template <typename T, std::size_t N>
  const T& From(const T (&items)[N]) {
    return items[Below(N)];
  }

 private:
  std::mt19937 rng_;
};

constexpr std::string_view kWords[] = {
    "images", "photos",       "2023",           "2024",  "blog",  "products", "static",
    "assets", "gallery",      "summer-holiday", "team",  "news",  "article",  "thumbnails",
    "large",  "user-content", "category",       "shoes", "index", "about-us", "contact",
    "a7f3c2", "v2",           "docs",           "media"};

// "/" + words + "." + extension (or no extension), exactly `length` bytes long.
inline std::string MakePath(Picker& pick, int length, std::string_view extension) {
  const std::size_t tail = extension.empty() ? 0 : extension.size() + 1;
  const std::size_t stem = static_cast<std::size_t>(length) - tail;
  std::string path = "/";
  while (path.size() < stem) {
    path += pick.From(kWords);
    path += pick.Percent(70) ? '/' : '-';
  }
  path.resize(stem);
  if (path.back() == '/' && !extension.empty()) path.back() = 'x';
  if (!extension.empty()) {
    path += '.';
    path += extension;
  }
  return path;
}

}  // namespace mix_detail

// `count` requests from a fixed seed: the same mix on every run and machine.
inline std::vector<Request> MakeRequestMix(std::size_t count = 10000,
                                           std::uint32_t seed = 20240611) {
  using namespace mix_detail;
  constexpr std::string_view kPageExtensions[] = {"html", "html", "php", "",
                                                  "",     "js",   "css", "css"};
  constexpr std::string_view kImageExtensions[] = {"jpg", "jpg", "jpg", "png", "png", "gif", "bmp"};
  constexpr std::string_view kForeignReferers[] = {
      "https://forum.hobbyists.test/thread/48213-best-shots?page=3",
      "http://blog.someone-else.test/2024/02/my-favourite-pictures.html",
      "https://www.search-portal.test/images?q=summer+holiday&tbm=isch",
      "https://aggregator.test/r/pics/comments/9xq2ab/", "http://mirror.example.test/"};
  constexpr std::string_view kOwnPages[] = {"", "index.html", "blog/2024/summer-holiday",
                                            "products/shoes?colour=red", "gallery/"};
  Picker pick(seed);
  std::vector<Request> mix;
  mix.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    Request r;
    r.hostIndex = pick.Below(SiteHosts().size());
    r.host = SiteHosts()[r.hostIndex];
    const std::string ownReferer = std::string(pick.Percent(50) ? "https://" : "http://") + r.host +
                                   "/" + std::string(pick.From(kOwnPages));
    const int length = pick.Between(10, 80);
    if (pick.Percent(70)) {
      r.path = MakePath(pick, length, pick.From(kPageExtensions));
      const std::size_t kind = pick.Below(10);
      r.referer = kind < 6   ? ownReferer
                  : kind < 9 ? std::string()
                             : std::string(pick.From(kForeignReferers));
    } else {
      r.path = MakePath(pick, length, pick.From(kImageExtensions));
      if (pick.Percent(50)) {
        r.referer = ownReferer;
      } else {
        r.referer = pick.Percent(85) ? std::string(pick.From(kForeignReferers)) : std::string();
      }
    }
    mix.push_back(std::move(r));
  }
  return mix;
}

}  // namespace refwarden::bench
