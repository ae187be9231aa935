// The local image source: sector size detection, every served mode on 2048- and 2352-byte
// images, the read-ahead window's fill and hit rules, and reads that cannot be completed.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "TestSupport.h"
#include "core/source/ImageDetect.h"
#include "core/Plugin.h"

namespace korvane {
namespace {

using test::PatternSector;

class ImageSourceTest : public ::testing::Test {
 protected:
  void OpenImage(const std::string& path) {
    plugin_->State().LocalImagePath = path;
    plugin_->Open();
  }
  std::vector<uint8_t> Buffer(size_t count) {
    const uint8_t* data = plugin_->State().SectorBuffer.Data();
    return std::vector<uint8_t>(data, data + count);
  }
  ReadAheadWindow& Window() { return plugin_->Image().Window(); }

  test::ScratchFolder folder_;
  test::CapturedTrace trace_;
  std::unique_ptr<Plugin> plugin_ = std::make_unique<Plugin>(trace_);
};

TEST_F(ImageSourceTest, DetectsSectorSizeFromBytesZeroOneAndTen) {
  SectorBytes buffer;
  Trace trace(trace_, plugin_->State().DebugTrace);
  std::string raw = folder_.MakeImage("raw.bin", 2, 2352);
  EXPECT_EQ(CDVDDetectIsoType(raw, buffer, trace), 2352);
  EXPECT_EQ(0, std::memcmp(buffer.Data(), PatternSector(0, 2352).data(), 11));
  EXPECT_EQ(trace_.Text(), "KorvaneCDVD OutPut: CDVDDetectIsoType Called and returned 2352\r\n");

  // Only bytes 0, 1 and 10 count: the other sync bytes may differ.
  std::vector<uint8_t> loose(64, 0x11);
  loose[0] = 0x00;
  loose[1] = 0xFF;
  loose[10] = 0xFF;
  EXPECT_EQ(CDVDDetectIsoType(folder_.MakeFile("loose.bin", loose), buffer, trace), 2352);
  EXPECT_EQ(buffer.Data()[5], 0x11);

  std::string iso = folder_.MakeFile("zero.iso", std::vector<uint8_t>(2048 * 4, 0));
  EXPECT_EQ(CDVDDetectIsoType(iso, buffer, trace), 2048);
  EXPECT_EQ(0, std::memcmp(buffer.Data(), std::vector<uint8_t>(11, 0).data(), 11));
}

TEST_F(ImageSourceTest, DetectionOfUnreadableOrShortFileTestsTheBufferAsItIs) {
  SectorBytes buffer;
  Trace trace(trace_, plugin_->State().DebugTrace);
  std::vector<uint8_t> sync = PatternSector(0, 2352);
  buffer.Write(0, sync.data(), 11);
  EXPECT_EQ(CDVDDetectIsoType(folder_.PathOf("missing.iso"), buffer, trace), 2352);
  // Three bytes replace the first three; byte 10 still holds 0xFF from before.
  EXPECT_EQ(CDVDDetectIsoType(folder_.MakeFile("short.bin", {0x00, 0xFF, 0x42}), buffer, trace),
            2352);
  EXPECT_EQ(buffer.Data()[2], 0x42);
}

TEST_F(ImageSourceTest, ServesEveryModeFromA2048ByteImage) {
  OpenImage(folder_.MakeImage("game.iso", 400, 2048));
  EXPECT_EQ(plugin_->Image().SectorSize(), 2048);
  ASSERT_EQ(plugin_->ReadTrack(20, kModeData2048), 0);
  EXPECT_EQ(Buffer(2048), PatternSector(20, 2048));

  // Modes 0 and 1 address the file as 2352-byte sectors whatever the image holds.
  std::vector<uint8_t> file;
  for (uint32_t lsn = 0; lsn < 12; ++lsn) {
    auto sector = PatternSector(lsn, 2048);
    file.insert(file.end(), sector.begin(), sector.end());
  }
  ASSERT_EQ(plugin_->ReadTrack(3, kModeRaw2352), 0);
  EXPECT_EQ(Buffer(2352), std::vector<uint8_t>(file.begin() + 3 * 2352, file.begin() + 4 * 2352));
  ASSERT_EQ(plugin_->ReadTrack(3, kModeRaw2340), 0);
  EXPECT_EQ(Buffer(2340),
            std::vector<uint8_t>(file.begin() + 3 * 2352 + 12, file.begin() + 4 * 2352));
}

TEST_F(ImageSourceTest, ServesEveryModeFromA2352ByteImage) {
  OpenImage(folder_.MakeImage("game.bin", 300, 2352));
  EXPECT_EQ(plugin_->Image().SectorSize(), 2352);
  auto sector = PatternSector(77, 2352);
  ASSERT_EQ(plugin_->ReadTrack(77, kModeRaw2352), 0);
  EXPECT_EQ(Buffer(2352), sector);
  ASSERT_EQ(plugin_->ReadTrack(77, kModeRaw2340), 0);
  EXPECT_EQ(Buffer(2340), std::vector<uint8_t>(sector.begin() + 12, sector.end()));
  ASSERT_EQ(plugin_->ReadTrack(77, kModeData2048), 0);
  EXPECT_EQ(Buffer(2048), std::vector<uint8_t>(sector.begin() + 24, sector.begin() + 24 + 2048));
}

TEST_F(ImageSourceTest, BytesPastTheModesCountKeepWhatTheBufferHeldBeforeTheFill) {
  OpenImage(folder_.MakeImage("game.bin", 300, 2352));
  SectorBytes& buffer = plugin_->State().SectorBuffer;
  std::vector<uint8_t> marker(2352, 0xA5);
  buffer.Write(0, marker.data(), marker.size());
  ASSERT_EQ(plugin_->ReadTrack(10, kModeRaw2340), 0);
  EXPECT_EQ(std::vector<uint8_t>(buffer.Data() + 2340, buffer.Data() + 2352),
            std::vector<uint8_t>(12, 0xA5));

  // A hit serves the slot's whole image, tail included, even after other bytes were written.
  std::vector<uint8_t> other(2352, 0x3C);
  buffer.Write(0, other.data(), other.size());
  ASSERT_EQ(plugin_->ReadTrack(11, kModeRaw2340), 0);
  EXPECT_EQ(std::vector<uint8_t>(buffer.Data() + 2340, buffer.Data() + 2352),
            std::vector<uint8_t>(12, 0xA5));
  auto sector = PatternSector(11, 2352);
  EXPECT_EQ(Buffer(2340), std::vector<uint8_t>(sector.begin() + 12, sector.end()));

  buffer.Write(0, other.data(), other.size());
  ASSERT_EQ(plugin_->ReadTrack(10, kModeData2048), 0);  // another mode: a new fill
  EXPECT_EQ(std::vector<uint8_t>(buffer.Data() + 2048, buffer.Data() + 2352),
            std::vector<uint8_t>(304, 0x3C));
}

TEST_F(ImageSourceTest, WindowHoldsTwoHundredAndOneSectorsFromTheRequestOn) {
  OpenImage(folder_.MakeImage("game.iso", 600, 2048));
  ASSERT_EQ(plugin_->ReadTrack(16, kModeData2048), 0);
  EXPECT_EQ(Window().FillCount(), 1u);
  EXPECT_EQ(Window().StartLsn(), 16u);
  EXPECT_EQ(Window().ValidSlots(), 201u);

  for (uint32_t lsn : {216u, 17u, 100u, 16u}) {  // every sector in the window is a hit
    ASSERT_EQ(plugin_->ReadTrack(lsn, kModeData2048), 0);
    EXPECT_EQ(Buffer(2048), PatternSector(lsn, 2048)) << lsn;
    EXPECT_EQ(Window().ReadAheadCursor, static_cast<int32_t>(lsn - 16));
  }
  EXPECT_EQ(Window().FillCount(), 1u);

  ASSERT_EQ(plugin_->ReadTrack(217, kModeData2048), 0);  // one past the end refills
  EXPECT_EQ(Window().FillCount(), 2u);
  EXPECT_EQ(Window().StartLsn(), 217u);
  ASSERT_EQ(plugin_->ReadTrack(216, kModeData2048), 0);  // below the start refills
  EXPECT_EQ(Window().StartLsn(), 216u);
  ASSERT_EQ(plugin_->ReadTrack(216, kModeRaw2352), 0);  // another mode refills
  EXPECT_EQ(Window().FillCount(), 4u);
  EXPECT_EQ(Window().Mode(), kModeRaw2352);
}

TEST_F(ImageSourceTest, FirstReadAfterLoadIsAMiss) {
  OpenImage(folder_.MakeImage("game.bin", 4, 2352));
  EXPECT_EQ(Window().FindReadAheadSlot(0, kModeRaw2352), -1);
  ASSERT_EQ(plugin_->ReadTrack(0, kModeRaw2352), 0);
  EXPECT_EQ(Window().FillCount(), 1u);
  EXPECT_EQ(Buffer(2352), PatternSector(0, 2352));
}

TEST_F(ImageSourceTest, SectorsPastTheEndOfTheImageFailAndAreNeverServed) {
  OpenImage(folder_.MakeImage("game.iso", 50, 2048));
  ASSERT_EQ(plugin_->ReadTrack(40, kModeData2048), 0);
  EXPECT_EQ(Window().ValidSlots(), 10u);
  ASSERT_EQ(plugin_->ReadTrack(49, kModeData2048), 0);
  EXPECT_EQ(Buffer(2048), PatternSector(49, 2048));

  std::vector<uint8_t> before = Buffer(2352);
  EXPECT_EQ(plugin_->ReadTrack(50, kModeData2048), -1);
  EXPECT_EQ(Buffer(2352), before);
  EXPECT_EQ(plugin_->ReadTrack(4000000000u, kModeData2048), -1);
  EXPECT_EQ(Buffer(2352), before);
  EXPECT_NE(plugin_->GetBuffer(), nullptr);  // the last good sector is still handed out
}

TEST_F(ImageSourceTest, SectorCutShortByTheEndOfFileFails) {
  auto full = PatternSector(0, 2352);
  std::vector<uint8_t> bytes(full.begin(), full.end());
  bytes.resize(2352 + 1000, 0x77);  // a second sector of only 1000 bytes
  OpenImage(folder_.MakeFile("cut.bin", bytes));
  ASSERT_EQ(plugin_->ReadTrack(0, kModeRaw2352), 0);
  EXPECT_EQ(Window().ValidSlots(), 1u);
  EXPECT_EQ(plugin_->ReadTrack(1, kModeRaw2352), -1);
  EXPECT_EQ(Buffer(2352), full);
}

TEST_F(ImageSourceTest, ReadWithNoImageOpenFails) {
  std::string path = folder_.MakeImage("game.iso", 8, 2048);
  plugin_->State().LocalImagePath = path;  // configured, but CDVDopen never ran
  EXPECT_EQ(plugin_->ReadTrack(0, kModeData2048), -1);
  plugin_->Open();
  plugin_->Close();
  EXPECT_EQ(plugin_->ReadTrack(0, kModeData2048), -1);
}

TEST_F(ImageSourceTest, AddressesSectorsBeyondFourGibibytes) {
  std::string path = folder_.MakeImage("big.bin", 1, 2352);
  constexpr uint32_t kLsn = 3000000;
  std::filesystem::resize_file(path, uint64_t{kLsn + 2} * 2352);
  test::WriteAt(path, uint64_t{kLsn} * 2352, PatternSector(kLsn, 2352));
  OpenImage(path);
  ASSERT_EQ(plugin_->ReadTrack(kLsn, kModeData2048), 0);
  auto sector = PatternSector(kLsn, 2352);
  // Byte 7,056,000,024 of the file.
  EXPECT_EQ(Buffer(2048), std::vector<uint8_t>(sector.begin() + 24, sector.begin() + 24 + 2048));
  ASSERT_EQ(plugin_->ReadTrack(kLsn, kModeRaw2352), 0);
  EXPECT_EQ(Buffer(2352), sector);
  EXPECT_EQ(Window().ValidSlots(), 2u);
}

TEST_F(ImageSourceTest, OpeningAnotherImageNeverServesSectorsOfTheFirst) {
  std::string first = folder_.MakeImage("a.iso", 300, 2048);
  std::vector<uint8_t> other(2048 * 300, 0xEE);
  std::string second = folder_.MakeFile("b.iso", other);
  OpenImage(first);
  ASSERT_EQ(plugin_->ReadTrack(0, kModeData2048), 0);
  OpenImage(second);  // no CDVDclose in between
  EXPECT_FALSE(plugin_->Image().HoldsOpen(first));
  ASSERT_EQ(plugin_->ReadTrack(1, kModeData2048), 0);
  EXPECT_EQ(Buffer(2048), std::vector<uint8_t>(2048, 0xEE));
  EXPECT_EQ(Window().FillCount(), 2u);
}

TEST_F(ImageSourceTest, ReopeningTheSameImageWithoutCloseWorks) {
  // The image is held without sharing: detection and the new open succeed only because
  // the earlier handle is closed first.
  std::string path = folder_.MakeImage("game.bin", 8, 2352);
  OpenImage(path);
  OpenImage(path);
  EXPECT_EQ(plugin_->Image().SectorSize(), 2352);
  ASSERT_EQ(plugin_->ReadTrack(5, kModeRaw2352), 0);
  EXPECT_EQ(Buffer(2352), PatternSector(5, 2352));
}

}  // namespace
}  // namespace korvane
