// ostrin-scan: scans a volume in-process (no service), builds its drive image, and prints the tree or its
// counts, writes the image to a file, or publishes it in a shared section.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/configuration.h"
#include "common/exceptions.h"
#include "common/text.h"
#include "index/drive_index.h"
#include "index/image_walk.h"
#include "platform/console.h"
#include "platform/process_memory.h"
#include "tools/tool_format.h"
#include "tools/volume_argument.h"

namespace {

struct Options {
  std::string volume;
  bool list = false;
  bool bench = false;
  bool quiet = false;
  bool publish = false;
  std::optional<WCHAR> publishLetter;
  std::string output;
};

int Usage() {
  std::fprintf(stderr,
               "usage: ostrin-scan [--list] [--bench] [--quiet] [--output FILE] [--publish [--as LETTER]] VOLUME\n"
               "  VOLUME      a drive letter (\"C\" or \"C:\"; on Linux mapped by volume.C in OstrinNT.ini)\n"
               "              or the path of an NTFS device or image file\n"
               "  --list      print every entry: attributes, size, allocated size, last write time, path\n"
               "  --bench     print the time of each phase and the entries per second\n"
               "  --quiet     no progress bar\n"
               "  --output    write the drive image to FILE\n"
               "  --publish   publish the image as the shared section of the drive (of LETTER for a path)\n"
               "              and keep it until standard input ends\n");
  return 2;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--list") {
      options->list = true;
    } else if (argument == "--bench") {
      options->bench = true;
    } else if (argument == "--quiet") {
      options->quiet = true;
    } else if (argument == "--publish") {
      options->publish = true;
    } else if (argument == "--as" && i + 1 < argc) {
      const auto letter = DriveLetterArgument(argv[++i]);
      if (!letter) return false;
      options->publishLetter = letter;
    } else if (argument == "--output" && i + 1 < argc) {
      options->output = argv[++i];
    } else if (!argument.empty() && argument[0] != '-' && options->volume.empty()) {
      options->volume = argument;
    } else {
      return false;
    }
  }
  return !options->volume.empty();
}

class CPhaseClock {
 public:
  void Lap(const char* phase) {
    const auto now = std::chrono::steady_clock::now();
    m_phases.emplace_back(phase, std::chrono::duration<double>(now - m_last).count());
    m_last = now;
  }
  double Total() const {
    double total = 0;
    for (const auto& phase : m_phases) total += phase.second;
    return total;
  }
  void Print(uint64_t entries) const {
    for (const auto& [phase, seconds] : m_phases) std::printf("%-22s %10.3f ms\n", phase, seconds * 1000.0);
    std::printf("%-22s %10.3f ms\n", "total", Total() * 1000.0);
    std::printf("%-22s %10.0f\n", "entries per second", Total() > 0 ? static_cast<double>(entries) / Total() : 0.0);
  }

 private:
  std::chrono::steady_clock::time_point m_last = std::chrono::steady_clock::now();
  std::vector<std::pair<const char*, double>> m_phases;
};

std::string PathText(const CImageEntry& entry) {
  std::string path;
  for (const WString& name : entry.path) {
    path += '\\';
    path += WideToUtf8(name);
  }
  return path;
}

void PrintEntry(const CImageEntry& entry) {
  std::printf("%s %12llu %12llu %s  %s\n", FormatAttributes(entry.attributes).c_str(),
              static_cast<unsigned long long>(entry.fileSize), static_cast<unsigned long long>(entry.allocatedSize),
              FormatFileTime(entry.lastWriteTime).c_str(), PathText(entry).c_str());
}

