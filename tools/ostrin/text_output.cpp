// ostrin's output as text: what ls, dir, tree and du print, one line at a time.
#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "tools/ostrin/output.h"
#include "tools/tool_format.h"

namespace {

class CTextOutput final : public COutput {
 public:
  explicit CTextOutput(const SOptions& options) : m_options(options) {}

  void Directory(const std::string& path) override {
    // A heading for each directory of ls -R, and for each operand when ls has several.
    if (!m_options.recursive && m_options.operands.size() < 2) return;
    if (m_directories++ != 0) std::fputc('\n', stdout);
    std::printf("Directory of %s\n", path.c_str());
  }

  void Entry(const std::string& path, const SListedEntry* entry) override {
    // find and ls -d name an entry by its path, ls by its name.
    const bool byPath = m_options.command == ESubcommand::Find || m_options.directoriesOnly || entry == nullptr;
    const std::string name = byPath ? path : WideToUtf8(entry->name) + (entry->isDirectory ? "\\" : "");
    if (!m_options.longFormat) {
      std::printf("%s\n", name.c_str());
      return;
    }
    const bool directory = entry == nullptr || entry->isDirectory;
    const std::string size = directory ? "<DIR>" : SizeText(entry->size);
    const std::string allocated = directory ? "" : SizeText(entry->allocated);
    // The root has no entry of its own, and so no attributes and times.
    std::printf("%s %15s %15s  %s  %s\n", FormatAttributes(entry != nullptr ? entry->attributes : 0x10).c_str(),
                size.c_str(), allocated.c_str(),
                entry != nullptr ? FormatFileTime(entry->lastWriteTime).c_str() : "                   ", name.c_str());
  }

  void TreeTop(const std::string& path, const SListedEntry* /*entry*/) override { std::printf("%s\n", path.c_str()); }

  void TreeEntry(const std::string& /*path*/, const SListedEntry& entry, bool last, bool entered) override {
    std::printf("%s%s%s%s\n", m_indent.c_str(), last ? "\\-- " : "+-- ", WideToUtf8(entry.name).c_str(),
                entry.isDirectory ? "\\" : "");
    if (!entered) return;
    m_indent += last ? "    " : "|   ";
  }

  void LeaveDirectory() override {
    if (m_indent.size() >= INDENT_WIDTH) m_indent.resize(m_indent.size() - INDENT_WIDTH);
  }

  void Usage(const std::string& path, const STotals& totals) override {
    std::printf("%15s %15s  %s\n", SizeText(totals.size).c_str(), SizeText(totals.allocated).c_str(), path.c_str());
  }

  void Summary(const STotals& totals) override {
    if (m_options.command == ESubcommand::Tree) {
      // As tree ends: "3 directories, 12 files" (with -d the directories alone).
      std::printf("\n%llu director%s", static_cast<unsigned long long>(totals.directories),
                  totals.directories == 1 ? "y" : "ies");
      if (!m_options.directoriesOnly) {
        std::printf(", %llu file%s", static_cast<unsigned long long>(totals.files), totals.files == 1 ? "" : "s");
      }
      std::fputc('\n', stdout);
      return;
    }
    // ls -l and du end as dir does.
    if (m_options.command == ESubcommand::List && !m_options.longFormat) return;
    if (m_options.command == ESubcommand::List && m_directories != 0) std::fputc('\n', stdout);
    std::printf("%8llu file(s)  %s, %s allocated\n%8llu dir(s)\n", static_cast<unsigned long long>(totals.files),
                Bytes(totals.size).c_str(), SizeText(totals.allocated).c_str(),
                static_cast<unsigned long long>(totals.directories));
  }

  void Info(const SDriveFacts& facts) override {
    std::printf("Drive        %s\nImage        %s\nDirectories  %llu\nFiles        %llu\nSize         %s\n"
                "Allocated    %s\n",
                facts.drive.c_str(), Bytes(facts.imageBytes).c_str(),
                static_cast<unsigned long long>(facts.totals.directories),
                static_cast<unsigned long long>(facts.totals.files), Bytes(facts.totals.size).c_str(),
                Bytes(facts.totals.allocated).c_str());
    if (facts.generation) {
      std::printf("Generation   %llu\n", static_cast<unsigned long long>(*facts.generation));
    }
    if (facts.builtLocal) std::printf("Built        %s\n", FormatFileTime(*facts.builtLocal).c_str());
  }

  // Said on standard error by the command; a text listing has nothing to add.
  void NotEntered(const std::vector<SNotEntered>& /*directories*/) override {}
  void Error(WCHAR /*letter*/, std::optional<int32_t> /*code*/, const std::string& /*text*/) override {}
  void End() override {}

 private:
  static constexpr size_t INDENT_WIDTH = 4;

  std::string SizeText(uint64_t bytes) const {
    return m_options.humanSizes ? FormatHumanSize(bytes) : std::to_string(bytes);
  }
  // A size that stands alone: "1234 bytes", or "1.3K".
  std::string Bytes(uint64_t bytes) const {
    return m_options.humanSizes ? FormatHumanSize(bytes) : std::to_string(bytes) + " bytes";
  }

  const SOptions& m_options;
  size_t m_directories = 0;  // directories listed under a heading
  std::string m_indent;      // of the tree's next entries
};

}  // namespace

std::unique_ptr<COutput> MakeTextOutput(const SOptions& options) { return std::make_unique<CTextOutput>(options); }
