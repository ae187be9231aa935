// Images, a test client and the running-server fixture of the disc server tests.
#include "ServerTestSupport.h"

#include <sys/wait.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "ChildProcess.h"
#include "protocol/ClientMessages.h"

namespace korvane::server::test {
namespace {

using Clock = std::chrono::steady_clock;

bool Inflate(std::string_view stream, std::string& out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  int result = Z_OK;
  char chunk[16384];
  while (result == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    result = inflate(&z, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - z.avail_out);
  }
  const bool whole = result == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return whole;
}

// The length of the message at the front of data, 0 while it is incomplete; decodes it.
size_t Decode(std::string_view data, size_t sectorBytes, Reply& reply) {
  if (data.empty()) return 0;
  reply.kind = static_cast<uint8_t>(data[0]);
  if (reply.kind == 1) {
    for (size_t i = 1; i < data.size(); ++i) {
      if (static_cast<uint8_t>(data[i]) > 0x0A) continue;
      reply.bytes = data.substr(1, i - 1);
      return i + 1;
    }
    return 0;
  }
  if (reply.kind == 4) {
    if (data.size() < 1 + sectorBytes) return 0;
    reply.bytes = data.substr(1, sectorBytes);
    return 1 + sectorBytes;
  }
  if (reply.kind != 2 && reply.kind != 5) return 1;
  // A list and a run carry a decimal length, then a separator, then that many bytes.
  const size_t digits = reply.kind == 2 ? 2 : 1;
  size_t end = digits;
  while (end < data.size() && data[end] >= '0' && data[end] <= '9') ++end;
  if (end == digits || end >= data.size()) return 0;
  const size_t length = std::stoul(std::string(data.substr(digits, end - digits)));
  if (data.size() < end + 1 + length) return 0;
  const std::string_view body = data.substr(end + 1, length);
  if (reply.kind == 5) {
    reply.stream = body;
    reply.streamOk = Inflate(body, reply.bytes);
  } else {
    reply.bytes = body;
  }
  return end + 1 + length;
}

}  // namespace

std::string PatternImage(uint32_t sectors, size_t sectorSize) {
  static const uint8_t kSync[12] = {0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  std::string image(sectors * sectorSize, '\0');
  for (size_t i = 0; i < image.size(); ++i) {
    const size_t lsn = i / sectorSize, at = i % sectorSize;
    image[i] =
        static_cast<char>(sectorSize == 2352 && at < 12 ? kSync[at] : lsn * 37 + at * 11 + 1);
  }
  return image;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string SlowToCompressImage(uint32_t plainSectors, uint32_t slowSectors) {
  std::string image = PatternImage(plainSectors, 2048);
  std::mt19937 random(17);
  for (size_t i = 0; i < size_t{slowSectors} * 2048; ++i)
    image.push_back((random() & 1) ? 'a' : 'b');
  return image;
}

std::string ExpectedSectors(const std::string& image, bool raw, int mode, uint32_t lsn,
                            uint32_t count) {
  const size_t stride = mode == 3 && !raw ? 2048 : 2352;
  const size_t skip = mode == 1 ? 12 : mode == 3 && raw ? 24 : 0;
  const size_t size = mode == 0 ? 2352 : mode == 1 ? 2340 : 2048;
  std::string out;
  for (uint32_t i = 0; i < count; ++i) out += image.substr((lsn + i) * stride + skip, size);
  return out;
}

ProgramEnd RunProgramToItsEnd(const std::vector<std::string>& args, int timeoutMs) {
  ScratchFolder scratch;
  const std::string outputFile = scratch.PathOf("output.txt");
  korvane::test::ChildProcess program;
  ProgramEnd end;
  if (!program.Start(KORVANE_SERVER_PROGRAM, args, outputFile)) return end;
  int status = 0;
  if (!program.Wait(timeoutMs, status)) {
    program.Kill();
  } else if (WIFEXITED(status)) {
    end.status = WEXITSTATUS(status);
  }
  end.output = korvane::test::ReadWholeFile(outputFile);
  return end;
}

bool WaitUntil(int timeoutMs, const std::function<bool()>& done) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

TestClient::TestClient(uint16_t port, const char* source)
    : socket_(korvane::test::sock::Connect(port, source)) {}

TestClient::~TestClient() {
  korvane::test::sock::Close(socket_);
}

bool TestClient::Send(std::string_view bytes) {
  return Connected() && korvane::test::sock::SendAll(socket_, bytes.data(), bytes.size());
}

bool TestClient::Fill(int timeoutMs) {
  if (!Connected() || closed_) return false;
  char chunk[65536];
  const int got = korvane::test::sock::Receive(socket_, chunk, sizeof chunk, timeoutMs);
  if (got == korvane::test::sock::kTimedOut) return false;
  if (got <= 0) {
    closed_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<size_t>(got));
  return true;
}

std::string TestClient::ReadSome(int timeoutMs) {
  std::string bytes;
  if (Fill(timeoutMs)) bytes.swap(buffer_);
  return bytes;
}

Reply TestClient::Next(size_t sectorBytes, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Reply reply;
    if (const size_t used = Decode(buffer_, sectorBytes, reply)) {
      buffer_.erase(0, used);
      return reply;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !Fill(static_cast<int>(left.count()))) return Reply{};
  }
}

bool TestClient::ClosedWithin(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!closed_ && Clock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    Fill(static_cast<int>(std::max<int64_t>(1, left.count())));
  }
  return closed_;
}

bool TestClient::LogIn(std::string_view user, std::string_view password) {
  Send(korvane::wire::BuildLogin(user, password));
  return Next().kind == 1 && Next().kind == 2 && Next().kind == 6;
}

bool TestClient::LogInTo(int disc) {
  if (!LogIn()) return false;
  Select(disc);
  return true;
}

void TestClient::Select(int disc) {
  Send(korvane::wire::BuildDiscSelection(disc));
}

Reply TestClient::Request(int mode, uint32_t lsn, size_t sectorBytes) {
  Send(korvane::wire::BuildSectorRequest(mode, lsn));
  return Next(sectorBytes);
}

std::vector<std::unique_ptr<TestClient>> Clients(uint16_t port, int count, const char* source,
                                                 std::string_view first) {
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<TestClient>(port, source));
    if (!first.empty()) clients.back()->Send(first);
  }
  return clients;
}

