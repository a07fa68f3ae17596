// A console reporter that also prints, once every benchmark has run, how each
// of our functions compares with its peers measured in the same process, and
// whether the speed targets hold. Ratios from one run survive a noisy machine
// far better than absolute times do.
#pragma once

#include <benchmark/benchmark.h>

#include <iomanip>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace refwarden::bench {

struct Ratio {
  std::string subject;  // benchmark function name of our side
  std::string peer;     // benchmark function name of the peer
};

struct Target {
  std::string subject, peer, args;  // args as in the benchmark name, e.g. "hay:64/needle:4"
  double maxRatio;                  // subject time / peer time must stay at or below this
};

// Which of a benchmark's runs a reporter keeps: the median when repetitions
// are asked for, the single run otherwise. Returns false for a run to skip
// (an error, or another aggregate); sets `median` when the run is the median.
inline bool KeptRun(const benchmark::BenchmarkReporter::Run& run, bool* median) {
  using Run = benchmark::BenchmarkReporter::Run;
  *median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
  return !run.error_occurred && (run.run_type != Run::RT_Aggregate || *median);
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter(std::vector<Ratio> ratios, std::vector<Target> targets)
      : ratios_(std::move(ratios)), targets_(std::move(targets)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      bool median;
      if (!KeptRun(run, &median)) continue;
      Key key{run.run_name.function_name, run.run_name.args};
      if (times_.count(key) == 0) order_.push_back(key);
      if (median || times_.count(key) == 0) times_[key] = run.GetAdjustedCPUTime();
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    out << "\nRatios (our CPU time / peer CPU time; below 1 means faster than the peer)\n";
    for (const Ratio& ratio : ratios_) {
      for (const Key& key : order_) {
        if (key.first != ratio.subject) continue;
        const auto peer = times_.find({ratio.peer, key.second});
        if (peer == times_.end() || peer->second <= 0) continue;
        out << "  " << std::left << std::setw(16) << ratio.subject << " / " << std::setw(20)
            << ratio.peer << " " << std::setw(20) << key.second << std::right << std::fixed
            << std::setprecision(2) << std::setw(7) << times_[key] / peer->second << "\n";
      }
    }
    out << "\nTargets\n";
    for (const Target& target : targets_) {
      const auto ours = times_.find({target.subject, target.args});
      const auto peer = times_.find({target.peer, target.args});
      out << "  " << target.subject << " / " << target.peer << " " << target.args;
      if (ours == times_.end() || peer == times_.end() || peer->second <= 0) {
        out << ": not measured\n";
        continue;
      }
      const double ratio = ours->second / peer->second;
      out << " = " << std::fixed << std::setprecision(2) << ratio
          << ", target <= " << target.maxRatio << ": "
          << (ratio <= target.maxRatio ? "met" : "MISSED") << "\n";
    }
    out.flush();
  }

 private:
  using Key = std::pair<std::string, std::string>;
  std::vector<Ratio> ratios_;
  std::vector<Target> targets_;
  std::map<Key, double> times_;
  std::vector<Key> order_;  // as reported, so that sizes come out in order
};

// Runs the benchmarks named on the command line with a RatioReporter.
inline int RunWithRatios(int argc, char** argv, std::vector<Ratio> ratios,
                         std::vector<Target> targets) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter(std::move(ratios), std::move(targets));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace refwarden::bench
