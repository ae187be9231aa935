// Helpers for the disc server tests: a scratch folder of disc images whose bytes are known,
// a client on the tests' loopback sockets that reads the server's messages with bounded waits,
// and crowds of them, a fixture that runs a server in-process on 127.0.0.1 at a free port,
// one that runs the server program there, and the program run to the end of a start it
// refuses.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ServerProcess.h"
#include "TestSockets.h"
#include "TestSupport.h"
#include "server/DiscServer.h"

namespace korvane::server::test {

// An image of sectors sectors of sectorSize bytes. Every sector differs from its neighbours
// at every position; a 2352-byte sector starts with the CD sync pattern.
std::string PatternImage(uint32_t sectors, size_t sectorSize);

// The bytes a client should get for count sectors of mode from lsn of image: mode 0 is the
// 2352 bytes at lsn * 2352, mode 1 the 2340 after the first 12, mode 3 the 2048 at lsn * 2048
// of a 2048-byte image or after the first 24 of a 2352-byte one.
std::string ExpectedSectors(const std::string& image, bool raw, int mode, uint32_t lsn,
                            uint32_t count);

// An image of sectors of 2048 bytes: the first plain ones like PatternImage's, the rest
// random bytes of a two-letter alphabet, which zlib at level 9 compresses at well under a
// megabyte a second, so that making a run of them takes long enough to be caught under way.
std::string SlowToCompressImage(uint32_t plainSectors, uint32_t slowSectors);

using korvane::test::ScratchFolder;

// How many times what occurs in text (a program's log, say).
size_t Count(const std::string& text, const std::string& what);

// How the server program ended by itself: its exit status (-1 when it had not ended within
// the wait and was killed) and what it wrote on its standard output and error.
struct ProgramEnd {
  int status = -1;
  std::string output;
};

// Runs the server program with args alone and waits up to timeoutMs for it to end.
ProgramEnd RunProgramToItsEnd(const std::vector<std::string>& args, int timeoutMs = 10000);

// Milliseconds since start on the steady clock.
inline long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

// Waits up to timeoutMs, looking every 10 ms, until done() holds; returns its last answer.
bool WaitUntil(int timeoutMs, const std::function<bool()>& done);

// One server message as a client sees it.
struct Reply {
  uint8_t kind = 0;      // 0 when nothing whole came in time
  std::string bytes;     // text, disc list body, sector bytes, or the inflated run
  bool streamOk = true;  // for runs: the zlib stream inflated whole, to its last byte
  std::string stream;    // for runs: the zlib stream as it came
};

class TestClient final {
 public:
  // Connects to 127.0.0.1:port, from the loopback address source when one is given.
  explicit TestClient(uint16_t port, const char* source = nullptr);
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool Connected() const { return socket_ != korvane::test::sock::kNoSocket; }
  // Sends bytes in one call; false if the connection refuses them.
  bool Send(std::string_view bytes);
  // What one receive brings within timeoutMs (nothing on timeout or close), without
  // anything buffered by Next.
  std::string ReadSome(int timeoutMs = 2000);
  // The next whole message within timeoutMs; single sectors are sectorBytes long.
  Reply Next(size_t sectorBytes = 2048, int timeoutMs = 2000);
  // True when the server closes the connection within timeoutMs.
  bool ClosedWithin(int timeoutMs);
  // Logs in and reads the greeting, disc list and prompt; true when all three came.
  bool LogIn(std::string_view user = "alice", std::string_view password = "se:cret");
  // Logs in as LogIn does, then selects disc; true when the login went through.
  bool LogInTo(int disc);
  // Selects disc, its index in the list.
  void Select(int disc);
  // Sends a request for lsn in mode and returns the reply.
  Reply Request(int mode, uint32_t lsn, size_t sectorBytes = 2048);

 private:
  bool Fill(int timeoutMs);

  korvane::test::sock::Socket socket_ = korvane::test::sock::kNoSocket;
  std::string buffer_;
  bool closed_ = false;
};

// count clients from the loopback address source (127.0.0.1 when null), each having sent
// first when it is not empty.
std::vector<std::unique_ptr<TestClient>> Clients(uint16_t port, int count,
                                                 const char* source = nullptr,
                                                 std::string_view first = {});

// Serves a.iso (40 sectors of 2048 bytes) and b.bin (40 of 2352) to the user alice, whose
// password is "se:cret".
class ServerTest : public ::testing::Test {
 protected:
  ServerTest();
  // Starts a server on the folder, with tweak applied to its settings first.
  void Start(const std::function<void(ServerConfig&)>& tweak = {});

  ScratchFolder folder_;
  std::string iso_;
  std::string raw_;
  std::unique_ptr<DiscServer> server_;
  uint16_t port_ = 0;
};

// Starts the server program on 127.0.0.1, serving folder, with args after --folder and its
// environment plus env ("NAME=value"); with descriptors, under that limit (soft and hard, so
// that the program cannot raise it).
void StartServerProgram(load::ServerProcess& program, const std::string& folder,
                        std::vector<std::string> args, const std::vector<std::string>& env = {},
                        int descriptors = 0);

// The server program as a child process serving folder_, its messages at login
// messageGapMs apart.
class ProgramTest : public ::testing::Test {
 protected:
  explicit ProgramTest(int messageGapMs = 5) : messageGapMs_(messageGapMs) {}
  // StartServerProgram on folder_ into program_.
  void StartProgram(std::vector<std::string> args, const std::vector<std::string>& env = {},
                    int descriptors = 0);

  ScratchFolder folder_;
  load::ServerProcess program_;

 private:
  int messageGapMs_;
};

}  // namespace korvane::server::test