int Run(const Options& options) {
  const std::optional<WCHAR> letter = DriveLetterArgument(options.volume);
  const bool showProgress = !options.quiet && ostrin::platform::IsTerminal(stderr);
  CDriveIndex drive;
  CPhaseClock clock;
  const ostrin::platform::CProcessMemory atStart = ostrin::platform::ProcessMemory();

  if (letter) {
    drive.Volume().OpenLetter(*letter, ReadConfigurationFile().VolumeOf(*letter));
  } else {
    drive.Volume().OpenPath(options.volume);
  }
  clock.Lap("open");

  const ScanProgress progress(
      [&](int32_t percent) {
        if (showProgress) DrawProgressBar(stderr, "Scanning", percent);
        return true;
      },
      nullptr,
      [&](const CScanDamage& damage) {
        if (showProgress) std::fputc('\n', stderr);
        std::fprintf(stderr, "ostrin-scan: %s: %s\n", options.volume.c_str(), WideToUtf8(damage.Describe()).c_str());
      });
  drive.ScanVolume(progress);
  if (showProgress) {
    DrawProgressBar(stderr, "Scanning", 100);
    std::fputc('\n', stderr);
  }
  clock.Lap("MFT read and parse");

  drive.LinkTree();
  drive.AttachFiles();
  clock.Lap("link");

  const uint64_t imageSize = drive.Root()->ComputeImageSize();
  clock.Lap("size");

  std::unique_ptr<uint8_t[]> image;
  ostrin::platform::CSectionView published;
  const uint8_t* imageBytes = nullptr;
  if (options.publish) {
    drive.PublishImage(options.publishLetter.value_or(letter.value_or('X')));
    if (!published.Open(drive.SectionName()) || !published.Map()) {
      throw CWinErrException(3007, WTEXT("Could not map the published image."));
    }
    imageBytes = static_cast<const uint8_t*>(published.Data());
  } else {
    image = std::make_unique_for_overwrite<uint8_t[]>(imageSize);
    drive.Root()->WriteImage(image.get(), image.get(), 0);
    imageBytes = image.get();
  }
  clock.Lap("write");
  drive.DeleteTree();
  clock.Lap("free the tree");
  const ostrin::platform::CProcessMemory afterBuild = ostrin::platform::ProcessMemory();

  if (!options.output.empty()) {
    std::ofstream file(options.output, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(imageBytes), static_cast<std::streamsize>(imageSize));
    if (!file) {
      std::fprintf(stderr, "ostrin-scan: cannot write %s\n", options.output.c_str());
      return 1;
    }
  }

  uint64_t directories = 0;
  uint64_t files = 0;
  std::string error;
  const bool wellFormed = WalkImage(imageBytes, imageSize, [&](const CImageEntry& entry) {
    ++(entry.isDirectory ? directories : files);
    if (options.list) PrintEntry(entry);
  }, &error);
  if (!wellFormed) {
    std::fprintf(stderr, "ostrin-scan: the image is malformed: %s\n", error.c_str());
    return 1;
  }
  std::printf("%llu directories, %llu files, image %llu bytes\n", static_cast<unsigned long long>(directories),
              static_cast<unsigned long long>(files), static_cast<unsigned long long>(imageSize));
  if (options.bench) {
    clock.Print(directories + files);
    // What the build took at its peak beyond the program itself, and beyond the image it wrote.
    const uint64_t peak = afterBuild.peakResident > atStart.resident ? afterBuild.peakResident - atStart.resident : 0;
    const uint64_t beyondImage = peak > imageSize ? peak - imageSize : 0;
    std::printf("%-22s %10llu bytes\n", "peak memory", static_cast<unsigned long long>(peak));
    std::printf("%-22s %10.1f bytes\n", "per entry beyond image",
                directories + files != 0 ? static_cast<double>(beyondImage) / static_cast<double>(directories + files) : 0.0);
  }

  if (options.publish) {
    std::printf("Published as %s; the image stays until standard input ends.\n",
                WideToUtf8(drive.SectionName()).c_str());
    std::fflush(stdout);
    while (std::fgetc(stdin) != EOF) {
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return Usage();
  ostrin::platform::UseUtf8Output(stdout);
  try {
    return Run(options);
  } catch (const CException& e) {
    std::fprintf(stderr, "ostrin-scan: %s: error %d: %s\n", options.volume.c_str(), e.Code(),
                 WideToUtf8(e.Message()).c_str());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "ostrin-scan: %s: out of memory\n", options.volume.c_str());
    return 1;
  }
}
