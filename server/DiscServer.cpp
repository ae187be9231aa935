// Listening, accepting and the worker pool of the disc server.
#include "server/DiscServer.h"

#include <atomic>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "server/AccountBook.h"
#include "server/DiscCatalog.h"
#include "server/ServerLog.h"
#include "server/Session.h"

namespace korvane::server {

using asio::ip::tcp;

// Members are destroyed bottom up: the io_context, and with it every handler still holding
// a session, goes before what the sessions refer to.
struct DiscServer::Impl {
  explicit Impl(ServerConfig settings)
      : config(std::move(settings)),
        log(config.quiet),
        context{config, discs, accounts, log, registry, counters, stopping, {}, {}},
        acceptStrand(asio::make_strand(io)),
        acceptor(acceptStrand),
        retry(acceptStrand) {
    context.pool = io.get_executor();
  }

  bool Load(std::string& error);
  bool Listen(std::string& error);
  void Accept();
  void OnAccept(const std::error_code& error, tcp::socket socket);
  void Work();

  ServerConfig config;
  ServerLog log;
  DiscCatalog discs;
  AccountBook accounts;
  SessionRegistry registry;
  ServerCounters counters;
  std::atomic<bool> stopping{false};
  ServerContext context;
  std::atomic<uint64_t> nextId{0};
  uint16_t port = 0;
  bool running = false;
  asio::io_context io;
  asio::strand<asio::io_context::executor_type> acceptStrand;
  tcp::acceptor acceptor;
  asio::steady_timer retry;
  std::vector<std::thread> workers;
};

bool DiscServer::Impl::Load(std::string& error) {
  std::vector<std::string> skipped;
  if (!DiscCatalog::Scan(config.folder, discs, skipped, error)) return false;
  for (const std::string& why : skipped) log.Line("not served: " + Printable(why, 300));
  if (config.allowAnyone) {
    accounts = AccountBook::Anyone();
  } else if (!AccountBook::Load(config.accountsFile, accounts, error)) {
    return false;
  }
  AppendDiscList(context.discList, discs.Names());
  return true;
}

bool DiscServer::Impl::Listen(std::string& error) {
  std::error_code failure;
  const asio::ip::address address = asio::ip::make_address(config.bindAddress, failure);
  if (failure) {
    error = "bad bind address " + config.bindAddress;
    return false;
  }
  const tcp::endpoint endpoint(address, config.port);
  acceptor.open(endpoint.protocol(), failure);
  if (!failure) acceptor.set_option(tcp::acceptor::reuse_address(true), failure);
  if (!failure) acceptor.bind(endpoint, failure);
  if (!failure) acceptor.listen(asio::socket_base::max_listen_connections, failure);
  if (!failure) port = acceptor.local_endpoint(failure).port();
  if (failure) {
    error = "cannot listen on " + config.bindAddress + ":" + std::to_string(config.port) + ": " +
            failure.message();
    return false;
  }
  return true;
}

void DiscServer::Impl::Accept() {
  acceptor.async_accept(asio::any_io_executor(asio::make_strand(io)),
                        [this](const std::error_code& error, tcp::socket socket) {
                          OnAccept(error, std::move(socket));
                        });
}

void DiscServer::Impl::OnAccept(const std::error_code& error, tcp::socket socket) {
  if (error == asio::error::operation_aborted || !acceptor.is_open()) return;
  if (error) {
    // Out of descriptors, most likely: wait a little instead of spinning on it.
    log.Line("accept failed: " + error.message());
    retry.expires_after(std::chrono::milliseconds(100));
    retry.async_wait([this](const std::error_code& waited) {
      if (!waited) Accept();
    });
    return;
  }
  const uint64_t id = ++nextId;
  auto session = std::make_shared<Session>(std::move(socket), id, context);
  if (registry.Add(id, session)) session->Start();
  Accept();
}

void DiscServer::Impl::Work() {
  for (;;) {
    try {
      io.run();
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
  if (server.running || !server.Load(error) || !server.Listen(error)) return false;
  unsigned threads = server.config.threads;
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  server.log.Line("serving " + std::to_string(server.discs.Count()) + " discs from " +
                  server.config.folder + " on " + server.config.bindAddress + ":" +
                  std::to_string(server.port) + " with " + std::to_string(threads) + " threads");
  server.Accept();
  server.running = true;
  for (unsigned i = 0; i < threads; ++i) server.workers.emplace_back([&server] { server.Work(); });
  return true;
}

uint16_t DiscServer::Port() const {
  return impl_->port;
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
  asio::post(server.acceptStrand, [&server] {
    std::error_code ignored;
    server.acceptor.close(ignored);
    server.retry.cancel();
  });
  for (const auto& session : server.registry.StopAll()) session->Close();
  for (std::thread& worker : server.workers) worker.join();
  server.workers.clear();
  server.log.Line("stopped");
}

}  // namespace korvane::server
