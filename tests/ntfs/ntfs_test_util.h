// Helpers of the volume reader's tests: the failure of an open, sleuthkit's view of a record, and a
// working directory of a test's own with an "OstrinNT.ini".
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "common/text.h"
#if !defined(_WIN32)
#include "tests/support/run_program.h"
#endif

namespace ostrin::test {

// "code text" of the failure a call throws, or "no failure".
inline std::string FailureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const CException& e) {
    return std::to_string(e.Code()) + " " + WideToUtf8(e.Message());
  }
  return "no failure";
}

#if !defined(_WIN32)
// The bytes of a record's attribute as sleuthkit reads them (icat IMAGE record-type[-id]).
inline std::string IcatBytes(const std::string& image, const std::string& address) {
  const SProgramResult result = RunProgram({"icat", image, address});
  EXPECT_EQ(result.exitCode, 0) << "icat " << address << ": " << result.err;
  return result.out;
}
#endif

// Switches the process into a fresh directory of its own holding an OstrinNT.ini with the given text,
// and back when destroyed. Each test runs in a process of its own, so the switch is private to it.
class CScopedConfiguration {
 public:
  explicit CScopedConfiguration(const std::string& iniText) : m_previous(std::filesystem::current_path()) {
    // A folder that did not exist: creating one fails when it does.
    std::mt19937_64 random(std::random_device{}());
    do {
      m_directory = std::filesystem::temp_directory_path() / ("ostrin-config-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(m_directory));
    std::ofstream(m_directory / "OstrinNT.ini") << iniText;
    std::filesystem::current_path(m_directory);
  }
  ~CScopedConfiguration() {
    std::filesystem::current_path(m_previous);
    std::filesystem::remove_all(m_directory);
  }
  CScopedConfiguration(const CScopedConfiguration&) = delete;
  CScopedConfiguration& operator=(const CScopedConfiguration&) = delete;

 private:
  std::filesystem::path m_previous;
  std::filesystem::path m_directory;
};

}  // namespace ostrin::test
