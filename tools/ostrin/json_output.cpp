// ostrin's output as one JSON object, written as the command goes: "entries" (ls, find, du) or "tree",
// then "totals", "notEntered" and, when the command failed, "error" (alone when it failed before it
// found anything). An "error" member after entries says the listing ends early.
#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "tools/ostrin/json_writer.h"
#include "tools/ostrin/output.h"
#include "tools/tool_format.h"

namespace {

class CJsonOutput final : public COutput {
 public:
  CJsonOutput(const SOptions& options, int64_t utcOffsetSeconds)
      : m_options(options), m_utcOffsetSeconds(utcOffsetSeconds), m_json(stdout) {}

  void Directory(const std::string& /*path*/) override { OpenEntries(); }

  void Entry(const std::string& path, const SListedEntry* entry) override {
    OpenEntries();
    m_json.BeginObject();
    EntryFields(path, entry);
    m_json.EndObject();
  }

  void TreeTop(const std::string& path, const SListedEntry* entry) override {
    OpenDocument();
    m_json.Key("tree");
    m_json.BeginObject();
    EntryFields(path, entry);
    m_json.Key("children");
    m_json.BeginArray();
  }

  void TreeEntry(const std::string& path, const SListedEntry& entry, bool /*last*/, bool entered) override {
    m_json.BeginObject();
    EntryFields(path, &entry);
    if (entered) {
      m_json.Key("children");
      m_json.BeginArray();
    } else {
      m_json.EndObject();
    }
  }

  void LeaveDirectory() override {
    m_json.EndArray();
    m_json.EndObject();
  }

  void Usage(const std::string& path, const STotals& totals) override {
    OpenEntries();
    m_json.BeginObject();
    m_json.Key("path");
    m_json.String(path);
    TotalsFields(totals);
    m_json.EndObject();
  }

  void Summary(const STotals& totals) override {
    CloseToDocument();
    m_json.Key("totals");
    m_json.BeginObject();
    TotalsFields(totals);
    m_json.EndObject();
  }

  void Info(const SDriveFacts& facts) override {
    OpenDocument();
    m_json.Key("drive");
    m_json.String(facts.drive);
    m_json.Key("imageBytes");
    m_json.Number(facts.imageBytes);
    m_json.Key("directories");
    m_json.Number(facts.totals.directories);
    m_json.Key("files");
    m_json.Number(facts.totals.files);
    m_json.Key("size");
    m_json.Number(facts.totals.size);
    m_json.Key("allocated");
    m_json.Number(facts.totals.allocated);
    if (facts.generation) {
      m_json.Key("generation");
      m_json.Number(*facts.generation);
    }
    if (facts.builtLocal) {
      m_json.Key("built");
      m_json.String(FormatIsoTime(*facts.builtLocal, m_utcOffsetSeconds));
    }
  }

  void NotEntered(const std::vector<SNotEntered>& directories) override {
    if (directories.empty()) return;
    CloseToDocument();
    m_json.Key("notEntered");
    m_json.BeginArray();
    for (const SNotEntered& directory : directories) {
      m_json.BeginObject();
      m_json.Key("path");
      m_json.String(directory.path);
      m_json.Key("why");
      m_json.String(directory.why);
      m_json.EndObject();
    }
    m_json.EndArray();
  }

  void Error(WCHAR letter, std::optional<int32_t> code, const std::string& text) override {
    CloseToDocument();
    m_json.Key("error");
    m_json.BeginObject();
    m_json.Key("drive");
    m_json.String(letter != 0 ? WideToUtf8(WString(1, letter)) + ":" : "");
    m_json.Key("code");
    if (code) {
      m_json.Number(static_cast<int64_t>(*code));
    } else {
      m_json.Null();
    }
    m_json.Key("text");
    m_json.String(text);
    m_json.EndObject();
    m_failed = true;
  }

  void End() override {
    // A listing that found nothing is an empty list.
    const bool lists = m_options.command == ESubcommand::List || m_options.command == ESubcommand::Find ||
                       m_options.command == ESubcommand::Usage;
    if (lists && !m_failed) OpenEntries();
    OpenDocument();
    CloseToDocument();
    m_json.EndObject();
    m_json.Finish();
  }

  int WriteError() const override { return m_json.WriteError(); }

 private:
  void OpenDocument() {
    if (m_json.Depth() != 0) return;
    m_json.BeginObject();
  }
  // The list of entries, opened once.
  void OpenEntries() {
    if (m_entriesOpened) return;
    OpenDocument();
    m_json.Key("entries");
    m_json.BeginArray();
    m_entriesOpened = true;
  }
  // Ends what is open below the document's object (the list, or the tree down to where it is).
  void CloseToDocument() {
    OpenDocument();
    while (m_json.Depth() > 1) {
      const bool inTree = m_options.command == ESubcommand::Tree;
      m_json.EndArray();                    // the entries, or a directory's children
      if (inTree) m_json.EndObject();       // the directory
    }
  }

  // The fields of an entry, alike in every listing; the root, which has no entry, has null times.
  void EntryFields(const std::string& path, const SListedEntry* entry) {
    m_json.Key("path");
    m_json.String(path);
    m_json.Key("name");
    m_json.String(entry != nullptr ? WideToUtf8(entry->name) : "");
    m_json.Key("directory");
    m_json.Bool(entry == nullptr || entry->isDirectory);
    const uint32_t attributes = entry != nullptr ? entry->attributes : 0x10;
    m_json.Key("attributes");
    m_json.Number(static_cast<uint64_t>(attributes));
    m_json.Key("attributeNames");
    m_json.BeginArray();
    for (const std::string& name : AttributeNames(attributes)) m_json.String(name);
    m_json.EndArray();
    m_json.Key("size");
    m_json.Number(entry != nullptr ? entry->size : 0);
    m_json.Key("allocated");
    m_json.Number(entry != nullptr ? entry->allocated : 0);
    const auto time = [&](const char* key, uint64_t value) {
      m_json.Key(key);
      if (entry != nullptr) {
        m_json.String(FormatIsoTime(value, m_utcOffsetSeconds));
      } else {
        m_json.Null();
      }
    };
    time("lastWrite", entry != nullptr ? entry->lastWriteTime : 0);
    time("created", entry != nullptr ? entry->creationTime : 0);
    time("lastAccess", entry != nullptr ? entry->lastAccessTime : 0);
  }

  void TotalsFields(const STotals& totals) {
    m_json.Key("size");
    m_json.Number(totals.size);
    m_json.Key("allocated");
    m_json.Number(totals.allocated);
    m_json.Key("files");
    m_json.Number(totals.files);
    m_json.Key("directories");
    m_json.Number(totals.directories);
  }

  const SOptions& m_options;
  int64_t m_utcOffsetSeconds;
  CJsonWriter m_json;
  bool m_entriesOpened = false;
  bool m_failed = false;
};

}  // namespace

std::unique_ptr<COutput> MakeJsonOutput(const SOptions& options, int64_t utcOffsetSeconds) {
  return std::make_unique<CJsonOutput>(options, utcOffsetSeconds);
}
