#include "tools/replay/Replay.h"

#include <chrono>
#include <memory>

#include "tools/replay/LogRequests.h"
#include "tools/replay/ReplayProgress.h"
#include "tools/replay/RequestPipeline.h"

namespace refwarden {

namespace {

std::string DisplayName(const std::string& file) { return file == "-" ? "(stdin)" : file; }

// Malformed lines go to the summary; a refused log ends the replay.
class SummaryReporter final : public LogRequests::Reporter {
 public:
  SummaryReporter(ReplaySummary* summary, std::string name)
      : summary_(summary), name_(std::move(name)) {}
  void Malformed(std::uint64_t lineNumber, bool) override {
    summary_->AddMalformed(name_, lineNumber);
  }
  void Refused(LogRefusal why, const std::string& message) override {
    if (why == LogRefusal::kNeedsHost) throw MissingHostError(message);
    throw MissingRefererError(message);
  }

 private:
  ReplaySummary* summary_;
  std::string name_;
};

// One named input, opened once: checked before the replay begins, then
// replayed from the same read.
struct Input {
  Input(const std::string& file, const LogRequestsOptions& options, ReplaySummary* summary)
      : reporter(summary, DisplayName(file)),
        requests(file, DisplayName(file), options, &reporter) {}
  SummaryReporter reporter;
  LogRequests requests;
};

void ReplayInput(LogRequests& requests, RequestPipeline& pipeline, ReplaySummary& summary,
                 ReplayProgress& progress, std::uint64_t bytesBefore, std::uint32_t file) {
  LogRequest request;
  std::uint64_t sinceUpdate = 0;
  std::uint64_t linesCounted = 0;
  while (requests.Next(&request)) {
    pipeline.Add(request.host, request.referer, request.url, request.hasReferer, request.date,
                 file);
    if (++sinceUpdate == 4096) {
      sinceUpdate = 0;
      progress.Update(bytesBefore + requests.bytesRead());
      summary.AddLines(requests.lines() - linesCounted);
      linesCounted = requests.lines();
    }
  }
  summary.AddLines(requests.lines() - linesCounted);
  if (requests.stopped()) summary.SetInterrupted();
  if (!requests.error().empty()) summary.AddError(requests.name(), requests.error());
}

}  // namespace

ReplaySummary ReplayLogs(const FilterLibrary& filter, const ReplayOptions& options) {
  LogRequestsOptions readOptions;
  readOptions.format = options.format;
  readOptions.host = options.host;
  readOptions.withoutReferer = options.withoutReferer;
  readOptions.stop = options.stop;

  const auto start = std::chrono::steady_clock::now();  // the check reads too
  ReplaySummary summary;
  std::vector<std::unique_ptr<Input>> inputs;
  std::uint64_t totalBytes = 0;
  for (const std::string& file : options.files) {
    inputs.push_back(std::make_unique<Input>(file, readOptions, &summary));
    LogRequests& requests = inputs.back()->requests;
    if (!requests.Open()) {
      throw LogFileError("cannot read " + requests.name() + ": " + requests.error());
    }
    requests.Preview();  // a refusal throws
    totalBytes += requests.size();
  }

  ReplayProgress progress(totalBytes, options.progress);
  {
    RequestPipeline pipeline(filter, &summary);
    std::uint64_t bytesBefore = 0;
    for (std::unique_ptr<Input>& input : inputs) {
      const std::uint32_t file = summary.AddFile(input->requests.name());
      ReplayInput(input->requests, pipeline, summary, progress, bytesBefore, file);
      bytesBefore += input->requests.size();
      input.reset();
      if (summary.interrupted()) break;
    }
    pipeline.Finish();
  }
  progress.Finish();
  summary.SetSeconds(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return summary;
}

}  // namespace refwarden
