// The ostrin command's command line and help.
#include "tools/ostrin/command_line.h"

#include <algorithm>

#include "common/text.h"

namespace {

constexpr WCHAR SEPARATOR = '\\';
constexpr WCHAR DRIVE_COLON = ':';

struct SCommandName {
  ESubcommand command;
  const char* name;
};
constexpr SCommandName COMMANDS[] = {
    {ESubcommand::List, "ls"},   {ESubcommand::Tree, "tree"}, {ESubcommand::Usage, "du"},
    {ESubcommand::Find, "find"}, {ESubcommand::Info, "info"}, {ESubcommand::Help, "help"},
};

std::optional<ESortKey> SortKeyOfName(const std::string& name) {
  if (name == "name") return ESortKey::Name;
  if (name == "size") return ESortKey::Size;
  if (name == "time") return ESortKey::Time;
  if (name == "none") return ESortKey::None;
  return std::nullopt;
}

bool HasWildcard(const WString& text) { return text.find_first_of(WTEXT("*?")) != WString::npos; }

std::string Quoted(const WString& text) {
  std::string quoted(1, '\'');
  quoted += WideToUtf8(text);
  quoted.push_back('\'');
  return quoted;
}

// Which options a command takes beside those every command takes (--json, --progress, --no-dialog).
struct SOptionUse {
  bool longFormat = false;  // -l
  bool recursive = false;   // -R
  bool humanSizes = false;  // -h
  bool ordering = false;    // --sort, -r
};

SOptionUse OptionsOf(ESubcommand command) {
  switch (command) {
    case ESubcommand::List: return {true, true, true, true};
    case ESubcommand::Tree: return {false, false, false, true};
    case ESubcommand::Usage: return {false, false, true, true};
    case ESubcommand::Find: return {false, false, false, true};
    case ESubcommand::Info: return {false, false, true, false};
    default: return {};
  }
}

// Which of the given options the command does not take; empty when it takes them all.
std::string OptionNotTaken(const SOptions& options) {
  const SOptionUse use = OptionsOf(options.command);
  if (options.longFormat && !use.longFormat) return "-l";
  if (options.recursive && !use.recursive) return "-R";
  if (options.humanSizes && !use.humanSizes) return "-h";
  if (options.sort != ESortKey::Name && !use.ordering) return "--sort";
  if (options.reverse && !use.ordering) return "-r";
  if (options.listLetter != 0 && options.command != ESubcommand::List) return std::string("-") + options.listLetter;
  if (options.findDirectories && options.command != ESubcommand::Find) return "-type";
  if (options.findName && options.command != ESubcommand::Find) return "-name";
  return "";
}

bool SetSortKey(const std::string& name, SOptions* options, std::string* error) {
  const auto key = SortKeyOfName(name);
  if (!key) {
    *error = "unknown sort order '" + name + "': use name, size, time or none";
    return false;
  }
  options->sort = *key;
  return true;
}

}  // namespace

std::optional<ESubcommand> CommandOfName(const std::string& name) {
  for (const SCommandName& command : COMMANDS) {
    if (name == command.name) return command.command;
  }
  return std::nullopt;
}

const char* CommandName(ESubcommand command) {
  for (const SCommandName& entry : COMMANDS) {
    if (entry.command == command) return entry.name;
  }
  return "ostrin";
}

