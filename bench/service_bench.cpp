// veltord beside clamd over the clamd protocol, driven by the same client:
// requests per second for 4 KiB INSTREAM bodies over the Unix socket and
// TCP with 1 and 16 clients, MB/s for 64 MiB streams, p50 and p99 latency;
// and the service's processor time per request (user and system, from
// /proc, steadier than the rates on a loaded machine); then veltord's ICAP
// service the same way (RESPMOD with Allow: 204, each
// client on a kept connection, as proxies do).
// Both services are started here, on temporary sockets, with the same
// signatures: veltord with the database, clamd with its exact-case literal
// signatures written as its own literal-signature file (.ndb). clamd is
// left out when it is not installed (Debian clamav-daemon).
//
//   service_bench [--seconds S] [--veltord PATH] [--db PATH] [--clamd PATH] [--rows small|large|beside|all]
//
// --rows small (or large) runs the 4 KiB (or 64 MiB) rows only, quicker while
// comparing builds. The last rows ("4K+64M", --rows beside) drive 4 KiB
// requests while another client streams 64 MiB bodies: what a long stream
// does to everyone else's latency (their cpu column counts the stream too).
//
// A third server, "floor", answers every INSTREAM request "stream: OK"
// without looking at the bytes: two threads per socket, each accepting one
// connection at a time and reading it with blocking calls. It is what the
// kernel and this client cost on this machine with no service at all; no
// service on the same cores can go faster than it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "compiler/rulelang/database_image.h"
#include "engine/database/database_format.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Server {
  std::string name;
  pid_t pid = -1;
  std::string unixPath;
  uint16_t port = 0;
  uint16_t icapPort = 0;  // 0: no ICAP
};

uint16_t FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

int Connect(const Server& server, bool tcp) {
  if (tcp) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(s);
      return -1;
    }
    return s;
  }
  const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", server.unixPath.c_str());
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(s);
    return -1;
  }
  return s;
}

