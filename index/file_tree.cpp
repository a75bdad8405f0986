// Nodes of the file tree.
#include "index/file_tree.h"

#include <algorithm>
#include <cstring>

CFileBase::CFileBase(const CNodeValues& values, CNodeArena& arena)
    : m_record(values.record),
      m_parentRecord(values.parentRecord),
      m_name(values.name != nullptr ? arena.CopyName(values.name, values.nameLength) : nullptr),
      m_lastWriteTime(values.lastWriteTime),
      m_creationTime(values.creationTime),
      m_lastAccessTime(values.lastAccessTime),
      m_attributes(values.attributes),
      m_nameLength(values.nameLength) {}

CFileBase::~CFileBase() = default;

CFile::CFile(const CNodeValues& values, CNodeArena& arena, uint64_t fileSize, uint64_t allocatedSize)
    : CFileBase(values, arena), m_fileSize(fileSize), m_allocatedSize(allocatedSize) {}

CDirectory::CDirectory(const CNodeValues& values, CNodeArena& arena) : CFileBase(values, arena) {}

CDirectory::~CDirectory() {
  // A volume may nest directories deeper than the stack allows recursion: subdirectories hand their
  // children to this work list before they are deleted.
  std::vector<CFileBase*> pending;
  pending.swap(m_children);
  while (!pending.empty()) {
    CFileBase* node = pending.back();
    pending.pop_back();
    if (node->IsDirectory()) {
      auto* directory = static_cast<CDirectory*>(node);
      pending.insert(pending.end(), directory->m_children.begin(), directory->m_children.end());
      directory->m_children.clear();
    }
    delete node;
  }
}

void CDirectory::AddChild(CFileBase* child) { m_children.push_back(child); }

void CDirectory::ReleaseSubdirectories() {
  m_children.erase(std::remove_if(m_children.begin(), m_children.end(),
                                  [](const CFileBase* child) { return child->IsDirectory(); }),
                   m_children.end());
}
