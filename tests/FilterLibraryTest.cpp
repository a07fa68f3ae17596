// The filter library as loaded by its exported names, driven by a server of
// the test's own that records every callback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/RecordingServer.h"
#include "tests/TempStore.h"
#include "tools/FilterHost.h"

namespace refwarden {
namespace {

using testing::Call;
using testing::ReadValues;
using testing::RecordingServer;
using testing::StoredValue;
using testing::TempStore;

class FilterLibraryTest : public ::testing::Test {
 protected:
  TempStore store;
  std::unique_ptr<FilterLibrary> filter = std::make_unique<FilterLibrary>(REFWARDEN_FILTER_PATH);
};

TEST_F(FilterLibraryTest, RegistersForPreprocessedHeadersAtLowPriority) {
  HTTP_FILTER_VERSION version{};
  std::memset(&version, 0x5A, sizeof version);
  version.dwServerFilterVersion = HTTP_FILTER_REVISION;
  EXPECT_EQ(static_cast<DWORD>(filter->GetFilterVersion(&version)), 0xFFFFFFFFu);
  EXPECT_EQ(version.dwFilterVersion, 0x00010000u);
  EXPECT_STREQ(version.lpszFilterDesc, "Refwarden for Image Files");
  EXPECT_EQ(version.dwFlags, 0x00024000u);
  EXPECT_EQ(filter->TerminateFilter(0), 1);
}

TEST_F(FilterLibraryTest, OtherNotificationsCallNothing) {
  for (DWORD notification : {0u, 1u, 0x1000u, 0x200u, 0x80u, 0x4001u, 0xFFFFFFFFu}) {
    RecordingServer server{"h", "", "/a.jpg"};
    EXPECT_EQ(server.Send(filter->Function(), notification),
              static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
    EXPECT_TRUE(server.calls.empty()) << "notification " << notification;
  }
  EXPECT_TRUE(ReadValues(kTraceKey).empty());
}

TEST_F(FilterLibraryTest, RequestsAreReadTracedAndRewritten) {
  struct Case {
    std::string url, host, referer, rewrittenTo, traced;
  };
  const Case cases[] = {
      {"/images/a.jpg?size=2", "h.org", "http://other.net/", "/refwarden.jpg", "/images/a.jpg"},
      {"/images/a.jpg?size=3", "h.org", "http://h.org/page", "", "/images/a.jpg"},
      {"/?a.jpg", "h.org", "", "", "/"},
      {"/index.html", "h.org", "", "", "/index.html"},
      {"/x/y.bmp", "h.org", "", "/refwarden.bmp", "/x/y.bmp"},
      {"", "h.org", "", "", ""},
      {"?only=query", "h.org", "", "", ""},
      {"/Z.PNG", "h.org", "http://other.net/", "", "/Z.PNG"},
  };
  for (const Case& c : cases) {
    RecordingServer server{c.host, c.referer, c.url};
    EXPECT_EQ(server.Send(filter->Function()), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
    const std::string label = "url " + c.url;
    ASSERT_GE(server.calls.size(), 3u) << label;
    const char* expectedReads[][2] = {{"GetServerVariable", "HTTP_HOST"},
                                      {"GetServerVariable", "HTTP_REFERER"},
                                      {"GetHeader", "url"}};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(server.calls[i].function, expectedReads[i][0]) << label;
      EXPECT_EQ(server.calls[i].name, expectedReads[i][1]) << label;
      EXPECT_EQ(server.calls[i].size, 4097u) << label;
      EXPECT_TRUE(server.calls[i].bufferZeroed) << label;
    }
    if (c.rewrittenTo.empty()) {
      EXPECT_EQ(server.calls.size(), 3u) << label;
    } else {
      ASSERT_EQ(server.calls.size(), 4u) << label;
      EXPECT_EQ(server.calls[3].function, "SetHeader") << label;
      EXPECT_EQ(server.calls[3].name, "url") << label;
      EXPECT_EQ(server.calls[3].value, c.rewrittenTo) << label;
    }
    const std::vector<StoredValue> values = ReadValues(kTraceKey);
    EXPECT_TRUE(std::count(values.begin(), values.end(),
                           StoredValue{c.traced, REG_SZ, std::string("ok\0", 3)}) == 1)
        << label << " not traced as " << c.traced;
  }
  // Paths that repeat leave one value each.
  EXPECT_EQ(ReadValues(kTraceKey).size(), 6u);
}

TEST_F(FilterLibraryTest, ValuesFillingTheWholeBufferAreReadNoFurther) {
  // 4093 bytes of path and ".jpg": exactly the 4097-byte buffer, with no NUL.
  RecordingServer server{"h", "http://other.net/", std::string(4093, 'p') + ".jpg", true};
  EXPECT_EQ(server.Send(filter->Function()), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  // Without a trace (the name is too long for the store) the request passes;
  // either way nothing beyond the buffer was read and nothing crashed.
  for (const Call& call : server.calls) {
    if (call.function == "SetHeader") {
      EXPECT_EQ(call.value, "/refwarden.jpg");
    }
  }
}

TEST_F(FilterLibraryTest, FailedTraceLetsTheRequestPass) {
  setenv("REFWARDEN_REGISTRY", "/proc/refwarden-cannot-exist/registry.sqlite", 1);
  RecordingServer server{"h.org", "http://other.net/", "/images/a.jpg"};
  EXPECT_EQ(server.Send(filter->Function()), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  EXPECT_EQ(server.calls.size(), 3u) << "a request with a failed trace was rewritten";
}

TEST_F(FilterLibraryTest, TraceOutlastsTheLibrary) {
  RecordingServer server{"h.org", "", "/kept.gif?x=1"};
  server.Send(filter->Function());
  filter.reset();
  filter = std::make_unique<FilterLibrary>(REFWARDEN_FILTER_PATH);
  const std::vector<StoredValue> values = ReadValues(kTraceKey);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "/kept.gif");
}

}  // namespace
}  // namespace refwarden
