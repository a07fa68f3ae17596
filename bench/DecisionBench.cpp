// DecideRewrite on a realistic request mix against the same rule written as
// regular expressions: PCRE2 with JIT and std::regex, each compiled once (one
// host expression per site host, picked without a lookup), so the peers pay
// nothing per request but the matching and the replacement string.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "bench/RatioReporter.h"
#include "bench/RequestMix.h"
#include "filter/HotlinkDecision.h"
#include "strings/FastStringFuncs.h"

namespace refwarden::bench {
namespace {

constexpr char kImagePattern[] = R"(\.(jpg|gif|png|bmp)$)";

const std::vector<Request>& Mix() {
  static const std::vector<Request> mix = MakeRequestMix();
  return mix;
}

Decision Rewrite(std::string_view path) {
  Decision d;
  d.rewrite = true;
  d.replacement.append(ReplacementPrefix);
  d.replacement.append(path.substr(path.size() - 4));
  return d;
}

class Pcre2Rule {
 public:
  Pcre2Rule() {
    image_ = Compile(kImagePattern, PCRE2_ZERO_TERMINATED, PCRE2_DOLLAR_ENDONLY);
    for (const std::string& host : SiteHosts()) {
      const std::string slashed = "/" + host + "/";
      hosts_.push_back(Compile(slashed.c_str(), slashed.size(), PCRE2_LITERAL));
    }
    data_ = pcre2_match_data_create(4, nullptr);
  }
  ~Pcre2Rule() {
    pcre2_match_data_free(data_);
    pcre2_code_free(image_);
    for (pcre2_code* code : hosts_) pcre2_code_free(code);
  }
  Pcre2Rule(const Pcre2Rule&) = delete;
  Pcre2Rule& operator=(const Pcre2Rule&) = delete;

  Decision Decide(const Request& r) const {
    if (!Matches(image_, r.path)) return {};
    if (Matches(hosts_[r.hostIndex], r.referer)) return {};
    return Rewrite(r.path);
  }

 private:
  static pcre2_code* Compile(const char* pattern, std::size_t length, std::uint32_t options) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), length, options, &error,
                                     &offset, nullptr);
    if (code == nullptr || pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) != 0) {
      std::fprintf(stderr, "PCRE2 cannot compile or JIT-compile %s\n", pattern);
      std::exit(1);
    }
    return code;
  }
  bool Matches(pcre2_code* code, const std::string& subject) const {
    return pcre2_jit_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0,
                           data_, nullptr) >= 0;
  }

  pcre2_code* image_ = nullptr;
  std::vector<pcre2_code*> hosts_;
  pcre2_match_data* data_ = nullptr;
};

class StdRegexRule {
 public:
  StdRegexRule() : image_(kImagePattern) {
    for (const std::string& host : SiteHosts()) {
      std::string escaped = "/";
      for (char c : host) {
        if (std::string_view(R"(\^$.|?*+()[]{})").find(c) != std::string_view::npos)
          escaped += '\\';
        escaped += c;
      }
      hosts_.emplace_back(escaped + "/");
    }
  }

  Decision Decide(const Request& r) const {
    if (!std::regex_search(r.path, image_)) return {};
    if (std::regex_search(r.referer, hosts_[r.hostIndex])) return {};
    return Rewrite(r.path);
  }

 private:
  std::regex image_;
  std::vector<std::regex> hosts_;
};

template <typename Decide>
void Measure(benchmark::State& state, Decide decide) {
  const std::vector<Request>& mix = Mix();
  std::size_t rewrites = 0;
  for (const Request& r : mix) {
    const Decision ours = DecideRewrite(r.path, r.host, r.referer);
    const Decision theirs = decide(r);
    if (ours.rewrite != theirs.rewrite || ours.replacement != theirs.replacement) {
      state.SkipWithError(("different answer for " + r.path + " " + r.referer).c_str());
      return;
    }
    rewrites += ours.rewrite ? 1 : 0;
  }
  std::size_t i = 0;
  for (auto _ : state) {
    Decision d = decide(mix[i]);
    benchmark::DoNotOptimize(d);
    if (++i == mix.size()) i = 0;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  state.counters["rewritten%"] =
      100.0 * static_cast<double>(rewrites) / static_cast<double>(mix.size());
}

void Bench(benchmark::State& state) {
  Measure(state, [](const Request& r) { return DecideRewrite(r.path, r.host, r.referer); });
}
void BenchPcre2(benchmark::State& state) {
  const Pcre2Rule rule;
  Measure(state, [&rule](const Request& r) { return rule.Decide(r); });
}
void BenchStdRegex(benchmark::State& state) {
  const StdRegexRule rule;
  Measure(state, [&rule](const Request& r) { return rule.Decide(r); });
}

}  // namespace
}  // namespace refwarden::bench

int main(int argc, char** argv) {
  using namespace refwarden::bench;
  benchmark::RegisterBenchmark("DecideRewrite", Bench);
  benchmark::RegisterBenchmark("pcre2_jit", BenchPcre2);
  benchmark::RegisterBenchmark("std_regex", BenchStdRegex);
  return RunWithRatios(argc, argv, {{"DecideRewrite", "pcre2_jit"}, {"DecideRewrite", "std_regex"}},
                       {{"DecideRewrite", "pcre2_jit", "", 1.0}});
}
