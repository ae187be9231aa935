// Disc names from the server as file names: the cut at the last backslash, and names
// that must never reach outside the games folder.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "core/base/DiscName.h"
#include "core/link/Inflate.h"


namespace korvane {
namespace {

TEST(DiscName, OrdinaryNamesKeepTheirLastPathPart) {
  EXPECT_EQ(DiscFileName("game.iso"), "game.iso");
  EXPECT_EQ(DiscFileName("D:\\discs\\Game (EU).iso"), "Game (EU).iso");
  EXPECT_EQ(DiscFileName(""), "");
  EXPECT_EQ(DiscFileName("dir\\"), "");
  EXPECT_EQ(DiscFileName("..foo.iso"), "..foo.iso");
}

TEST(DiscName, NamesThatCouldLeaveTheGamesFolderAreMadeSafe) {
  EXPECT_EQ(DiscFileName("../../etc/passwd"), ".._.._etc_passwd");
  EXPECT_EQ(DiscFileName("x\\..\\C:evil"), "C_evil");
  EXPECT_EQ(DiscFileName("a:stream"), "a_stream");
  EXPECT_EQ(DiscFileName("CON"), "_CON");
  EXPECT_EQ(DiscFileName("nul.iso"), "_nul.iso");
  EXPECT_EQ(DiscFileName("Com7.bin"), "_Com7.bin");
  EXPECT_EQ(DiscFileName("COM0.bin"), "COM0.bin");
  EXPECT_EQ(DiscFileName("console.iso"), "console.iso");
  EXPECT_EQ(DiscFileName(std::string("a\x01?*|<>\"b", 9)), "a_______b");
  // Every device name, in any case; the last control byte goes, a blank stays.
  EXPECT_EQ(DiscFileName("aux.iso"), "_aux.iso");
  EXPECT_EQ(DiscFileName("PRN"), "_PRN");
  EXPECT_EQ(DiscFileName("Lpt1.bin"), "_Lpt1.bin");
  EXPECT_EQ(DiscFileName("a\x1f b.iso"), "a_ b.iso");
  EXPECT_EQ(SafeFileName("..\\x"), ".._x");
}

std::string Compressed(const std::string& payload) { return test::Deflated(payload, 9); }

TEST(Inflater, InflatesWithinTheBoundAndRefusesBombsAndDamage) {
  Inflater inflater;
  ByteBuffer out;
  std::string payload(100000, 'x');
  for (size_t i = 0; i < payload.size(); i += 7) payload[i] = static_cast<char>(i);
  std::string stream = Compressed(payload);
  ASSERT_EQ(inflater.Inflate(stream, 100000, out), Inflater::Result::kOk);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.Data()), out.Size()), payload);
  EXPECT_EQ(inflater.Inflate(stream, 99999, out), Inflater::Result::kTooLarge);
  // 64 MiB of zeros compress to about 64 KiB: refused at the bound, never held whole.
  std::string bomb = Compressed(std::string(64 << 20, '\0'));
  EXPECT_EQ(inflater.Inflate(bomb, 1 << 20, out), Inflater::Result::kTooLarge);
  EXPECT_LE(out.Capacity(), (size_t{1} << 20) + 1);
  EXPECT_EQ(inflater.Inflate(stream.substr(0, stream.size() - 3), 200000, out),
            Inflater::Result::kCorrupt);
  std::string damaged = stream;
  damaged[damaged.size() / 2] ^= 0x5A;
  EXPECT_NE(inflater.Inflate(damaged, 200000, out), Inflater::Result::kOk);
  EXPECT_EQ(inflater.Inflate("not zlib", 100, out), Inflater::Result::kCorrupt);
  ASSERT_EQ(inflater.Inflate(Compressed(""), 100, out), Inflater::Result::kOk);  // reusable
  EXPECT_TRUE(out.Empty());
}

}  // namespace
}  // namespace korvane
