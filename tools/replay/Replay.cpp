#include "tools/replay/Replay.h"

#include <chrono>

#include "tools/replay/LogReader.h"
#include "tools/replay/ReplayProgress.h"
#include "tools/replay/RequestPipeline.h"

namespace refwarden {

namespace {

// How many lines at the start of a file are searched for its first #Fields.
constexpr int kPreviewLines = 1000;

std::string DisplayName(const std::string& file) { return file == "-" ? "(stdin)" : file; }

std::string NoHostMessage(const std::string& why) { return "--host is required: " + why; }

bool IsBlankLine(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

void CheckCombined(const ReplayOptions& options, const std::string& name) {
  if (!options.host) {
    throw MissingHostError(
        NoHostMessage(name + " is in the combined log format, which records no Host header"));
  }
}

// Refuses a #Fields directive (at `place`, file:line) whose requests could not
// be replayed as they happened.
void CheckFields(const W3cFields& fields, const ReplayOptions& options, const std::string& place) {
  if (!fields.host && !options.host) {
    throw MissingHostError(
        NoHostMessage(place + " is a #Fields directive without cs-host or cs(Host)"));
  }
  if (!fields.referer && !options.withoutReferer) {
    throw MissingRefererError(
        place +
        ": this #Fields directive records no referer (cs(Referer)), so every request "
        "would look as if it had none and every image request as hot-linked. Add the "
        "Referer field to the site's logging, or replay with --assume-no-referer to count "
        "them as requests without a referer");
  }
}

// Opens `file` and checks the directives at its start. Returns its size as
// stored (0 when unknown). Standard input is checked as it is replayed.
std::uint64_t Preflight(const std::string& file, const ReplayOptions& options) {
  const std::string name = DisplayName(file);
  LogReader reader;
  if (!reader.Open(file)) throw LogFileError("cannot read " + name + ": " + reader.error());
  if (file == "-") return 0;
  std::optional<LogParser> parser;
  if (options.format) parser.emplace(*options.format);
  std::string_view line;
  LogRequest request;
  for (int n = 0; n < kPreviewLines; ++n) {
    if (reader.NextLine(&line) != LogReader::Next::kLine) break;
    if (!parser) {
      if (IsBlankLine(line)) continue;
      parser.emplace(DetectLogFormat(line));
    }
    if (parser->format() == LogFormat::kCombined) {
      CheckCombined(options, name);
      break;
    }
    const LineKind kind = parser->Parse(line, &request);
    if (kind == LineKind::kFields) {
      CheckFields(parser->fields(), options, name + ":" + std::to_string(reader.lineNumber()));
    } else if (kind != LineKind::kIgnored) {
      break;
    }
  }
  return reader.size();
}

struct FileReplay {
  const ReplayOptions& options;
  const std::string& name;
  LogReader& reader;
  RequestPipeline& pipeline;
  ReplaySummary& summary;
  ReplayProgress& progress;
  std::uint64_t bytesBefore;  // what earlier files gave the progress bar
  std::uint32_t file;         // the summary's index of the file

  void Run() {
    std::optional<LogParser> parser;
    if (options.format) parser.emplace(*options.format);
    std::string_view line;
    LogRequest request;
    std::uint64_t sinceUpdate = 0;
    for (;;) {
      if (options.stop != nullptr && options.stop->load(std::memory_order_relaxed)) {
        summary.SetInterrupted();
        return;
      }
      const LogReader::Next next = reader.NextLine(&line);
      if (next == LogReader::Next::kEnd) break;
      summary.AddLine();
      if (++sinceUpdate == 4096) {
        sinceUpdate = 0;
        progress.Update(bytesBefore + reader.bytesRead());
      }
      if (next == LogReader::Next::kTooLong) {
        summary.AddMalformed(name, reader.lineNumber());
        continue;
      }
      if (!parser) {
        if (IsBlankLine(line)) continue;
        parser.emplace(DetectLogFormat(line));
        if (parser->format() == LogFormat::kCombined) CheckCombined(options, name);
      }
      switch (parser->Parse(line, &request)) {
        case LineKind::kIgnored:
          continue;
        case LineKind::kFields:
          CheckFields(parser->fields(), options, name + ":" + std::to_string(reader.lineNumber()));
          continue;
        case LineKind::kMalformed:
          summary.AddMalformed(name, reader.lineNumber());
          continue;
        case LineKind::kRequest:
          break;
      }
      if (!request.hasHost && !options.host) CheckCombined(options, name);
      const std::string_view host =
          request.hasHost ? request.host : std::string_view(*options.host);
      pipeline.Add(host, request.referer, request.url, request.hasReferer, request.date, file);
    }
    if (!reader.error().empty()) summary.AddError(name, reader.error());
  }
};

}  // namespace

ReplaySummary ReplayLogs(const FilterLibrary& filter, const ReplayOptions& options) {
  if (options.format == LogFormat::kCombined && !options.host) {
    throw MissingHostError(NoHostMessage("the combined log format records no Host header"));
  }
  std::uint64_t totalBytes = 0;
  for (const std::string& file : options.files) totalBytes += Preflight(file, options);

  const auto start = std::chrono::steady_clock::now();
  ReplaySummary summary;
  ReplayProgress progress(totalBytes, options.progress);
  {
    RequestPipeline pipeline(filter, &summary);
    std::uint64_t bytesBefore = 0;
    for (const std::string& file : options.files) {
      const std::string name = DisplayName(file);
      LogReader reader;
      if (!reader.Open(file)) {
        summary.AddError(name, reader.error());
        continue;
      }
      const std::uint32_t fileIndex = summary.AddFile(name);
      FileReplay{options, name, reader, pipeline, summary, progress, bytesBefore, fileIndex}.Run();
      bytesBefore += reader.size();
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
