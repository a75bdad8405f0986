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

bool SetSortKey(const std::string& name, SOptions* options, std::string* error) {
  const auto key = SortKeyOfName(name);
  if (!key) {
    *error = "unknown sort order '" + name + "': use name, size, time or none";
    return false;
  }
  options->sort = *key;
  return true;
}

// The options, each with the commands that take it.
enum class EOption {
  Help, Version, Json, Progress, NoProgress, NoDialog, Long, Recursive, Human, Time, Size, OneLine, All,
  Directories, Levels, Summarize, MaxDepth, Sort, Reverse, Type, Name,
};

constexpr unsigned CommandBit(ESubcommand command) { return 1U << static_cast<unsigned>(command); }
constexpr unsigned EVERY_COMMAND = ~0U;
constexpr unsigned LS = CommandBit(ESubcommand::List);
constexpr unsigned TREE = CommandBit(ESubcommand::Tree);
constexpr unsigned DU = CommandBit(ESubcommand::Usage);
constexpr unsigned FIND = CommandBit(ESubcommand::Find);
constexpr unsigned INFO = CommandBit(ESubcommand::Info);

struct SOptionRow {
  EOption option;
  char letter;          // -x, which may be bundled with others (-lR); or 0
  const char* word;     // --word, or GNU find's -word; or nullptr
  unsigned commands;    // the commands that take it
  const char* missing;  // for an option with a value: what to say when none follows; else nullptr
};

constexpr SOptionRow OPTION_ROWS[] = {
    {EOption::Help, 0, "--help", EVERY_COMMAND, nullptr},
    {EOption::Version, 0, "--version", EVERY_COMMAND, nullptr},
    {EOption::Json, 0, "--json", EVERY_COMMAND, nullptr},
    {EOption::Progress, 0, "--progress", EVERY_COMMAND, nullptr},
    {EOption::NoProgress, 0, "--no-progress", EVERY_COMMAND, nullptr},
    {EOption::NoDialog, 0, "--no-dialog", EVERY_COMMAND, nullptr},
    {EOption::Long, 'l', nullptr, LS, nullptr},
    {EOption::Recursive, 'R', nullptr, LS, nullptr},
    {EOption::Human, 'h', nullptr, LS | DU | INFO, nullptr},
    {EOption::Time, 't', nullptr, LS, nullptr},
    {EOption::Size, 'S', nullptr, LS, nullptr},
    {EOption::OneLine, '1', nullptr, LS, nullptr},
    {EOption::All, 'a', nullptr, LS, nullptr},
    {EOption::Directories, 'd', nullptr, LS | TREE, nullptr},
    {EOption::Levels, 'L', nullptr, TREE, "-L needs a number of levels"},
    {EOption::Summarize, 's', nullptr, DU, nullptr},
    {EOption::MaxDepth, 0, "--max-depth", DU, "--max-depth needs a number of levels"},
    {EOption::Sort, 0, "--sort", LS | TREE | DU | FIND, "--sort needs an order: name, size, time or none"},
    {EOption::Reverse, 'r', nullptr, LS | TREE | DU | FIND, nullptr},
    {EOption::Type, 0, "-type", FIND, "-type needs f (files) or d (directories)"},
    {EOption::Name, 0, "-name", FIND, "-name needs a pattern"},
};

const SOptionRow* RowOfWord(const std::string& word) {
  for (const SOptionRow& row : OPTION_ROWS) {
    if (row.word != nullptr && word == row.word) return &row;
  }
  return nullptr;
}

const SOptionRow* RowOfLetter(char letter) {
  for (const SOptionRow& row : OPTION_ROWS) {
    if (row.letter != 0 && row.letter == letter) return &row;
  }
  return nullptr;
}

