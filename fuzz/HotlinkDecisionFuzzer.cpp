// DecideRewrite against the hot-link rule written out on its own over the
// reference matcher (tests/support/References.h): protected when one of the
// four suffix patterns matches, foreign when the referer does not match
// "*/" + host + "/*", and then rewritten to "/refwarden" followed by the
// path's last four bytes.
#include <cstdint>
#include <string>

#include "filter/HotlinkDecision.h"
#include "fuzz/FuzzInput.h"

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
  const std::string want = reference::RuleReplacement(pathText, hostText, refererText);
  if (got.rewrite != !want.empty() || got.replacement != want) {
    Mismatch("DecideRewrite path " + Printable(pathText) + " host " + Printable(hostText) +
             " referer " + Printable(refererText) + ": got " +
             (got.rewrite ? Printable(got.replacement) : "pass") + ", expected " +
             (want.empty() ? "pass" : Printable(want)));
  }
  return 0;
}
