// The process entry on POSIX: the UTF-8 arguments become UTF-16 before the program sees them.
#include "platform/program_entry.h"

#include <vector>

#include "platform/text.h"

int main(int argc, char** argv) {
  std::vector<WString> arguments;
  arguments.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(Utf8ToWide(argv[i]));
  std::vector<WCHAR*> pointers;
  for (WString& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  return ProgramMain(argc, pointers.data());
}
