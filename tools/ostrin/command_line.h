// The ostrin command's command line: options anywhere among the arguments, the command and its
// operands, the checks of drive paths and patterns, and the help texts.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

enum class ESubcommand { None, List, Tree, Usage, Find, Info, Help };

// The order of the entries of a directory.
enum class ESortKey {
  Name,  // by name, ASCII letters without case (as OstrinAPI compares names)
  Size,  // largest first
  Time,  // last write time, newest first
  None,  // the drive image's order: subdirectories first, then files
};

struct SOptions {
  ESubcommand command = ESubcommand::None;
  bool help = false;
  bool version = false;
  bool json = false;
  std::optional<bool> progress;  // unset: a progress bar when standard error is a terminal
  bool noDialog = false;
  bool longFormat = false;
  bool recursive = false;
  bool humanSizes = false;
  ESortKey sort = ESortKey::Name;
  bool reverse = false;
  // ls's -t and -S (--sort=time, --sort=size) and -1 (one name a line, as always): the letter given.
  char listLetter = 0;
  // find -type f | d: only files (false) or only directories (true).
  std::optional<bool> findDirectories;
  // find -name PATTERN, GNU find's way of giving the pattern.
  std::optional<WString> findName;
  std::vector<WString> operands;
};

// Reads the arguments (argv[0] is the program). False with *error, one line saying what is wrong,
// when they are no command line of ostrin. --help, --version and help are accepted without operands.
bool ParseCommandLine(int argc, WCHAR** argv, SOptions* options, std::string* error);

// A drive and a path from its root, as an operand gives them: letter as typed, path "\" or "\a\b" or
// "\a\b\" (a final backslash: the directory itself).
struct SDrivePath {
  WCHAR letter = 0;
  WString path;
};

// The drive path of the command's first operand and, for find, its pattern, checked as far as can be
// without the drive: a letter and colon, a path from the root with backslashes, no empty names,
// wildcards only in the last name of ls and nowhere in the others. False with *error otherwise.
bool CheckOperands(const SOptions& options, SDrivePath* drivePath, std::string* error);

// The help of a command, or the whole command's help for ESubcommand::None.
std::string HelpText(ESubcommand command);

// The name of a command as typed ("ls"), and the command of a name.
const char* CommandName(ESubcommand command);
std::optional<ESubcommand> CommandOfName(const std::string& name);
