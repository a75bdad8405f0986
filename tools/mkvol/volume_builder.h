// Makes an NTFS image from a manifest: mkntfs, then the ntfs-3g library writes what the manifest says.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

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
};

class CVolumeBuilder {
 public:
  CVolumeBuilder(SManifest manifest, std::string imagePath);
  ~CVolumeBuilder();
  CVolumeBuilder(const CVolumeBuilder&) = delete;
  CVolumeBuilder& operator=(const CVolumeBuilder&) = delete;

  // Formats the image and carries out every command; throws CBuildError or CManifestError.
  SBuildReport Build();

 private:
  // One name the maker has made, as a tree that mirrors the volume's directories.
  struct SNode {
    std::string name;
    SNode* parent = nullptr;
    uint64_t record = 0;
    bool isDirectory = false;
    std::map<std::string, std::unique_ptr<SNode>> children;
  };
  // What is written to a record's standard information at the end.
  struct SPending {
    STimes times{};
    SEntryOptions options;
    uint32_t names = 0;  // names of the record in the tree; at 0 the record is gone
  };

  void Format();
  void Mount();
  void Unmount();
  void Run(const SCommand& cmd);

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

  SManifest m_manifest;
  std::string m_image;
  _ntfs_volume* m_volume = nullptr;
  SNode m_root;
  std::map<uint64_t, SPending> m_pending;  // by record number, for every record that has a name
  uint64_t m_entries = 0;
};

}  // namespace ostrin::mkvol
