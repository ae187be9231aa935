// libFuzzer targets for every parser of untrusted bytes on the plugin's side: the block
// cache index loader (fed in blocks cut where the input says, against byte by byte), the
// disc list reader, the sector reply reader (fed in batches cut where the input says), the
// dialog's batch reader, the news converter and the settings fields. The sector reply target
// drives the protocol library's stream reader with every kind of server message around
// replies. One program per target: KORVANE_FUZZ_TARGET names the function LLVMFuzzer calls.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "../support/ScriptedConnection.h"
#include "core/cache/MapFile.h"
#include "dialogs/DialogBatchReader.h"
#include "dialogs/NewsText.h"
#include "dialogs/SettingsFiles.h"
#include "protocol/ServerStream.h"

namespace {

std::string_view Bytes(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

bool Same(const korvane::CacheEntry& a, const korvane::CacheEntry& b) {
  return a.lsn == b.lsn && a.mode == b.mode && a.offset == b.offset;
}

// The input's first byte says how many cuts (0 to 7) split the rest into batches; the
// bytes after it place each cut, as a fraction of what is left, so a message can arrive
// whole, in two, or spread thinly over many batches.
void FeedInBatches(std::string_view input, const std::function<void(std::string_view)>& feed) {
  if (input.empty()) return;
  size_t cuts = static_cast<unsigned char>(input[0]) % 8;
  cuts = cuts < input.size() - 1 ? cuts : input.size() - 1;
  std::string_view places = input.substr(1, cuts);
  std::string_view rest = input.substr(1 + cuts);
  for (char place : places) {
    const size_t cut = rest.size() * static_cast<unsigned char>(place) / 255;
    feed(rest.substr(0, cut));
    rest.remove_prefix(cut);
  }
  feed(rest);
}

// The loader's way (blocks cut where the input says, staged into the index, then added
// with some dropped) against byte by byte and Add: the same lines, the same entries found.
void FuzzMapFile(std::string_view input) {
  korvane::MapParser blocks;
  korvane::CacheIndex staged;
  std::string bytes;
  size_t blockBad = 0;
  FeedInBatches(input, [&](std::string_view part) {
    bytes.append(part);
    blockBad += blocks.Feed(part.data(), part.size(),
                            [&](const korvane::CacheEntry& entry) { staged.Stage(entry); });
  });
  korvane::MapParser single;
  korvane::CacheIndex added;
  std::vector<bool> keep(staged.StagedCount());
  size_t lines = 0, singleBad = 0;
  for (char c : bytes) {
    const korvane::MapParser::Step step = single.Feed(c);
    if (step == korvane::MapParser::Step::kBad) ++singleBad;
    if (step != korvane::MapParser::Step::kComplete) continue;
    const korvane::CacheEntry& e = single.Entry();
    if (lines >= keep.size() || !Same(staged.Staged(lines), e)) __builtin_trap();
    keep[lines] = e.offset % 3 != 0;
    if (keep[lines++]) added.Add(e);
  }
  if (lines != keep.size() || singleBad != blockBad || single.InLine() != blocks.InLine()) {
    __builtin_trap();
  }
  if (staged.AddStaged(keep) != added.Count() || staged.Count() != added.Count()) {
    __builtin_trap();
  }
  for (size_t n = 1; n <= added.Count(); ++n) {
    const korvane::CacheEntry& e = added.At(n);
    if (!Same(staged.At(n), e) || staged.Find(e.lsn, e.mode) != added.Find(e.lsn, e.mode)) {
      __builtin_trap();
    }
  }
}

void FuzzDiscList(std::string_view input) {
  korvane::wire::DiscListReader reader;
  std::string first = "\x02,";
  bool open = true;
  FeedInBatches(input, [&](std::string_view part) {
    if (!open) return;
    size_t used = 0;
    std::string batch = first + std::string(part);
    first.clear();
    open = reader.Feed(batch, used) == korvane::wire::DiscListReader::Status::kNeedMore;
    if (used > batch.size()) __builtin_trap();
  });
}

void FuzzSectorReply(std::string_view input) {
  if (input.size() < 2) return;
  korvane::ServerStream stream;
  const auto flags = static_cast<unsigned char>(input[0]);
  const int32_t mode = flags % 6;
  stream.SetRules(static_cast<korvane::ServerStream::Rules>((flags >> 6) % 3));
  stream.AwaitReply(mode);
  FeedInBatches(input.substr(1), [&](std::string_view part) {
    while (!part.empty()) {
      size_t limit = 0;
      std::string& intake = stream.Intake(limit);
      if (limit == 0) __builtin_trap();  // an intake that takes nothing would stall a reader
      size_t take = part.size() < limit ? part.size() : limit;
      intake.append(part.substr(0, take));
      part.remove_prefix(take);
      if (stream.MayEndShort() && (flags & 0x20)) stream.EndShort();
      for (auto m = stream.Next(); m.kind != korvane::ServerStream::Kind::kNothing;
           m = stream.Next()) {
        if (m.kind == korvane::ServerStream::Kind::kSector && stream.Reply().size() > 2352) {
          __builtin_trap();
        }
        if (m.kind == korvane::ServerStream::Kind::kSector ||
            m.kind == korvane::ServerStream::Kind::kRun) {
          stream.AwaitReply(mode);
        }
      }
    }
  });
}

class NullSink final : public korvane::DialogBatchSink {
 public:
  void OnServerText(std::string_view) override {}
  void OnDiscName(const std::string&) override {}
  void OnDiscListEnd() override {}
  void OnListError(const std::string&) override {}
  void OnListDropped(const std::string&) override {}
};

void FuzzDialogBatch(std::string_view input) {
  korvane::test::ScriptedConnection connection;
  korvane::DialogBatchReader reader;
  NullSink sink;
  FeedInBatches(input, [&](std::string_view part) {
    connection.Script(std::string(part));
    reader.Receive(connection, sink);
  });
  reader.Closed(sink);
}

void FuzzNews(std::string_view input) {
  korvane::ConvertNewsBatch(std::string(input));
}

void FuzzSettings(std::string_view input) {
  korvane::SplitCommaFields(std::string(input), korvane::kSettingsFields);
  korvane::SplitCommaFields(std::string(input));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KORVANE_FUZZ_TARGET(Bytes(data, size));
  return 0;
}
