// The filter library's exported HttpFilterProc, loaded by name as a server
// loads it, fed arbitrary host, referer and URL bytes by the recording server
// writing exactly what it is given into the filter's buffers, up to the size
// it is handed. Judged on what the filter should have read (each value up to
// the first NUL within its 4097-byte buffer, the URL cut at its first '?'):
// every call returns SF_STATUS_REQ_NEXT_NOTIFICATION, reads the three values
// into zeroed buffers of 4097 bytes, traces the path into a store of the
// fuzzer's own, and makes exactly the one SetHeader("url", ...) the rule
// written out on its own asks for, or none.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz/FuzzInput.h"
#include "tests/support/RecordingServer.h"
#include "tests/support/RegistryReading.h"
#include "tests/support/TempStore.h"
#include "tools/FilterHost.h"

namespace refwarden::fuzz {
namespace {

using testing::kServerValueBuffer;

// The store starts afresh after this many requests, so that it stays small.
constexpr int kRequestsPerStore = 20000;

// What the filter reads from a buffer the server wrote `value` into.
std::string_view AsRead(const std::string& value) {
  std::string_view v(value.data(), std::min<std::size_t>(value.size(), kServerValueBuffer));
  return v.substr(0, v.find('\0'));
}

// A value for one of the three fields: raw bytes or bytes of a small
// alphabet, now and then stretched by repetition to fill the buffer or
// overrun it.
std::string ConsumeField(FuzzedDataProvider& input, std::string_view alphabet) {
  const std::uint8_t shape = input.ConsumeIntegral<std::uint8_t>();
  std::string s = ConsumeString(input, (shape & 1) != 0, 300, alphabet);
  if ((shape & 6) == 0 && !s.empty()) {
    const std::size_t target = kServerValueBuffer - 1 + (shape >> 3) % 4;  // 4096 to 4099
    std::string stretched;
    while (stretched.size() < target) stretched += s;
    stretched.resize(target);
    s.swap(stretched);
  }
  return s;
}

struct Fixture {
  // Deleting the file is a fault the store recovers from on the next open.
  void Rotate() {
    if (++requests % kRequestsPerStore == 0) unlink(store.Path().c_str());
  }
  testing::TempStore store;
  FilterLibrary filter{REFWARDEN_FILTER_LIBRARY};
  int requests = 0;
};

Fixture& TheFixture() {
  static Fixture fixture;
  return fixture;
}

}  // namespace
}  // namespace refwarden::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  refwarden::fuzz::TheFixture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace refwarden;
  using namespace refwarden::fuzz;
  Fixture& fixture = TheFixture();
  fixture.Rotate();
  FuzzedDataProvider input(data, size);
  std::string host = ConsumeField(input, "ab.:8");
  std::string referer = ConsumeField(input, "ab.:8/h");
  std::string url = ConsumeField(input, "ab/.jpgif?");
  testing::RecordingServer server(host, referer, url, testing::ValueWriting::kRawBytes);
  const DWORD status = server.Send(fixture.filter.Function());

  const std::string_view readUrl = AsRead(url);
  const std::string_view path = readUrl.substr(0, readUrl.find('?'));
  const std::string inputs = "host " + Printable(AsRead(host)) + ", referer " +
                             Printable(AsRead(referer)) + ", url " + Printable(readUrl);
  if (status != SF_STATUS_REQ_NEXT_NOTIFICATION)
    Mismatch("status not NEXT_NOTIFICATION for " + inputs);
  // Every path the filter can read (at most 4097 bytes, no NUL) is one the
  // store must hold; a refusal would also have to let the request pass.
  if (!testing::IsTraced(path)) Mismatch("path not traced: " + inputs);
  const std::string calls =
      server.CheckRequestCalls(reference::RuleReplacement(path, AsRead(host), AsRead(referer)));
  if (!calls.empty()) Mismatch(calls + ": " + inputs);
  return 0;
}
