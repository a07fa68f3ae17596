#include "tools/replay/ReplaySummary.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

#include "tests/support/Printable.h"
#include "tools/replay/ReplayHtml.h"
#include "tools/replay/RewriteKinds.h"
#include "tools/replay/TerminalText.h"

namespace refwarden {
namespace {

using testing::Printable;

// "name count, name count, ..."
std::string Named(const std::vector<TopCounter::Entry>& entries) {
  std::string out;
  for (const TopCounter::Entry& e : entries)
    out += (out.empty() ? "" : ", ") + e.name + " " + std::to_string(e.count);
  return out;
}

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

// Who would get the placeholder: the kind of each (host, referer) pair.
TEST(RewriteKindTest, Table) {
  constexpr RewriteKind none = RewriteKind::kNoReferer, same = RewriteKind::kSameSite,
                        alias = RewriteKind::kLikelyAlias, other = RewriteKind::kOtherSite;
  struct Case {
    std::string_view host, referer;
    RewriteKind kind;
  };
  const Case cases[] = {
      {"shop.example", "", none},
      {"", "", none},
      // The site itself, written another way.
      {"www.shop.example", "https://www.shop.example:443/gallery", same},
      {"www.shop.example", "https://WWW.SHOP.EXAMPLE/x", same},
      {"www.shop.example", "HTTPS://www.shop.example", same},  // no slash after the host
      {"www.shop.example", "http://www.shop.example:80?q=1", same},
      {"www.shop.example:443", "https://www.shop.example/", same},
      {"www.shop.example:8080", "http://www.shop.example:8080#top", same},
      {"www.shop.example", "https://www.shop.example./x", same},  // the root's dot
      {"www.shop.example.", "https://www.shop.example/x", same},
      {"www.shop.example", "//www.shop.example/x", same},
      {"www.shop.example", "https://user:pw@www.shop.example/x", same},
      {"[2001:db8::1]", "http://[2001:DB8::1]/x", same},
      {"[2001:db8::1]:8443", "https://[2001:db8::1]:8443", same},
      {"10.0.0.5", "http://10.0.0.5:80/", same},
      // Likely aliases: a guess by the names.
      {"www.shop.example", "https://shop.example/x", alias},
      {"shop.example", "https://www.shop.example/x", alias},
      {"www.shop.example", "https://img.shop.example/x", alias},
      {"www.shop.example", "http://www.shop.example:8080/x", alias},  // another port
      {"www.shop.example", "http://www.shop.example:443/x", alias},   // https's port on http
      {"www.shop.example", "ftp://www.shop.example:21/x", alias},
      {"a.co.uk", "http://b.co.uk/", alias},  // the guess is wrong here, as said
      {"[2001:db8::1]", "http://[2001:db8::1]:81/", alias},
      // Other sites.
      {"www.shop.example", "http://shop.example@evil.example/", other},
      {"www.shop.example", "http://evil.example/www.shop.example/", other},
      {"www.shop.example", "https://www.shop.example.evil.example/", other},
      {"www.shop.example", "https://forum.example.net/t/1", other},
      {"www.shop.example", "www.shop.example/x", other},  // no scheme, no "//": no host
      {"www.shop.example", "android-app://com.example/", other},
      {"www.shop.example", "1http://www.shop.example/", other},
      {"www.shop.example", "http ://www.shop.example/", other},
      {"www.shop.example", "http:///x", other},
      {"", "http://www.shop.example/", other},  // no Host header
      {"localhost", "http://otherhost/", other},
      {"10.0.0.5", "http://10.1.0.5/", other},  // IP literals share no labels
      {"[2001:db8::1]", "http://[2001:db8::2]/", other},
      {"example", "http://example.com/", other},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RewriteKindKey(ClassifyRewrite(c.host, c.referer)), RewriteKindKey(c.kind))
        << "host " << Printable(c.host) << ", referer " << Printable(c.referer);
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
    summary.AddRequest(r.path, r.referer, true, RequestOutcome{r.image, r.rewritten});
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
  EXPECT_EQ(Named(summary.TopSites(3)), "b.net 2, (none) 1, a.net 1");
  EXPECT_EQ(Named(summary.TopPaths(10)), "/a.jpg 2, /b.png 2, /d.bmp 1");
  EXPECT_EQ(Named(summary.TopPaths(0)), "");

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
  EXPECT_EQ(text.find("(no rewritten requests)"), std::string::npos) << text;

  // A cut through a tie says how many more share the last count shown.
  const std::string cut = summary.Text(3);
  EXPECT_NE(cut.find("  1  a.net\n  and 1 more with the same count\n"), std::string::npos) << cut;
  EXPECT_EQ(text.find("more with the same count"), std::string::npos) << text;
  const std::string cut2 = summary.Text(2);  // the paths' cut is no tie
  EXPECT_NE(cut2.find("(none)\n  and 2 more with the same count\n\nTop"), std::string::npos)
      << cut2;
  EXPECT_EQ(cut2.find("more", cut2.find("Top rewritten")), std::string::npos) << cut2;
  // The same fact in --json and the HTML page: the count beyond the cut.
  const struct { int top, sites, paths; } cuts[] = {{3, 1, 0}, {2, 2, 0}, {10, 0, 0}, {1, 0, 1}};
  for (const auto& [top, sites, paths] : cuts) {
    const nlohmann::json cutJson = nlohmann::json::parse(summary.Json(top));
    EXPECT_EQ(cutJson["top_referer_sites_tied_beyond"], sites) << "--top " << top;
    EXPECT_EQ(cutJson["top_rewritten_paths_tied_beyond"], paths) << "--top " << top;
    const std::string page = ReplayHtml(summary, top);
    const auto said = [&page](int n) {
      return page.find("and " + std::to_string(n) + " more with the same count") !=
             std::string::npos;
    };
    EXPECT_EQ(said(sites) || said(paths), sites + paths > 0) << "--top " << top;
  }

  // --top 0: the counts, without the two lists.
  const std::string countsOnly = summary.Text(0);
  EXPECT_NE(countsOnly.find("rewritten"), std::string::npos) << countsOnly;
  EXPECT_EQ(countsOnly.find("Top "), std::string::npos) << countsOnly;
  EXPECT_EQ(countsOnly.find("(no rewritten requests)"), std::string::npos) << countsOnly;
}

// More distinct paths than the table holds: the report says the list is
// approximate, gives each uncertain count's lower bound, and cuts long paths.
TEST(ReplaySummaryTest, PastTheTableBudgetTheListSaysItIsApproximate) {
  ReplaySummary summary;
  const RequestOutcome rewritten{true, true};
  for (int i = 0; i < 100; ++i) summary.AddRequest("/frequent.jpg", "", true, rewritten);
  const std::size_t distinct = ReplaySummary::kTableBudget / 4000 + 1000;
  for (std::size_t i = 0; i < distinct; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "/%06zu", i);
    summary.AddRequest(number + std::string(3995, 'p') + ".jpg", "", true,
                       rewritten);  // 4,006 bytes
  }
  summary.AddRequest("/last.jpg", "", true, rewritten);
  EXPECT_FALSE(summary.paths().exact());
  EXPECT_TRUE(summary.sites().exact());
  EXPECT_LE(summary.paths().bytes(), ReplaySummary::kTableBudget);

