// ostrin-api-bench: lists every directory of a drive through OstrinAPI, beside a readdir + fstatat walk
// of the same tree recreated in a tmpfs folder, and times a second client's open of the open drive.
//
//   ostrin-api-bench LETTER TMPFS_FOLDER [RUNS]    (OstrinNT must serve the drive on 127.0.0.1:49020)
//   ostrin-api-bench --open-only LETTER            (the second client: prints its open time in ms)
//   ostrin-api-bench --current LETTER MAKER IMAGE [RUNS]
//       (the drive is IMAGE, a copy this program may change with the volume maker MAKER: times the
//       open of the open drive with nothing changed, the opens after 1, 10 and 1,000 files were
//       created, which the journal updates, and the open after a change the journal does not show,
//       which scans)
//
// Linux only: the comparison walk is the POSIX directory API.
#include <OstrinAPI.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "common/protocol.h"
#include "common/sock_stream.h"
#include "common/text.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct SCounts {
  uint64_t directories = 0;
  uint64_t files = 0;
  uint64_t bytes = 0;
};

// Every directory of the drive through find-first / find-next; with a folder, recreates the tree
// there (directories, and files of the listed sizes, holes only).
SCounts ListDrive(uint32_t index, const std::string& recreateIn) {
  SCounts counts;
  std::vector<WString> pending{WString(1, '\\')};
  WIN32_FIND_DATAW data;
  while (!pending.empty()) {
    const WString directory = std::move(pending.back());
    pending.pop_back();
    OST_FIND_HANDLE find = OstFindFirstFile(index, (directory + WTEXT("*")).c_str(), &data);
    if (find == nullptr) continue;
    do {
      const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      const bool isDirectory = (data.dwFileAttributes & 0x10) != 0;
      if (isDirectory) {
        ++counts.directories;
        pending.push_back(directory + data.cFileName + WTEXT("\\"));
      } else {
        ++counts.files;
        counts.bytes += size;
      }
      if (recreateIn.empty()) continue;
      WString relative = directory.substr(1) + data.cFileName;
      std::replace(relative.begin(), relative.end(), WCHAR{'\\'}, WCHAR{'/'});
      const std::string path = recreateIn + "/" + WideToUtf8(relative);
      if (isDirectory) {
        if (::mkdir(path.c_str(), 0755) != 0) std::perror(path.c_str());
      } else {
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) std::perror(path.c_str());
        if (fd >= 0) ::close(fd);
      }
    } while (OstFindNextFile(find, &data) != 0);
    OstFindClose(find);
  }
  return counts;
}

// The same listing with the file system: readdir on every directory and fstatat on every entry.
SCounts WalkFolder(const std::string& top) {
  SCounts counts;
  std::vector<std::string> pending{top};
  while (!pending.empty()) {
    const std::string directory = std::move(pending.back());
    pending.pop_back();
    DIR* stream = ::opendir(directory.c_str());
    if (stream == nullptr) continue;
    const int fd = ::dirfd(stream);
    while (const dirent* entry = ::readdir(stream)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      struct stat status;
      if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISDIR(status.st_mode)) {
        ++counts.directories;
        pending.push_back(directory + "/" + entry->d_name);
      } else {
        ++counts.files;
        counts.bytes += static_cast<uint64_t>(status.st_size);
      }
    }
    ::closedir(stream);
  }
  return counts;
}

bool Connect() {
  if (OstConnect() != 0) return true;
  std::fprintf(stderr, "ostrin-api-bench: OstrinNT does not answer on 127.0.0.1:49020\n");
  return false;
}

int OpenOnly(WCHAR letter) {
  const Clock::time_point start = Clock::now();
  if (!Connect()) return 1;
  const int32_t index = OstOpenDrive(letter, nullptr, 0);
  const double ms = MsSince(start);
  if (index < 0) return 1;
  std::printf("%.3f\n", ms);
  OstCloseDrive(static_cast<uint32_t>(index));
  OstDisconnect();
  return 0;
}

