// Reader of "OstrinNT.ini".
#include "common/configuration.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <utility>

#include "common/text.h"

namespace {

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

constexpr std::string_view VOLUME_KEY_PREFIX = "volume.";

// Whether SetConfigurationFile named the file (set before the service's threads start).
bool g_configurationNamed = false;

// A whole number in decimal from low to high, and nothing else.
bool ParseWholeNumber(const std::string& text, long long low, long long high, long long* number) {
  char* end = nullptr;
  errno = 0;
  *number = std::strtoll(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && errno == 0 && *number >= low && *number <= high;
}

// What was wrong with a line, with its number.
void AddError(COstrinConfiguration& config, unsigned line, const std::string& text) {
  config.errors.push_back("line " + std::to_string(line) + ": " + text);
}

// "volume", "everyone" or "group NAME" (the words in any case, the name as the system writes it).
void ApplyAccess(std::string_view value, unsigned line, COstrinConfiguration& config) {
  using ostrin::platform::EAccessRule;
  constexpr std::string_view GROUP_WORD = "group";
  if (EqualsIgnoringCase(value, "volume")) {
    config.access = {EAccessRule::Volume, {}};
    return;
  }
  if (EqualsIgnoringCase(value, "everyone")) {
    config.access = {EAccessRule::Everyone, {}};
    return;
  }
  if (value.size() > GROUP_WORD.size() && EqualsIgnoringCase(value.substr(0, GROUP_WORD.size()), GROUP_WORD) &&
      IsBlank(value[GROUP_WORD.size()])) {
    const std::string_view name = Trim(value.substr(GROUP_WORD.size()));
    if (!name.empty()) {
      config.access = {EAccessRule::Group, std::string(name)};
      return;
    }
  }
  AddError(config, line, "access = " + std::string(value) + ": not volume, everyone or group NAME");
}

// A line without its comment: a '#' at its start, or after a blank, begins one (a '#' inside a word,
// as in a path "/images/disk#2.img", is part of it).
std::string_view WithoutComment(std::string_view line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '#' && (i == 0 || IsBlank(line[i - 1]))) return line.substr(0, i);
  }
  return line;
}

void ApplyLine(std::string_view text, unsigned lineNumber, COstrinConfiguration& config) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  const std::string_view line = Trim(WithoutComment(text));
  if (line.empty()) return;
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) {
    AddError(config, lineNumber, std::string(line) + ": not a line of KEY = VALUE");
    return;
  }
  const std::string_view key = Trim(line.substr(0, equals));
  const std::string value(Trim(line.substr(equals + 1)));
  const std::string keyText(key);
  if (EqualsIgnoringCase(key, "port")) {
    long long port = 0;
    if (!ParseWholeNumber(value, 1, 65535, &port)) {
      AddError(config, lineNumber, "port = " + value + ": not a port number from 1 to 65535");
      return;
    }
    config.port = static_cast<int32_t>(port);
    return;
  }
  if (EqualsIgnoringCase(key, "keep")) {
    // Whole seconds, at most a year: a drive kept longer is not kept, it is leaked.
    constexpr int64_t MAX_KEEP_SECONDS = 366LL * 24 * 3600;
    long long seconds = 0;
    if (!ParseWholeNumber(value, 0, MAX_KEEP_SECONDS, &seconds)) {
      AddError(config, lineNumber, "keep = " + value + ": not a whole number of seconds from 0 to " +
                                       std::to_string(MAX_KEEP_SECONDS));
      return;
    }
    config.keepSeconds = seconds;
    return;
  }
  if (EqualsIgnoringCase(key, "connections_per_user")) {
    long long count = 0;
    if (!ParseWholeNumber(value, 1, MAX_CONNECTIONS_PER_USER, &count)) {
      AddError(config, lineNumber, "connections_per_user = " + value + ": not a whole number from 1 to " +
                                       std::to_string(MAX_CONNECTIONS_PER_USER));
      return;
    }
    config.connectionsPerUser = count;
    return;
  }
  if (EqualsIgnoringCase(key, "access")) {
    ApplyAccess(value, lineNumber, config);
    return;
  }
  if (key.size() == VOLUME_KEY_PREFIX.size() + 1 && EqualsIgnoringCase(key.substr(0, VOLUME_KEY_PREFIX.size()), VOLUME_KEY_PREFIX)) {
    const int letter = std::toupper(static_cast<unsigned char>(key.back()));
    if (letter >= 'A' && letter <= 'Z') {
      if (value.empty()) {
        AddError(config, lineNumber, keyText + " = : no volume named");
        return;
      }
      config.volumes[static_cast<size_t>(letter - 'A')] = value;
      return;
    }
  }
  config.warnings.push_back("line " + std::to_string(lineNumber) + ": unknown key " + keyText + " (the line is left out)");
}

// The file that ReadConfigurationFile() reads.
std::string& ConfigurationPath() {
  static std::string path = CONFIGURATION_FILE;
  return path;
}

}  // namespace

const std::string& COstrinConfiguration::VolumeOf(WCHAR letter) const {
  static const std::string none;
  const WCHAR upper = AsciiUpper(letter);
  if (upper < 'A' || upper > 'Z') return none;
  return volumes[static_cast<size_t>(upper - 'A')];
}

COstrinConfiguration ReadConfigurationFile(const char* path) {
  COstrinConfiguration config;
  std::ifstream file(path, std::ios::binary);
  if (!file) return config;
  config.fileRead = true;
  unsigned lineNumber = 0;
  for (std::string line; std::getline(file, line);) ApplyLine(line, ++lineNumber, config);
  return config;
}

void SetConfigurationFile(std::string path) {
  ConfigurationPath() = std::move(path);
  g_configurationNamed = true;
}

const std::string& ConfigurationFile() { return ConfigurationPath(); }

bool ConfigurationFileNamed() { return g_configurationNamed; }

COstrinConfiguration ReadConfigurationFile() { return ReadConfigurationFile(ConfigurationPath().c_str()); }
