// Running helper programs as child processes, with both output streams captured through files.
#include "tests/support/run_program.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/support/child_process.h"

namespace ostrin::test {
namespace {

// A path for a new temporary file. Files rather than pipes, so that a program that writes much to both
// streams cannot block.
std::filesystem::path TemporaryPath(const char* stream) {
  static std::atomic<unsigned> count{0};
  static const unsigned run = std::random_device{}();
  return std::filesystem::path(::testing::TempDir()) /
         ("ostrin-test-" + std::to_string(run) + "-" + std::to_string(++count) + "." + stream);
}

// The file's text, and the file removed.
std::string TakeFile(const std::filesystem::path& path) {
  std::ostringstream text;
  {
    std::ifstream file(path, std::ios::binary);
    text << file.rdbuf();
  }
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  return text.str();
}

}  // namespace

SProgramResult RunProgram(const std::vector<std::string>& argv) {
  SProgramResult result;
  if (argv.empty()) return result;
  const std::filesystem::path out = TemporaryPath("out"), err = TemporaryPath("err");
  CChildProcess child;
  if (child.Start({.argv = argv, .folder = {}, .environment = {{"TZ", "UTC"}}, .outputPath = out.string(), .errorPath = err.string()})) {
    result.exitCode = child.WaitForExit(-1);
  }
  result.out = TakeFile(out);
  result.err = TakeFile(err);
  return result;
}

}  // namespace ostrin::test
