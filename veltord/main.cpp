// veltord: the scanning service. One database loaded once, a pool of scan
// workers, the clamd protocol on a Unix socket and, when configured, TCP;
// HTTP/JSON when configured.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "scanning/default_database.h"
#include "scanning/scan_archives.h"
#include "veltord/scan_pool.h"
#include "veltord/server.h"
#include "veltord/service_log.h"
#include "veltord/service_options.h"

namespace {

using namespace veltor::service;

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

// Without --foreground: the service leaves its caller once it listens, in a
// session of its own; its log stays on the standard error it was given.
void Detach() {
  const pid_t child = fork();
  if (child < 0) {
    Log("error", {{"reason", "cannot detach; staying in the foreground"}});
    return;
  }
  if (child > 0) _exit(ExitSuccess);
  setsid();
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
}

int Run(int argc, char** argv) {
  std::string help;
  std::string error;
  auto options = ReadOptions(argc, argv, help, error);
  if (!options) {
    std::cerr << "veltord: " << error << "\n(veltord --help lists the options)\n";
    return ExitUsage;
  }
  if (options->help) {
    std::cout << "usage: veltord [--config FILE] [--foreground] [--db PATH] [--unix-socket PATH] [--tcp HOST:PORT]\n"
                 "               [--http HOST:PORT] [--threads N] [--max-stream SIZE] [--log-format text|json] [OPTIONS]\n"
                 "       veltord --check-config [OPTIONS]\n"
                 "       veltord --version\n\n"
                 "Serves scans over the clamd protocol, so existing clients work, and over HTTP/JSON\n"
                 "(docs/service.md).\n\n"
              << help;
    return ExitSuccess;
  }
  if (options->version) {
    std::cout << "veltord " << VELTOR_VERSION << '\n' << veltor::scanning::ArchiveSupportLine() << '\n';
    return ExitSuccess;
  }
  SetLogFormat(options->logFormat);
  if (options->database.empty()) {
    std::string tried;
    const auto found = veltor::scanning::FindDefaultDatabase(tried);
    if (!found) {
      std::cerr << "veltord: no database given (--db) and no default database found; tried " << tried << '\n';
      return ExitFailure;
    }
    options->database = found->string();
  }
  auto database = LoadDatabase(options->database, options->threads, 1, error);
  if (!database) {
    std::cerr << "veltord: cannot load the database: " << error << '\n';
    return ExitFailure;
  }
  if (options->checkConfig) {
    std::cout << "configuration: " << (options->configFile.empty() ? "(none)" : options->configFile) << "\n"
              << "database: " << options->database << ": built " << database->buildTime << ", "
              << database->signatures << " signatures, " << database->rules << " rules\n"
              << "unix socket: " << (options->unixSocket.empty() ? "(none)" : options->unixSocket) << "\n"
              << "tcp: " << (options->tcp ? options->tcp->host + ":" + std::to_string(options->tcp->port) : "(none)")
              << "\nicap: " << (options->icap ? options->icap->host + ":" + std::to_string(options->icap->port) + "/veltor" : "(none)")
              << "\nhttp: " << (options->http ? options->http->host + ":" + std::to_string(options->http->port) : "(none)")
              << "\nthreads: " << options->threads << "\nwatch database: "
              << (options->watchDatabase ? "every " + std::to_string(options->watchIntervalSeconds) + " s" : "no")
              << "\nOK\n";
    return ExitSuccess;
  }
  signal(SIGPIPE, SIG_IGN);
  return Serve(*options, std::move(database), options->foreground ? nullptr : Detach);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& failure) {
    std::cerr << "veltord: " << failure.what() << '\n';
    return ExitFailure;
  }
}