bool ParseCommandLine(int argc, WCHAR** argv, SOptions* options, std::string* error) {
  bool optionsEnded = false;
  bool commandSeen = false;
  for (int i = 1; i < argc; ++i) {
    const WString wide = argv[i];
    const std::string argument = WideToUtf8(wide);
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      if (!commandSeen) {
        const auto command = CommandOfName(argument);
        if (!command) {
          *error = "unknown command '" + argument + "'";
          return false;
        }
        options->command = *command;
        commandSeen = true;
      } else {
        options->operands.push_back(wide);
      }
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--help") {
      options->help = true;
    } else if (argument == "--version") {
      options->version = true;
    } else if (argument == "--json") {
      options->json = true;
    } else if (argument == "--progress") {
      options->progress = true;
    } else if (argument == "--no-progress") {
      options->progress = false;
    } else if (argument == "--no-dialog") {
      options->noDialog = true;
    } else if (argument.rfind("--sort=", 0) == 0) {
      if (!SetSortKey(argument.substr(7), options, error)) return false;
    } else if (argument == "--sort") {
      if (i + 1 == argc) {
        *error = "--sort needs an order: name, size, time or none";
        return false;
      }
      if (!SetSortKey(WideToUtf8(argv[++i]), options, error)) return false;
    } else if (argument == "-type" || argument == "-name") {
      // GNU find's tests, each with its value.
      if (i + 1 == argc) {
        *error = argument == "-type" ? "-type needs f (files) or d (directories)" : "-name needs a pattern";
        return false;
      }
      const WString value = argv[++i];
      if (argument == "-name") {
        options->findName = value;
      } else if (value == WTEXT("f") || value == WTEXT("d")) {
        options->findDirectories = value == WTEXT("d");
      } else {
        *error = "-type takes f (files) or d (directories), not " + Quoted(value);
        return false;
      }
    } else if (argument[1] != '-') {
      for (size_t k = 1; k < argument.size(); ++k) {
        switch (argument[k]) {
          case 'l': options->longFormat = true; break;
          case 'R': options->recursive = true; break;
          case 'h': options->humanSizes = true; break;
          case 'r': options->reverse = true; break;
          case 't':
          case 'S':
            options->sort = argument[k] == 't' ? ESortKey::Time : ESortKey::Size;
            options->listLetter = argument[k];
            break;
          case '1': options->listLetter = '1'; break;
          default:
            *error = "unknown option '-" + argument.substr(k, 1) + "'";
            return false;
        }
      }
    } else {
      *error = "unknown option '" + argument + "'";
      return false;
    }
  }
  if (options->help || options->version) return true;
  if (options->command == ESubcommand::None) {
    *error = "no command given";
    return false;
  }
  if (options->command == ESubcommand::Help) {
    if (options->operands.size() > 1) {
      *error = "help takes at most one command";
      return false;
    }
    if (!options->operands.empty() && !CommandOfName(WideToUtf8(options->operands[0]))) {
      *error = "unknown command " + Quoted(options->operands[0]);
      return false;
    }
    return true;
  }
  const std::string notTaken = OptionNotTaken(*options);
  if (!notTaken.empty()) {
    *error = std::string(CommandName(options->command)) + " takes no option " + notTaken;
    return false;
  }
  if (options->command == ESubcommand::Find && options->operands.size() == 1) {
    // The pattern of -name, or every entry, as GNU find lists them without one.
    options->operands.push_back(options->findName.value_or(WString(1, WCHAR{'*'})));
  } else if (options->command == ESubcommand::Find && options->findName) {
    *error = "find takes its pattern once: as an operand or after -name";
    return false;
  }
  const size_t wanted = options->command == ESubcommand::Find ? 2 : 1;
  if (options->operands.size() < wanted) {
    *error = std::string(CommandName(options->command)) +
             (options->command == ESubcommand::Find ? " needs a drive path, as in find S: *.txt"
              : options->command == ESubcommand::Info ? " needs a drive, as in info S:"
                                                   : " needs a drive path, as in S: or S:\\Documents");
    return false;
  }
  if (options->operands.size() > wanted) {
    *error = std::string(CommandName(options->command)) + " takes " + (wanted == 1 ? "one operand" : "two operands") +
             "; the extra one is " + Quoted(options->operands[wanted]);
    return false;
  }
  return true;
}

bool CheckOperands(const SOptions& options, SDrivePath* drivePath, std::string* error) {
  const WString& operand = options.operands[0];
  const std::string quoted = Quoted(operand);
  if (operand.size() < 2 || operand[1] != DRIVE_COLON) {
    *error = quoted + " is no drive path: give a drive letter and a colon first, as in S: or S:\\Documents";
    return false;
  }
  const WCHAR upper = AsciiUpper(operand[0]);
  if (upper < 'A' || upper > 'Z') {
    *error = quoted + ": a drive letter is A to Z";
    return false;
  }
  drivePath->letter = operand[0];
  drivePath->path = operand.size() == 2 ? WString(1, SEPARATOR) : operand.substr(2);
  // '/' separates names as '\' does (S:/Documents): no NTFS name holds one.
  std::replace(drivePath->path.begin(), drivePath->path.end(), WCHAR{'/'}, SEPARATOR);
  const WString& path = drivePath->path;
  if (path[0] != SEPARATOR) {
    *error = quoted + ": a path starts at the root, with a backslash after the colon: " +
             WideToUtf8(operand.substr(0, 2)) + "\\" + WideToUtf8(path);
    return false;
  }
  if (path.find(WTEXT("\\\\")) != WString::npos) {
    *error = quoted + ": the path has an empty name (two backslashes in a row)";
    return false;
  }
  const size_t lastSeparator = path.rfind(SEPARATOR);
  if (options.command == ESubcommand::List) {
    if (HasWildcard(path.substr(0, lastSeparator))) {
      *error = quoted + ": '*' and '?' may stand only in the last name of the path";
      return false;
    }
  } else if (HasWildcard(path)) {
    *error = quoted + ": " + CommandName(options.command) + " takes a directory, not a pattern";
    return false;
  }
  if (options.command == ESubcommand::Info && path.size() != 1) {
    *error = quoted + ": info takes only a drive, as in info " + WideToUtf8(operand.substr(0, 2));
    return false;
  }
  if (options.command == ESubcommand::Find) {
    const WString& pattern = options.operands[1];
    if (pattern.empty()) {
      *error = "the find pattern is empty; '*' finds every entry";
      return false;
    }
    if (pattern.find_first_of(WTEXT("\\/")) != WString::npos) {
      *error = "the find pattern " + Quoted(pattern) +
               " holds a path separator; it matches names: give the directory as the first operand";
      return false;
    }
  }
  return true;
}

