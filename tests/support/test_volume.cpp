// Making and caching test volumes (Linux: the maker is a Linux program; the cache is locked with flock).
#include "tests/support/test_volume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/posix/unique_fd.h"
#include "tests/support/run_program.h"

#ifndef OSTRIN_MKVOL_PATH
#error "OSTRIN_MKVOL_PATH, OSTRIN_TEST_VOLUMES_DIR and OSTRIN_TEST_VOLUME_CACHE come from tests/support/CMakeLists.txt"
#endif

namespace ostrin::test {
namespace {

namespace fs = std::filesystem;
using ostrin::platform::UniqueFd;

uint64_t Fnv1a(uint64_t hash, const std::string& bytes) {
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001B3ull;
  }
  return hash;
}

// The maker's own bytes are part of every key: a changed maker makes every volume again.
const std::string& MakerHash() {
  static std::once_flag once;
  static std::string hash;
  std::call_once(once, [] {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(Fnv1a(0xCBF29CE484222325ull, ReadTextFile(OSTRIN_MKVOL_PATH))));
    hash = hex;
  });
  return hash;
}

// Removes what earlier makers or manifests left for this volume name, so the cache does not grow.
void RemoveStaleFiles(const fs::path& cache, const std::string& name, const std::string& keep) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(cache, ec)) {
    const std::string file = entry.path().filename().string();
    const std::string prefix = name + "-";
    if (file.rfind(prefix, 0) != 0 || file.rfind(keep, 0) == 0) continue;
    const std::string rest = file.substr(prefix.size());
    // name-<16 hex>.img / .expected only: "links" must not remove "links-more-<hex>.img".
    if (rest.size() > 17 && rest[16] == '.' &&
        std::all_of(rest.begin(), rest.begin() + 16, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
      fs::remove(entry.path(), ec);
    }
  }
}

}  // namespace

STestVolume MakeTestVolume(const std::string& manifestName) {
  const std::string manifestPath = std::string(OSTRIN_TEST_VOLUMES_DIR) + "/" + manifestName + ".manifest";
  const std::string text = ReadTextFile(manifestPath);
  char key[17];
  std::snprintf(key, sizeof key, "%016llx",
                static_cast<unsigned long long>(Fnv1a(Fnv1a(0xCBF29CE484222325ull, MakerHash()), text)));
  const fs::path cache = OSTRIN_TEST_VOLUME_CACHE;
  fs::create_directories(cache);
  const std::string base = (cache / (manifestName + "-" + key)).string();

  STestVolume volume;
  volume.image = base + ".img";
  volume.listing = base + ".expected";
  {
    // One maker per volume at a time across processes; the listing, renamed last, marks a complete
    // volume, and renames are atomic, so a reader never sees half a volume.
    UniqueFd lock(::open((cache / (manifestName + ".lock")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock.IsValid() || ::flock(lock.Get(), LOCK_EX) != 0) {
      throw std::runtime_error("cannot lock the test volume cache " + cache.string());
    }
    if (!fs::exists(volume.listing) || !fs::exists(volume.image)) {
      RemoveStaleFiles(cache, manifestName, manifestName + "-" + key);
      const std::string temp = base + ".tmp" + std::to_string(::getpid());
      const SProgramResult made = RunProgram({OSTRIN_MKVOL_PATH, manifestPath, temp + ".img", temp + ".expected"});
      if (made.exitCode != 0) {
        fs::remove(temp + ".img");
        fs::remove(temp + ".expected");
        throw std::runtime_error("ostrin-mkvol failed for " + manifestName + ": " + made.err);
      }
      fs::rename(temp + ".img", volume.image);
      fs::rename(temp + ".expected", volume.listing);
    }
  }
  WaitUntilSettled(volume.image);
  volume.expected = ReadExpectedListing(volume.listing);
  return volume;
}

void WaitUntilSettled(const std::string& image) {
  // The service counts a file whose times lie within a second of its look as changed; a second and a
  // little more lets a volume just made count as unchanged at its second open.
  constexpr int64_t SETTLED_NS = 1100000000;
  struct stat status = {};
  if (::stat(image.c_str(), &status) != 0) return;
  timespec now = {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const auto ns = [](const timespec& time) { return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec; };
  const int64_t age = ns(now) - std::max(ns(status.st_mtim), ns(status.st_ctim));
  if (age < SETTLED_NS) std::this_thread::sleep_for(std::chrono::nanoseconds(SETTLED_NS - age));
}

std::vector<std::string> ListTestVolumeManifests() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(OSTRIN_TEST_VOLUMES_DIR)) {
    if (entry.path().extension() == ".manifest") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ostrin::test
