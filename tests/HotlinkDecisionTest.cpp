#include "filter/HotlinkDecision.h"

#include <gtest/gtest.h>

#include <string>

#include "bench/RequestMix.h"
#include "tests/support/Printable.h"
#include "tests/support/References.h"

namespace refwarden {
namespace {

using testing::Printable;

constexpr std::string_view kPass = "pass";

// Checked against the matcher transcribed from its segment rules.
TEST(IsProtectedPathTest, AgreesWithGreedyRule) {
  const std::string_view paths[] = {
      "/a.jpg",     "/a.gif",     "/a.png",        "/a.bmp",         "/a.JPG", "/a.jpeg",
      "/a.jpg.jpg", "/a.gif.jpg", "/x.jpgx/y.jpg", "/a.png/",        "",       ".jpg",
      "/.bmp",      "/a.jp",      "/a.jpg?x",      "/dir.png/a.png",
  };
  for (std::string_view path : paths) {
    EXPECT_EQ(IsProtectedPath(path), reference::ProtectedByRule(path))
        << "path " << Printable(path);
  }
  EXPECT_TRUE(IsProtectedPath("/images/photo.jpg"));
  EXPECT_FALSE(IsProtectedPath("/a.jpg.jpg"));
}

TEST(DecideRewriteTest, Table) {
  struct Case {
    std::string_view path, host, referer, expected;
  };
  const Case cases[] = {
      {"/images/photo.jpg", "h.org", "http://h.org/page.html", kPass},
      {"/images/photo.jpg", "h.org", "", "/refwarden.jpg"},
      {"/images/photo.jpg", "h.org", "http://other.net/page", "/refwarden.jpg"},
      {"/index.html", "h.org", "", kPass},
      {"/index.html", "h.org", "http://other.net/", kPass},
      {"/images/PHOTO.JPG", "h.org", "http://other.net/", kPass},
      {"/images/photo.gif", "h.org", "http://h.org", "/refwarden.gif"},
      {"/a.png", "h.org:8080", "http://h.org:8080/", kPass},
      {"/a.png", "h.org", "http://h.org:8080/", "/refwarden.png"},
      {"/x/y.bmp", "h.org", "https://evil.example/", "/refwarden.bmp"},
      {"", "h.org", "", kPass},
      {"/a.jpg.jpg", "h.org", "http://other.net/", kPass},
      {"/a.gif.jpg", "h.org", "http://other.net/", "/refwarden.jpg"},
      {"/a.jpg", "h.org", "http://H.ORG/page", "/refwarden.jpg"},
      {"/a.jpg", "h.org", "http://other.net/?from=/h.org/x", kPass},
      {"/a.jpg", "h.org", "http://sub.h.org/", "/refwarden.jpg"},
      // The host is a pattern: an asterisk in it is a wildcard.
      {"/a.jpg", "*", "http://anything/", kPass},
      {"/a.jpg", "h*", "http://hx.net/p", kPass},
      // An empty host accepts any referer holding two adjacent slashes.
      {"/a.jpg", "", "http://other.net/", kPass},
      {"/a.jpg", "", "no-slashes", "/refwarden.jpg"},
  };
  for (const Case& c : cases) {
    const Decision d = DecideRewrite(c.path, c.host, c.referer);
    const std::string got = d.rewrite ? d.replacement : std::string(kPass);
    EXPECT_EQ(got, c.expected) << "path " << Printable(c.path) << " host " << Printable(c.host)
                               << " referer " << Printable(c.referer);
  }
}

TEST(DecideRewriteTest, AgreesWithTheRuleOnARealisticMix) {
  for (const bench::Request& r : bench::MakeRequestMix()) {
    const Decision d = DecideRewrite(r.path, r.host, r.referer);
    EXPECT_EQ(d.rewrite ? d.replacement : "", reference::RuleReplacement(r.path, r.host, r.referer))
        << "path " << Printable(r.path) << " host " << Printable(r.host) << " referer "
        << Printable(r.referer);
  }
}

TEST(DecideRewriteTest, LongHostIsJoinedWhole) {
  const std::string host(3000, 'h');
  EXPECT_FALSE(DecideRewrite("/a.jpg", host, "http://" + host + "/p").rewrite);
  EXPECT_TRUE(DecideRewrite("/a.jpg", host, "http://" + host.substr(1) + "/p").rewrite);
}

}  // namespace
}  // namespace refwarden
