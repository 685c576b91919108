// The transport benchmark: what the pipe server costs on top of the socket.
//
//   transport [--quick]
//
// (a) raw SEQPACKET ping-pong of 32 768-byte messages between two processes;
// (b) the same through TPipeServer, whose OnPipeMessage writes the message
//     back, with 1 and 4 client processes (and once with an OnPipeSent
//     handler assigned, which adds a notification per reply);
// (c) 100 MB sent to the server as one multi-part message;
// (d) the server's resident memory with 4 and with 200 connected clients.
// Clients are always separate processes running the same client code (this
// program started with a client role).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/PipeClient.h"
#include "pipes/PipeMultiMsg.h"
#include "pipes/PipeServer.h"
#include "pipes/ThreadSupport.h"
#include "platform/Pipe.h"

extern char** environ;

namespace {

using namespace platform;

constexpr uint32_t kMessageSize = 32768;

uint64_t NowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n <= 0) {
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Child roles.

// A raw echo server on the abstract address of name: one client, echo every
// message until it leaves.
int RunRawEcho(const std::string& name) {
  const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(listener, 16) != 0) {
    return 2;
  }
  const char ready = 'r';
  WriteAll(1, &ready, 1);
  const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  std::vector<char> buffer(65536);
  for (;;) {
    const ssize_t n = ::recv(client, buffer.data(), buffer.size(), 0);
    if (n <= 0 || ::send(client, buffer.data(), static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
      break;
    }
  }
  return 0;
}

// Ping-pong: warmup + count round trips of 32 768-byte messages; writes the
// count latencies (ns, uint32) to stdout.
int RunPingPong(const std::string& name, int count, int warmup) {
  client::TPipeClient pipe;
  if (pipe.Connect(name, 10000) != ERROR_SUCCESS) {
    return 2;
  }
  std::vector<std::byte> request(kMessageSize, std::byte{0x5A});
  std::vector<std::byte> reply;
  reply.reserve(kMessageSize);
  std::vector<uint32_t> latencies;
  latencies.reserve(static_cast<size_t>(count));
  for (int i = 0; i < warmup + count; ++i) {
    const uint64_t before = NowNs();
    if (pipe.SendPlain(request) != ERROR_SUCCESS || pipe.ReceiveRaw(&reply) != ERROR_SUCCESS ||
        reply.size() != kMessageSize) {
      return 3;
    }
    if (i >= warmup) {
      latencies.push_back(static_cast<uint32_t>(std::min<uint64_t>(NowNs() - before, UINT32_MAX)));
    }
  }
  return WriteAll(1, latencies.data(), latencies.size() * sizeof(uint32_t)) ? 0 : 4;
}

// Sends size bytes as one multi-part message and waits for the server's
// acknowledgement; writes the elapsed ns (uint64) to stdout.
int RunBulk(const std::string& name, size_t size) {
  client::TPipeClient pipe;
  if (pipe.Connect(name, 10000) != ERROR_SUCCESS) {
    return 2;
  }
  std::vector<std::byte> data(size, std::byte{0x33});
  const uint64_t start = NowNs();
  if (pipe.SendMultiPart(data) != ERROR_SUCCESS) {
    return 3;
  }
  std::vector<std::byte> ack;
  if (pipe.Receive(&ack) != ERROR_SUCCESS) {
    return 4;
  }
  const uint64_t elapsed = NowNs() - start;
  return WriteAll(1, &elapsed, sizeof elapsed) ? 0 : 5;
}

// Opens n connections, reports, and holds them until stdin closes.
int RunHold(const std::string& name, int n) {
  std::vector<client::TPipeClient> clients(static_cast<size_t>(n));
  for (auto& c : clients) {
    if (c.Connect(name, 10000) != ERROR_SUCCESS) {
      return 2;
    }
  }
  const char ready = 'r';
  WriteAll(1, &ready, 1);
  char byte = 0;
  while (::read(0, &byte, 1) > 0) {
  }
  return 0;
}

// ---------------------------------------------------------------------------
// The parent side.

struct TChild {
  pid_t Pid = 0;
  int Out = -1;  // the child's stdout
  int In = -1;   // the child's stdin
  std::vector<char> Output;
  bool Done = false;
};

TChild Spawn(const std::vector<std::string>& arguments) {
  int out[2];
  int in[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
    std::perror("pipe2");
    std::exit(1);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  std::vector<std::string> all = {"/proc/self/exe"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : all) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  TChild child;
  if (posix_spawn(&child.Pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0) {
    std::perror("posix_spawn");
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(in[0]);
  child.Out = out[0];
  child.In = in[1];
  return child;
}

// Reads what is there; marks the child done at the end of its output.
void Drain(TChild& child) {
  char buffer[65536];
  const ssize_t n = ::read(child.Out, buffer, sizeof buffer);
  if (n > 0) {
    child.Output.insert(child.Output.end(), buffer, buffer + n);
  } else {
    child.Done = true;
  }
}

int Reap(TChild& child) {
  if (child.Out >= 0) {
    ::close(child.Out);
  }
  if (child.In >= 0) {
    ::close(child.In);
  }
  int status = 0;
  ::waitpid(child.Pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Serves this thread's messages (the component's events) until every child
// has finished its output, or until ready() holds.
void ServeUntil(std::vector<TChild*> children, const std::function<bool()>& ready = nullptr) {
  for (;;) {
    pipes::PumpMessages();
    if (ready && ready()) {
      return;
    }
    std::vector<TWaitHandle> handles;
    std::vector<TChild*> open;
    for (TChild* c : children) {
      if (!c->Done) {
        handles.push_back({c->Out, POLLIN});
        open.push_back(c);
      }
    }
    if (open.empty() && !ready) {
      return;
    }
    const uint32_t result = MsgWaitForMultipleObjects(handles, ready ? 5 : kInfinite, QS_ALLINPUT);
    if (result < handles.size()) {
      Drain(*open[result]);
    }
  }
}

struct TFigures {
  double RoundTripsPerSecond = 0;
  double P50Us = 0;
  double P99Us = 0;
  double ServerCpuUsPerRoundTrip = 0;
};

TFigures Summarise(std::vector<uint32_t> latencies, uint64_t wallNs) {
  TFigures f;
  if (latencies.empty()) {
    return f;
  }
  std::sort(latencies.begin(), latencies.end());
  f.P50Us = latencies[latencies.size() / 2] / 1000.0;
  f.P99Us = latencies[latencies.size() * 99 / 100] / 1000.0;
  f.RoundTripsPerSecond = static_cast<double>(latencies.size()) * 1e9 / static_cast<double>(wallNs);
  return f;
}

std::vector<uint32_t> LatenciesOf(const TChild& child) {
  std::vector<uint32_t> latencies(child.Output.size() / sizeof(uint32_t));
  std::memcpy(latencies.data(), child.Output.data(), latencies.size() * sizeof(uint32_t));
  return latencies;
}

uint64_t CpuNs() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto ns = [](const timeval& tv) {
    return static_cast<uint64_t>(tv.tv_sec) * 1000000000u +
           static_cast<uint64_t>(tv.tv_usec) * 1000u;
  };
  return ns(usage.ru_utime) + ns(usage.ru_stime);
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return -1;
}

std::string Name(const char* what) {
  return std::string("QnTransportBench-") + what + "-" + std::to_string(::getpid());
}

void Print(const char* label, const TFigures& f) {
  std::printf("%-44s %9.0f rt/s   p50 %7.1f us   p99 %7.1f us", label, f.RoundTripsPerSecond,
              f.P50Us, f.P99Us);
  if (f.ServerCpuUsPerRoundTrip > 0) {
    std::printf("   server CPU %5.1f us/rt", f.ServerCpuUsPerRoundTrip);
  }
  std::printf("\n");
}

// One measured run: every client's latencies, the longest client's own time
// (the sum of its latencies: start-up is not part of it), the server's
// processor time.
struct TRun {
  std::vector<uint32_t> Latencies;
  uint64_t WallNs = 0;
  uint64_t ServerCpuNs = 0;
  int RoundTrips = 0;  // warm-up included, for the processor time
};

TFigures FiguresOf(const TRun& run) {
  TFigures f = Summarise(run.Latencies, run.WallNs);
  if (run.ServerCpuNs > 0 && run.RoundTrips > 0) {
    f.ServerCpuUsPerRoundTrip =
        static_cast<double>(run.ServerCpuNs) / 1000.0 / static_cast<double>(run.RoundTrips);
  }
  return f;
}

TRun RawPingPong(int count, int warmup) {
  const std::string name = Name("raw");
  TChild server = Spawn({"--echo-server", name});
  char ready = 0;
  if (::read(server.Out, &ready, 1) != 1) {
    std::fprintf(stderr, "echo server did not start\n");
    std::exit(1);
  }
  TChild client = Spawn({"--client", name, std::to_string(count), std::to_string(warmup)});
  while (!client.Done) {
    Drain(client);
  }
  if (Reap(client) != 0) {
    std::fprintf(stderr, "raw client failed\n");
  }
  Reap(server);
  TRun run;
  run.Latencies = LatenciesOf(client);
  for (uint32_t l : run.Latencies) {
    run.WallNs += l;
  }
  run.RoundTrips = count + warmup;
  return run;
}

TRun ServerPingPong(int clients, int count, int warmup, bool sentHandler) {
  pipes::TPipeServer server;
  server.SetPipeName(Name(sentHandler ? "sent" : "server"));
  server.OnPipeMessage = [](pipes::TPipeServerContract& sender, uint32_t pipe,
                            pipes::TStream& stream) {
    // The reply is the message itself, as the core writes its reply block.
    static std::vector<uint8_t> block(kMessageSize);
    const int32_t n = stream.Read(block.data(), static_cast<int32_t>(block.size()));
    sender.Write(pipe, block.data(), n);
  };
  uint64_t sentCount = 0;
  if (sentHandler) {
    server.OnPipeSent = [&sentCount](pipes::TPipeServerContract&, uint32_t, uint32_t) {
      ++sentCount;
    };
  }
  server.SetActive(true);
  std::vector<TChild> children;
  children.reserve(static_cast<size_t>(clients));
  const uint64_t cpuBefore = CpuNs();
  for (int i = 0; i < clients; ++i) {
    children.push_back(
        Spawn({"--client", server.PipeName(), std::to_string(count), std::to_string(warmup)}));
  }
  std::vector<TChild*> pointers;
  for (auto& c : children) {
    pointers.push_back(&c);
  }
  ServeUntil(pointers);
  const uint64_t cpu = CpuNs() - cpuBefore;
  std::vector<uint32_t> all;
  uint64_t longest = 0;
  for (auto& c : children) {
    if (Reap(c) != 0) {
      std::fprintf(stderr, "client failed\n");
    }
    const auto latencies = LatenciesOf(c);
    uint64_t sum = 0;
    for (uint32_t l : latencies) {
      sum += l;
    }
    longest = std::max(longest, sum);
    all.insert(all.end(), latencies.begin(), latencies.end());
  }
  ServeUntil({}, [&] { return server.ClientCount() == 0; });
  server.SetActive(false);
  TRun run;
  run.Latencies = std::move(all);
  run.WallNs = longest;
  run.ServerCpuNs = cpu;
  run.RoundTrips = clients * (count + warmup);
  return run;
}

double Bulk(size_t bytes, bool inMemory) {
  if (inMemory) {
    pipes::TPipeMultiMsg::SetTempDirectory("/nonexistent/qn-transport-bench");
  }
  pipes::TPipeServer server;
  server.SetPipeName(Name("bulk"));
  int64_t received = -1;
  server.OnPipeMessage = [&received](pipes::TPipeServerContract& sender, uint32_t pipe,
                                     pipes::TStream& stream) {
    received = stream.Size();
    const uint32_t ack = 1;
    sender.Write(pipe, &ack, sizeof ack);
  };
  server.SetActive(true);
  TChild child = Spawn({"--bulk", server.PipeName(), std::to_string(bytes)});
  ServeUntil({&child});
  Reap(child);
  server.SetActive(false);
  pipes::TPipeMultiMsg::SetTempDirectory(std::nullopt);
  uint64_t elapsed = 0;
  if (child.Output.size() != sizeof elapsed || received != static_cast<int64_t>(bytes)) {
    std::fprintf(stderr, "bulk transfer failed (%" PRId64 " bytes arrived)\n", received);
    return 0;
  }
  std::memcpy(&elapsed, child.Output.data(), sizeof elapsed);
  return static_cast<double>(bytes) / 1e6 / (static_cast<double>(elapsed) / 1e9);
}

long ResidentWithClients(int clients) {
  pipes::TPipeServer server;
  server.SetPipeName(Name("hold"));
  server.SetActive(true);
  TChild child = Spawn({"--hold", server.PipeName(), std::to_string(clients)});
  ServeUntil({}, [&] { return server.ClientCount() == clients; });
  const long resident = ResidentKiB();
  ::close(child.In);
  child.In = -1;
  ServeUntil({&child});
  Reap(child);
  server.SetActive(false);
  return resident;
}

int RunBenchmark(bool quick) {
  pipes::TPipesModule module;
  const int count = quick ? 2000 : 20000;
  const int warmup = quick ? 200 : 2000;
  std::printf("Transport benchmark: 32 768-byte ping-pong, %d round trips per client\n\n", count);
  // (a) and (b) alternate in rounds so that a change in the machine's load
  // (it is shared) weighs on both alike.
  constexpr int kRounds = 5;
  std::vector<uint32_t> rawLatencies, oneLatencies;
  uint64_t rawNs = 0, oneNs = 0, oneCpuNs = 0;
  for (int round = 0; round < kRounds; ++round) {
    const TRun raw = RawPingPong(count / kRounds, warmup / kRounds);
    rawLatencies.insert(rawLatencies.end(), raw.Latencies.begin(), raw.Latencies.end());
    rawNs += raw.WallNs;
    const TRun one = ServerPingPong(1, count / kRounds, warmup / kRounds, false);
    oneLatencies.insert(oneLatencies.end(), one.Latencies.begin(), one.Latencies.end());
    oneNs += one.WallNs;
    oneCpuNs += one.ServerCpuNs;
  }
  const TFigures raw = Summarise(rawLatencies, rawNs);
  Print("(a) raw SEQPACKET, 2 processes", raw);
  TFigures one = Summarise(oneLatencies, oneNs);
  one.ServerCpuUsPerRoundTrip =
      static_cast<double>(oneCpuNs) / 1000.0 / static_cast<double>(count + warmup);
  Print("(b) TPipeServer echo, 1 client", one);
  const TFigures four = FiguresOf(ServerPingPong(4, count / 2, warmup / 2, false));
  Print("(b) TPipeServer echo, 4 clients (aggregate)", four);
  const TFigures sent = FiguresOf(ServerPingPong(1, count, warmup, true));
  Print("(b') ... 1 client, OnPipeSent assigned", sent);
  std::printf("\nb/a, 1 client: p50 %.2f   p99 %.2f   rate %.2f\n", one.P50Us / raw.P50Us,
              one.P99Us / raw.P99Us, one.RoundTripsPerSecond / raw.RoundTripsPerSecond);
  std::printf("b'/a, 1 client: p50 %.2f\n\n", sent.P50Us / raw.P50Us);

  const size_t bulk = quick ? (10u << 20) : 100'000'000u;
  std::printf("(c) %zu bytes as one multi-part message: %.0f MB/s (temporary file), ", bulk,
              Bulk(bulk, false));
  std::printf("%.0f MB/s (in memory)\n", Bulk(bulk, true));
  const long rssIdle = ResidentWithClients(0);
  const long rss4 = ResidentWithClients(4);
  const long rss200 = ResidentWithClients(200);
  std::printf(
      "(d) server resident memory: %ld KiB idle, %ld KiB with 4 clients, %ld KiB with 200\n",
      rssIdle, rss4, rss200);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::string role = argc > 1 ? argv[1] : "";
  if (role == "--echo-server" && argc == 3) {
    return RunRawEcho(argv[2]);
  }
  if (role == "--client" && argc == 5) {
    return RunPingPong(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  }
  if (role == "--bulk" && argc == 4) {
    return RunBulk(argv[2], std::strtoull(argv[3], nullptr, 10));
  }
  if (role == "--hold" && argc == 4) {
    return RunHold(argv[2], std::atoi(argv[3]));
  }
  if (role == "--raw-only" && argc == 3) {
    Print("(a) raw SEQPACKET, 2 processes", FiguresOf(RawPingPong(std::atoi(argv[2]), 100)));
    return 0;
  }
  if (role == "--server-only" && argc == 3) {
    // One run of (b) alone, for profilers.
    pipes::TPipesModule module;
    Print("(b) TPipeServer echo, 1 client",
          FiguresOf(ServerPingPong(1, std::atoi(argv[2]), 100, false)));
    return 0;
  }
  if (argc == 1 || role == "--quick") {
    return RunBenchmark(role == "--quick");
  }
  std::fprintf(stderr, "usage: transport [--quick]\n");
  return 2;
}
