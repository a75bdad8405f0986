// Test helpers: a fresh folder per test, and the records of the event-log file that OSTRIN_EVENT_LOG names.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

// A new empty folder under the test temporary folder.
inline std::string MakeTestFolder() {
  static std::mt19937_64 names{std::random_device{}()};
  for (;;) {
    const std::string folder = ::testing::TempDir() + "ostrin_service_" + std::to_string(names());
    std::error_code error;
    if (std::filesystem::create_directory(folder, error)) return folder;
    if (error) {
      ADD_FAILURE() << "cannot make " << folder << ": " << error.message();
      return folder;
    }
  }
}

// Sets or removes a variable of the test's own environment (the event source reads OSTRIN_EVENT_LOG
// when it opens).
inline void SetTestVariable(const char* name, const std::string& value) {
#ifdef _WIN32
  ASSERT_EQ(_putenv_s(name, value.c_str()), 0);
#else
  ASSERT_EQ(setenv(name, value.c_str(), 1), 0);
#endif
}
inline void UnsetTestVariable(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// True when the text is an ISO time stamp as the log writes it, "2024-05-01T12:34:56.789Z".
inline bool IsIsoTime(const std::string& text) {
  const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool ok = shape[i] == 'd' ? (text[i] >= '0' && text[i] <= '9') : text[i] == shape[i];
    if (!ok) return false;
  }
  return true;
}

// The records of an event-log file as "<type> <id> <text>": each line must be whole, with an ISO time
// stamp, a type word and a number in front; a line that is not fails the test.
inline std::vector<std::string> EventRecords(const std::string& path) {
  std::vector<std::string> records;
  std::istringstream text(ReadWholeFile(path));
  for (std::string line; std::getline(text, line);) {
    std::istringstream fields(line);
    std::string time;
    std::string type;
    std::string id;
    fields >> time >> type >> id;
    const bool wellFormed = IsIsoTime(time) && (type == "error" || type == "warning" || type == "information") &&
                            !id.empty() && id.find_first_not_of("0123456789") == std::string::npos &&
                            line.size() > time.size() + type.size() + id.size() + 2 &&
                            line[time.size() + type.size() + id.size() + 2] == ' ';
    if (wellFormed) {
      records.push_back(line.substr(time.size() + 1));
    } else {
      ADD_FAILURE() << "malformed event-log line: " << line;
    }
  }
  return records;
}
