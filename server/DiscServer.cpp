// The disc server's parts put together: the catalogue and accounts, the listener with its
// limits, the worker pool the connections run on and the pool that makes long runs.
#include "server/DiscServer.h"

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include <asio.hpp>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "protocol/ServerMessages.h"
#include "server/AccountBook.h"
#include "server/Admission.h"
#include "server/DiscCatalog.h"
#include "server/Listener.h"
#include "server/PeerAddress.h"
#include "server/ServerLog.h"
#include "server/Session.h"

namespace korvane::server {
namespace {

// Descriptors the process needs besides its connections and images: standard streams, the
// event queue and its wakers, the reserve and some to spare.
constexpr size_t kOwnDescriptors = 64;
// Connections kept room for when images would take every descriptor left.
constexpr size_t kFewestConnections = 16;

// Enough for the connections' threads to win the processor whenever they have work (about
// three to one), not so much that runs starve on a machine busy with other programs.
constexpr int kRunThreadNice = 5;

unsigned ThreadsFor(unsigned configured) {
  return configured != 0 ? configured : std::max(1u, std::thread::hardware_concurrency());
}

// Lets the calling thread yield the processor to the connections' threads: a login, a
// prompt or a seek's first run then waits for no long run being compressed.
void LowerThisThreadsPriority() {
#if defined(__linux__)
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kRunThreadNice);
#endif
}

// The balancers whose PROXY headers are trusted: those named, or loopback when none is.
std::vector<AddressRange> TrustedBalancers(const ServerConfig& config) {
  if (config.proxyFrom.empty()) return LoopbackRanges();
  std::vector<AddressRange> ranges;
  for (const std::string& text : config.proxyFrom) {
    AddressRange range;
    if (ParseAddressRange(text, range)) ranges.push_back(range);
  }
  return ranges;
}

}  // namespace

// Members are destroyed bottom up: the io_contexts, and with them every handler still
// holding a session, go before what the sessions refer to.
struct DiscServer::Impl {
  explicit Impl(ServerConfig settings)
      : config(std::move(settings)),
        log(config.quiet, config.logOutput),
        limits({config.maxConnections, config.maxPerAddress, config.maxLoggingIn,
                config.maxLoggingInPerAddress}),
        throttle(config.maxLoginDelayMs),
        budget(config.replyBudgetBytes),
        context{config, discs, accounts, log, registry, counters, stopping, throttle, budget, {},
                {}},
        runWork(asio::make_work_guard(runIo)),
        listener(
            io, limits, log,
            [this](asio::ip::tcp::socket socket, AdmissionTicket ticket) {
              OnAdmitted(std::move(socket), std::move(ticket));
            },
            config.proxyProtocol, TrustedBalancers(config)) {
    context.runPool = runIo.get_executor();
  }

  bool Load(std::string& error);
  size_t ImageBudget() const;
  void LogLeftOut(const ScanReport& report);
  void LogProxyTrust();
  void FitDescriptors();
  void OnAdmitted(asio::ip::tcp::socket socket, AdmissionTicket ticket);
  void Work(asio::io_context& queue);

  ServerConfig config;
  ServerLog log;
  DiscCatalog discs;
  AccountBook accounts;
  SessionRegistry registry;
  ServerCounters counters;
  ConnectionLimits limits;
  LoginThrottle throttle;
  ReplyBudget budget;
  std::atomic<bool> stopping{false};
  ServerContext context;
  std::atomic<uint64_t> nextId{0};
  bool running = false;
  asio::io_context runIo;
  asio::executor_work_guard<asio::io_context::executor_type> runWork;
  asio::io_context io;
  Listener listener;
  std::vector<std::thread> workers;
  std::vector<std::thread> runWorkers;
};

bool DiscServer::Impl::Load(std::string& error) {
  ScanReport report;
  if (!DiscCatalog::Scan({config.folder, ImageBudget(), &log}, discs, report, error)) return false;
  for (const std::string& why : report.skipped) log.Line("not served: " + Printable(why, 300));
  LogLeftOut(report);
  if (config.allowAnyone) {
    accounts = AccountBook::Anyone();
  } else if (!AccountBook::Load(config.accountsFile, accounts, error)) {
    return false;
  }
  for (const std::string& warning : accounts.Warnings()) {
    log.Line("warning: " + Printable(config.accountsFile + ": " + warning, 400));
  }
  wire::AppendDiscList(context.discList, discs.Names());
  return true;
}

// Images the descriptor limit lets the server hold open while it keeps room for its own
// descriptors and a few connections; 0 when there is no limit to keep to.
size_t DiscServer::Impl::ImageBudget() const {
#ifndef _WIN32
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  const size_t kept = kOwnDescriptors + kFewestConnections;
  return limit.rlim_cur > kept ? static_cast<size_t>(limit.rlim_cur) - kept : 1;
#else
  return 0;
#endif
}

