// Nodes of the file tree.
#include "index/file_tree.h"

#include <algorithm>
#include <cstring>

CFileBase::CFileBase(const CNodeValues& values)
    : m_parentRecord(values.parentRecord),
      m_nameLength(values.nameLength),
      m_lastWriteTime(values.lastWriteTime),
      m_creationTime(values.creationTime),
      m_lastAccessTime(values.lastAccessTime),
      m_attributes(values.attributes) {
  if (values.name != nullptr) {
    m_name = std::make_unique_for_overwrite<WCHAR[]>(values.nameLength + 1u);
    std::memcpy(m_name.get(), values.name, values.nameLength * sizeof(WCHAR));
    m_name[values.nameLength] = 0;
  }
}

CFileBase::~CFileBase() = default;

CFile::CFile(const CNodeValues& values, uint64_t fileSize, uint64_t allocatedSize)
    : CFileBase(values), m_fileSize(fileSize), m_allocatedSize(allocatedSize) {}

CDirectory::CDirectory(const CNodeValues& values) : CFileBase(values) {}

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