  const std::string text = summary.Text(3);
  EXPECT_NE(text.find("Top rewritten paths (approximate: more distinct paths than fit in 16 MiB)\n"
                      "  100  /frequent.jpg\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  (at least 1)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("pppp... (4,006 bytes)"), std::string::npos) << text;

  const nlohmann::json json = nlohmann::json::parse(summary.Json(3));
  EXPECT_EQ(json["top_rewritten_paths_exact"], false);
  EXPECT_EQ(json["top_rewritten_paths"][0]["overcount"], 0);
  EXPECT_EQ(json["top_rewritten_paths"][1]["path"].get<std::string>().size(), 4006u);
  // The page says so too, and cuts the long names short.
  const std::string html = ReplayHtml(summary, 3);
  EXPECT_NE(html.find("<p class=\"note\">Approximate: more distinct paths"), std::string::npos);
  EXPECT_NE(html.find("pppp&hellip; (4,006 bytes)"), std::string::npos);
}

TEST(ReplaySummaryTest, ListsSayWhenNothingWasRewritten) {
  ReplaySummary summary;
  summary.AddRequest("/a.jpg", "http://own/", true, RequestOutcome{true, false});
  const std::string text = summary.Text(10);
  EXPECT_NE(text.find("Top rewritten paths\n  (no rewritten requests)"), std::string::npos) << text;
}

TEST(ReplaySummaryTest, TextShowsLogBytesEscaped) {
  ReplaySummary summary;
  summary.AddRequest("/\x1b[2J\x9b\xc2\x9b.jpg", "http://a.net\x07/", true,
                     RequestOutcome{true, true});
  summary.AddMalformed("bad\r.log", 3);
  summary.AddError("cut\x1b.gz", "the file is truncated");
  const std::string text = summary.Text(10);
  for (char c : text) ASSERT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\n') << text;
  EXPECT_NE(text.find("/\\x1b[2J\\x9b\\xc2\\x9b.jpg"), std::string::npos) << text;
  EXPECT_NE(text.find("a.net\\x07"), std::string::npos) << text;
  EXPECT_NE(text.find("bad\\x0d.log:3"), std::string::npos) << text;
  EXPECT_NE(text.find("cut\\x1b.gz: the file is truncated"), std::string::npos) << text;
}

// Traces not written: the row, the store and why under it (escaped), before
// the next row; in JSON the count, the store and the error, null when writing
// again worked.
TEST(ReplaySummaryTest, TracesNotWrittenSayWhereAndWhy) {
  struct Case {
    TraceFault fault;
    std::string lines;  // under the row
  };
  const Case cases[] = {
      {{"/srv/r\x1b.sqlite", "Access is denied.", ""},
       "    trace store: /srv/r\\x1b.sqlite\n    it cannot be written: Access is denied.\n"},
      {{"/srv/r", "The configuration registry database is corrupt.", "(it is not a store)"},
       "    trace store: /srv/r\n    it cannot be written: The configuration registry database is "
       "corrupt.\n    (it is not a store)\n"},
      {{"HKEY_CURRENT_USER\\software\\tarnwel\\debug", "", ""},
       "    trace store: HKEY_CURRENT_USER\\software\\tarnwel\\debug\n"
       "    writing the trace again worked: the fault has passed (the store may have been "
       "busy).\n"},
  };
  for (const Case& c : cases) {
    ReplaySummary summary;
    summary.AddError("cut.gz", "the file is truncated");
    summary.SetTracesNotWritten(1234, c.fault);
    const std::string text = summary.Text(0);
    EXPECT_NE(text.find("1,234  so the filter let these requests pass unchanged\n" + c.lines +
                        "  files not read to the end"),
              std::string::npos)
        << text;
    const nlohmann::json json = nlohmann::json::parse(summary.Json(0));
    EXPECT_EQ(json["traces_not_written"], 1234);
    EXPECT_EQ(json["trace_store"], c.fault.store);
    if (c.fault.error.empty()) {
      EXPECT_TRUE(json["trace_error"].is_null()) << json["trace_error"];
    } else {
      EXPECT_EQ(json["trace_error"], c.fault.error);
    }
  }
}

TEST(TerminalTextTest, Table) {
  struct Case {
    std::string_view bytes, shown;
  };
  const Case cases[] = {
      {"/images/a.jpg?x=1", "/images/a.jpg?x=1"},
      {"caf\xc3\xa9 \xe2\x80\xae \xf0\x9f\x90\x88", "caf\xc3\xa9 \xe2\x80\xae \xf0\x9f\x90\x88"},
      {"\x1b[31mred", "\\x1b[31mred"},
      {"a\tb\nc\x7f", "a\\x09b\\x0ac\\x7f"},
      {"back\\slash", "back\\x5cslash"},
      {"\xc2\x9b\xc2\xa0", "\\xc2\\x9b\xc2\xa0"},    // a C1 control; no-break space stays
      {"\xff\xfe", "\\xff\\xfe"},                    // not UTF-8
      {"\xc3(", "\\xc3("},                           // a lead byte without its follower
      {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"},           // overlong
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // a surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // past U+10FFFF
      {"\xe2\x82", "\\xe2\\x82"},                    // cut short
      {std::string_view("nul\0", 4), "nul\\x00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TerminalText(c.bytes), c.shown) << "bytes " << Printable(c.bytes);
  }
  // Names the system gives keep their backslashes: Windows' folders.
  const Case names[] = {
      {"C:\\inetpub\\logs\\u_ex2405.log:7", "C:\\inetpub\\logs\\u_ex2405.log:7"},
      {"HKEY_CURRENT_USER\\software", "HKEY_CURRENT_USER\\software"},
      {"/tmp/a\x1b[2J\xff.log", "/tmp/a\\x1b[2J\\xff.log"},
  };
  for (const Case& c : names) {
    EXPECT_EQ(NameText(c.bytes), c.shown) << "bytes " << Printable(c.bytes);
  }
}

TEST(ReplaySummaryTest, JsonCarriesBytesThatAreNotUtf8) {
  ReplaySummary summary;
  summary.AddRequest("/\xff\xfe.jpg", "http://\xc3(/", true, RequestOutcome{true, true});
  const nlohmann::json json = nlohmann::json::parse(summary.Json(10));
  EXPECT_EQ(json["top_rewritten_paths"][0]["path"], "/\xef\xbf\xbd\xef\xbf\xbd.jpg");
}

}  // namespace
}  // namespace refwarden

namespace refwarden {
namespace {

// The number in the page's <data id="..."> element, or -1.
long long HtmlCount(const std::string& html, const std::string& id) {
  const std::string key = "<data id=\"" + id + "\" value=\"";
  const std::size_t at = html.find(key);
  if (at == std::string::npos) return -1;
  return std::stoll(html.substr(at + key.size()));
}

// By day, by file and by kind, in all three reports; bytes from the logs
// reach the page only escaped.
TEST(ReplaySummaryTest, DaysFilesAndKindsAgreeInEveryReport) {
  ReplaySummary summary;
  const std::uint32_t first = summary.AddFile("u_ex240501.log");
  const std::uint32_t second = summary.AddFile("<b>x</b>\x1b.log");
  struct Request {
    std::uint32_t date, file;
    std::string_view host, path, referer;
    bool image, rewritten;
  };
  const std::string longHost(4097, 'h');
  const std::string longUrl = "/" + std::string(4100, 'u') + ".jpg";
  const Request requests[] = {
      {20240501, first, "shop.example", "/a.jpg", "", true, true},
      {20240501, first, "shop.example", "/a.jpg", "https://SHOP.example/", true, true},
      {20240501, first, "shop.example", "/index.html", "", false, false},
      {20240502, second, "shop.example", "/<script>alert(1)</script>.jpg",
       "http://evil.example/\"'&\x07", true, true},
      {20240502, second, "shop.example", "/b.png", "http://www.shop.example/", true, true},
      {0, second, longHost, "/c.gif", "http://any.example/", true, false},
      {0, second, "shop.example", longUrl, "http://any.example/", true, false},
  };
  for (const Request& r : requests) {
    ReplayedRequest replayed;
    replayed.path = r.path;
    replayed.host = r.host;
    replayed.referer = r.referer;
    replayed.urlLength = r.path.size();
    replayed.date = r.date;
    replayed.file = r.file;
    summary.AddRequest(replayed, RequestOutcome{r.image, r.rewritten});
  }
  EXPECT_EQ(summary.kindCount(RewriteKind::kNoReferer), 1u);
  EXPECT_EQ(summary.kindCount(RewriteKind::kSameSite), 1u);
  EXPECT_EQ(summary.kindCount(RewriteKind::kLikelyAlias), 1u);
  EXPECT_EQ(summary.kindCount(RewriteKind::kOtherSite), 1u);

  const std::string text = summary.Text(10);
  EXPECT_NE(text.find("  2024-05-01          3          2          2\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("  (no date)           2          2          0\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("          4          4          2  <b>x</b>\\x1b.log\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("URLs over 4,096 bytes      1  image requests"), std::string::npos) << text;
  EXPECT_NE(text.find("Hosts over 4,096 bytes     1  image requests"), std::string::npos) << text;

  const nlohmann::json json = nlohmann::json::parse(summary.Json(10));
  EXPECT_EQ(json["per_day"][1]["date"], "2024-05-01");
  EXPECT_EQ(json["per_day"][2]["rewritten"], 2);
  EXPECT_TRUE(json["per_day"][0]["date"].is_null());
  EXPECT_EQ(json["per_file"][1]["requests"], 4);
  EXPECT_EQ(json["rewrite_kinds"]["likely_alias"]["top"][0]["site"], "www.shop.example");
  EXPECT_EQ(json["rewrite_kinds"]["no_referer"]["top"][0]["path"], "/a.jpg");
  EXPECT_EQ(json["long_url_images"], 1);
  EXPECT_EQ(json["long_host_images"], 1);

  const std::string html = ReplayHtml(summary, 10);
  EXPECT_EQ(HtmlCount(html, "requests"), 7);
  EXPECT_EQ(HtmlCount(html, "kind-same_site"), 1);
  EXPECT_EQ(HtmlCount(html, "day-2024-05-02-rewritten"), 2);
  EXPECT_EQ(HtmlCount(html, "day-none-images"), 2);
  EXPECT_EQ(HtmlCount(html, "file-2-requests"), 4);
  EXPECT_EQ(HtmlCount(html, "long_host_images"), 1);
  // Our own markup has no script; what a log holds is text.
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("<b>x"), std::string::npos);
  EXPECT_NE(html.find("/&lt;script&gt;alert(1)&lt;/script&gt;.jpg"), std::string::npos);
  EXPECT_NE(html.find("&lt;b&gt;x&lt;/b&gt;\\x1b.log"), std::string::npos);
  for (char c : html) ASSERT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\n');
  EXPECT_LT(html.size(), 40000u);
}

TEST(HtmlTextTest, Table) {
  struct Case {
    std::string_view in, out;
  };
  const Case cases[] = {
      {"a&b<c>d\"e'f", "a&amp;b&lt;c&gt;d&quot;e&#39;f"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"\xff\x1b[2J", "\\xff\\x1b[2J"},
      {"&amp;", "&amp;amp;"},
  };
  for (const Case& c : cases) EXPECT_EQ(HtmlText(c.in), c.out) << Printable(c.in);
}

}  // namespace
}  // namespace refwarden
