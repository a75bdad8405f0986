// The machinery of the fuzz targets: the sparse volume input reads as the volume it stands for, the
// structure-aware mutator keeps an input's layout and hands the parser records whose fix-ups hold,
// the cross-over moves whole records, and the peer of the wire targets delivers its input and then
// the end of the stream while it drains what comes back.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_volume.h"
#include "fuzz/volume_mutator.h"
#include "ntfs/file_record.h"
#include "ntfs/layout.h"
#include "ntfs/ntfs_volume.h"
#include "tests/support/test_volume.h"

// libFuzzer's byte mutation, which the mutator uses on small windows: here it flips one bit.
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t) {
  if (size != 0) data[size / 2] ^= 0x10;
  return size;
}

namespace {

using ostrin::fuzz::CFuzzVolumeSource;
using ostrin::fuzz::CFuzzVolumeWriter;
using ostrin::fuzz::SParsedVolume;

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::string Read(const CFuzzVolumeSource& source, uint64_t offset, size_t length) {
  std::string out(length, '?');
  size_t got = 0;
  EXPECT_TRUE(source.ReadAt(offset, out.data(), length, &got));
  out.resize(got);
  return out;
}

TEST(FuzzVolumeTest, ReadsExtentsOverZeros) {
  CFuzzVolumeWriter writer(20);
  writer.AddExtent(0, Bytes("AB").data(), 2);
  writer.AddExtent(10, Bytes("CDEF").data(), 4);
  writer.AddExtent(12, Bytes("xy").data(), 2);  // the later extent counts where they overlap
  std::vector<uint8_t> input = writer.Bytes();
  // The last extent claims 5 bytes and has 3: it keeps the 3.
  const std::vector<uint8_t> cut{17, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 'u', 'v', 'w'};
  input.insert(input.end(), cut.begin(), cut.end());
  SParsedVolume parsed;
  ASSERT_TRUE(ostrin::fuzz::ParseFuzzVolume(input.data(), input.size(), &parsed));
  const CFuzzVolumeSource source(parsed);
  const struct {
    uint64_t offset;
    size_t length;
    std::string bytes;
  } reads[] = {
      {0, 4, std::string("AB\0\0", 4)},
      {9, 6, std::string("\0CDxy\0", 6)},
      {16, 4, std::string("\0uvw", 4)},
      {18, 10, std::string("vw", 2)},  // the volume ends at 20
      {20, 4, std::string()},
      {~uint64_t{0} - 1, 4, std::string()},
  };
  for (const auto& read : reads) EXPECT_EQ(Read(source, read.offset, read.length), read.bytes) << read.offset;
  SParsedVolume tooShort;
  EXPECT_FALSE(ostrin::fuzz::ParseFuzzVolume(input.data(), 7, &tooShort));
}

// The whole-volume seed of a made volume, with the geometry to find its records.
struct SSeed {
  std::vector<uint8_t> bytes;
  uint64_t mftOffset = 0;
  uint32_t recordSize = 0;
  uint64_t records = 0;
};

SSeed MadeSeed(const std::string& manifest) {
  const ostrin::test::STestVolume made = ostrin::test::MakeTestVolume(manifest);
  CNTFSVolume volume;
  volume.OpenPath(made.image);
  SSeed seed;
  seed.bytes = ostrin::fuzz::MakeVolumeSeed(made.image);
  seed.mftOffset = volume.MftOffset();
  seed.recordSize = volume.FileRecordSize();
  seed.records = volume.MftRecordCount();
  return seed;
}

// The extents' places in the input: what the mutator must never move.
std::vector<std::pair<uint64_t, size_t>> Layout(const std::vector<uint8_t>& input) {
  SParsedVolume parsed;
  EXPECT_TRUE(ostrin::fuzz::ParseFuzzVolume(input.data(), input.size(), &parsed));
  std::vector<std::pair<uint64_t, size_t>> layout;
  for (const auto& extent : parsed.extents) layout.emplace_back(extent.offset, extent.inputOffset);
  return layout;
}

// The bytes of the MFT's records (the MFT of the made volumes is in one run), whatever volume size
// the input claims.
std::vector<std::vector<uint8_t>> Records(const SSeed& seed, const std::vector<uint8_t>& input) {
  SParsedVolume parsed;
  ostrin::fuzz::ParseFuzzVolume(input.data(), input.size(), &parsed);
  parsed.size = ~uint64_t{0};
  const CFuzzVolumeSource source(parsed);
  std::vector<std::vector<uint8_t>> records(seed.records, std::vector<uint8_t>(seed.recordSize));
  for (uint64_t i = 0; i < seed.records; ++i) {
    size_t got = 0;
    source.ReadAt(seed.mftOffset + i * seed.recordSize, records[i].data(), seed.recordSize, &got);
  }
  return records;
}

TEST(VolumeMutatorTest, KeepsTheLayoutAndReappliesFixups) {
  const SSeed seed = MadeSeed("links-and-names");
  CNTFSVolume volume;  // only for its record size: ApplyFixups checks against it
  volume.OpenSource(std::make_shared<CFuzzVolumeSource>([&] {
    SParsedVolume parsed;
    ostrin::fuzz::ParseFuzzVolume(seed.bytes.data(), seed.bytes.size(), &parsed);
    return parsed;
  }()));
  const std::vector<std::vector<uint8_t>> original = Records(seed, seed.bytes);
  constexpr unsigned CALLS = 600;
  size_t unchanged = 0, recordsChanged = 0, fixupsHold = 0, multiRecord = 0;
  for (unsigned call = 1; call <= CALLS; ++call) {
    std::vector<uint8_t> input = seed.bytes;
    ASSERT_EQ(ostrin::fuzz::MutateVolume(input.data(), input.size(), input.size(), call, ostrin::fuzz::EMutationFocus::Scan),
              seed.bytes.size());
    ASSERT_EQ(Layout(input), Layout(seed.bytes));
    if (input == seed.bytes) ++unchanged;
    size_t changedHere = 0;
    std::vector<std::vector<uint8_t>> records = Records(seed, input);
    for (uint64_t i = 0; i < seed.records; ++i) {
      if (records[i] == original[i]) continue;
      ++changedHere;
      ++recordsChanged;
      CFileRecord parser(&volume);
      if (std::memcmp(records[i].data(), FILE_RECORD_SIGNATURE, 4) == 0 && parser.ApplyFixups(records[i].data())) ++fixupsHold;

    }
    if (changedHere >= 2) ++multiRecord;
  }
  // Nearly every call changes something; a good share changes several records at once; and the
  // records it changes mostly pass the update-sequence check (all but the few torn on purpose and
  // those whose header itself was changed).
  EXPECT_LT(unchanged, CALLS / 20);
  EXPECT_GT(multiRecord, CALLS / 10);
  EXPECT_GT(fixupsHold, recordsChanged * 8 / 10);
  EXPECT_LT(fixupsHold, recordsChanged);
  std::printf("%u calls: %zu left the input unchanged, %zu changed two records or more; %zu of %zu changed records pass the "
              "update-sequence check\n", CALLS, unchanged, multiRecord, fixupsHold, recordsChanged);
}

TEST(VolumeMutatorTest, CrossOverTakesWholeRecordsOfTheOther) {
  const SSeed seed = MadeSeed("links-and-names");
  std::vector<uint8_t> other = seed.bytes;
  // Every record of the other input differs from the first in its last byte before the first
  // protected word, so any record taken over shows whole.
  for (uint64_t i = 0; i < seed.records; ++i) {
    size_t length = seed.recordSize;
    SParsedVolume parsed;
    ostrin::fuzz::ParseFuzzVolume(other.data(), other.size(), &parsed);
    for (const auto& extent : parsed.extents) {
      const uint64_t at = seed.mftOffset + i * seed.recordSize;
      if (at >= extent.offset && at - extent.offset + length <= extent.length) {
        other[extent.inputOffset + (at - extent.offset) + UPDATE_SEQUENCE_STRIDE - 3] ^= 0xFF;
      }
    }
  }
  const std::vector<std::vector<uint8_t>> mine = Records(seed, seed.bytes);
  const std::vector<std::vector<uint8_t>> theirs = Records(seed, other);
  size_t taken = 0;
  for (unsigned call = 1; call <= 50; ++call) {
    std::vector<uint8_t> out(seed.bytes.size());
    ASSERT_EQ(ostrin::fuzz::CrossOverVolumes(seed.bytes.data(), seed.bytes.size(), other.data(), other.size(), out.data(),
                                             out.size(), call),
              seed.bytes.size());
    ASSERT_EQ(Layout(out), Layout(seed.bytes));
    const std::vector<std::vector<uint8_t>> records = Records(seed, out);
    for (uint64_t i = 0; i < seed.records; ++i) {
      ASSERT_TRUE(records[i] == mine[i] || records[i] == theirs[i]) << "record " << i << " is a mix";
      if (records[i] == theirs[i] && mine[i] != theirs[i]) ++taken;
    }
  }
  EXPECT_GT(taken, 0u);
}

TEST(PeerPairTest, DeliversTheInputThenTheEndAndDrainsWhatComesBack) {
  for (const size_t size : {size_t{0}, size_t{5}, size_t{300000}}) {
    std::vector<uint8_t> input(size);
    for (size_t i = 0; i < size; ++i) input[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> received;
    size_t sent = 0;
    {
      ostrin::fuzz::CPeerPair peer(input.data(), input.size());
      const int ours = static_cast<int>(peer.Ours());
      // Answer far more than a socket buffer holds before reading anything: the peer must drain.
      const std::vector<uint8_t> answer(1 << 20, 0xAB);
      while (sent < answer.size()) {
        const ssize_t n = ::send(ours, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        sent += static_cast<size_t>(n);
      }
      uint8_t buffer[4096];
      for (ssize_t n; (n = ::recv(ours, buffer, sizeof buffer, 0)) > 0;) received.insert(received.end(), buffer, buffer + n);
      ::close(ours);
      EXPECT_EQ(received, input) << size;
      EXPECT_EQ(peer.WaitForEnd(), answer.size());
    }
  }
}

}  // namespace
