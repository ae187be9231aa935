// Who may hold a connection to the server, and how fast an address may try passwords.
//
// ConnectionLimits counts the connections held: in all, per client address, and those not
// logged in yet, in all and per address; a connection that would pass one of its caps is
// refused before a session is made for it. When the connections logging in fill their pool,
// a newcomer from an address that holds fewer of them still gets in: the oldest silent one
// (it has sent no login) of the address holding the most is closed for it, so that a few
// addresses that connect and say nothing cannot shut the server to everyone else. Each
// admitted connection carries an AdmissionTicket, which gives its place back when the
// connection ends.
//
// LoginThrottle slows password guessing per address and user name: every failed login of a
// user from an address doubles the wait before the next login of that user from there is
// checked (100 ms, 200 ms, ... up to the configured maximum, below the 3 s a client waits
// for its prompt). Logins of one user from an address that has failed wait in line and are
// checked one at a time, so parallel connections guess no faster than one; only a failure
// delays the next in line, so a right password waits for the delay earned so far and for
// the failures of those ahead of it, never for other right ones. A neighbour guessing one
// account does not hold up the players of others behind the same address; once an address
// has failed logins of four users, though, all its logins share one line, so that guessing
// across many accounts goes no faster either. A login whose connection closes leaves the
// line at once. A user who logs in is forgiven the failures of that user name (typing
// mistakes, as the right password shows), though not those of others, so one account
// cannot clear the way for guessing another. A client sees only a slower answer. An
// address that fails no login for a quarter of an hour is forgotten.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvane::server {

enum class Admission {
  kAdmitted,
  kServerFull,
  kAddressFull,
  kLoginsFull,
  kAddressLoginsFull,
  kNotABalancer,
};

// The text sent to a connection refused for why (not kAdmitted).
const char* RefusalText(Admission why);

struct ConnectionCaps {
  size_t total = 0;  // 0: no cap, as for each of them
  size_t perAddress = 0;
  size_t loggingIn = 0;
  size_t loggingInPerAddress = 0;
};

// The text a connection closed to make room for a newcomer is sent.
inline constexpr const char* kMadeRoomText =
    "Too many connections are logging in, closing this silent one\n";

class ConnectionLimits final {
 public:
  explicit ConnectionLimits(ConnectionCaps caps) : caps_(caps) {}

  // The caps in force.
  ConnectionCaps Caps() const;
  // Lowers the total cap to total (when lower, or when there was none).
  void LowerTotal(size_t total);

  // Counts a new connection from address as logging in, unless that passes a cap; serial
  // names it from then on. An empty address (not known yet) is counted in all but under
  // no address. A full pool of connections logging in may close another's to make room.
  Admission Admit(const std::string& address, uint64_t& serial);
  // Counts the connection counted under from (empty) under to instead, unless to is full.
  Admission Readdress(uint64_t serial, const std::string& from, const std::string& to);
  // How the connection serial is closed to make room for another; until it is set, the
  // connection is not closed so.
  void SetCloser(uint64_t serial, std::function<void()> close);
  // The connection serial has sent its login: it is no longer silent.
  void Spoke(uint64_t serial);
  // The connection from address that was logging in has logged in.
  void LoggedIn(uint64_t serial, const std::string& address);
  // A connection from address has ended; loggedIn tells whether it had logged in.
  void Left(uint64_t serial, const std::string& address, bool loggedIn);

  // Connections held now.
  size_t Held() const;

 private:
  // A connection logging in, in the order they came.
  struct Newcomer {
    uint64_t serial;
    std::string address;
    bool silent = true;
    std::function<void()> close;
  };
  // Each of these runs under mutex_.
  void ForgetAddress(const std::string& address);
  void StopLoggingIn(uint64_t serial);
  std::function<void()> MakeRoomFor(const std::string& address);
  std::list<Newcomer>::iterator Find(uint64_t serial);

