// Reading the manifest text of ostrin-mkvol into commands.
#include "tools/mkvol/manifest.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <map>

#include "platform/civil_time.h"

namespace ostrin::mkvol {
namespace {

constexpr uint64_t TICKS_PER_SECOND = 10'000'000;
constexpr uint64_t SECONDS_PER_DAY = 86'400;

[[noreturn]] void Fail(int line, const std::string& what) {
  throw CManifestError("manifest line " + std::to_string(line) + ": " + what);
}

// Words of one line: blanks separate, double quotes group, '#' outside quotes ends the line.
std::vector<std::string> SplitWords(const std::string& line, int lineNumber) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : line) {
    if (quoted) {
      if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == '"') {
      quoted = inWord = true;
    } else if (c == '#') {
      break;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) Fail(lineNumber, "unterminated quote");
  if (inWord) words.push_back(std::move(word));
  return words;
}

std::optional<uint64_t> ParsePlainNumber(const std::string& text) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

uint64_t ParseSize(const std::string& text, int line) {
  if (text.empty()) Fail(line, "empty number");
  uint64_t scale = 1;
  std::string digits = text;
  switch (std::toupper(static_cast<unsigned char>(text.back()))) {
    case 'K': scale = 1ull << 10; break;
    case 'M': scale = 1ull << 20; break;
    case 'G': scale = 1ull << 30; break;
    default: break;
  }
  if (scale != 1) digits.pop_back();
  const auto value = ParsePlainNumber(digits);
  if (!value || *value > UINT64_MAX / scale) Fail(line, "bad number \"" + text + "\"");
  return *value * scale;
}

struct SKeyValue {
  std::string key, value;
  bool hasValue = false;
};

SKeyValue SplitOption(const std::string& word) {
  const auto eq = word.find('=');
  if (eq == std::string::npos) return {word, "", false};
  return {word.substr(0, eq), word.substr(eq + 1), true};
}

ENameSpace ParseNameSpace(const std::string& text, int line) {
  if (text == "posix") return ENameSpace::Posix;
  if (text == "win32") return ENameSpace::Win32;
  if (text == "win32dos") return ENameSpace::Win32AndDos;
  Fail(line, "namespace must be posix, win32 or win32dos, not \"" + text + "\"");
}

uint32_t ParseAttributes(const std::string& text, int line) {
  static const std::map<std::string, uint32_t> names = {
      {"readonly", ATTR_READONLY}, {"hidden", ATTR_HIDDEN}, {"system", ATTR_SYSTEM}, {"archive", ATTR_ARCHIVE}};
  if (text == "none") return 0;
  uint32_t bits = 0;
  size_t start = 0;
  while (start <= text.size()) {
    const auto comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const auto it = names.find(item);
    if (it == names.end()) Fail(line, "unknown attribute \"" + item + "\"");
    bits |= it->second;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return bits;
}

// Options shared by dir, file and link; returns false when the key is not one of them.
bool TakeNameOrEntryOption(const SKeyValue& kv, SCommand& cmd, bool entryAllowed, int line) {
  if (kv.key == "ns") {
    cmd.name.nameSpace = ParseNameSpace(kv.value, line);
  } else if (kv.key == "dos") {
    if (kv.value.empty() || kv.value.size() > 12) Fail(line, "a DOS name has 1 to 12 characters");
    cmd.name.dosName = kv.value;
  } else if (entryAllowed && (kv.key == "created" || kv.key == "written" || kv.key == "accessed")) {
    const auto time = ParseTime(kv.value);
    if (!time) Fail(line, "bad time \"" + kv.value + "\"");
    (kv.key == "created" ? cmd.entry.created : kv.key == "written" ? cmd.entry.written : cmd.entry.accessed) = *time;
  } else if (entryAllowed && kv.key == "attrs") {
    cmd.entry.attributes = ParseAttributes(kv.value, line);
  } else {
    return false;
  }
  return true;
}

bool TakeContentOption(const SKeyValue& kv, SContent& content, int line) {
  if (kv.key == "size") {
    content.size = ParseSize(kv.value, line);
  } else if (kv.key == "fill") {
    if (kv.value == "text") {
      content.fill = EFill::Text;
    } else if (kv.value == "random") {
      content.fill = EFill::Random;
    } else if (kv.value == "zero") {
      content.fill = EFill::Zero;
    } else {
      Fail(line, "fill must be text, random or zero");
    }
  } else if (kv.key == "nodata" && !kv.hasValue) {
    content.noData = true;
  } else if (kv.key == "compressed" && !kv.hasValue) {
    content.compressed = true;
  } else if (kv.key == "sparse") {
    content.sparse = true;
    size_t start = 0;
    while (start < kv.value.size()) {
      auto comma = kv.value.find(',', start);
      if (comma == std::string::npos) comma = kv.value.size();
      const std::string range = kv.value.substr(start, comma - start);
      const auto plus = range.find('+');
      if (plus == std::string::npos) Fail(line, "a sparse range is OFFSET+LENGTH");
      content.sparseRanges.emplace_back(ParseSize(range.substr(0, plus), line),
                                        ParseSize(range.substr(plus + 1), line));
      start = comma + 1;
    }
  } else if (kv.key == "fragments") {
    content.fragments = static_cast<uint32_t>(ParseSize(kv.value, line));
    if (content.fragments < 2) Fail(line, "fragments needs at least 2");
  } else if (kv.key == "stream") {
    const auto colon = kv.value.rfind(':');
    if (colon == std::string::npos || colon == 0) Fail(line, "a stream is NAME:SIZE");
    content.streams.push_back({kv.value.substr(0, colon), ParseSize(kv.value.substr(colon + 1), line)});
  } else if (kv.key == "links") {
    content.extraLinks = static_cast<uint32_t>(ParseSize(kv.value, line));
  } else {
    return false;
  }
  return true;
}

void ParseVolume(const std::vector<std::string>& words, SVolumeOptions& volume, int line) {
  for (size_t i = 1; i < words.size(); ++i) {
    const SKeyValue kv = SplitOption(words[i]);
    if (kv.key == "size") {
      volume.size = ParseSize(kv.value, line);
    } else if (kv.key == "sector") {
      volume.sectorSize = static_cast<uint32_t>(ParseSize(kv.value, line));
    } else if (kv.key == "cluster") {
      volume.clusterSize = static_cast<uint32_t>(ParseSize(kv.value, line));
    } else if (kv.key == "label") {
      volume.label = kv.value;
    } else {
      Fail(line, "unknown volume option \"" + words[i] + "\"");
    }
  }
  if (volume.size < (1u << 20)) Fail(line, "the volume needs a size of at least 1M");
  if (volume.sectorSize != 512 && volume.sectorSize != 4096) Fail(line, "sector must be 512 or 4096");
  const uint32_t c = volume.clusterSize;
  if (c < volume.sectorSize || c > 65536 || (c & (c - 1)) != 0) {
    Fail(line, "cluster must be a power of two from the sector size to 64K");
  }
}

void CheckContent(const SCommand& cmd) {
  const SContent& c = cmd.content;
  int kinds = (c.noData ? 1 : 0) + (c.sparse ? 1 : 0) + (c.fragments ? 1 : 0);
  if (kinds > 1) Fail(cmd.line, "nodata, sparse and fragments exclude each other");
  if (c.noData && (c.size != 0 || c.compressed)) Fail(cmd.line, "nodata takes no size and no compression");
  for (const auto& [offset, length] : c.sparseRanges) {
    if (offset + length > c.size) Fail(cmd.line, "a sparse range ends beyond size");
  }
}

}  // namespace

std::optional<uint64_t> ParseTime(const std::string& text) {
  if (auto raw = ParsePlainNumber(text)) return raw;
  int year = 0;
  unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char tail[16] = {};
  if (text.size() < 19 ||
      std::sscanf(text.c_str(), "%4d-%2u-%2uT%2u:%2u:%2u%15s", &year, &month, &day, &hour, &minute, &second, tail) <
          6) {
    return std::nullopt;
  }
  if (year < 1601 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  uint64_t fraction = 0;
  std::string rest = tail;
  if (!rest.empty() && rest.back() == 'Z') rest.pop_back();
  if (!rest.empty()) {
    if (rest[0] != '.' || rest.size() < 2 || rest.size() > 8) return std::nullopt;
    std::string digits = rest.substr(1);
    digits.resize(7, '0');
    const auto value = ParsePlainNumber(digits);
    if (!value) return std::nullopt;
    fraction = *value;
  }
  const int64_t days = platform::DaysFromCivil(year, month, day) + platform::DAYS_FROM_1601_TO_1970;
  const uint64_t seconds = static_cast<uint64_t>(days) * SECONDS_PER_DAY + hour * 3600ull + minute * 60ull + second;
  return seconds * TICKS_PER_SECOND + fraction;
}

STimes DefaultTimes(uint64_t n) {
  const uint64_t base = *ParseTime("2021-06-01T12:00:00");
  STimes t;
  t.created = base + n * (TICKS_PER_SECOND + 1);
  t.written = t.created + SECONDS_PER_DAY * TICKS_PER_SECOND + 1'234'567;
  t.accessed = t.written + 3600 * TICKS_PER_SECOND + 7'654'321;
  return t;
}

std::vector<std::string> SplitPath(const std::string& path) {
  if (path.empty() || path[0] != '/') throw CManifestError("path \"" + path + "\" is not absolute");
  std::vector<std::string> parts;
  size_t start = 1;
  while (start <= path.size()) {
    auto slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(start, slash - start);
    if (part.empty() || part == "." || part == "..") throw CManifestError("path \"" + path + "\" has a bad component");
    for (unsigned char c : part) {
      if (c < 0x20) throw CManifestError("path \"" + path + "\" has a control character");
    }
    parts.push_back(std::move(part));
    start = slash + 1;
  }
  return parts;
}

namespace {

// Reads the lines of a manifest (changes: of a change file, which has no volume line).
SManifest ParseLines(const std::string& text, bool changes) {
  SManifest manifest;
  bool haveVolume = changes;
  int lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    const std::vector<std::string> words = SplitWords(line, lineNumber);
    if (words.empty()) continue;
    const std::string& verb = words[0];
    if (verb == "volume") {
      if (changes) Fail(lineNumber, "a change file has no volume line");
      if (haveVolume) Fail(lineNumber, "a second volume line");
      ParseVolume(words, manifest.volume, lineNumber);
      haveVolume = true;
      continue;
    }
    if (!haveVolume) Fail(lineNumber, "the first command must be volume");

    SCommand cmd;
    cmd.line = lineNumber;
    size_t firstOption = 2;
    try {
      static const std::map<std::string, EManifestCommand> onePath = {
          {"dir", EManifestCommand::Dir},         {"file", EManifestCommand::File},   {"delete", EManifestCommand::Delete},
          {"write", EManifestCommand::Write},     {"truncate", EManifestCommand::Truncate}, {"touch", EManifestCommand::Touch},
          {"attrs", EManifestCommand::Attrs}};
      if (const auto known = onePath.find(verb); known != onePath.end()) {
        cmd.kind = known->second;
        if (words.size() < 2) Fail(lineNumber, verb + " needs a path");
        cmd.path = words[1];
        SplitPath(cmd.path);
        if (cmd.kind == EManifestCommand::Attrs) {
          if (words.size() < 3) Fail(lineNumber, "attrs needs a list of attributes");
          cmd.entry.attributes = ParseAttributes(words[2], lineNumber);
          firstOption = 3;
        }
      } else if (verb == "rename") {
        cmd.kind = EManifestCommand::Rename;
        if (words.size() < 3) Fail(lineNumber, "rename needs the path and the new path");
        cmd.path = words[1];
        cmd.target = words[2];
        SplitPath(cmd.path);
        SplitPath(cmd.target);
        if (cmd.path == cmd.target) Fail(lineNumber, "rename to the same path");
        if (cmd.target.rfind(cmd.path + "/", 0) == 0) Fail(lineNumber, "rename into its own tree");
        firstOption = 3;
      } else if (verb == "journal") {
        cmd.kind = EManifestCommand::Journal;
        cmd.journalId = DefaultJournalId();
        firstOption = 1;
      } else if (verb == "link") {
        cmd.kind = EManifestCommand::Link;
        if (words.size() < 3) Fail(lineNumber, "link needs the existing file and the new name");
        cmd.target = words[1];
        cmd.path = words[2];
        SplitPath(cmd.target);
        SplitPath(cmd.path);
        firstOption = 3;
      } else if (verb == "mftfrag" || verb == "bulk") {
        cmd.kind = verb == "mftfrag" ? EManifestCommand::MftFrag : EManifestCommand::Bulk;
        firstOption = 1;
      } else {
        Fail(lineNumber, "unknown command \"" + verb + "\"");
      }
    } catch (const CManifestError& e) {
      if (std::string(e.what()).rfind("manifest line", 0) == 0) throw;
      Fail(lineNumber, e.what());
    }

    for (size_t i = firstOption; i < words.size(); ++i) {
      const SKeyValue kv = SplitOption(words[i]);
      bool taken = false;
      switch (cmd.kind) {
        case EManifestCommand::Dir:
          taken = TakeNameOrEntryOption(kv, cmd, true, lineNumber);
          break;
        case EManifestCommand::File:
          taken = TakeNameOrEntryOption(kv, cmd, true, lineNumber) || TakeContentOption(kv, cmd.content, lineNumber);
          break;
        case EManifestCommand::Link:
          taken = TakeNameOrEntryOption(kv, cmd, false, lineNumber);
          break;
        case EManifestCommand::Delete:
        case EManifestCommand::Rename:
        case EManifestCommand::Attrs:
          break;
        case EManifestCommand::Write:
          taken = true;
          if (kv.key == "size") {
            cmd.content.size = ParseSize(kv.value, lineNumber);
          } else if (kv.key == "at") {
            cmd.offset = ParseSize(kv.value, lineNumber);
          } else if (kv.key != "fill" || !TakeContentOption(kv, cmd.content, lineNumber)) {
            taken = false;
          }
          break;
        case EManifestCommand::Truncate:
          taken = kv.key == "size";
          if (taken) cmd.content.size = ParseSize(kv.value, lineNumber);
          break;
        case EManifestCommand::Touch:
          taken = (kv.key == "created" || kv.key == "written" || kv.key == "accessed") &&
                  TakeNameOrEntryOption(kv, cmd, true, lineNumber);
          break;
        case EManifestCommand::Journal:
          taken = true;
          if (kv.key == "size") {
            cmd.journalMaxSize = ParseSize(kv.value, lineNumber);
          } else if (kv.key == "delta") {
            cmd.journalDelta = ParseSize(kv.value, lineNumber);
          } else if (kv.key == "id") {
            cmd.journalId = ParseSize(kv.value, lineNumber);
          } else if (kv.key == "first") {
            cmd.journalFirst = ParseSize(kv.value, lineNumber) / 4096 * 4096;
          } else {
            taken = false;
          }
          break;
        case EManifestCommand::MftFrag:
          taken = true;
          if (kv.key == "dir") {
            cmd.path = kv.value;
          } else if (kv.key == "runs") {
            cmd.runs = ParseSize(kv.value, lineNumber);
          } else if (kv.key == "keep" && !kv.hasValue) {
            cmd.keepFiller = true;
          } else {
            taken = false;
          }
          break;
        case EManifestCommand::Bulk:
          taken = true;
          if (kv.key == "dir") {
            cmd.path = kv.value;
          } else if (kv.key == "dirs") {
            cmd.bulkDirs = static_cast<uint32_t>(ParseSize(kv.value, lineNumber));
          } else if (kv.key == "files") {
            cmd.bulkFiles = static_cast<uint32_t>(ParseSize(kv.value, lineNumber));
          } else if (kv.key == "size") {
            const auto dash = kv.value.find('-');
            if (dash == std::string::npos) Fail(lineNumber, "bulk size is MIN-MAX");
            cmd.bulkMinSize = ParseSize(kv.value.substr(0, dash), lineNumber);
            cmd.bulkMaxSize = ParseSize(kv.value.substr(dash + 1), lineNumber);
            if (cmd.bulkMinSize > cmd.bulkMaxSize) Fail(lineNumber, "bulk size MIN is above MAX");
          } else if (kv.key == "seed") {
            cmd.seed = ParseSize(kv.value, lineNumber);
          } else if (kv.key == "flat" && !kv.hasValue) {
            cmd.bulkFlat = true;
          } else {
            taken = false;
          }
          break;
      }
      if (!taken) Fail(lineNumber, "unknown option \"" + words[i] + "\" for " + verb);
    }

    if (cmd.kind == EManifestCommand::File) CheckContent(cmd);
    if (cmd.kind == EManifestCommand::MftFrag || cmd.kind == EManifestCommand::Bulk) {
      try {
        SplitPath(cmd.path);
      } catch (const CManifestError& e) {
        Fail(lineNumber, verb + " needs dir=PATH: " + e.what());
      }
    }
    if (cmd.kind == EManifestCommand::MftFrag && cmd.runs < 2) Fail(lineNumber, "mftfrag needs runs=N of at least 2");
    if (cmd.kind == EManifestCommand::Bulk && cmd.bulkDirs == 0) Fail(lineNumber, "bulk needs dirs=N of at least 1");
    if ((cmd.kind == EManifestCommand::Write && cmd.content.size == 0) ||
        (cmd.kind == EManifestCommand::Truncate && words.size() != 3)) {
      Fail(lineNumber, verb + " needs size=N" + (cmd.kind == EManifestCommand::Write ? " of at least 1" : ""));
    }
    if (cmd.kind == EManifestCommand::Journal && cmd.journalMaxSize < 4096) Fail(lineNumber, "a journal needs size=N of at least 4K");
    manifest.commands.push_back(std::move(cmd));
  }
  if (!haveVolume) throw CManifestError("manifest has no volume line");
  return manifest;
}

}  // namespace

SManifest ParseManifest(const std::string& text) { return ParseLines(text, false); }

std::vector<SCommand> ParseChanges(const std::string& text) { return ParseLines(text, true).commands; }

uint64_t DefaultJournalId() { return *ParseTime("2021-06-01T00:00:00"); }

}  // namespace ostrin::mkvol
