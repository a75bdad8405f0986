// Replays inputs through a fuzz target's entry point without libFuzzer: every file named, and every
// file of every folder named (in name order; a folder that does not exist has none). Built with each
// target in the normal build, under the sanitizers, so that the test suite runs every kept input and
// every seed through every target; an input that breaks a target ends the program as it would end
// the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// The mutators call libFuzzer's byte mutation; nothing mutates here.
extern "C" size_t LLVMFuzzerMutate(uint8_t*, size_t size, size_t) { return size; }

namespace {

std::vector<std::string> InputsOf(const std::string& argument) {
  std::vector<std::string> files;
  std::error_code ec;
  if (!std::filesystem::is_directory(argument, ec)) {
    if (std::filesystem::exists(argument, ec)) files.push_back(argument);
    return files;
  }
  for (const auto& entry : std::filesystem::directory_iterator(argument, ec)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const std::string& path : InputsOf(argv[i])) {
      std::ifstream in(path, std::ios::binary);
      const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      // A buffer of exactly the input's size, as libFuzzer hands it over, so that a read past the
      // input is caught.
      auto input = std::make_unique<uint8_t[]>(bytes.size());
      std::copy(bytes.begin(), bytes.end(), input.get());
      std::printf("%s\n", path.c_str());
      std::fflush(stdout);
      LLVMFuzzerTestOneInput(input.get(), bytes.size());
      ++replayed;
    }
  }
  std::printf("%zu inputs replayed\n", replayed);
  return 0;
}