ServerTest::ServerTest() : iso_(PatternImage(40, 2048)), raw_(PatternImage(40, 2352)) {
  folder_.Write("a.iso", iso_);
  folder_.Write("b.bin", raw_);
  folder_.Write("accounts.txt", "# test logins\nalice:se:cret\n");
}

void ServerTest::Start(const std::function<void(ServerConfig&)>& tweak) {
  ServerConfig config;
  config.folder = folder_.Path().string();
  config.bindAddress = "127.0.0.1";
  config.port = 0;
  config.accountsFile = folder_.PathOf("accounts.txt");
  config.messageGapMs = 20;
  config.threads = 2;
  config.quiet = true;
  if (tweak) tweak(config);
  server_ = std::make_unique<DiscServer>(config);
  std::string error;
  ASSERT_TRUE(server_->Start(error)) << error;
  port_ = server_->Port();
}

void StartServerProgram(load::ServerProcess& program, const std::string& folder,
                        std::vector<std::string> args, const std::vector<std::string>& env,
                        int descriptors) {
  args.insert(args.begin(), {"--folder", folder});
  std::string path = KORVANE_SERVER_PROGRAM;
  if (descriptors > 0) {
    const std::string limit = "ulimit -n " + std::to_string(descriptors);
    args.insert(args.begin(), {"-c", limit + " && exec \"$0\" \"$@\"", path});
    path = "/bin/sh";
  }
  std::string error;
  ASSERT_TRUE(program.Start(path, args, env, error)) << error;
}

void ProgramTest::StartProgram(std::vector<std::string> args, const std::vector<std::string>& env,
                               int descriptors) {
  args.insert(args.begin(), {"--message-gap-ms", std::to_string(messageGapMs_)});
  StartServerProgram(program_, folder_.Path().string(), std::move(args), env, descriptors);
}

}  // namespace korvane::server::test