// A count of levels: decimal digits, at most a billion.
std::optional<uint32_t> LevelsOf(const WString& text) {
  constexpr uint64_t MOST = 1'000'000'000;
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (const WCHAR unit : text) {
    if (unit < '0' || unit > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(unit - '0');
  }
  if (value > MOST) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// Sets what one option says; false with *error when its value cannot be used.
bool ApplyOption(EOption option, const WString& value, SOptions* options, std::string* error) {
  switch (option) {
    case EOption::Help: options->help = true; break;
    case EOption::Version: options->version = true; break;
    case EOption::Json: options->json = true; break;
    case EOption::Progress: options->progress = true; break;
    case EOption::NoProgress: options->progress = false; break;
    case EOption::NoDialog: options->noDialog = true; break;
    case EOption::Long: options->longFormat = true; break;
    case EOption::Recursive: options->recursive = true; break;
    case EOption::Human: options->humanSizes = true; break;
    case EOption::Time: options->sort = ESortKey::Time; break;
    case EOption::Size: options->sort = ESortKey::Size; break;
    case EOption::OneLine: break;  // one name a line, as always
    case EOption::All: break;      // every entry, as always: a drive hides no name from a listing
    case EOption::Directories: options->directoriesOnly = true; break;
    case EOption::Reverse: options->reverse = true; break;
    case EOption::Summarize: options->maxDepth = 0; break;
    case EOption::Levels:
    case EOption::MaxDepth: {
      const auto levels = LevelsOf(value);
      const bool tree = option == EOption::Levels;
      if (!levels || (tree && *levels == 0)) {
        *error = std::string(tree ? "-L takes a number of levels from 1" : "--max-depth takes a number of levels") +
                 ", not " + Quoted(value);
        return false;
      }
      (tree ? options->levels : options->maxDepth) = *levels;
      break;
    }
    case EOption::Sort: return SetSortKey(WideToUtf8(value), options, error);
    case EOption::Type:
      if (value != WTEXT("f") && value != WTEXT("d")) {
        *error = "-type takes f (files) or d (directories), not " + Quoted(value);
        return false;
      }
      options->findDirectories = value == WTEXT("d");
      break;
    case EOption::Name: options->findName = value; break;
  }
  return true;
}

// An option as given, and the spelling a message names it by (-l, --sort).
struct SGivenOption {
  const SOptionRow* row;
  std::string spelling;
};

// Reads the option argument argv[*i] (and its value, which may be the next argument).
bool ReadOption(int argc, WCHAR** argv, int* i, std::vector<SGivenOption>* given, SOptions* options,
                std::string* error) {
  const std::string argument = WideToUtf8(argv[*i]);
  const auto take = [&](const SOptionRow& row, const std::string& spelling, std::optional<WString> value) {
    if (row.missing != nullptr && !value) {
      if (*i + 1 == argc) {
        *error = row.missing;
        return false;
      }
      value = argv[++*i];
    }
    given->push_back({&row, spelling});
    return ApplyOption(row.option, value.value_or(WString()), options, error);
  };
  if (argument[1] == '-' || RowOfWord(argument) != nullptr) {
    // --word, --word=value, or one of GNU find's -word.
    const size_t equals = argument.find('=');
    const std::string word = argument.substr(0, equals);
    const SOptionRow* row = RowOfWord(word);
    if (row == nullptr) {
      *error = "unknown option '" + argument + "'";
      return false;
    }
    if (equals != std::string::npos && row->missing == nullptr) {
      *error = "option " + word + " takes no value";
      return false;
    }
    std::optional<WString> value;
    if (equals != std::string::npos) value = Utf8ToWide(argument.substr(equals + 1));
    return take(*row, word, value);
  }
  // -lR, -L2, -L 2: letters; one that takes a value takes the rest of the argument, or the next one.
  for (size_t k = 1; k < argument.size(); ++k) {
    const SOptionRow* row = RowOfLetter(argument[k]);
    if (row == nullptr) {
      *error = "unknown option '-" + argument.substr(k, 1) + "'";
      return false;
    }
    std::optional<WString> value;
    if (row->missing != nullptr && k + 1 < argument.size()) value = Utf8ToWide(argument.substr(k + 1));
    if (!take(*row, std::string("-") + argument[k], value)) return false;
    if (row->missing != nullptr) break;
  }
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
  std::vector<SGivenOption> given;
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
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (!ReadOption(argc, argv, &i, &given, options, error)) {
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
  const std::string name = CommandName(options->command);
  bool summarize = false;
  bool maxDepth = false;
  for (const SGivenOption& option : given) {
    if ((option.row->commands & CommandBit(options->command)) == 0) {
      *error = name + " takes no option " + option.spelling;
      return false;
    }
    summarize = summarize || option.row->option == EOption::Summarize;
    maxDepth = maxDepth || option.row->option == EOption::MaxDepth;
  }
  if (summarize && maxDepth && options->maxDepth != 0U) {
    *error = "du -s prints only the directory given: it takes no --max-depth above 0";
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
    *error = name + (options->command == ESubcommand::Find ? " needs a drive path, as in find S: *.txt"
                     : options->command == ESubcommand::Info ? " needs a drive, as in info S:"
                                                           : " needs a drive path, as in S: or S:\\Documents");
    return false;
  }
  // ls lists each of its operands in turn.
  if (options->operands.size() > wanted && options->command != ESubcommand::List) {
    *error = name + " takes " + (wanted == 1 ? "one operand" : "two operands") + "; the extra one is " +
             Quoted(options->operands[wanted]);
    return false;
  }
  return true;
}

bool CheckDrivePath(const SOptions& options, const WString& operand, SDrivePath* drivePath, std::string* error) {
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
  return true;
}

bool CheckOperands(const SOptions& options, std::vector<SDrivePath>* drivePaths, std::string* error,
                   const WString** failed) {
  const size_t paths = options.command == ESubcommand::Find ? 1 : options.operands.size();
  for (size_t i = 0; i < paths; ++i) {
    *failed = &options.operands[i];
    SDrivePath drivePath;
    if (!CheckDrivePath(options, options.operands[i], &drivePath, error)) return false;
    drivePaths->push_back(std::move(drivePath));
  }
  if (options.command == ESubcommand::Find) {
    const WString& pattern = options.operands[1];
    *failed = &pattern;
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
  *failed = nullptr;
  return true;
}

std::string HelpText(ESubcommand command) {
  switch (command) {
    case ESubcommand::List:
      return "usage: ostrin ls [-l] [-R] [-a] [-d] [-h] [-t | -S] [-1] [--sort=KEY] [-r] [--json] "
             "X:[\\path\\][pattern]...\n"
             "Lists the entries of a directory, sorted by name (without case). X:\\path lists\n"
             "the directory it names, or the one file; a last name with '*' and '?' lists what matches it.\n"
             "Several operands are listed in turn, each under its directory's name.\n"
             "  -l  attributes (D directory, R read-only, H hidden, S system, A archive, C compressed,\n"
             "      P sparse, L two or more names), size, allocated size, last write time, and at the end\n"
             "      the number of files with their bytes and the number of directories\n"
             "  -R  each subdirectory too, after the directory it is in\n"
             "  -a  every entry, hidden and system ones too (as always: a drive hides none)\n"
             "  -d  a directory itself, not its entries\n"
             "  -h  sizes as ls -h gives them: 4.0K, 1.5M, 12G (1024s, rounded up)\n"
             "  -t  newest first (--sort=time); -S: largest first (--sort=size); -1: one name a line\n"
             "An empty directory lists nothing and exits 0; a pattern that matches nothing exits 1.\n";
    case ESubcommand::Tree:
      return "usage: ostrin tree [-d] [-L LEVELS] [--sort=KEY] [-r] [--json] X:[\\path]\n"
             "Draws the tree of every entry below a directory, each directory's entries sorted, and ends\n"
             "with the number of directories and files drawn.\n"
             "  -d         directories only\n"
             "  -L LEVELS  no deeper than LEVELS below the directory given (1: its own entries)\n";
    case ESubcommand::Usage:
      return "usage: ostrin du [-h] [-s | --max-depth=N] [--sort=KEY] [-r] [--json] X:[\\path]\n"
             "Sums the sizes and allocated sizes of the files below each directory and prints each\n"
             "directory after those below it (--sort=size: the largest first), then the total number of\n"
             "files with their bytes and the number of directories below the one given.\n"
             "  -s           only the directory given (--max-depth=0)\n"
             "  --max-depth  only the directories at most N levels below the one given; all are summed\n";
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
         "  ls X:[\\path\\][pattern]... the entries of directories, or those that match a pattern\n"
         "  tree X:[\\path]           the tree below a directory\n"
         "  du X:[\\path]             sizes summed per directory, and the total\n"
         "  find X:[\\path] [pattern] every entry below a directory whose name matches\n"
         "  info X:                  the drive's image size, counts and totals\n"
         "  help [COMMAND]           this text, or the help of one command\n"
         "\n"
         "Options, before or after the command:\n"
         "  -l                  ls: attributes, sizes and time of each entry, and a summary\n"
         "  -R                  ls: the subdirectories too\n"
         "  -a                  ls: every entry (as always)\n"
         "  -d                  ls: a directory itself, not its entries; tree: directories only\n"
         "  -h                  ls, du, info: sizes as ls -h gives them (4.0K, 1.5M, 12G)\n"
         "  --sort=KEY          ls, tree, du, find: name (the default; without case),\n"
         "                      size (largest first), time (last write, newest first) or none (the\n"
         "                      image's order: subdirectories first)\n"
         "  -r                  ls, tree, du, find: the reverse order\n"
         "  -t                  ls: newest first (--sort=time)\n"
         "  -S                  ls: largest first (--sort=size)\n"
         "  -1                  ls: one name a line (as always)\n"
         "  -L LEVELS           tree: no deeper than LEVELS below the directory given\n"
         "  -s                  du: only the directory given\n"
         "  --max-depth=N       du: only the directories at most N levels below the one given\n"
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
