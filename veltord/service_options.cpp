#include "veltord/service_options.h"

#include <boost/program_options.hpp>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace veltor::service {
namespace po = boost::program_options;

std::optional<uint64_t> ParseSize(const std::string& text) {
  std::string_view digits = text;
  unsigned shift = 0;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'K': case 'k': shift = 10; break;
      case 'M': case 'm': shift = 20; break;
      case 'G': case 'g': shift = 30; break;
      default: break;
    }
    if (shift != 0) digits.remove_suffix(1);
  }
  if (digits.empty() || digits.size() > 12) return std::nullopt;
  uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value << shift;
}

std::optional<Endpoint> ParseEndpoint(const std::string& text) {
  const size_t colon = text.rfind(':');
  Endpoint endpoint{colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon), 0};
  const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  if (endpoint.host.size() > 2 && endpoint.host.front() == '[' && endpoint.host.back() == ']') {
    endpoint.host = endpoint.host.substr(1, endpoint.host.size() - 2);
  }
  const auto number = ParseSize(port);
  if (endpoint.host.empty() || !number || *number > 65535 || port.back() < '0' || port.back() > '9') return std::nullopt;
  endpoint.port = static_cast<uint16_t>(*number);
  return endpoint;
}

namespace {

po::options_description Describe() {
  po::options_description options("Options (each also a line 'name = value' of the configuration file)");
  // Switches take no value on the command line; in the file they read
  // "true" or "false".
  auto flag = [] { return po::value<bool>()->implicit_value(true)->zero_tokens(); };
  options.add_options()
      ("config", po::value<std::string>(), "the configuration file (default /etc/veltor/veltord.conf, when it exists)")
      ("foreground", flag(), "stay in the foreground (as under systemd)")
      ("db", po::value<std::string>(), "the database (default: as 'veltor scan' finds it)")
      ("unix-socket", po::value<std::string>(), "the Unix socket's path (default /run/veltor/veltord.sock; empty: none)")
      ("unix-socket-mode", po::value<std::string>(), "the Unix socket's permissions, octal (default 0660)")
      ("tcp", po::value<std::string>(), "also listen on TCP at HOST:PORT (PORT alone: 127.0.0.1)")
      ("http", po::value<std::string>(), "serve HTTP/JSON at HOST:PORT (PORT alone: 127.0.0.1; default off)")
      ("watch-db", po::value<bool>()->implicit_value(true)->zero_tokens(), "reload when the database file changes (default false)")
      ("watch-interval", po::value<unsigned>(), "seconds between looks at the database file; set, it turns watch-db on (default 5)")
      ("threads", po::value<unsigned>(), "scan workers, each with its own copy of the database (default: the cores)")
      ("max-stream", po::value<std::string>(), "the largest INSTREAM stream, K, M, G: powers of 1024 (default 100M)")
      ("max-queue", po::value<unsigned>(), "scans waiting for a worker before clients wait (default: four per thread)")
      ("max-connections", po::value<unsigned>(), "connections served at once; more are refused (default 256)")
      ("read-timeout", po::value<unsigned>(), "seconds a command or a stream may wait for its next bytes (default 30)")
      ("idle-timeout", po::value<unsigned>(), "seconds an IDSESSION may wait for its next command (default 30)")
      ("allow-shutdown", flag(), "obey SHUTDOWN (default: refused)")
      ("tcp-path-scans", flag(), "accept SCAN, CONTSCAN, MULTISCAN, ALLMATCHSCAN over TCP (default: Unix socket only)")
      ("temp-dir", po::value<std::string>(), "where streams are spooled while they arrive (default: TMPDIR or /tmp)")
      ("spool-memory", po::value<std::string>(), "long streams kept in memory, all together, before they go to temp-dir; 0: always there (default 256M)")
      ("log-format", po::value<std::string>(), "text or json (default text)")
      ("archives", po::value<bool>(), "look inside archives (default true)")
      ("max-archive-depth", po::value<unsigned>(), "archives nested this deep at most (default 8)")
      ("max-unpacked", po::value<std::string>(), "bytes unpacked per scan, every depth together (default 4G)")
      ("max-members", po::value<uint64_t>(), "members per scan (default 100000)")
      ("max-ratio", po::value<uint64_t>(), "unpacked per packed byte, past 1 MiB; 0: no limit (default 200)")
      ("limits-ok", flag(), "an archive limit reached answers OK instead of ERROR")
      ("icap", po::value<std::string>(), "serve ICAP at HOST:PORT (PORT alone: 127.0.0.1; 1344 is usual; default off)")
      ("icap-preview", po::value<std::string>(), "the Preview size ICAP clients are offered, or none (default 4096)")
      ("icap-transfer-ignore", po::value<std::string>(), "file extensions ICAP clients need not send, comma-separated")
      ("check-config", flag(), "check the configuration and the database, then exit")
      ("version", flag(), "print the version and exit")
      ("help", flag(), "show this text");
  return options;
}

bool Set(const po::variables_map& map, const char* name) { return map.count(name) != 0; }

}  // namespace

