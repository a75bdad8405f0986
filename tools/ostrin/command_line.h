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
  bool longFormat = false;       // ls -l
  bool recursive = false;        // ls -R
  bool humanSizes = false;       // -h
  ESortKey sort = ESortKey::Name;
  bool reverse = false;
  // -d: ls lists a directory operand itself, not its entries; tree draws only directories.
  bool directoriesOnly = false;
  // tree -L N: no deeper than N levels below the directory given.
  std::optional<uint32_t> levels;
  // du --max-depth N (du -s: 0): only the directories at most N levels below the one given.
  std::optional<uint32_t> maxDepth;
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

// The drive path of one operand, checked as far as can be without the drive: a letter and colon, a
// path from the root with backslashes (or slashes), no empty names, wildcards only in the last name of
// ls's and nowhere in the others'. False with *error otherwise.
bool CheckDrivePath(const SOptions& options, const WString& operand, SDrivePath* drivePath, std::string* error);

// The drive paths of the command's operands (several for ls, one for the others) and find's pattern,
// checked. False with *error, and *failed the operand at fault, otherwise.
bool CheckOperands(const SOptions& options, std::vector<SDrivePath>* drivePaths, std::string* error,
                   const WString** failed);

// The help of a command, or the whole command's help for ESubcommand::None.
std::string HelpText(ESubcommand command);

// The name of a command as typed ("ls"), and the command of a name.
const char* CommandName(ESubcommand command);
std::optional<ESubcommand> CommandOfName(const std::string& name);