// Warns of the images a client could not select and those the descriptor limit kept shut.
void DiscServer::Impl::LogLeftOut(const ScanReport& report) {
  if (!report.unlisted.empty()) {
    log.Line("warning: the disc list stops at " + std::to_string(discs.Count()) +
             " discs, as a client selects at most " + std::to_string(protocol::kMaxListedDiscs) +
             " and takes a list of at most " + std::to_string(protocol::kMaxDiscListBytes) +
             " bytes; " + std::to_string(report.unlisted.size()) +
             " images are not listed, each named below");
    for (const std::string& name : report.unlisted) log.Line("not listed: " + Printable(name, 300));
  }
  if (report.unopened > 0) {
    uint64_t descriptors = 0;
#ifndef _WIN32
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) descriptors = limit.rlim_cur;
#endif
    log.Line("warning: the descriptor limit of " + std::to_string(descriptors) +
             " is too low for the folder: " + std::to_string(report.unopened) +
             " images are not served (raise it, as with ulimit -n, to serve them all)");
  }
}

// Tells whose PROXY headers are trusted when that is not just the balancers named: loopback
// when none is, and every address when a range of them all is.
void DiscServer::Impl::LogProxyTrust() {
  if (!config.proxyProtocol) return;
  if (config.proxyFrom.empty()) {
    log.Line(
        "PROXY headers are trusted from loopback only (127.0.0.0/8 and ::1): name the "
        "balancers with --proxy-from");
  }
  for (const std::string& text : config.proxyFrom) {
    AddressRange range;
    if (!ParseAddressRange(text, range) || range.prefixBits != 0) continue;
    log.Line("warning: --proxy-from " + Printable(text, 100) + " trusts the PROXY header of " +
             "every " + (range.base.is_v4() ? "IPv4" : "IPv6") +
             " address, so any client can claim any address and pass the per-address limits "
             "and the login throttle: name the balancers' own addresses");
  }
}

// Keeps the connection cap below what the descriptor limit allows, so that accepting never
// runs the process out of descriptors.
void DiscServer::Impl::FitDescriptors() {
#ifndef _WIN32
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  const size_t own = kOwnDescriptors + discs.Count();
  const size_t allowed = limit.rlim_cur > own ? static_cast<size_t>(limit.rlim_cur) - own : 1;
  const size_t cap = limits.Caps().total;
  if (cap != 0 && cap <= allowed) return;
  limits.LowerTotal(allowed);
  log.Line("the descriptor limit of " + std::to_string(limit.rlim_cur) + " allows " +
           std::to_string(allowed) + " connections at once");
#endif
}

void DiscServer::Impl::OnAdmitted(asio::ip::tcp::socket socket, AdmissionTicket ticket) {
  const uint64_t id = ++nextId;
  auto session = std::make_shared<Session>(std::move(socket), id, context, std::move(ticket));
  if (registry.Add(id, session)) session->Start();
}

void DiscServer::Impl::Work(asio::io_context& queue) {
  for (;;) {
    try {
      queue.run();
      return;
    } catch (const std::exception& failure) {
      log.Line(std::string("worker caught: ") + failure.what());
    }
  }
}

DiscServer::DiscServer(ServerConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

DiscServer::~DiscServer() {
  Stop();
}

bool DiscServer::Start(std::string& error) {
  Impl& server = *impl_;
  if (server.running || !server.Load(error) ||
      !server.listener.Open(server.config.bindAddress, server.config.port, error)) {
    return false;
  }
  server.FitDescriptors();
  const unsigned threads = ThreadsFor(server.config.threads);
  const unsigned runThreads = ThreadsFor(server.config.compressThreads);
  const ConnectionCaps caps = server.limits.Caps();
  server.log.Line("serving " + std::to_string(server.discs.Count()) + " discs from " +
                  Printable(server.config.folder, 300) + " on " + server.config.bindAddress + ":" +
                  std::to_string(server.listener.Port()) + " with " + std::to_string(threads) +
                  " threads and " + std::to_string(runThreads) + " for runs; at most " +
                  std::to_string(caps.total) + " connections, " + std::to_string(caps.perAddress) +
                  " per address, " + std::to_string(caps.loggingIn) + " logging in, " +
                  std::to_string(caps.loggingInPerAddress) + " of them per address (0: no limit)");
  server.LogProxyTrust();
  server.listener.Start();
  server.running = true;
  for (unsigned i = 0; i < threads; ++i) {
    server.workers.emplace_back([&server] { server.Work(server.io); });
  }
  for (unsigned i = 0; i < runThreads; ++i) {
    server.runWorkers.emplace_back([&server] {
      LowerThisThreadsPriority();
      server.Work(server.runIo);
    });
  }
  return true;
}

uint16_t DiscServer::Port() const {
  return impl_->listener.Port();
}

uint64_t DiscServer::HeldReplyBytes() const {
  return impl_->budget.Held();
}

size_t DiscServer::DiscCount() const {
  return impl_->discs.Count();
}

ServerStats DiscServer::Stats() const {
  return impl_->counters.Snapshot();
}

void DiscServer::Stop() {
  Impl& server = *impl_;
  if (!server.running) return;
  server.running = false;
  // Runs being compressed give up at once rather than hold the workers.
  server.stopping = true;
  server.listener.Stop();
  for (const auto& session : server.registry.StopAll()) session->Close();
  for (std::thread& worker : server.workers) worker.join();
  server.workers.clear();
  // Runs still queued finish at once, as the server is stopping, and post to a stopped
  // io_context, which drops them with their sessions.
  server.runWork.reset();
  for (std::thread& worker : server.runWorkers) worker.join();
  server.runWorkers.clear();
  server.log.Line("stopped");
}

}  // namespace korvane::server