bool SendAll(int s, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t sent = send(s, bytes, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// A body framed as one INSTREAM request: the command, 1 MiB chunks each
// after its big-endian length, and the zero length that ends the stream.
// Sent with one call, so that the client costs the services no extra
// wake-ups and itself as few system calls as a client can.
std::vector<uint8_t> InstreamMessage(const std::vector<uint8_t>& body) {
  constexpr size_t Chunk = size_t{1} << 20;
  const size_t chunks = (body.size() + Chunk - 1) / Chunk;
  std::vector<uint8_t> message(10 + body.size() + 4 * chunks + 4);
  size_t at = 0;
  const auto put = [&](const void* data, size_t size) {
    std::memcpy(message.data() + at, data, size);
    at += size;
  };
  put("zINSTREAM", 10);
  for (size_t from = 0; from < body.size(); from += Chunk) {
    const size_t piece = std::min(Chunk, body.size() - from);
    const uint32_t length = htonl(static_cast<uint32_t>(piece));
    put(&length, 4);
    put(body.data() + from, piece);
  }
  const uint32_t end = 0;
  put(&end, 4);
  return message;
}

// One INSTREAM request on a connection of its own; the reply, or "" on a
// failure.
std::string Scan(const Server& server, bool tcp, const std::vector<uint8_t>& message) {
  const int s = Connect(server, tcp);
  if (s < 0) return "";
  const bool ok = SendAll(s, message.data(), message.size());
  std::string reply;
  char buffer[512];
  for (ssize_t got; ok && (got = recv(s, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<size_t>(got));
  close(s);
  return reply;
}

// One RESPMOD on a kept ICAP connection; true when it was answered 204.
bool IcapScan(int s, const std::vector<uint8_t>& body) {
  constexpr size_t Chunk = size_t{1} << 20;
  const std::string http = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  const std::string head = "RESPMOD icap://127.0.0.1/veltor ICAP/1.0\r\nHost: bench\r\nAllow: 204\r\n"
                           "Encapsulated: res-hdr=0, res-body=" + std::to_string(http.size()) + "\r\n\r\n" + http;
  bool ok = SendAll(s, head.data(), head.size());
  for (size_t at = 0; ok && at < body.size(); at += Chunk) {
    const size_t piece = std::min(Chunk, body.size() - at);
    char size[32];
    const int length = std::snprintf(size, sizeof size, "%zx\r\n", piece);
    ok = SendAll(s, size, static_cast<size_t>(length)) && SendAll(s, body.data() + at, piece) && SendAll(s, "\r\n", 2);
  }
  ok = ok && SendAll(s, "0\r\n\r\n", 5);
  std::string reply;
  char buffer[512];
  while (ok && reply.find("\r\n\r\n") == std::string::npos) {
    const ssize_t got = recv(s, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    reply.append(buffer, static_cast<size_t>(got));
  }
  return ok && reply.rfind("ICAP/1.0 204 ", 0) == 0;
}

struct Result {
  double requestsPerSecond = 0;
  double megabytesPerSecond = 0;
  double p50 = 0;
  double p99 = 0;
  size_t requests = 0;
  size_t wrong = 0;
};

// With `beside`, one more client streams 64 MiB bodies the same way for
// as long (not counted): how the small requests fare beside a long stream.
Result Drive(const Server& server, bool tcp, bool icap, unsigned clients, size_t bodySize, double seconds,
             size_t minimum, bool beside = false) {
  std::vector<std::vector<double>> latencies(clients);
  std::atomic<size_t> wrong{0};
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  const auto started = Clock::now();
  std::vector<std::thread> threads;
  std::atomic<bool> done{false};
  std::thread streamer;
  if (beside) {
    streamer = std::thread([&] {
      std::mt19937_64 random(99);
      std::vector<uint8_t> body(size_t{64} << 20);
      for (auto& byte : body) byte = static_cast<uint8_t>(random() % 255 + 1);
      const std::vector<uint8_t> message = InstreamMessage(body);
      while (!done) {
        if (Scan(server, tcp, message) != std::string("stream: OK", 11)) ++wrong;
      }
    });
  }
  for (unsigned c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      std::mt19937_64 random(c + 1);
      std::vector<uint8_t> body(bodySize);
      for (auto& byte : body) byte = static_cast<uint8_t>(random() % 255 + 1);
      const std::vector<uint8_t> message = icap ? std::vector<uint8_t>{} : InstreamMessage(body);
      Server kept = server;
      kept.port = server.icapPort;
      const int connection = icap ? Connect(kept, true) : -1;
      while (Clock::now() < until || latencies[c].size() < minimum) {
        const auto begin = Clock::now();
        const bool right = icap ? IcapScan(connection, body) : Scan(server, tcp, message) == std::string("stream: OK", 11);
        latencies[c].push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        if (!right) ++wrong;
        if (!right && icap) break;  // the connection is gone
      }
      if (connection >= 0) close(connection);
    });
  }
  for (auto& thread : threads) thread.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  done = true;
  if (streamer.joinable()) streamer.join();
  std::vector<double> all;
  for (const auto& list : latencies) all.insert(all.end(), list.begin(), list.end());
  std::sort(all.begin(), all.end());
  Result result;
  result.requests = all.size();
  result.wrong = wrong;
  result.requestsPerSecond = static_cast<double>(all.size()) / elapsed;
  result.megabytesPerSecond = result.requestsPerSecond * static_cast<double>(bodySize) / 1e6;
  result.p50 = all.empty() ? 0 : all[all.size() / 2];
  result.p99 = all.empty() ? 0 : all[std::min(all.size() - 1, all.size() * 99 / 100)];
  return result;
}

// This process's processor time so far (the bench client's threads).
double OwnProcessorSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A process's processor time so far (user and system), in seconds.
double ProcessorSeconds(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return 0;
  char buffer[1024];
  const size_t got = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  const std::string text(buffer, got);
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  // After the name: the state (field 3), then fields 4 to 13, then utime and stime.
  unsigned long user = 0;
  unsigned long system = 0;
  if (std::sscanf(text.c_str() + close + 1, " %*c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %lu %lu", &user, &system) != 2) {
    return 0;
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t Start(const std::vector<std::string>& arguments, const fs::path& log) {
  std::fflush(stdout);  // or the child would write it again
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (std::freopen(log.c_str(), "w", stderr) == nullptr) _exit(127);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// The floor's connection: reads one INSTREAM request to its zero length and
// answers it. Any other bytes end it unanswered.
void FloorAnswer(int s) {
  std::vector<uint8_t> buffer(size_t{1} << 16);
  size_t held = 0;
  size_t at = 0;
  const auto need = [&](size_t count) {
    if (held - at >= count) return true;
    std::memmove(buffer.data(), buffer.data() + at, held - at);
    held -= at;
    at = 0;
    while (held < count) {
      const ssize_t got = recv(s, buffer.data() + held, buffer.size() - held, 0);
      if (got <= 0) return false;
      held += static_cast<size_t>(got);
    }
    return true;
  };
  if (!need(10) || std::memcmp(buffer.data(), "zINSTREAM", 10) != 0) return;
  at = 10;
  for (;;) {
    if (!need(4)) return;
    uint32_t length = 0;
    std::memcpy(&length, buffer.data() + at, 4);
    at += 4;
    length = ntohl(length);
    if (length == 0) break;
    while (length > 0) {  // skipped, never looked at
      if (at == held && !need(1)) return;
      const size_t take = std::min<size_t>(length, held - at);
      at += take;
      length -= static_cast<uint32_t>(take);
    }
  }
  SendAll(s, "stream: OK", 11);
}

// Serves `server`'s sockets until killed; runs in a child process of its own.
[[noreturn]] void Floor(const Server& server) {
  const int unixListener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un unixAddress{};
  unixAddress.sun_family = AF_UNIX;
  std::snprintf(unixAddress.sun_path, sizeof unixAddress.sun_path, "%s", server.unixPath.c_str());
  const int tcpListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(tcpListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in tcpAddress{};
  tcpAddress.sin_family = AF_INET;
  tcpAddress.sin_port = htons(server.port);
  tcpAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(unixListener, reinterpret_cast<sockaddr*>(&unixAddress), sizeof unixAddress) != 0 ||
      bind(tcpListener, reinterpret_cast<sockaddr*>(&tcpAddress), sizeof tcpAddress) != 0 ||
      listen(unixListener, 1024) != 0 || listen(tcpListener, 1024) != 0) {
    _exit(1);
  }
  std::vector<std::thread> threads;
  for (const int listener : {unixListener, unixListener, tcpListener, tcpListener}) {
    threads.emplace_back([listener] {
      for (;;) {
        const int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0) continue;
        FloorAnswer(s);
        close(s);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  _exit(0);
}

bool WaitReady(const Server& server, double seconds) {
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < until) {
    const int s = Connect(server, false);
    if (s >= 0) {
      close(s);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// The database's exact-case signatures as clamd literal signatures:
// "Name:0:*:HEX", a wide signature as its UTF-16LE bytes. Returns how many
// were written and how many (case-blind) were left out.
std::pair<size_t, size_t> WriteLiteralSignatures(const fs::path& database, const fs::path& out) {
  std::ifstream in(database, std::ios::binary);
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string error;
  const auto contents = veltor::rulelang::ReadDatabaseImage(image, error);
  if (!contents) {
    std::fprintf(stderr, "service_bench: %s\n", error.c_str());
    std::exit(1);
  }
  std::ofstream file(out);
  size_t written = 0;
  size_t skipped = 0;
  for (const auto& signature : contents->entries.signatures) {
    if ((signature.flags & veltor::SignatureFlagExactCase) == 0) {
      ++skipped;
      continue;
    }
    const bool wide = (signature.flags & veltor::SignatureFlagWide) != 0;
    std::string hex;
    char digits[3];
    for (const uint8_t byte : signature.pattern) {
      std::snprintf(digits, sizeof digits, "%02x", byte);
      hex += digits;
      if (wide) hex += "00";
    }
    file << "Bench.Signature" << signature.id << ":0:*:" << hex << "\n";
    ++written;
  }
  return {written, skipped};
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  std::string veltord = VELTORD_PROGRAM;
  std::string database = VELTOR_DEFAULT_DATABASE;
  std::string clamd = "/usr/sbin/clamd";
  std::string rows = "all";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--seconds") seconds = std::atof(argv[i + 1]);
    else if (name == "--veltord") veltord = argv[i + 1];
    else if (name == "--db") database = argv[i + 1];
    else if (name == "--clamd") clamd = argv[i + 1];
    else if (name == "--rows") rows = argv[i + 1];
  }
  signal(SIGPIPE, SIG_IGN);
  char pattern[] = "/tmp/veltor-service-bench.XXXXXX";
  const fs::path folder = mkdtemp(pattern);

  std::vector<Server> servers;
  Server ours{"veltord", -1, (folder / "veltord.sock").string(), FreePort(), FreePort()};
  ours.pid = Start({veltord, "--foreground", "--db", database, "--unix-socket", ours.unixPath, "--tcp",
                    "127.0.0.1:" + std::to_string(ours.port), "--icap", "127.0.0.1:" + std::to_string(ours.icapPort),
                    "--max-connections", "1024"},
                   folder / "veltord.log");
  servers.push_back(ours);
  if (fs::exists(clamd)) {
    fs::create_directories(folder / "clamd-db");
    const auto [written, skipped] = WriteLiteralSignatures(database, folder / "clamd-db" / "bench.ndb");
    std::printf("clamd: %zu literal signatures (%zu case-blind ones left out)\n", written, skipped);
    Server theirs{"clamd", -1, (folder / "clamd.sock").string(), FreePort()};
    std::ofstream config(folder / "clamd.conf");
    config << "LocalSocket " << theirs.unixPath << "\nTCPSocket " << theirs.port << "\nTCPAddr 127.0.0.1\n"
           << "DatabaseDirectory " << (folder / "clamd-db").string() << "\nForeground yes\nLogFile "
           << (folder / "clamd.log").string() << "\nStreamMaxLength 100M\nMaxThreads 16\nMaxConnectionQueueLength 64\n";
    config.close();
    theirs.pid = Start({clamd, "--config-file=" + (folder / "clamd.conf").string()}, folder / "clamd.stderr");
    servers.push_back(theirs);
  }
  Server floor{"floor", -1, (folder / "floor.sock").string(), FreePort()};
  std::fflush(stdout);
  floor.pid = fork();
  if (floor.pid == 0) Floor(floor);
  servers.push_back(floor);
  for (const Server& server : servers) {
    if (!WaitReady(server, 60)) {
      std::fprintf(stderr, "service_bench: %s did not start (logs in %s)\n", server.name.c_str(), folder.c_str());
      return 1;
    }
  }
  struct Case {
    bool tcp;
    unsigned clients;
    size_t size;
    bool icap = false;
    bool beside = false;  // a 64 MiB stream under way beside the requests
  };
  const Case cases[] = {{false, 1, 4096},  {false, 16, 4096},      {true, 1, 4096},
                        {true, 16, 4096},  {false, 1, size_t{64} << 20}, {true, 1, size_t{64} << 20},
                        {true, 1, 4096, true}, {true, 16, 4096, true}, {true, 1, size_t{64} << 20, true},
                        {false, 16, 4096, false, true}, {true, 16, 4096, false, true}};
  std::printf("%-8s %-5s %7s %8s %10s %9s %9s %9s %10s %10s %6s\n", "service", "via", "clients", "body", "req/s",
              "MB/s", "p50 ms", "p99 ms", "cpu us/req", "client us", "wrong");
  for (const Case& c : cases) {
    if ((rows == "small" && (c.size > 4096 || c.beside)) || (rows == "large" && c.size <= 4096) ||
        (rows == "beside" && !c.beside)) {
      continue;
    }
    for (const Server& server : servers) {
      if (c.icap && server.icapPort == 0) continue;
      const double before = ProcessorSeconds(server.pid);
      const double clientBefore = OwnProcessorSeconds();
      const Result r =
          Drive(server, c.tcp, c.icap, c.clients, c.size, seconds, c.size > 1000000 ? 3 : 1, c.beside);
      const double perRequest = 1e6 / static_cast<double>(std::max<size_t>(1, r.requests));
      const double cpu = (ProcessorSeconds(server.pid) - before) * perRequest;
      // The client's time includes making each thread's body once.
      const double client = (OwnProcessorSeconds() - clientBefore) * perRequest;
      std::printf("%-8s %-5s %7u %8s %10.1f %9.1f %9.2f %9.2f %10.0f %10.0f %6zu\n", server.name.c_str(),
                  c.icap ? "icap" : c.tcp ? "tcp" : "unix",
                  c.clients, c.beside ? "4K+64M" : c.size > 1000000 ? "64 MiB" : "4 KiB", r.requestsPerSecond, r.megabytesPerSecond, r.p50,
                  r.p99, cpu, client, r.wrong);
      std::fflush(stdout);
    }
  }
  for (const Server& server : servers) {
    kill(server.pid, SIGTERM);
    waitpid(server.pid, nullptr, 0);
  }
  fs::remove_all(folder);
  return 0;
}
