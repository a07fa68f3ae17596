// DecideRewrite against the decision rule transcribed over a naive matcher of
// its own: protected when one of the four suffix patterns matches, foreign
// when the referer does not match "*/" + host + "/*", and then rewritten to
// "/refwarden" followed by the path's last four bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "filter/HotlinkDecision.h"
#include "fuzz/FuzzInput.h"

namespace refwarden::fuzz {
namespace {

// The greedy segment rule, written independently of the one under test.
bool NaiveMatch(std::string_view text, std::string_view pattern) {
  std::vector<std::string_view> segments;
  for (std::size_t from = 0;;) {
    const std::size_t star = pattern.find('*', from);
    segments.push_back(pattern.substr(from, star == std::string_view::npos ? star : star - from));
    if (star == std::string_view::npos) break;
    from = star + 1;
  }
  if (segments.size() == 1) return text == pattern;
  if (text.substr(0, segments[0].size()) != segments[0]) return false;
  std::size_t cursor = segments[0].size();
  for (std::size_t s = 1; s < segments.size(); ++s) {
    if (segments[s].empty()) continue;
    std::size_t at = std::string_view::npos;
    for (std::size_t i = cursor; i + segments[s].size() <= text.size(); ++i) {
      if (text.compare(i, segments[s].size(), segments[s]) == 0) {
        at = i;
        break;
      }
    }
    if (at == std::string_view::npos) return false;
    cursor = at + segments[s].size();
    if (s + 1 == segments.size()) return cursor == text.size();
  }
  return true;
}

Decision ReferenceDecision(std::string_view path, std::string_view host, std::string_view referer) {
  bool isProtected = false;
  for (std::string_view pattern : {"*.jpg", "*.gif", "*.png", "*.bmp"}) {
    if (NaiveMatch(path, pattern)) {
      isProtected = true;
      break;
    }
  }
  if (!isProtected) return {};
  if (NaiveMatch(referer, "*/" + std::string(host) + "/*")) return {};
  Decision d;
  d.rewrite = true;
  d.replacement = "/refwarden" + std::string(path.substr(path.size() >= 4 ? path.size() - 4 : 0));
  return d;
}

}  // namespace
}  // namespace refwarden::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace refwarden;
  using namespace refwarden::fuzz;
  FuzzedDataProvider input(data, size);
  const bool small = input.ConsumeBool();
  constexpr std::string_view kAlphabet = "/.jpgifnbm*h:";
  const std::string pathText = ConsumeString(input, small, 120, kAlphabet);
  const std::string hostText = ConsumeString(input, small, 40, kAlphabet);
  const std::string refererText = ConsumeString(input, small, 200, kAlphabet);
  const ExactBuffer path(pathText);
  const ExactBuffer host(hostText);
  const ExactBuffer referer(refererText);

  const Decision got = DecideRewrite(path.view(), host.view(), referer.view());
  const Decision want = ReferenceDecision(pathText, hostText, refererText);
  if (got.rewrite != want.rewrite || got.replacement != want.replacement) {
    Mismatch("DecideRewrite path " + Printable(pathText) + " host " + Printable(hostText) +
             " referer " + Printable(refererText) + ": got " +
             (got.rewrite ? Printable(got.replacement) : "pass") + ", expected " +
             (want.rewrite ? Printable(want.replacement) : "pass"));
  }
  return 0;
}
