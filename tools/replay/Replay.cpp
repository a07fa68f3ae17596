#include "tools/replay/Replay.h"

#include <chrono>

#include "filter/HotlinkDecision.h"
#include "tools/replay/LogReader.h"
#include "tools/replay/ReplayProgress.h"

namespace refwarden {

namespace {

std::string DisplayName(const std::string& file) { return file == "-" ? "(stdin)" : file; }

std::string NoHostMessage(const std::string& why) { return "--host is required: " + why; }

// Replays one opened file, adding to *summary. `bytesBefore` is what earlier
// files contributed to the progress bar.
void ReplayFile(const FilterLibrary& filter, const ReplayOptions& options, const std::string& name,
                LogReader* reader, ReplayProgress* progress, std::uint64_t bytesBefore,
                ReplaySummary* summary) {
  std::optional<LogParser> parser;
  if (options.format) parser.emplace(*options.format);
  std::string_view line;
  LogRequest request;
  std::uint64_t sinceUpdate = 0;
  while (reader->NextLine(&line)) {
    summary->AddLine();
    if (++sinceUpdate == 4096) {
      sinceUpdate = 0;
      progress->Update(bytesBefore + reader->bytesRead());
    }
    if (!parser) {
      if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
      parser.emplace(DetectLogFormat(line));
    }
    switch (parser->Parse(line, &request)) {
      case LineKind::kIgnored:
        continue;
      case LineKind::kMalformed:
        summary->AddMalformed(name, reader->lineNumber());
        continue;
      case LineKind::kRequest:
        break;
    }
    if (!request.hasHost && !options.host) {
      throw MissingHostError(
          NoHostMessage(parser->format() == LogFormat::kCombined
                            ? name + " is in the combined log format, which records no Host header"
                            : name + ":" + std::to_string(reader->lineNumber()) +
                                  " follows a #Fields directive without cs-host"));
    }
    const std::string_view host = request.hasHost ? request.host : std::string_view(*options.host);
    const FilterOutcome outcome =
        RunPreprocHeaders(filter, FilterRequest{host, request.referer, request.url});
    const std::string_view path = request.url.substr(0, request.url.find('?'));
    summary->AddRequest(path, request.referer, IsProtectedPath(path), outcome.rewritten);
  }
  if (!reader->error().empty()) throw LogFileError("cannot read " + name + ": " + reader->error());
}

}  // namespace

ReplaySummary ReplayLogs(const FilterLibrary& filter, const ReplayOptions& options) {
  if (options.format == LogFormat::kCombined && !options.host) {
    throw MissingHostError(NoHostMessage("the combined log format records no Host header"));
  }
  std::uint64_t totalBytes = 0;
  for (const std::string& file : options.files) {
    if (file == "-") continue;
    LogReader reader;
    if (!reader.Open(file)) throw LogFileError("cannot read " + file + ": " + reader.error());
    totalBytes += reader.size();
  }

  const auto start = std::chrono::steady_clock::now();
  ReplaySummary summary;
  ReplayProgress progress(totalBytes, options.progress);
  std::uint64_t bytesBefore = 0;
  for (const std::string& file : options.files) {
    const std::string name = DisplayName(file);
    LogReader reader;
    if (!reader.Open(file)) throw LogFileError("cannot read " + name + ": " + reader.error());
    summary.AddFile();
    ReplayFile(filter, options, name, &reader, &progress, bytesBefore, &summary);
    bytesBefore += reader.size();
  }
  progress.Finish();
  summary.SetSeconds(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return summary;
}

}  // namespace refwarden
