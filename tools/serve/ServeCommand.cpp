// refwarden serve: a static site behind the filter, to try it in a browser;
// with --demo also a foreign site that hot-links the first one's images.
#include <CLI/CLI.hpp>

#include <pthread.h>
#include <signal.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>

#include "tools/Commands.h"
#include "tools/FilterHost.h"
#include "tools/serve/SiteServer.h"

namespace refwarden {

namespace {

struct ServeArguments {
  std::string root = REFWARDEN_EXAMPLES_DIR "/site";
  std::string foreignRoot = REFWARDEN_EXAMPLES_DIR "/foreign";
  std::string listen = "127.0.0.1:8080";
  bool demo = false;
};

// Splits "host:port" ("[v6]:port" too) into its parts; false when malformed.
bool ParseListen(const std::string& listen, std::string* host, int* port) {
  const std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon + 1 == listen.size()) return false;
  *host = listen.substr(0, colon);
  if (host->size() >= 2 && host->front() == '[' && host->back() == ']')
    *host = host->substr(1, host->size() - 2);
  if (host->empty()) return false;
  try {
    std::size_t used = 0;
    *port = std::stoi(listen.substr(colon + 1), &used);
    return used == listen.size() - colon - 1 && *port >= 0 && *port <= 65535;
  } catch (const std::exception&) {
    return false;
  }
}

std::string Address(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

void RequireDirectory(const std::string& dir, const char* what) {
  if (!std::filesystem::is_directory(dir))
    throw std::runtime_error(std::string(what) + " " + dir + " is not a directory");
}

int Serve(const ServeArguments& arguments, const std::string& filterPath) {
  std::string host;
  int port = 0;
  if (!ParseListen(arguments.listen, &host, &port)) {
    throw CLI::ValidationError("--listen",
                               "expected HOST:PORT, e.g. 127.0.0.1:8080, not " + arguments.listen);
  }
  RequireDirectory(arguments.root, "--root");
  if (arguments.demo) RequireDirectory(arguments.foreignRoot, "--foreign-root");
  const FilterLibrary filter(filterPath);

  // SIGINT and SIGTERM are taken by sigwait below, never by the server threads.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::mutex logMutex;
  SiteServer own(SiteOptions{"own", arguments.root, &filter, 0}, &std::cout, &logMutex);
  const int ownPort = own.Bind(host, port);
  if (ownPort < 0) {
    std::cerr << "refwarden serve: cannot listen on " << arguments.listen
              << " (in use, or not an address here)\n";
    return kExitFailed;
  }
  std::unique_ptr<SiteServer> foreign;
  int foreignPort = 0;
  if (arguments.demo) {
    foreign = std::make_unique<SiteServer>(
        SiteOptions{"foreign", arguments.foreignRoot, nullptr, ownPort}, &std::cout, &logMutex);
    foreignPort = foreign->Bind(host, port == 0 ? 0 : ownPort + 1);
    if (foreignPort < 0) {
      std::cerr << "refwarden serve: cannot listen on " << Address(host, ownPort + 1)
                << " for the foreign site (in use?)\n";
      return kExitFailed;
    }
  }

  if (!own.Start() || (foreign && !foreign->Start())) {
    std::cerr << "refwarden serve: cannot start the server (out of threads or memory?)\n";
    return kExitFailed;
  }
  {
    std::lock_guard<std::mutex> lock(logMutex);
    std::cout << "Serving " << arguments.root << " through the filter " << filterPath << "\n"
              << "  own site:     " << Address(host, ownPort)
              << "  (its pages show the real images)\n";
    if (foreign) {
      std::cout << "  foreign site: " << Address(host, foreignPort)
                << "  (hot-links the own site's images: they arrive as placeholders)\n";
    }
    std::cout << "Open " << (foreign ? "both" : "it") << " in a browser; Ctrl-C stops."
              << std::endl;
  }

  int signalNumber = 0;
  sigwait(&stopSignals, &signalNumber);
  if (foreign) foreign->Stop();
  own.Stop();
  std::cout << "Stopped." << std::endl;
  return kExitOk;
}

}  // namespace

void AddServeCommand(CLI::App& app, ToolOptions& options) {
  auto arguments = std::make_shared<ServeArguments>();
  CLI::App* serve = app.add_subcommand(
      "serve",
      "Serve a static site whose every request goes through the filter, to try it\n"
      "in a browser; --demo adds a foreign site that hot-links its images");
  serve->add_option("--root", arguments->root, "The site's directory")->capture_default_str();
  serve
      ->add_option("--listen", arguments->listen, "HOST:PORT to listen on; port 0 picks free ports")
      ->capture_default_str();
  serve->add_flag("--demo", arguments->demo,
                  "Also serve the foreign site, on the next port, whose page embeds the\n"
                  "own site's images by absolute URL");
  serve
      ->add_option("--foreign-root", arguments->foreignRoot,
                   "The foreign site's directory (--demo)")
      ->capture_default_str();
  serve->footer("Exit status:\n" + ExitStatusLines({kExitOk, kExitFailed, kExitUsage}));
  serve->callback(
      [arguments, &options] { options.exitCode = Serve(*arguments, options.filterPath); });
}

}  // namespace refwarden
