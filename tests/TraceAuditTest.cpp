// Counting the traces that were not written, against the store's faults as
// they happen: the filter's request handling (linked in) traces into a store
// of the test's own, which refuses every trace while a row says so. The
// traces that failed are exactly the requests made meanwhile. The same file
// builds for Windows, where the store is the registry under Wine.
#include "tools/replay/TraceAudit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "filter/HotlinkDecision.h"
#include "tests/support/LinkedFilter.h"
#include "tests/support/TempStore.h"
#include "tools/FilterHost.h"
#include "tools/TraceCheck.h"
#include "tools/replay/RequestPipeline.h"
#include "tools/replay/ReplaySummary.h"

namespace refwarden {
namespace {

constexpr const char* kHost = "site.example";
constexpr const char* kForeign = "http://elsewhere.example/page";
constexpr const char* kOwn = "http://site.example/page";

struct Step {
  enum Kind { kRequest, kRefuse, kAllow } kind;
  std::string url;
  std::string referer;
};

Step Request(std::string url, std::string referer = "") {
  return {Step::kRequest, std::move(url), std::move(referer)};
}
const Step kRefuse{Step::kRefuse, "", ""};
const Step kAllow{Step::kAllow, "", ""};

struct Sequence {
  const char* what;
  std::vector<Step> steps;
  std::size_t budget = TraceAudit::kConfirmedBudget;
};

// A URL the filter reads as empty: it does not fit the 4097-byte buffer.
const std::string kLongImage = "/img/" + std::string(5000, 'p') + ".jpg";

std::vector<Step> Mix() {
  return {Request("/img/a.jpg", kForeign), Request("/img/a.jpg", kOwn),
          Request("/index.html"),          Request("/index.html", kOwn),
          Request("/index.html", kOwn),    Request("/?q=a.jpg", kForeign),
          Request(kLongImage, kForeign),   Request("/img/b.png")};
}

std::vector<Step> Then(std::vector<Step> steps, const std::vector<Step>& more) {
  steps.insert(steps.end(), more.begin(), more.end());
  return steps;
}

const std::vector<Sequence>& Sequences() {
  static const std::vector<Sequence> rows = {
      {"healthy: rewritten, certain from the rule, read back once a path", Then({kAllow}, Mix())},
      {"refused throughout", Then({kRefuse}, Mix())},
      {"a path refused, then traced",
       {kRefuse, Request("/new.html"), kAllow, Request("/new.html"), Request("/new.html")}},
      {"confirmed paths are read again once a trace is seen to fail",
       {kAllow, Request("/a.html"), Request("/b.html", kOwn), kRefuse, Request("/x.jpg", kForeign),
        Request("/a.html"), Request("/b.html"), kAllow, Request("/a.html")}},
      {"a budget of one path: forgotten and read again, still exact",
       {kAllow, Request("/a.html"), Request("/b.html"), Request("/a.html"), Request("/b.html"),
        kRefuse, Request("/c.gif"), kAllow, Request("/a.html"), Request("/c.gif", kForeign)},
       200},
  };
  return rows;
}

TEST(TraceAuditTest, CountsExactlyTheRequestsWhoseTraceFailed) {
  for (const Sequence& row : Sequences()) {
    SCOPED_TRACE(row.what);
    testing::TempStore store;
    TraceAudit audit(row.budget);
    std::uint64_t refusedRequests = 0;
    bool refused = false;
    bool anyRefused = false;
    std::set<std::string> paths;
    for (const Step& step : row.steps) {
      if (step.kind != Step::kRequest) {
        refused = step.kind == Step::kRefuse;
        anyRefused = anyRefused || refused;
        if (refused) {
          store.RefuseTraces();
        } else {
          store.AllowTraces();
        }
        continue;
      }
      const std::string_view path = TracedPath(step.url);
      const FilterOutcome outcome = RunPreprocHeaders(&testing::LinkedHttpFilterProc,
                                                      FilterRequest{kHost, step.referer, step.url});
      const bool rule = DecideRewrite(path, kHost, FilterReads(step.referer)).rewrite;
      EXPECT_EQ(audit.Written(path, rule, outcome.rewritten), !refused) << step.url;
      if (refused) ++refusedRequests;
      paths.emplace(path);
    }
    EXPECT_EQ(audit.notWritten(), refusedRequests);
    if (refusedRequests > 0) {
      // Written again at once, while the store still refuses: the reason.
      EXPECT_FALSE(audit.fault().store.empty());
      EXPECT_FALSE(audit.fault().error.empty());
    }
    if (!anyRefused) {
      EXPECT_LE(audit.readBacks(), paths.size()) << "a path was read back twice";
    }
  }
}

#ifndef _WIN32
// A dry run's filter threads finish their batches in any order; what they
// count must be what one thread counts, request for request. Many distinct
// paths and sites, several days and two files, so that every count of the
// summary takes part (under ThreadSanitizer too).
TEST(RequestPipelineTest, SeveralFilterThreadsCountWhatOneCounts) {
  auto summaryWith = [](unsigned threads) {
    const std::string previous =
        SelectRegistryStore(("memory:pipeline-" + std::to_string(threads)).c_str());
    ReplaySummary summary;
    const std::uint32_t files[] = {summary.AddFile("a.log"), summary.AddFile("b.log")};
    {
      RequestPipeline pipeline(&testing::LinkedHttpFilterProc, &summary, nullptr, threads);
      char url[64];
      char referer[64];
      for (int i = 0; i < 40000; ++i) {
        std::snprintf(url, sizeof url, "/img/%d.%s?v=%d", i % 3001, i % 7 == 0 ? "html" : "jpg",
                      i % 5);
        std::snprintf(referer, sizeof referer, "http://%s%d.example/", i % 3 ? "other" : "site",
                      i % 977);
        pipeline.Add(kHost, i % 11 == 0 ? "" : referer, url, i % 13 != 0,
                     20260101 + static_cast<std::uint32_t>(i / 9000), files[i % 2]);
      }
      pipeline.Finish();
    }
    SelectRegistryStore(previous.c_str());
    return summary.Json(20);
  };
  const std::string one = summaryWith(1);
  EXPECT_EQ(summaryWith(4), one);
  EXPECT_NE(one.find("\"requests\": 40000"), std::string::npos) << one.substr(0, 400);
}
// On Windows the trace is the registry, read back, so there is one filter
// thread and nothing to compare.
#endif

}  // namespace
}  // namespace refwarden
