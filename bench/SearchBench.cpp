// FindSubstring, which builds its shift table on every call, against the
// searches a C++ program would otherwise reach for. The needle ends each
// haystack and occurs nowhere earlier, so every search scans the whole text:
// the case of a protected path.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <string_view>

#include "bench/RatioReporter.h"
#include "strings/FastStrings.h"

namespace refwarden::bench {
namespace {

constexpr std::string_view kShortNeedle = ".jpg";
constexpr std::string_view kLongNeedle = "/static/img/logo.png";  // 20 bytes

struct SearchCase {
  std::string haystack;
  std::string needle;
};

// A path-like haystack of `length` bytes ending in the needle, when it fits.
SearchCase MakeCase(int length, int needleLength) {
  SearchCase c;
  c.needle = std::string(needleLength == 4 ? kShortNeedle : kLongNeedle);
  constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789-_/";
  std::mt19937 rng(static_cast<unsigned>(length * 131 + needleLength));
  const std::size_t fill = c.needle.size() <= static_cast<std::size_t>(length)
                               ? static_cast<std::size_t>(length) - c.needle.size()
                               : static_cast<std::size_t>(length);
  for (std::size_t i = 0; i < fill; ++i) c.haystack += kAlphabet[rng() % kAlphabet.size()];
  if (fill < static_cast<std::size_t>(length)) c.haystack += c.needle;
  return c;
}

template <typename Search>
void Measure(benchmark::State& state, Search search) {
  const SearchCase c = MakeCase(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const std::size_t expected = c.haystack.find(c.needle);
  if (search(c.haystack.data(), c.haystack.size(), c.needle.data(), c.needle.size()) != expected) {
    state.SkipWithError("wrong answer");
    return;
  }
  for (auto _ : state) {
    const char* haystack = c.haystack.data();
    const char* needle = c.needle.data();
    benchmark::DoNotOptimize(haystack);
    benchmark::DoNotOptimize(needle);
    std::size_t at = search(haystack, c.haystack.size(), needle, c.needle.size());
    benchmark::DoNotOptimize(at);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

constexpr std::size_t kNone = std::string_view::npos;

std::size_t ViaFindSubstring(const char* h, std::size_t n, const char* f, std::size_t m) {
  const int at = FindSubstring(h, f, static_cast<int>(n), static_cast<int>(m), 1);
  return at == 0 ? kNone : static_cast<std::size_t>(at - 1);
}

std::size_t ViaMemmem(const char* h, std::size_t n, const char* f, std::size_t m) {
  const void* at = memmem(h, n, f, m);
  return at == nullptr ? kNone : static_cast<std::size_t>(static_cast<const char*>(at) - h);
}

// The searcher, like FindSubstring, builds its table for every search.
std::size_t ViaHorspoolSearcher(const char* h, std::size_t n, const char* f, std::size_t m) {
  const char* at = std::search(h, h + n, std::boyer_moore_horspool_searcher(f, f + m));
  return at == h + n ? kNone : static_cast<std::size_t>(at - h);
}

std::size_t ViaStringViewFind(const char* h, std::size_t n, const char* f, std::size_t m) {
  return std::string_view(h, n).find(std::string_view(f, m));
}

void Register(const char* name,
              std::size_t (*search)(const char*, std::size_t, const char*, std::size_t)) {
  benchmark::RegisterBenchmark(name, [search](benchmark::State& state) { Measure(state, search); })
      ->ArgNames({"hay", "needle"})
      ->ArgsProduct({{16, 64, 256, 4096}, {4, 20}});
}

}  // namespace
}  // namespace refwarden::bench

int main(int argc, char** argv) {
  using namespace refwarden::bench;
  Register("FindSubstring", ViaFindSubstring);
  Register("memmem", ViaMemmem);
  Register("bmh_searcher", ViaHorspoolSearcher);
  Register("string_view_find", ViaStringViewFind);
  return RunWithRatios(argc, argv,
                       {{"FindSubstring", "memmem"},
                        {"FindSubstring", "bmh_searcher"},
                        {"FindSubstring", "string_view_find"}},
                       {{"FindSubstring", "memmem", "hay:64/needle:4", 1.5}});
}
