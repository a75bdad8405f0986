// Helpers of the volume reader's tests: the failure of an open, sleuthkit's view of a record, and a
// working directory of a test's own with an "OstrinNT.ini".
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "common/text.h"
#include "tests/support/run_program.h"

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

// The bytes of a record's attribute as sleuthkit reads them (icat IMAGE record-type[-id]).
inline std::string IcatBytes(const std::string& image, const std::string& address) {
  const SProgramResult result = RunProgram({"icat", image, address});
  EXPECT_EQ(result.exitCode, 0) << "icat " << address << ": " << result.err;
  return result.out;
}

// Switches the process into a fresh directory of its own holding an OstrinNT.ini with the given text,
// and back when destroyed. Each test runs in a process of its own, so the switch is private to it.
class CScopedConfiguration {
 public:
  explicit CScopedConfiguration(const std::string& iniText) : m_previous(std::filesystem::current_path()) {
    char pattern[] = "/tmp/ostrin-config-XXXXXX";
    m_directory = mkdtemp(pattern);
    std::ofstream(m_directory + "/OstrinNT.ini") << iniText;
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
  std::string m_directory;
};

}  // namespace ostrin::test