std::optional<ServiceOptions> ReadOptions(int argc, const char* const* argv, std::string& help, std::string& error) {
  const po::options_description described = Describe();
  std::ostringstream text;
  text << described;
  help = text.str();
  ServiceOptions options;
  po::variables_map map;
  try {
    po::store(po::command_line_parser(argc, argv).options(described).run(), map);
    // The first value stored wins: the command line's over the file's.
    std::string file = DefaultConfigFile;
    const bool named = Set(map, "config");
    if (named) file = map["config"].as<std::string>();
    std::ifstream stream(file);
    if (stream) {
      po::store(po::parse_config_file(stream, described), map);
      options.configFile = file;
    } else if (named) {
      error = "cannot read the configuration file " + file;
      return std::nullopt;
    }
    po::notify(map);
  } catch (const std::exception& failure) {
    error = failure.what();
    return std::nullopt;
  }
  auto boolean = [&](const char* name, bool& field) {
    if (Set(map, name)) field = map[name].as<bool>();
  };
  auto number = [&](const char* name, unsigned& field) {
    if (Set(map, name)) field = map[name].as<unsigned>();
  };
  boolean("foreground", options.foreground);
  boolean("allow-shutdown", options.allowShutdown);
  boolean("tcp-path-scans", options.tcpPathScans);
  boolean("archives", options.archives.enabled);
  boolean("limits-ok", options.archives.limitsOk);
  boolean("watch-db", options.watchDatabase);
  if (Set(map, "watch-interval") && !Set(map, "watch-db")) options.watchDatabase = true;
  number("watch-interval", options.watchIntervalSeconds);
  boolean("check-config", options.checkConfig);
  boolean("version", options.version);
  boolean("help", options.help);
  number("threads", options.threads);
  number("max-queue", options.maxQueue);
  number("max-connections", options.maxConnections);
  number("read-timeout", options.readTimeoutSeconds);
  number("idle-timeout", options.idleTimeoutSeconds);
  if (Set(map, "db")) options.database = map["db"].as<std::string>();
  if (Set(map, "unix-socket")) options.unixSocket = map["unix-socket"].as<std::string>();
  if (Set(map, "temp-dir")) options.tempDir = map["temp-dir"].as<std::string>();
  if (Set(map, "unix-socket-mode")) {
    const std::string mode = map["unix-socket-mode"].as<std::string>();
    size_t used = 0;
    unsigned long value = 0;
    try {
      value = std::stoul(mode, &used, 8);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used != mode.size() || value > 0777) {
      error = "--unix-socket-mode: not an octal mode: " + mode;
      return std::nullopt;
    }
    options.unixSocketMode = static_cast<unsigned>(value);
  }
  for (auto [name, field] : {std::pair{"tcp", &options.tcp}, std::pair{"http", &options.http}}) {
    if (!Set(map, name)) continue;
    *field = ParseEndpoint(map[name].as<std::string>());
    if (!*field) {
      error = std::string("--") + name + ": not HOST:PORT or PORT: " + map[name].as<std::string>();
      return std::nullopt;
    }
  }
  if (Set(map, "icap")) {
    options.icap = ParseEndpoint(map["icap"].as<std::string>());
    if (!options.icap) {
      error = "--icap: not HOST:PORT or PORT: " + map["icap"].as<std::string>();
      return std::nullopt;
    }
  }
  if (Set(map, "icap-preview")) {
    const std::string preview = map["icap-preview"].as<std::string>();
    options.icapPreview = preview == "none" ? std::nullopt : ParseSize(preview);
    if (preview != "none" && !options.icapPreview) {
      error = "--icap-preview: not a size or none: " + preview;
      return std::nullopt;
    }
  }
  if (Set(map, "icap-transfer-ignore")) options.icapTransferIgnore = map["icap-transfer-ignore"].as<std::string>();
  auto size = [&](const char* name, uint64_t& field) {
    if (!Set(map, name)) return true;
    const auto value = ParseSize(map[name].as<std::string>());
    if (!value) {
      error = std::string("--") + name + ": not a size: " + map[name].as<std::string>();
      return false;
    }
    field = *value;
    return true;
  };
  if (!size("max-stream", options.maxStream) || !size("max-unpacked", options.archives.limits.maxUnpacked) ||
      !size("spool-memory", options.spoolMemory)) {
    return std::nullopt;
  }
  if (Set(map, "max-archive-depth")) options.archives.limits.maxDepth = map["max-archive-depth"].as<unsigned>();
  if (Set(map, "max-members")) options.archives.limits.maxMembers = map["max-members"].as<uint64_t>();
  if (Set(map, "max-ratio")) options.archives.limits.maxRatio = map["max-ratio"].as<uint64_t>();
  if (Set(map, "log-format")) {
    const std::string format = map["log-format"].as<std::string>();
    if (format != "text" && format != "json") {
      error = "--log-format: text or json, not " + format;
      return std::nullopt;
    }
    options.logFormat = format == "json" ? LogFormat::Json : LogFormat::Text;
  }
  if (options.threads == 0) options.threads = std::max(1u, std::thread::hardware_concurrency());
  if (options.threads > 256 || options.maxConnections == 0 || options.maxStream == 0 ||
      options.readTimeoutSeconds == 0 || options.idleTimeoutSeconds == 0 || options.watchIntervalSeconds == 0 ||
      options.archives.limits.maxDepth > archive::MaxArchiveDepthLimit) {
    error = "out of range: --threads 1 to 256, --max-archive-depth up to " +
            std::to_string(archive::MaxArchiveDepthLimit) +
            "; --max-connections, --max-stream, --read-timeout, --idle-timeout and --watch-interval above 0";
    return std::nullopt;
  }
  if (options.maxQueue == 0) options.maxQueue = 4 * options.threads;
  return options;
}

}  // namespace veltor::service
