// Reader of "OstrinNT.ini".
#include "common/configuration.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

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

// A whole number in decimal from low to high, and nothing else.
bool ParseWholeNumber(const std::string& text, long long low, long long high, long long* number) {
  char* end = nullptr;
  errno = 0;
  *number = std::strtoll(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && errno == 0 && *number >= low && *number <= high;
}

// "volume", "everyone" or "group NAME" (the words in any case, the name as the system writes it).
void ApplyAccess(std::string_view value, COstrinConfiguration& config) {
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
  config.problems.push_back("access = " + std::string(value) + ": not volume, everyone or group NAME");
}

void ApplyLine(std::string_view line, COstrinConfiguration& config) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  line = Trim(line);
  if (line.empty() || line.front() == '#') return;
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return;
  const std::string_view key = Trim(line.substr(0, equals));
  const std::string_view value = Trim(line.substr(equals + 1));
  if (EqualsIgnoringCase(key, "port")) {
    const std::string text(value);
    config.port = static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
    return;
  }
  if (EqualsIgnoringCase(key, "keep")) {
    // Whole seconds, at most a year: a drive kept longer is not kept, it is leaked.
    constexpr int64_t MAX_KEEP_SECONDS = 366LL * 24 * 3600;
    const std::string text(value);
    long long seconds = 0;
    if (!ParseWholeNumber(text, 0, MAX_KEEP_SECONDS, &seconds)) {
      config.problems.push_back("keep = " + text + ": not a whole number of seconds from 0 to " +
                                std::to_string(MAX_KEEP_SECONDS));
      return;
    }
    config.keepSeconds = seconds;
    return;
  }
  if (EqualsIgnoringCase(key, "connections_per_user")) {
    const std::string text(value);
    long long count = 0;
    if (!ParseWholeNumber(text, 1, MAX_CONNECTIONS_PER_USER, &count)) {
      config.problems.push_back("connections_per_user = " + text + ": not a whole number from 1 to " +
                                std::to_string(MAX_CONNECTIONS_PER_USER));
      return;
    }
    config.connectionsPerUser = count;
    return;
  }
  if (EqualsIgnoringCase(key, "access")) {
    ApplyAccess(value, config);
    return;
  }
  if (key.size() == VOLUME_KEY_PREFIX.size() + 1 && EqualsIgnoringCase(key.substr(0, VOLUME_KEY_PREFIX.size()), VOLUME_KEY_PREFIX)) {
    const int letter = std::toupper(static_cast<unsigned char>(key.back()));
    if (letter >= 'A' && letter <= 'Z') config.volumes[static_cast<size_t>(letter - 'A')] = std::string(value);
  }
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
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path, "r"), &std::fclose);
  if (!file) return config;
  char line[256];
  while (std::fgets(line, sizeof line, file.get()) != nullptr) ApplyLine(line, config);
  return config;
}
