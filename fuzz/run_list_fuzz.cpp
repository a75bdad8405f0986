// libFuzzer target: run lists. One non-resident attribute (and, when the input holds a second one
// after it, a further extent of the same value) is decoded against one of the made volumes, held in
// memory; then its value is read where the input says, cluster runs are read directly, and the
// second extent is appended to the first.
//
// Input: u8 volume selector, u8 number of reads (low 3 bits), that many reads (u64 offset, u32
// length), then the attribute bytes as they stand in a record.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/byte_order.h"
#include "fuzz/fuzz_support.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/layout.h"

namespace {

constexpr size_t READ_SIZE = 12;
constexpr uint32_t MAX_READ = 128 * 1024;
constexpr uint32_t MAX_RUN_CLUSTERS = 16;

// The attribute at the start of bytes, copied into a buffer of exactly its length (so that a read
// past it is caught), when its length fits and it is well formed, as a record's walk demands.
std::unique_ptr<uint8_t[]> TakeAttribute(const uint8_t* bytes, size_t available, uint32_t* length) {
  if (available < sizeof(ATTRIBUTE_HEADER)) return nullptr;
  *length = READ_FIELD(ATTRIBUTE_HEADER, length, bytes);
  if (*length > available || !CAttrBase::IsWellFormed(bytes, *length)) return nullptr;
  auto copy = std::make_unique<uint8_t[]>(*length);
  std::memcpy(copy.get(), bytes, *length);
  return copy;
}

void Exercise(CAttrBase& attribute, const std::vector<std::pair<uint64_t, uint32_t>>& reads, uint32_t clusterSize) {
  uint64_t allocated = 0;
  attribute.GetValueSize(&allocated);
  attribute.HasValidRuns();
  for (const auto& [offset, length] : reads) {
    std::vector<uint8_t> out(length);
    uint32_t got = 0;
    if (attribute.ReadValue(offset, out.data(), length, &got) && got > length) std::abort();
  }
  auto* body = dynamic_cast<CAttrNonResident*>(&attribute);
  if (body == nullptr) return;
  body->StoredBytes();
  uint64_t clusters = 0;
  for (const tagDataRun_Entry* run : body->Runs()) {
    if (run->lastVcn < run->startVcn || run->lastVcn - run->startVcn + 1 != run->clusters) std::abort();
    clusters += run->clusters;
  }
  if (clusters > body->VcnCount()) std::abort();
  for (const auto& [offset, length] : reads) {
    const uint32_t count = length % (MAX_RUN_CLUSTERS + 1);
    std::vector<uint8_t> out(static_cast<size_t>(count) * clusterSize);
    uint64_t got = 0;
    if (body->ReadRunClusters(offset % (body->VcnCount() + 2), count, out.data(), out.size(), &got) && got > out.size()) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  CNTFSVolume& volume = ostrin::fuzz::FuzzVolume(data[0]);
  const size_t readCount = data[1] & 7;
  size_t at = 2;
  std::vector<std::pair<uint64_t, uint32_t>> reads;
  for (size_t i = 0; i < readCount && size - at >= READ_SIZE; ++i, at += READ_SIZE) {
    reads.emplace_back(ReadLE<uint64_t>(data + at), ReadLE<uint32_t>(data + at + 8) % (MAX_READ + 1));
  }
  uint32_t firstLength = 0;
  std::unique_ptr<uint8_t[]> firstBytes = TakeAttribute(data + at, size - at, &firstLength);
  if (firstBytes == nullptr) return 0;
  CFileRecord owner(&volume);
  std::unique_ptr<CAttrBase> first;
  if (READ_FIELD(ATTRIBUTE_HEADER, nonResident, firstBytes.get()) != 0) {
    first = std::make_unique<CAttrData<CAttrNonResident>>(firstBytes.get(), &owner);
  } else {
    first = std::make_unique<CAttrData<CAttrResident>>(firstBytes.get(), &owner);
  }
  Exercise(*first, reads, volume.ClusterSize());

  uint32_t secondLength = 0;
  std::unique_ptr<uint8_t[]> secondBytes = TakeAttribute(data + at + firstLength, size - at - firstLength, &secondLength);
  auto* firstBody = dynamic_cast<CAttrNonResident*>(first.get());
  if (secondBytes == nullptr || firstBody == nullptr || READ_FIELD(ATTRIBUTE_HEADER, nonResident, secondBytes.get()) == 0) {
    return 0;
  }
  CAttrData<CAttrNonResident> second(secondBytes.get(), &owner);
  const uint64_t before = firstBody->VcnCount();
  if (firstBody->AppendExtent(second) && firstBody->VcnCount() != before + second.VcnCount()) std::abort();
  Exercise(*first, reads, volume.ClusterSize());
  return 0;
}
