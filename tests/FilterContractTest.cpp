// The filter's contract as a web server sees it, against the filter library
// loaded by its exported names and driven by a server that records every
// callback: the Linux library with its SQLite store here, and refwarden.dll
// with the real registry under Wine (tests/win32).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "filter/RequestTrace.h"
#include "tests/support/Printable.h"
#include "tests/support/RecordingServer.h"
#include "tests/support/RegistryReading.h"
#include "tests/support/TempStore.h"
#include "tools/FilterHost.h"

namespace refwarden {
namespace {

using testing::IsTraced;
using testing::KeyExists;
using testing::Printable;
using testing::ReadValues;
using testing::RecordingServer;

constexpr DWORD kNextNotification = SF_STATUS_REQ_NEXT_NOTIFICATION;

std::string FilterPath() {
#ifdef REFWARDEN_FILTER_PATH
  return REFWARDEN_FILTER_PATH;
#else
  return FilterLibrary::DefaultPath();  // refwarden.dll beside the test
#endif
}

class FilterContractTest : public ::testing::Test {
 protected:
  HttpFilterProcFunction HttpFilterProc() const { return filter->Function(); }

  testing::TempStore store;
  std::unique_ptr<FilterLibrary> filter = std::make_unique<FilterLibrary>(FilterPath());
};

TEST_F(FilterContractTest, RegistersForPreprocessedHeadersAtLowPriority) {
  HTTP_FILTER_VERSION version;
  std::memset(&version, 0x5A, sizeof version);
  version.dwServerFilterVersion = HTTP_FILTER_REVISION;
  EXPECT_EQ(static_cast<DWORD>(filter->GetFilterVersion(&version)), 0xFFFFFFFFu);
  EXPECT_EQ(version.dwServerFilterVersion, static_cast<DWORD>(HTTP_FILTER_REVISION));
  EXPECT_EQ(version.dwFilterVersion, 0x00010000u);
  EXPECT_STREQ(version.lpszFilterDesc, "Refwarden for Image Files");
  EXPECT_EQ(version.dwFlags, 0x00024000u);  // SF_NOTIFY_ORDER_LOW | SF_NOTIFY_PREPROC_HEADERS
  EXPECT_FALSE(KeyExists(kTraceKey)) << "registration touched the registry";
  EXPECT_EQ(filter->TerminateFilter(0), TRUE);
}

TEST_F(FilterContractTest, OtherNotificationsCallNothing) {
  for (DWORD notification : {0x0u, 0x1u, 0x2u, 0x40u, 0x80u, 0x200u, 0x400u, 0x800u, 0x1000u,
                             0x2000u, 0x8000u, 0x4001u, 0xFFFFFFFFu}) {
    RecordingServer server{"www.example.org", "http://elsewhere.net/", "/a.jpg"};
    EXPECT_EQ(server.Send(HttpFilterProc(), notification), kNextNotification);
    EXPECT_TRUE(server.calls().empty()) << "notification 0x" << std::hex << notification;
  }
  EXPECT_FALSE(KeyExists(kTraceKey));
}

TEST_F(FilterContractTest, RequestsAreReadTracedAndRewritten) {
  const std::string longPath = std::string(4092, 'p') + ".jpg";  // 4096 bytes and the NUL
  struct Case {
    std::string url, host, referer, rewrittenTo, traced;
  };
  const Case cases[] = {
      {"/images/a.jpg?size=2", "www.example.org", "http://elsewhere.net/page", "/refwarden.jpg",
       "/images/a.jpg"},
      {"/images/a.jpg?size=3", "www.example.org", "http://www.example.org/gallery", "",
       "/images/a.jpg"},
      {"/b.gif", "www.example.org", "", "/refwarden.gif", "/b.gif"},
      {"/c.png", "www.example.org", "https://elsewhere.net/www.example.org", "/refwarden.png",
       "/c.png"},
      {"/d/e.bmp?x", "www.example.org", "http://elsewhere.net/", "/refwarden.bmp", "/d/e.bmp"},
      {"/A.JPG", "www.example.org", "http://elsewhere.net/", "", "/A.JPG"},
      {"/f.png", "www.example.org", "http://WWW.EXAMPLE.ORG/", "/refwarden.png", "/f.png"},
      {"/a.jpg.jpg", "www.example.org", "http://elsewhere.net/", "", "/a.jpg.jpg"},
      {"/page.html", "www.example.org", "http://elsewhere.net/", "", "/page.html"},
      {"/?a.jpg", "www.example.org", "http://elsewhere.net/", "", "/"},
      {"?only=query", "www.example.org", "", "", ""},
      {"", "www.example.org", "", "", ""},
      // As browsers send them: percent-encoded paths, a host with its port.
      {"/photos/caf%C3%A9%20au%20lait.jpg?w=640&h=480", "www.example.org:8080",
       "http://www.example.org:8080/blog/2024/", "", "/photos/caf%C3%A9%20au%20lait.jpg"},
      {"/photos/g.gif", "www.example.org:8080", "http://www.example.org/blog/", "/refwarden.gif",
       "/photos/g.gif"},
      {"/dir\\name.jpg", "www.example.org", "http://elsewhere.net/", "/refwarden.jpg",
       "/dir\\name.jpg"},
      {longPath, "www.example.org", "http://elsewhere.net/", "/refwarden.jpg", longPath},
      // A URL that does not fit the buffer is refused by the server: read as empty.
      {longPath + "?more", "www.example.org", "http://elsewhere.net/", "", ""},
  };
  std::set<std::string> traced;
  for (const Case& c : cases) {
    const std::string label = "url " + Printable(c.url.substr(0, 60)) + ", host " +
                              Printable(c.host) + ", referer " + Printable(c.referer);
    RecordingServer server{c.host, c.referer, c.url};
    EXPECT_EQ(server.Send(HttpFilterProc()), kNextNotification) << label;
    EXPECT_EQ(server.CheckRequestCalls(c.rewrittenTo), "") << label;
    EXPECT_TRUE(IsTraced(c.traced)) << label << ": not traced as " << Printable(c.traced);
    traced.insert(c.traced);
  }
  // One value per distinct path; the backslash made no key.
  std::set<std::string> stored;
  for (const testing::StoredValue& value : ReadValues(kTraceKey)) stored.insert(value.name);
  EXPECT_EQ(stored, traced);
  EXPECT_FALSE(KeyExists("software\\tarnwel\\debug\\dir"));
}

TEST_F(FilterContractTest, ValuesFillingTheWholeBufferAreReadNoFurther) {
  // Each value is written over the whole 4097-byte buffer with no NUL, and
  // goes on beyond it: the filter reads the buffer's bytes and no more.
  const std::string path = std::string(4093, 'p') + ".jpg";
  std::string referer;
  while (referer.size() < 5000) referer += "http://other.net/";
  RecordingServer server{std::string(5000, 'h'), referer, path + "?beyond",
                         testing::ValueWriting::kRawBytes};
  EXPECT_EQ(server.Send(HttpFilterProc()), kNextNotification);
  EXPECT_EQ(server.CheckRequestCalls("/refwarden.jpg"), "");
  EXPECT_TRUE(IsTraced(path));
  EXPECT_EQ(ReadValues(kTraceKey).size(), 1u);
}

TEST_F(FilterContractTest, FailedTraceLetsEveryRequestPass) {
  store.RefuseTraces();
  for (const char* url : {"/images/a.jpg", "/b.gif?x=1", "/index.html"}) {
    RecordingServer server{"www.example.org", "http://elsewhere.net/", url};
    EXPECT_EQ(server.Send(HttpFilterProc()), kNextNotification) << url;
    EXPECT_EQ(server.CheckRequestCalls(""), "") << url << ": changed although its trace failed";
  }
  EXPECT_FALSE(KeyExists(kTraceKey));

  // The next request once the store takes traces again is traced afresh.
  store.AllowTraces();
  RecordingServer server{"www.example.org", "http://elsewhere.net/", "/images/a.jpg"};
  EXPECT_EQ(server.Send(HttpFilterProc()), kNextNotification);
  EXPECT_EQ(server.CheckRequestCalls("/refwarden.jpg"), "");
  EXPECT_TRUE(IsTraced("/images/a.jpg"));
}

TEST_F(FilterContractTest, TraceOutlastsTheLibrary) {
  RecordingServer server{"www.example.org", "", "/kept.gif?x=1"};
  server.Send(HttpFilterProc());
  filter.reset();
  filter = std::make_unique<FilterLibrary>(FilterPath());
  const std::vector<testing::StoredValue> values = ReadValues(kTraceKey);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0], (testing::StoredValue{"/kept.gif", REG_SZ, testing::kTraceData}));
}

TEST_F(FilterContractTest, ConcurrentRequestsAreEachHandled) {
  constexpr int kThreads = 4;
  constexpr int kRequests = 100;
  std::vector<int> rewrites(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &rewrites] {
      for (int i = 0; i < kRequests; ++i) {
        // Every thread also writes the one shared path.
        const std::string url = i % 10 == 0
                                    ? "/shared.png"
                                    : "/t" + std::to_string(t) + "/" + std::to_string(i) + ".png";
        RecordingServer server{"www.example.org", "http://elsewhere.net/", url};
        server.Send(HttpFilterProc());
        if (server.CheckRequestCalls("/refwarden.png").empty()) ++rewrites[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(rewrites[t], kRequests) << "thread " << t;
  EXPECT_EQ(ReadValues(kTraceKey).size(),
            static_cast<std::size_t>(kThreads * (kRequests - kRequests / 10) + 1));
  EXPECT_TRUE(IsTraced("/shared.png"));
  EXPECT_TRUE(IsTraced("/t3/99.png"));
}

}  // namespace
}  // namespace refwarden