// Runs this program as a second client and reads the open time it prints.
double SecondClientOpenMs(const char* self, const char* letter) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[0]);
    ::execl(self, self, "--open-only", letter, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  char text[64] = {};
  const ssize_t got = ::read(fds[0], text, sizeof text - 1);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return got > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? std::atof(text) : -1;
}

// What the service tells of the open drive on a connection of this program's own: the entries and
// the memory of the index it keeps beside the image.
bool QueryKeptIndex(WCHAR letter, CDriveInfoBody* info) {
  try {
    CSockStream stream(ESockSide::Client);
    stream.Connect(OSTRIN_API_SERVICE_HOST, OSTRIN_API_SERVICE_PORT);
    WriteHello(stream);
    if (!ReadReply(stream).IsAck()) return false;
    WriteLetterCommand(stream, ECommand::DriveInfo, letter);
    if (!ReadReply(stream).IsAck()) return false;
    *info = ReadDriveInfoBody(stream);
    return true;
  } catch (const CException&) {
    return false;
  }
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Times one OstOpenDrive of the drive this client holds open already, and gives that use back.
double TimedReopen(WCHAR letter, uint32_t drive) {
  const Clock::time_point start = Clock::now();
  const int32_t again = OstOpenDrive(letter, nullptr, 0);
  const double ms = MsSince(start);
  if (again < 0) return -1;
  OstCloseDrive(drive);
  return ms;
}

int CurrentIndex(WCHAR letter, const std::string& maker, const std::string& image, int runs) {
  if (!Connect()) return 1;
  const int32_t index = OstOpenDrive(letter, nullptr, 0);
  if (index < 0) {
    std::fprintf(stderr, "ostrin-api-bench: the open failed with %d\n", OstGetLastError(letter));
    return 1;
  }
  const auto drive = static_cast<uint32_t>(index);
  // The first open's stamp may have found the copy's times too young to trust: one more open settles it.
  TimedReopen(letter, drive);
  std::vector<double> unchanged;
  std::vector<double> changed;
  for (int run = 0; run < 10 * runs; ++run) unchanged.push_back(TimedReopen(letter, drive));
  const std::string changes = image + ".bench-change.txt";
  // Changes made by the maker, journaled as Windows journals them; the open after them times the
  // update from the journal.
  const auto change = [&](int run, int count) {
    FILE* file = std::fopen(changes.c_str(), "w");
    if (file == nullptr) return false;
    for (int i = 0; i < count; ++i) std::fprintf(file, "file /bench-changed-%d-%d/f%d.txt size=1\n", count, run, i);
    std::fclose(file);
    const std::string command = "'" + maker + "' --change '" + changes + "' '" + image + "' - >/dev/null";
    if (std::system(command.c_str()) == 0) return true;
    std::fprintf(stderr, "ostrin-api-bench: the maker failed: %s\n", command.c_str());
    return false;
  };
  std::vector<double> tenChanged;
  std::vector<double> thousandChanged;
  std::vector<double> scanned;
  for (int run = 0; run < runs; ++run) {
    if (!change(run, 1)) return 1;
    changed.push_back(TimedReopen(letter, drive));
    if (!change(run, 10)) return 1;
    tenChanged.push_back(TimedReopen(letter, drive));
    if (!change(run, 1000)) return 1;
    thousandChanged.push_back(TimedReopen(letter, drive));
    // The file's times move while its journal does not (a writer that keeps none): a full scan.
    const std::string touch = "touch '" + image + "'";
    if (std::system(touch.c_str()) != 0) return 1;
    scanned.push_back(TimedReopen(letter, drive));
  }
  std::remove(changes.c_str());
  CDriveInfoBody info;
  const bool known = QueryKeptIndex(letter, &info);
  OstCloseDrive(drive);
  OstDisconnect();
  std::printf("(f) open of the open drive, nothing changed (median of %zu) %10.3f ms   (target: under 1 ms)\n",
              unchanged.size(), Median(unchanged));
  std::printf("(g) open after one file was created (median of %zu)     %10.3f ms\n", changed.size(), Median(changed));
  std::printf("(i) open after 10 files were created (median of %zu)     %10.3f ms\n", tenChanged.size(), Median(tenChanged));
  std::printf("(j) open after 1000 files were created (median of %zu)   %10.3f ms\n", thousandChanged.size(),
              Median(thousandChanged));
  std::printf("(k) open after a change without journal: a full scan (median of %zu) %10.3f ms\n", scanned.size(),
              Median(scanned));
  if (Median(scanned) > 0) {
    std::printf("(i)/(k) %.3f   (j)/(k) %.3f   (target for (j)/(k): at most 0.25)\n", Median(tenChanged) / Median(scanned),
                Median(thousandChanged) / Median(scanned));
  }
  if (known && info.entries > 0) {
    std::printf("(h) kept index: %llu bytes for %llu entries: %.1f bytes per entry   (target: at most 100)\n",
                static_cast<unsigned long long>(info.keptBytes), static_cast<unsigned long long>(info.entries),
                static_cast<double>(info.keptBytes) / static_cast<double>(info.entries));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--open-only") == 0) return OpenOnly(static_cast<WCHAR>(argv[2][0]));
  if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "--current") == 0) {
    return CurrentIndex(static_cast<WCHAR>(argv[2][0]), argv[3], argv[4], argc == 6 ? std::max(1, std::atoi(argv[5])) : 3);
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: ostrin-api-bench LETTER TMPFS_FOLDER [RUNS]\n");
    return 2;
  }
  const auto letter = static_cast<WCHAR>(argv[1][0]);
  const std::string folder = argv[2];
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

  if (!Connect()) return 1;
  Clock::time_point start = Clock::now();
  const int32_t index = OstOpenDrive(letter, nullptr, 0);
  const double firstOpenMs = MsSince(start);
  if (index < 0) {
    std::fprintf(stderr, "ostrin-api-bench: the open failed with %d\n", OstGetLastError(letter));
    return 1;
  }
  const auto drive = static_cast<uint32_t>(index);
  const SCounts recreated = ListDrive(drive, folder);

  double apiMs = 1e300;
  double walkMs = 1e300;
  double secondOpenMs = 1e300;
  SCounts listed;
  SCounts walked;
  WalkFolder(folder);  // the folder's inodes and dentries are in memory from here on
  for (int run = 0; run < runs; ++run) {
    start = Clock::now();
    listed = ListDrive(drive, std::string());
    apiMs = std::min(apiMs, MsSince(start));
    start = Clock::now();
    walked = WalkFolder(folder);
    walkMs = std::min(walkMs, MsSince(start));
    const double ms = SecondClientOpenMs(argv[0], argv[1]);
    if (ms >= 0) secondOpenMs = std::min(secondOpenMs, ms);
  }
  OstCloseDrive(drive);
  OstDisconnect();

  std::printf("Drive %c: image of %llu bytes, %llu directories, %llu files, %llu bytes in files\n",
              static_cast<char>(letter), static_cast<unsigned long long>(OstGetMemoryUsage(drive)),
              static_cast<unsigned long long>(listed.directories), static_cast<unsigned long long>(listed.files),
              static_cast<unsigned long long>(listed.bytes));
  std::printf("tmpfs copy: %llu directories, %llu files, %llu bytes in files\n",
              static_cast<unsigned long long>(walked.directories), static_cast<unsigned long long>(walked.files),
              static_cast<unsigned long long>(walked.bytes));
  if (walked.files != recreated.files || walked.directories != recreated.directories) {
    std::printf("warning: the tmpfs copy does not hold the whole tree\n");
  }
  std::printf("\n(a) first open (connect, scan, publish, map)   %10.3f ms\n", firstOpenMs);
  std::printf("(b) every directory listed through OstrinAPI     %10.3f ms\n", apiMs);
  std::printf("(c) readdir + fstatat walk of the tmpfs copy    %10.3f ms\n", walkMs);
  std::printf("(d) second client: connect and open the open drive %7.3f ms\n", secondOpenMs);
  std::printf("walk / API listing = %.1f   (target: at least 10)\n", walkMs / apiMs);
  return 0;
}