std::string HelpText(ESubcommand command) {
  switch (command) {
    case ESubcommand::List:
      return "usage: ostrin ls [-l] [-R] [-h] [-t | -S] [-1] [--sort=KEY] [-r] [--json] X:[\\path\\][pattern]\n"
             "Lists the entries of a directory, sorted by name (without case). X:\\path lists\n"
             "the directory it names, or the one file; a last name with '*' and '?' lists what matches it.\n"
             "  -l  attributes (D directory, R read-only, H hidden, S system, A archive, C compressed,\n"
             "      P sparse, L two or more names), size, allocated size, last write time, and at the end\n"
             "      the number of files with their bytes and the number of directories\n"
             "  -R  each subdirectory too, after the directory it is in\n"
             "  -h  sizes in KiB, MiB, GiB, ... (rounded up)\n"
             "  -t  newest first (--sort=time); -S: largest first (--sort=size); -1: one name a line\n"
             "An empty directory lists nothing and exits 0; a pattern that matches nothing exits 1.\n";
    case ESubcommand::Tree:
      return "usage: ostrin tree [--sort=KEY] [-r] [--json] X:[\\path]\n"
             "Draws the tree of every entry below a directory, each directory's entries sorted.\n";
    case ESubcommand::Usage:
      return "usage: ostrin du [-h] [--sort=KEY] [-r] [--json] X:[\\path]\n"
             "Sums the sizes and allocated sizes of the files below each directory and prints each\n"
             "directory after those below it (--sort=size: the largest first), then the total number of\n"
             "files with their bytes and the number of directories below the one given.\n";
    case ESubcommand::Find:
      return "usage: ostrin find [--sort=KEY] [-r] [--json] [-type f|d] X:[\\path] [pattern | -name pattern]\n"
             "Prints every entry below a directory whose name matches the pattern ('*' any run, '?' one\n"
             "character; without case; every entry without one): a directory's matches, sorted, before\n"
             "those below it. -type f: files only; -type d: directories only.\n"
             "Exits 1 when nothing matches.\n";
    case ESubcommand::Info:
      return "usage: ostrin info [-h] [--json] X:\n"
             "Prints the size of the drive's image and its numbers of directories and files, with the\n"
             "files' total size and allocated size.\n";
    case ESubcommand::Help:
      return "usage: ostrin help [COMMAND]\n"
             "Prints the help of a command, or of ostrin.\n";
    case ESubcommand::None:
      break;
  }
  return "usage: ostrin COMMAND [OPTION]... X:[\\path]...\n"
         "Lists the files of a drive that the OstrinNT service indexes, through OstrinAPI.\n"
         "\n"
         "Commands:\n"
         "  ls X:[\\path\\][pattern]   the entries of a directory, or those that match a pattern\n"
         "  tree X:[\\path]           the tree below a directory\n"
         "  du X:[\\path]             sizes summed per directory, and the total\n"
         "  find X:[\\path] [pattern] every entry below a directory whose name matches\n"
         "  info X:                  the drive's image size, counts and totals\n"
         "  help [COMMAND]           this text, or the help of one command\n"
         "\n"
         "Options, before or after the command:\n"
         "  -l                  ls: attributes, sizes and time of each entry, and a summary\n"
         "  -R                  ls: the subdirectories too\n"
         "  -h                  ls, du, info: sizes in KiB, MiB, GiB, ...\n"
         "  --sort=KEY          ls, tree, du, find: name (the default; without case),\n"
         "                      size (largest first), time (last write, newest first) or none (the\n"
         "                      image's order: subdirectories first)\n"
         "  -r                  ls, tree, du, find: the reverse order\n"
         "  -t                  ls: newest first (--sort=time)\n"
         "  -S                  ls: largest first (--sort=size)\n"
         "  -1                  ls: one name a line (as always)\n"
         "  -type f|d           find: files only, or directories only\n"
         "  -name PATTERN       find: the pattern, as GNU find takes it (find S:\\ -name '*.txt')\n"
         "  --json              a JSON document on standard output instead of text\n"
         "  --progress, --no-progress\n"
         "                      the scan's progress bar on standard error (default: when it is a terminal)\n"
         "  --no-dialog         when nothing listens on the service's port, exit 3 at once instead of\n"
         "                      connecting (on Windows OstrinAPI would show a message box and wait for\n"
         "                      a click); on Windows this is the default when standard input is no console\n"
         "  --help, --version   this text; the versions of ostrin and OstrinAPI\n"
         "  --                  the arguments after it are no options\n"
         "\n"
         "A path starts at the drive's root, with backslashes: S:\\Documents\\*.txt (quote it in a shell),\n"
         "or with slashes: S:/Documents/*.txt.\n"
         "\n"
         "Exit codes: 0 done (also for an empty directory), 1 no such entry, 2 usage or a mistaken path,\n"
         "3 no service, 4 refused by the service, 5 volume error, 6 library or communication error,\n"
         "7 listed, but some directories no path can enter (a name with a backslash, or a second\n"
         "directory of one name in one directory: each is named on standard error), 130 interrupted.\n";
}
