// The crowd benchmark's timed clients: logins, runs asked for at random places, a real
// client's first sector, the idle crowd, and where this machine can be reached other than
// on loopback.
#include "CrowdProbes.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

#include "protocol/ClientMessages.h"

namespace crowd {

using korvane::load::WireMessage;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

bool Image::Holds(uint32_t lsn, const uint8_t* data, size_t size) const {
  return uint64_t{lsn} * 2048 + size <= uint64_t{sectors} * 2048 &&
         std::memcmp(bytes + uint64_t{lsn} * 2048, data, size) == 0;
}

void Samples::Add(double value, const std::string& error) {
  if (value >= 0) {
    ms.push_back(value);
  } else if (++failed == 1) {
    firstError = error;
  }
}

Login ConnectAndLogIn(WireConnection& connection, const Target& target, const std::string& source,
                      int timeoutMs) {
  if (connection.Connect(target.port, target.host, source))
    return TimedLogin(connection, timeoutMs);
  Login refused;
  refused.error = "cannot connect from " + (source.empty() ? "any address" : source);
  return refused;
}

Login TimedLogin(WireConnection& connection, int timeoutMs) {
  Login login;
  const auto sent = Clock::now();
  if (!connection.Send(korvane::wire::BuildLogin("crowd", "crowd"))) {
    login.error = "login not sent";
    return login;
  }
  WireMessage message;
  std::string text;
  for (;;) {
    if (!connection.Read(message, timeoutMs, login.error)) {
      if (!text.empty()) login.error += " after the text \"" + text + "\"";
      return login;
    }
    if (message.kind == korvane::protocol::kPrompt) break;
    if (message.kind == korvane::protocol::kText) text = message.body;
  }
  login.promptMs = MsSince(sent);
  login.ok = true;
  return login;
}

double TimedRun(WireConnection& connection, const Image& image, uint32_t lsn, std::string& error) {
  const auto asked = Clock::now();
  WireMessage reply;
  if (!connection.Send(korvane::wire::BuildSectorRequest(3, lsn)) ||
      !connection.Read(reply, 30000, error)) {
    error = "run at " + std::to_string(lsn) + ": " + error;
    return -1;
  }
  const double ms = MsSince(asked);
  std::string sectors;
  if (reply.kind != korvane::protocol::kRun) {
    error = "run at " + std::to_string(lsn) + " answered with kind " + std::to_string(reply.kind) +
            ": " + reply.body;
  } else if (!korvane::load::InflateRun(reply.body, sectors) || sectors.empty() ||
             sectors.size() % 2048 != 0 ||
             !image.Holds(lsn, reinterpret_cast<const uint8_t*>(sectors.data()), sectors.size())) {
    error = "the run at " + std::to_string(lsn) + " is not the disc's";
  } else {
    return ms;
  }
  return -1;
}

SeekProbe::SeekProbe(const Image& image, Target target, std::string source, uint32_t seed)
    : image_(image), target_(std::move(target)), source_(std::move(source)), random_(seed) {}

double SeekProbe::Seek(std::string& error) {
  if (!open_) {
    const Login login = ConnectAndLogIn(connection_, target_, source_, 30000);
    open_ = login.ok && connection_.Send(korvane::wire::BuildDiscSelection(0));
    if (!open_) {
      error = login.ok ? "disc not chosen" : login.error;
      return -1;
    }
  }
  // At least a quarter of the disc away: the server has nothing made ahead for it, and the
  // page cache holds the whole image anyway.
  const uint32_t span = image_.sectors - 64;
  uint32_t lsn = last_;
  while (std::max(lsn, last_) - std::min(lsn, last_) < span / 4) {
    lsn = std::uniform_int_distribution<uint32_t>(0, span)(random_);
  }
  last_ = lsn;
  const double ms = TimedRun(connection_, image_, lsn, error);
  if (ms < 0) open_ = false;
  return ms;
}

void SeekProbe::Close() {
  connection_.Close();
  open_ = false;
}

FirstSector TimedFirstSector(const Target& target, const std::string& source, const Image& image,
                             uint32_t lsn) {
  FirstSector figures;
  WireConnection connection;
  const auto start = Clock::now();
  if (!connection.Connect(target.port, target.host, source)) {
    figures.error = "cannot connect";
    return figures;
  }
  figures.connectMs = MsSince(start);
  const Login login = TimedLogin(connection, 30000);
  if (!login.ok) {
    figures.error = login.error;
    return figures;
  }
  figures.promptMs = login.promptMs;
  if (!connection.Send(korvane::wire::BuildDiscSelection(0))) {
    figures.error = "disc not chosen";
    return figures;
  }
  figures.sectorMs = TimedRun(connection, image, lsn, figures.error);
  if (figures.sectorMs >= 0) figures.totalMs = MsSince(start);
  return figures;
}

IdleCrowd OpenIdleCrowd(const Target& target, int count, int perSource, uint32_t firstSource) {
  IdleCrowd crowd;
  crowd.held.resize(static_cast<size_t>(std::max(0, count)));
  std::atomic<int> next{0};
  std::mutex mutex;
  // The server pauses between the greeting, the list and the prompt: one at a time, 500
  // logins would take minutes.
  std::vector<std::thread> openers(static_cast<size_t>(std::clamp(count, 0, 50)));
  for (std::thread& opener : openers) {
    opener = std::thread([&] {
      for (int i; (i = next++) < count;) {
        auto connection = std::make_unique<WireConnection>();
        const std::string source = korvane::load::LoopbackAddress(
            firstSource + static_cast<uint32_t>(i / std::max(1, perSource)));
        Login login = ConnectAndLogIn(*connection, target, source, 30000);
        if (login.ok && !connection->Send(korvane::wire::BuildDiscSelection(0))) {
          login.error = "no choice";
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (login.ok && login.error.empty()) {
          crowd.held[static_cast<size_t>(i)] = std::move(connection);
        } else if (++crowd.refused == 1) {
          crowd.firstError = login.error;
        }
      }
    });
  }
  for (std::thread& opener : openers) opener.join();
  crowd.held.erase(std::remove(crowd.held.begin(), crowd.held.end(), nullptr), crowd.held.end());
  return crowd;
}

long RaiseDescriptorLimit(long wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < static_cast<rlim_t>(wanted)) {
    limit.rlim_cur = std::min(limit.rlim_max, static_cast<rlim_t>(wanted));
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<long>(limit.rlim_cur);
}

std::pair<std::string, std::string> NonLoopbackAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  std::pair<std::string, std::string> found;
  for (const ifaddrs* entry = list; entry != nullptr && found.first.empty();
       entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
        (entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text,
              sizeof text);
    found = {text, entry->ifa_name};
  }
  freeifaddrs(list);
  return found;
}

}  // namespace crowd
