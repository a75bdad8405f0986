// libFuzzer target: the change journal's record parser, through the $J stream walk (block rules, each
// record at its own USN) and the walk of FSCTL_READ_USN_JOURNAL's buffers (records back to back), with
// every record formatted as ostrin-volinfo prints it. A record handed over outside its range or out
// of order is a finding.
//
// Input: u64 the USN of the first byte (taken 8-byte aligned, below 2^40), then the stream's bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/byte_order.h"
#include "ntfs/usn_journal.h"

namespace {

constexpr uint64_t USN_LIMIT = uint64_t{1} << 40;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < sizeof(uint64_t)) return 0;
  const uint64_t base = ReadLE<uint64_t>(data) % USN_LIMIT / USN_RECORD_ALIGNMENT * USN_RECORD_ALIGNMENT;
  const uint8_t* stream = data + sizeof(uint64_t);
  const size_t length = size - sizeof(uint64_t);
  const uint64_t end = base + length;

  const UsnStreamReader reader = [&](uint64_t usn, uint8_t* buffer, size_t count) {
    Check(usn >= base - base % USN_BLOCK_SIZE && usn + count <= end);
    // The window starts at the block of the first record: the bytes before base read as zeros.
    for (size_t i = 0; i < count; ++i) buffer[i] = usn + i >= base ? stream[usn + i - base] : 0;
    return true;
  };
  uint64_t last = 0;
  bool any = false;
  const SUsnReadResult walked = ReadUsnStream(reader, base, end, [&](const SUsnRecord& record) {
    Check(record.usn >= base && record.usn < end && (!any || record.usn > last));
    Check(record.usn / USN_BLOCK_SIZE == (record.usn + 7) / USN_BLOCK_SIZE);
    last = record.usn;
    any = true;
    return !FormatUsnRecord(record).empty();
  });
  Check(walked.result == EUsnRead::Complete || walked.result == EUsnRead::BadBytes);
  Check(walked.result != EUsnRead::BadBytes || !walked.problem.empty());

  any = false;
  const SUsnReadResult buffered = ReadUsnBuffer(stream, length, base, [&](const SUsnRecord& record) {
    Check(record.usn >= base && (!any || record.usn > last));
    last = record.usn;
    any = true;
    return !FormatUsnRecord(record).empty();
  });
  Check(buffered.result == EUsnRead::Complete || buffered.result == EUsnRead::BadBytes);
  return 0;
}
