// Makes an NTFS image from a manifest: mkntfs, then the ntfs-3g library writes what the manifest says.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ntfs/usn_journal.h"
#include "tools/mkvol/journal_writer.h"
#include "tools/mkvol/manifest.h"

struct _ntfs_volume;
struct _ntfs_inode;

namespace ostrin::mkvol {

// A step of making the volume failed (mkntfs, or a library call); the text says which and why.
class CBuildError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the maker reports about the volume it made, for its log line.
struct SBuildReport {
  uint64_t entriesMade = 0;
  uint64_t mftRuns = 0;        // runs of the MFT's own unnamed $DATA
  uint64_t mftExtents = 0;     // $DATA attribute extents of record 0 (1 without an attribute list)
  bool mftAttributeList = false;
  uint64_t journalRecords = 0;  // records appended to the change journal
};

class CVolumeBuilder {
 public:
  CVolumeBuilder(SManifest manifest, std::string imagePath);
  ~CVolumeBuilder();
  CVolumeBuilder(const CVolumeBuilder&) = delete;
  CVolumeBuilder& operator=(const CVolumeBuilder&) = delete;

  // Formats the image and carries out every command; throws CBuildError or CManifestError.
  SBuildReport Build();

  // Carries out change commands on the existing image (whose paths are read from the volume as they
  // are needed); the image is changed in place, as far as the library got when a command fails.
  // Throws CBuildError or CManifestError.
  SBuildReport Change(const std::vector<SCommand>& changes);

 private:
  // One name the maker has made, as a tree that mirrors the volume's directories.
  struct SNode {
    std::string name;
    SNode* parent = nullptr;
    uint64_t record = 0;
    bool isDirectory = false;
    bool childrenRead = true;  // false: a directory of an existing volume, not read yet
    std::map<std::string, std::unique_ptr<SNode>> children;
  };
  // What is written to a record's standard information at the end.
  struct SPending {
    std::optional<STimes> times;  // for records made by this run; others keep theirs
    SEntryOptions options;
    uint32_t names = 0;  // names of the record in the tree; at 0 the record is gone
  };
  // What a journal record says of the file it is about.
  struct SSubject {
    uint64_t reference = 0;
    uint32_t attributes = 0;
    uint32_t securityId = 0;
  };

  void Format();
  void Mount();
  void Unmount();
  void Run(const SCommand& cmd);
  void RunAll(const std::vector<SCommand>& commands);

  // The children of a directory of an existing volume, read from its index on first use.
  void ReadChildren(SNode* node);
  SNode* Child(SNode* parent, const std::string& name);
  SNode* Find(const std::string& path);
  SNode* MakeParents(const std::vector<std::string>& parts);
  SNode* MakeEntry(SNode* parent, const std::string& name, bool directory, const SCommand* cmd);
  void AddNode(SNode* parent, const std::string& name, uint64_t record, bool directory);
  void RemoveTree(SNode* node);

  void WriteContent(_ntfs_inode* ni, const SCommand& cmd);
  void WriteFragmented(_ntfs_inode* ni, uint32_t fragments);
  SNode* MakeHoles(uint64_t holes, uint32_t holeClusters);
  void ApplyNameOptions(SNode* node, const SNameOptions& options);
  void MakeLink(const SCommand& cmd);
  void Delete(const SCommand& cmd);
  void DeleteName(SNode* node);
  void FragmentMft(const SCommand& cmd);
  void Bulk(const SCommand& cmd);
  void ApplyPending();

  void Rename(const SCommand& cmd);
  void WriteData(const SCommand& cmd);
  void Touch(const SCommand& cmd);
  SNode* FindExisting(const std::string& path);
  // Sets standard information times and attributes of a record that this run did not make.
  void SetTimes(uint64_t record, const SEntryOptions& options);

  // The change journal: made by a journal line, or found on the volume; records appended to it
  // from then on.
  void MakeJournal(const SCommand& cmd);
  void OpenJournal();
  SSubject Subject(uint64_t record);
  uint64_t Reference(uint64_t record);
  // Appends one record per reason, about name in parent, each with the next time of the clock.
  void Journal(const SSubject& subject, uint64_t parentReference, const std::string& name,
               std::initializer_list<uint32_t> reasons);
  void WriteJournal();

  uint64_t NextChangeTime() { return m_clock++; }

  SManifest m_manifest;
  std::string m_image;
  _ntfs_volume* m_volume = nullptr;
  SNode m_root;
  std::map<uint64_t, SPending> m_pending;  // by record number, for every record that has a name
  uint64_t m_entries = 0;
  bool m_changing = false;  // changing an existing volume
  uint64_t m_clock = 0;     // the time of the next change (FILETIME)
  uint64_t m_journalRecord = 0;  // 0: the volume has no journal
  std::unique_ptr<CJournalWriter> m_journal;
  uint64_t m_journalRecords = 0;
};

}  // namespace ostrin::mkvol
