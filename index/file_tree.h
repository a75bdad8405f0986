// The tree of one drive while it is built: directories and files with their names, times and sizes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "index/kept_index.h"
#include "index/node_arena.h"
#include "ntfs/mft_scan.h"  // CNodeValues, what the scan hands over for one name
#include "platform/types.h"

// Nodes and names live in the build's arena: a node is made with new (arena) and deleted by its owner
// (a directory its children, the drive index what is not yet in the tree) as usual; deleting runs
// its destructor, and the memory goes back when the arena is released with the tree.
class CFileBase {
 public:
  // The name is copied into the arena.
  CFileBase(const CNodeValues& values, CNodeArena& arena);
  virtual ~CFileBase();
  CFileBase(const CFileBase&) = delete;
  CFileBase& operator=(const CFileBase&) = delete;

  static void* operator new(std::size_t size, CNodeArena& arena) { return arena.Allocate(size, alignof(CFileBase)); }
  static void operator delete(void*, CNodeArena&) noexcept {}  // a constructor that failed
  static void operator delete(void*) noexcept {}               // the arena holds the memory

  virtual bool IsDirectory() const = 0;
  virtual uint64_t GetFileSize() const { return 0; }
  virtual uint64_t GetAllocatedSize() const { return 0; }

  uint64_t Record() const { return m_record; }  // the node's own file record (0 for the root)
  uint64_t ParentRecord() const { return m_parentRecord; }
  const WCHAR* Name() const { return m_name; }  // null only for the root
  uint16_t NameLength() const { return m_nameLength; }
  uint64_t LastWriteTime() const { return m_lastWriteTime; }
  uint64_t CreationTime() const { return m_creationTime; }
  uint64_t LastAccessTime() const { return m_lastAccessTime; }
  uint32_t Attributes() const { return m_attributes; }

 private:
  uint64_t m_record;
  uint64_t m_parentRecord;
  const WCHAR* m_name;  // in the arena
  uint64_t m_lastWriteTime;
  uint64_t m_creationTime;
  uint64_t m_lastAccessTime;
  uint32_t m_attributes;
  uint16_t m_nameLength;
};

class CFile : public CFileBase {
 public:
  CFile(const CNodeValues& values, CNodeArena& arena, uint64_t fileSize, uint64_t allocatedSize);

  bool IsDirectory() const override { return false; }
  uint64_t GetFileSize() const override { return m_fileSize; }
  uint64_t GetAllocatedSize() const override { return m_allocatedSize; }

 private:
  uint64_t m_fileSize;
  uint64_t m_allocatedSize;
};

class CDirectory : public CFileBase {
 public:
  CDirectory(const CNodeValues& values, CNodeArena& arena);
  // Deletes the whole subtree (without recursion, however deep it is).
  ~CDirectory() override;

  bool IsDirectory() const override { return true; }

  // Takes ownership of child and appends it to the children.
  void AddChild(CFileBase* child);
  const std::vector<CFileBase*>& Children() const { return m_children; }
  // Gives up the subdirectories (they are owned elsewhere from now on) and keeps the files.
  void ReleaseSubdirectories();
  // Counts a child that AddChild will bring, and makes room for all those counted at once.
  void ExpectChild() { ++m_expectedChildren; }
  void ReserveExpectedChildren() {
    m_children.reserve(m_children.size() + m_expectedChildren);
    m_expectedChildren = 0;
  }

  // Size of the image of this directory and everything below it; *entries (when given) receives the
  // number of entries in it.
  uint64_t ComputeImageSize(uint64_t* entries = nullptr) const;
  // Writes the block of this directory at blockPosition inside the image that starts at imageStart,
  // then the blocks of everything below it; returns the position after the last byte written. kept
  // (when given) learns the record and the offset of every entry written.
  uint8_t* WriteImage(uint8_t* imageStart, uint8_t* blockPosition, uint64_t parentBlockOffset,
                      CKeptIndex* kept = nullptr) const;

  // Marks used while a build sorts reachable directories from unreachable ones.
  bool IsReached() const { return m_reached; }
  void SetReached() { m_reached = true; }

 private:
  std::vector<CFileBase*> m_children;
  uint32_t m_expectedChildren = 0;
  bool m_reached = false;
};
