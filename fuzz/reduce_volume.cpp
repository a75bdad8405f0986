// ostrin-fuzz-reduce: shrinks a finding of a volume target to the records that make it. An input
// of the volume targets keeps the size and layout of the seed it grew from, and differs from it in
// a few dozen records, most of them beside the point; this puts back the seed's bytes one record
// (or one block) at a time, keeping each change that the program under test still fails without.
//
//   ostrin-fuzz-reduce [--timeout SECONDS] PROGRAM INPUT SEED OUTPUT
//
// PROGRAM is a target's replay program (or its libFuzzer program); it fails on an input when it
// ends with a status other than 0, or (with --timeout, for a finding that hangs) when it has not
// ended after SECONDS. Prints the volume ranges that stay changed, with the MFT record
// numbers they hold, and writes the reduced input to OUTPUT.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "fuzz/fuzz_volume.h"
#include "ntfs/layout.h"

namespace {

using ostrin::fuzz::SParsedVolume;

int g_timeoutSeconds = 0;

bool Fails(const std::string& program, const std::string& inputPath, const std::vector<uint8_t>& input) {
  std::ofstream(inputPath, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
  const pid_t child = ::fork();
  if (child == 0) {
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, STDOUT_FILENO);
    ::dup2(quiet, STDERR_FILENO);
    ::execl(program.c_str(), program.c_str(), inputPath.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  if (g_timeoutSeconds > 0) {
    constexpr int POLL_MS = 20;
    for (int waited = 0; ::waitpid(child, &status, WNOHANG) == 0; waited += POLL_MS) {
      if (waited >= g_timeoutSeconds * 1000) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return true;
      }
      ::usleep(POLL_MS * 1000);
    }
  } else {
    ::waitpid(child, &status, 0);
  }
  return !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The unit of reverting: a record of the seed's geometry, or the 512-byte stride when the boot sector
// says nothing usable.
uint32_t UnitSize(const std::vector<uint8_t>& seed) {
  SParsedVolume parsed;
  ostrin::fuzz::ParseFuzzVolume(seed.data(), seed.size(), &parsed);
  for (const auto& extent : parsed.extents) {
    if (extent.offset != 0 || extent.length < BOOT_SECTOR_SIZE) continue;
    const int8_t perRecord = READ_FIELD(NTFS_BOOT_SECTOR, clustersPerFileRecord, extent.data);
    if (perRecord < 0 && perRecord > -17) return 1u << -perRecord;
  }
  return 512;
}

uint64_t MftOffset(const std::vector<uint8_t>& seed) {
  SParsedVolume parsed;
  ostrin::fuzz::ParseFuzzVolume(seed.data(), seed.size(), &parsed);
  for (const auto& extent : parsed.extents) {
    if (extent.offset != 0 || extent.length < BOOT_SECTOR_SIZE) continue;
    const uint64_t cluster = uint64_t{READ_FIELD(NTFS_BOOT_SECTOR, bytesPerSector, extent.data)} *
                             READ_FIELD(NTFS_BOOT_SECTOR, sectorsPerCluster, extent.data);
    return READ_FIELD(NTFS_BOOT_SECTOR, mftCluster, extent.data) * cluster;
  }
  return 0;
}

struct SUnit {
  size_t inputOffset;
  size_t length;
  uint64_t volumeOffset;
  bool inMft;  // inside the extent that starts at the MFT
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "--timeout") == 0) {
    g_timeoutSeconds = std::atoi(argv[2]);
    argv += 2;
    argc -= 2;
  }
  if (argc != 5) {
    std::fputs("usage: ostrin-fuzz-reduce [--timeout SECONDS] PROGRAM INPUT SEED OUTPUT\n", stderr);
    return 2;
  }
  const std::string program = argv[1], output = argv[4], scratch = std::string(argv[4]) + ".try";
  std::vector<uint8_t> input = ostrin::fuzz::ReadWholeFile(argv[2]);
  const std::vector<uint8_t> seed = ostrin::fuzz::ReadWholeFile(argv[3]);
  SParsedVolume a, b;
  if (input.size() != seed.size() || !ostrin::fuzz::ParseFuzzVolume(input.data(), input.size(), &a) ||
      !ostrin::fuzz::ParseFuzzVolume(seed.data(), seed.size(), &b) || a.extents.size() != b.extents.size()) {
    std::fputs("ostrin-fuzz-reduce: the input does not have the seed's layout\n", stderr);
    return 1;
  }
  if (!Fails(program, scratch, input)) {
    std::fputs("ostrin-fuzz-reduce: the program does not fail on the input\n", stderr);
    return 1;
  }
  const uint32_t unitSize = UnitSize(seed);
  const uint64_t mftOffset = MftOffset(seed);
  std::vector<SUnit> units;
  units.push_back({0, ostrin::fuzz::FUZZ_VOLUME_HEADER_SIZE, ~uint64_t{0}, false});
  for (const auto& extent : b.extents) {
    for (size_t at = 0; at < extent.length; at += unitSize) {
      units.push_back({extent.inputOffset + at, std::min<size_t>(unitSize, extent.length - at), extent.offset + at,
                       extent.offset == mftOffset});
    }
  }
  // Greedy passes until nothing more can be put back.
  for (bool changed = true; changed;) {
    changed = false;
    for (const SUnit& unit : units) {
      if (std::memcmp(input.data() + unit.inputOffset, seed.data() + unit.inputOffset, unit.length) == 0) continue;
      std::vector<uint8_t> attempt = input;
      std::memcpy(attempt.data() + unit.inputOffset, seed.data() + unit.inputOffset, unit.length);
      if (Fails(program, scratch, attempt)) {
        input = std::move(attempt);
        changed = true;
      }
    }
  }
  std::remove(scratch.c_str());
  std::ofstream(output, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
  for (const SUnit& unit : units) {
    if (std::memcmp(input.data() + unit.inputOffset, seed.data() + unit.inputOffset, unit.length) == 0) continue;
    if (unit.volumeOffset == ~uint64_t{0}) {
      std::printf("changed: the volume size\n");
    } else if (unit.inMft) {
      std::printf("changed: volume offset %llu (MFT record %llu)\n", static_cast<unsigned long long>(unit.volumeOffset),
                  static_cast<unsigned long long>((unit.volumeOffset - mftOffset) / unitSize));
    } else {
      std::printf("changed: volume offset %llu, %zu bytes\n", static_cast<unsigned long long>(unit.volumeOffset), unit.length);
    }
  }
  return 0;
}
