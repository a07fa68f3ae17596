// The demo server: URL-to-file mapping on its own, then the server driven over
// HTTP with the real filter library in front of the example site.
#include "tools/serve/SiteServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/Printable.h"
#include "tests/support/TempStore.h"
#include "tools/serve/StaticFiles.h"

namespace refwarden {
namespace {

namespace fs = std::filesystem;
using testing::Printable;

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(PercentDecodeTest, Table) {
  struct Case {
    std::string_view in, out;
  };
  const Case cases[] = {
      {"/a%20b", "/a b"}, {"%2e%2E", ".."}, {"%2F", "/"},     {"100%", "100%"},
      {"%zz", "%zz"},     {"%4", "%4"},     {"%41%42", "AB"}, {"%00", std::string_view("\0", 1)},
  };
  for (const Case& c : cases) EXPECT_EQ(PercentDecode(c.in), c.out) << "input " << Printable(c.in);
}

TEST(ContentTypeForTest, Table) {
  struct Case {
    const char* file;
    std::string_view type;
  };
  const Case cases[] = {
      {"index.html", "text/html; charset=utf-8"},
      {"a.css", "text/css; charset=utf-8"},
      {"a.js", "text/javascript; charset=utf-8"},
      {"a.jpg", "image/jpeg"},
      {"A.JPG", "image/jpeg"},
      {"a.gif", "image/gif"},
      {"a.png", "image/png"},
      {"a.bmp", "image/bmp"},
      {"a.svg", "image/svg+xml"},
      {"favicon.ico", "image/x-icon"},
      {"a.txt", "text/plain; charset=utf-8"},
      {"a.bin", "application/octet-stream"},
      {"noext", "application/octet-stream"},
  };
  for (const Case& c : cases) EXPECT_EQ(ContentTypeFor(c.file), c.type) << c.file;
}

class LookUpFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() / ("refwarden-lookup-" + std::to_string(getpid()));
    root_ = base_ / "root";
    fs::create_directories(root_ / "images");
    fs::create_directories(root_ / "empty");
    std::ofstream(root_ / "index.html") << "home";
    std::ofstream(root_ / "images" / "a b.jpg") << "jpg";
    std::ofstream(base_ / "secret.txt") << "secret";
    fs::create_symlink(base_ / "secret.txt", root_ / "leak.txt");
    fs::create_symlink(base_, root_ / "up");
    fs::create_symlink(root_ / "index.html", root_ / "alias.html");
  }
  void TearDown() override { fs::remove_all(base_); }

  fs::path base_, root_;
};

TEST_F(LookUpFileTest, Table) {
  struct Case {
    std::string_view url;
    int status;
    const char* file;
  };
  const Case cases[] = {
      {"/", 200, "index.html"},
      {"/index.html?x=1", 200, "index.html"},
      {"/index.html#top", 200, "index.html"},
      {"//index.html", 200, "index.html"},
      {"/./index.html", 200, "index.html"},
      {"/images/a%20b.jpg", 200, "images/a b.jpg"},
      {"/alias.html", 200, "index.html"},  // a link that stays inside
      {"/images", 404, ""},                // a directory without index.html
      {"/empty/", 404, ""},
      {"/missing.png", 404, ""},
      {"/images/a b.jpg/x", 404, ""},
      {"/../secret.txt", 403, ""},
      {"/images/../index.html", 403, ""},
      {"/%2e%2e/secret.txt", 403, ""},
      {"/%2E%2E%2Fsecret.txt", 403, ""},
      {"/images/..%2f..%2fsecret.txt", 403, ""},
      {"/..", 403, ""},
      {"/leak.txt", 403, ""},       // a link out of the root
      {"/up/secret.txt", 403, ""},  // through a linked directory
      {"/index.html%00.jpg", 403, ""},
      {"index.html", 400, ""},
      {"", 400, ""},
      {"?/index.html", 400, ""},
  };
  for (const Case& c : cases) {
    const FileLookup lookup = LookUpFile(root_, c.url);
    EXPECT_EQ(lookup.status, c.status) << "url " << Printable(c.url);
    if (c.status == 200) {
      EXPECT_EQ(lookup.file, fs::canonical(root_ / c.file)) << "url " << Printable(c.url);
    }
  }
}

class SiteServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    store_ = new testing::TempStore("registry.db");
    filter_ = new FilterLibrary(REFWARDEN_FILTER_PATH);
    own_ = new SiteServer(SiteOptions{"own", kSite, filter_, 0}, &log_, &logMutex_);
    ownPort_ = own_->Bind("127.0.0.1", 0);
    ASSERT_GT(ownPort_, 0);
    foreign_ =
        new SiteServer(SiteOptions{"foreign", kForeign, nullptr, ownPort_}, &log_, &logMutex_);
    foreignPort_ = foreign_->Bind("127.0.0.1", 0);
    ASSERT_GT(foreignPort_, 0);
    own_->Start();
    foreign_->Start();
  }
  static void TearDownTestSuite() {
    delete foreign_;
    delete own_;
    delete filter_;
    delete store_;
  }

  static std::string Own() { return "127.0.0.1:" + std::to_string(ownPort_); }

  static httplib::Result Get(const std::string& path, const std::string& referer) {
    httplib::Client client("127.0.0.1", ownPort_);
    httplib::Headers headers;
    if (!referer.empty()) headers.emplace("Referer", referer);
    return client.Get(path.c_str(), headers);
  }

  // Sends `request` as it stands, so that no client tidies its path, and
  // returns the status code of the answer (0 when there is none).
  static int RawStatus(const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(ownPort_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return 0;
    }
    const ssize_t sent = send(fd, request.data(), request.size(), 0);
    std::string answer;
    char buffer[1024];
    for (ssize_t n; sent > 0 && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
      answer.append(buffer, static_cast<std::size_t>(n));
      if (answer.find("\r\n") != std::string::npos) break;
    }
    close(fd);
    return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : 0;
  }

  static inline const fs::path kSite = REFWARDEN_EXAMPLES_DIR "/site";
  static inline const fs::path kForeign = REFWARDEN_EXAMPLES_DIR "/foreign";
  static inline testing::TempStore* store_ = nullptr;
  static inline FilterLibrary* filter_ = nullptr;
  static inline SiteServer* own_ = nullptr;
  static inline SiteServer* foreign_ = nullptr;
  static inline int ownPort_ = 0;
  static inline int foreignPort_ = 0;
  static inline std::ostringstream log_;
  static inline std::mutex logMutex_;
};

TEST_F(SiteServerTest, ImagesByReferer) {
  struct Case {
    const char* path;
    std::string referer;
    const char* served;
    const char* type;
  };
  const std::string own = "http://" + Own() + "/";
  const Case cases[] = {
      {"/images/harbour.jpg", "http://foreign.example/page", "refwarden.jpg", "image/jpeg"},
      {"/images/harbour.jpg", "", "refwarden.jpg", "image/jpeg"},
      {"/images/harbour.jpg?size=2", "http://foreign.example/", "refwarden.jpg", "image/jpeg"},
      {"/images/harbour.jpg", own, "images/harbour.jpg", "image/jpeg"},
      {"/images/harbour.jpg", own + "index.html", "images/harbour.jpg", "image/jpeg"},
      {"/images/balloon.gif", "http://foreign.example/", "refwarden.gif", "image/gif"},
      {"/images/meadow.png", "http://foreign.example/", "refwarden.png", "image/png"},
      {"/images/lighthouse.bmp", "http://foreign.example/", "refwarden.bmp", "image/bmp"},
      {"/images/lighthouse.bmp", own, "images/lighthouse.bmp", "image/bmp"},
      // Same host, other port: foreign to the filter.
      {"/images/meadow.png", "http://127.0.0.1:1/", "refwarden.png", "image/png"},
      {"/", "http://foreign.example/", "index.html", "text/html; charset=utf-8"},
      {"/style.css", "", "style.css", "text/css; charset=utf-8"},
  };
  for (const Case& c : cases) {
    const httplib::Result result = Get(c.path, c.referer);
    ASSERT_TRUE(result) << c.path;
    EXPECT_EQ(result->status, 200) << c.path << " referer " << c.referer;
    EXPECT_TRUE(result->body == ReadFile(kSite / c.served))
        << c.path << " referer " << c.referer << ": expected the bytes of " << c.served;
    EXPECT_EQ(result->get_header_value("Content-Type"), c.type) << c.path;
    EXPECT_EQ(result->get_header_value("Cache-Control"), "no-store") << c.path;
  }
}

TEST_F(SiteServerTest, MissingAndRefused) {
  const httplib::Result missing = Get("/images/none.jpg", "http://" + Own() + "/");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  // A hot-linked image that does not exist still gets the placeholder.
  const httplib::Result hotlinked = Get("/images/none.jpg", "http://foreign.example/");
  ASSERT_TRUE(hotlinked);
  EXPECT_EQ(hotlinked->status, 200);

  struct Case {
    std::string target;
    int status;
  };
  const Case cases[] = {
      {"/../../../../etc/passwd", 403},
      {"/images/../../../etc/passwd", 403},
      {"/%2e%2e/%2e%2e/%2e%2e/etc/passwd", 403},
      {"/images/%2E%2E%2F%2E%2E%2F%2E%2E%2Fetc%2Fpasswd", 403},
      {"/index.html", 200},
      {"/nothing-here", 404},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RawStatus("GET " + c.target + " HTTP/1.1\r\nHost: " + Own() +
                        "\r\nConnection: close\r\n\r\n"),
              c.status)
        << c.target;
  }
}

TEST_F(SiteServerTest, ForeignPageNamesTheOwnSite) {
  httplib::Client client("127.0.0.1", foreignPort_);
  const httplib::Result page = client.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body.find("@OWN_SITE@"), std::string::npos);
  EXPECT_NE(page->body.find("src=\"http://" + Own() + "/images/harbour.jpg\""), std::string::npos);
}

TEST_F(SiteServerTest, LogsOneLinePerRequest) {
  Get("/images/meadow.png?from=log", "http://elsewhere.example/");
  std::lock_guard<std::mutex> lock(logMutex_);
  EXPECT_NE(
      log_.str().find("[own] GET /images/meadow.png?from=log referer=http://elsewhere.example/ "
                      "filter=rewrite:/refwarden.png status=200\n"),
      std::string::npos)
      << log_.str();
}

}  // namespace
}  // namespace refwarden