  mutable std::mutex mutex_;
  ConnectionCaps caps_;
  size_t held_ = 0;
  uint64_t nextSerial_ = 0;
  std::unordered_map<std::string, size_t> perAddress_;
  std::unordered_map<std::string, size_t> loggingInPerAddress_;
  std::list<Newcomer> loggingIn_;  // those counted as logging in, oldest first
};

// One admitted connection's place in its ConnectionLimits; movable, given back once.
class AdmissionTicket final {
 public:
  AdmissionTicket() = default;
  AdmissionTicket(ConnectionLimits& limits, uint64_t serial, std::string address)
      : limits_(&limits), serial_(serial), address_(std::move(address)) {}
  AdmissionTicket(AdmissionTicket&& other) noexcept;
  AdmissionTicket& operator=(AdmissionTicket&& other) noexcept;
  ~AdmissionTicket() { Release(); }

  // The client address the connection is counted under.
  const std::string& Address() const { return address_; }
  // Moves the connection from the logging-in count to the logged-in ones.
  void LoggedIn();
  // Counts the connection under address from now on, unless address is full.
  Admission Readdress(const std::string& address);
  // How the connection is closed should a newcomer need its place (ConnectionLimits).
  void SetCloser(std::function<void()> close);
  // The connection has sent its login.
  void Spoke();
  // Gives the place back; later calls do nothing.
  void Release();

 private:
  ConnectionLimits* limits_ = nullptr;
  uint64_t serial_ = 0;
  std::string address_;
  bool loggedIn_ = false;
};

class LoginThrottle final {
 public:
  using Clock = std::chrono::steady_clock;

  // maxDelayMs 0 turns the throttle off.
  explicit LoginThrottle(uint32_t maxDelayMs) : maxDelay_(maxDelayMs) {}

  // Asks the turn of the login login (an id no other waiting login has) of user from
  // address, which waits behind the logins in its line that came before it: true when it
  // may be checked now, to be followed by Checked; false with the time to ask again in
  // retryAt.
  bool TakeTurn(const std::string& address, std::string_view user, uint64_t login,
                Clock::time_point now, Clock::time_point& retryAt);
  // The login that had its turn was checked at now, for user, and accepted or refused.
  void Checked(const std::string& address, uint64_t login, std::string_view user, bool accepted,
               Clock::time_point now);
  // The login from address that waited for its turn is gone: its place goes to the next.
  void Left(const std::string& address, uint64_t login);

 private:
  struct UserFailures {
    size_t user = 0;  // the hash of the user name
    uint32_t failures = 0;
  };
  struct Record {
    uint32_t failures = 0;
    Clock::time_point next;  // no login is checked before this
    Clock::time_point lastFailure;
    uint64_t checking = 0;                 // the login being checked, 0 for none
    std::deque<uint64_t> waiting;          // the logins waiting, first come first
    std::vector<UserFailures> failedUsers;  // the first few users that failed
  };

  // The users of one address whose logins failed, while they are remembered.
  struct FailingUsers {
    std::vector<size_t> users;  // hashes, the first kSharedLineUsers
    Clock::time_point lastFailure;
  };

  std::chrono::milliseconds Step(uint32_t failures) const;
  // The line a login of user from address waits in (under mutex_).
  std::string LineOf(const std::string& address, size_t user, Clock::time_point now);
  void NoteFailingUser(const std::string& address, size_t user, bool failed,
                       Clock::time_point now);
  static void Forgive(Record& record, size_t user);
  void ForgetIfDone(std::unordered_map<std::string, Record>::iterator found);
  void ForgetOld(Clock::time_point now);

  std::mutex mutex_;
  std::chrono::milliseconds maxDelay_;
  std::unordered_map<std::string, Record> records_;  // by line
  std::unordered_map<std::string, FailingUsers> failing_;  // by address
  std::unordered_map<uint64_t, std::string> lineOf_;  // the line of each login in one
};

}  // namespace korvane::server
