#include "tools/replay/ReplaySummary.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "tests/support/Printable.h"

namespace refwarden {
namespace {

using testing::Printable;

TEST(RefererSiteTest, Table) {
  struct Case {
    std::string_view referer, site;
  };
  const Case cases[] = {
      {"", "(none)"},
      {"http://forum.net/t/1", "forum.net"},
      {"https://forum.net:8443/t?x=1", "forum.net:8443"},
      {"http://forum.net", "forum.net"},
      {"http://forum.net?q=/x", "forum.net"},
      {"http://forum.net#top", "forum.net"},
      {"http://user:pw@forum.net/", "forum.net"},
      {"//cdn.net/x", "cdn.net"},
      {"android-app://com.example/", "com.example"},
      {"not a url", "not a url"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RefererSite(c.referer), c.site) << "referer " << Printable(c.referer);
  }
}

TEST(ReplaySummaryTest, CountsAndTopLists) {
  ReplaySummary summary;
  summary.AddFile();
  struct Request {
    std::string_view path, referer;
    bool image, rewritten;
  };
  const Request requests[] = {
      {"/a.jpg", "http://b.net/x", true, true},
      {"/a.jpg", "http://b.net/y", true, true},
      {"/b.png", "", true, true},
      {"/b.png", "http://a.net/", true, true},
      {"/c.gif", "http://own/", true, false},
      {"/index.html", "", false, false},
      {"/d.bmp", "http://c.net/", true, true},
  };
  for (const Request& r : requests) {
    summary.AddLine();
    summary.AddRequest(r.path, r.referer, r.image, r.rewritten);
  }
  for (int line = 1; line <= 7; ++line)
    summary.AddMalformed("x.log", static_cast<std::uint64_t>(line * 10));

  EXPECT_EQ(summary.requests(), 7u);
  EXPECT_EQ(summary.images(), 6u);
  EXPECT_EQ(summary.rewritten(), 5u);
  EXPECT_EQ(summary.malformed(), 7u);
  EXPECT_EQ(summary.firstMalformed(),
            (std::vector<std::string>{"x.log:10", "x.log:20", "x.log:30", "x.log:40", "x.log:50"}));
  // Most frequent first, ties in byte order; cut at `top`.
  EXPECT_EQ(summary.TopSites(3),
            (std::vector<CountedName>{{"b.net", 2}, {"(none)", 1}, {"a.net", 1}}));
  EXPECT_EQ(summary.TopPaths(10),
            (std::vector<CountedName>{{"/a.jpg", 2}, {"/b.png", 2}, {"/d.bmp", 1}}));
  EXPECT_EQ(summary.TopPaths(0), std::vector<CountedName>{});

  const nlohmann::json json = nlohmann::json::parse(summary.Json(2));
  EXPECT_EQ(json["requests"], 7);
  EXPECT_EQ(json["images"], 6);
  EXPECT_EQ(json["rewritten"], 5);
  EXPECT_EQ(json["malformed"], 7);
  EXPECT_DOUBLE_EQ(json["rewritten_share"].get<double>(), 5.0 / 7.0);
  EXPECT_EQ(json["top_referer_sites"].size(), 2u);
  EXPECT_EQ(json["top_rewritten_paths"][1]["path"], "/b.png");

  const std::string text = summary.Text(10);
  EXPECT_NE(text.find("x.log:50, ..."), std::string::npos) << text;
  EXPECT_NE(text.find("71.4% of requests, 83.3% of image requests"), std::string::npos) << text;
}

TEST(ReplaySummaryTest, JsonCarriesBytesThatAreNotUtf8) {
  ReplaySummary summary;
  summary.AddRequest("/\xff\xfe.jpg", "http://\xc3(/", true, true);
  const nlohmann::json json = nlohmann::json::parse(summary.Json(10));
  EXPECT_EQ(json["top_rewritten_paths"][0]["path"], "/\xef\xbf\xbd\xef\xbf\xbd.jpg");
}

}  // namespace
}  // namespace refwarden
