// The splice of an image from the image before and the records that changed since.
#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "index/image_format.h"
#include "index/image_writer.h"

namespace {

constexpr uint64_t ROOT_RECORD = 5;

}  // namespace

CImageSplice::CImageSplice(const uint8_t* image, uint64_t size, const CKeptIndex& kept, const Changes& changes)
    : m_image(image), m_oldSize(size), m_kept(kept), m_changes(changes) {}

uint64_t CImageSplice::OldEntrySize(uint64_t offset) const {
  return ImageEntrySize(ReadLE<uint16_t>(m_image + offset + offsetof(IMAGE_NODE, nameLength)));
}

int64_t CImageSplice::BlockAt(uint64_t offset) const {
  const auto found = std::lower_bound(m_blockStart.begin(), m_blockStart.end(), offset);
  if (found == m_blockStart.end() || *found != offset) return -1;
  return found - m_blockStart.begin();
}

bool CImageSplice::ReadBlocks(std::string* problem) {
  // The blocks follow each other; each one's entries are the next ones of the kept index, which
  // learnt them in image order.
  const size_t keptEntries = m_kept.EntryCount();
  uint64_t position = 0;
  size_t entry = 0;
  while (position < m_oldSize) {
    if (m_oldSize - position < sizeof(IMAGE_DIR_HEADER)) return *problem = "a block header past the image", false;
    const auto count = static_cast<uint32_t>(ReadLE<uint64_t>(m_image + position + offsetof(IMAGE_DIR_HEADER, entryCount)));
    if (count > keptEntries - entry) return *problem = "more entries in the image than in its kept index", false;
    uint64_t end = position + sizeof(IMAGE_DIR_HEADER);
    if (count != 0) {
      if (m_kept.Entry(entry).entryOffset != end) return *problem = "the kept index does not match a block", false;
      const uint64_t last = m_kept.Entry(entry + count - 1).entryOffset;
      if (last >= m_oldSize || m_oldSize - last < offsetof(IMAGE_NODE, name)) return *problem = "an entry past the image", false;
      end = last + OldEntrySize(last);
      if (end > m_oldSize) return *problem = "an entry past the image", false;
    }
    m_blockStart.push_back(position);
    m_blockEnd.push_back(end);
    m_blockFirstEntry.push_back(entry);
    m_blockEntries.push_back(count);
    entry += count;
    position = end;
  }
  if (entry != keptEntries || m_blockStart.empty()) return *problem = "the kept index does not match the image", false;

  // Every directory entry names its block; a block lists its subdirectories before its files.
  m_blockOfDirectory.reserve(m_blockStart.size());
  m_blockOfDirectory.emplace(ROOT_RECORD, 0);
  for (size_t block = 0; block < m_blockStart.size(); ++block) {
    bool files = false;
    for (size_t i = m_blockFirstEntry[block]; i < m_blockFirstEntry[block] + m_blockEntries[block]; ++i) {
      const CKeptIndex::CEntry child = m_kept.Entry(i);
      if (!child.isDirectory) {
        files = true;
        continue;
      }
      if (files) return *problem = "a directory listed after a file", false;
      const int64_t childBlock = BlockAt(ReadLE<uint64_t>(m_image + child.entryOffset + offsetof(IMAGE_NODE, sizeOrBlockOffset)));
      if (childBlock <= 0 || !m_blockOfDirectory.emplace(child.record, childBlock).second) {
        return *problem = "a directory entry without a block of its own", false;
      }
    }
  }
  return true;
}

bool CImageSplice::IsDirectoryNow(uint64_t record) const {
  const auto changed = m_changes.find(record);
  return changed != m_changes.end() &&
         std::any_of(changed->second.begin(), changed->second.end(), [](const CRecordEntry& e) { return e.isDirectory; });
}

int64_t CImageSplice::ContentOfDirectory(uint64_t record) const {
  // The root stays the root, whatever its own record says.
  if (record == ROOT_RECORD) return 0;
  const auto created = m_newDirectories.find(record);
  if (created != m_newDirectories.end()) return created->second;
  const auto old = m_blockOfDirectory.find(record);
  if (old == m_blockOfDirectory.end()) return -1;  // not in the tree: its names are orphans, as in a scan
  if (IsChanged(record) && !IsDirectoryNow(record)) return -1;
  return old->second;
}

int64_t CImageSplice::ContentOfSubdirectory(const CChild& child) const { return ContentOfDirectory(child.record); }

int64_t CImageSplice::NewDirectoryContent(uint64_t record) {
  const auto [found, added] = m_newDirectories.emplace(record, static_cast<int64_t>(m_contents.size()));
  if (added) {
    m_contents.emplace_back();
    m_contents.back().rewritten = true;
  }
  return found->second;
}

void CImageSplice::Rewrite(int64_t content) {
  CContent& target = m_contents[static_cast<size_t>(content)];
  if (target.rewritten) return;
  target.rewritten = true;
  const auto block = static_cast<size_t>(target.oldBlock);
  target.children.reserve(m_blockEntries[block] + 1);
  for (size_t i = m_blockFirstEntry[block]; i < m_blockFirstEntry[block] + m_blockEntries[block]; ++i) {
    const CKeptIndex::CEntry old = m_kept.Entry(i);
    if (!IsChanged(old.record)) target.children.push_back({old.record, old.isDirectory, old.entryOffset, nullptr});
  }
}

bool CImageSplice::Plan(std::string* problem) {
  if (!ReadBlocks(problem)) return false;
  m_contents.resize(m_blockStart.size());
  for (size_t block = 0; block < m_blockStart.size(); ++block) m_contents[block].oldBlock = static_cast<int64_t>(block);

  // The blocks that held an entry of a changed record are written anew without it.
  for (const auto& [record, entries] : m_changes) {
    for (const CKeptIndex::CEntry& old : m_kept.EntriesOf(record)) {
      const auto after = std::upper_bound(m_blockStart.begin(), m_blockStart.end(), old.entryOffset);
      Rewrite(after - m_blockStart.begin() - 1);
    }
  }
  // A directory the image did not hold has a block of its own from now on; then every entry of a
  // changed record goes into its directory, unless that directory is not in the tree (an orphan).
  for (const auto& [record, entries] : m_changes) {
    for (const CRecordEntry& entry : entries) {
      if (entry.isDirectory && record != ROOT_RECORD && m_blockOfDirectory.count(record) == 0) NewDirectoryContent(record);
    }
  }
  for (const auto& [record, entries] : m_changes) {
    if (record == ROOT_RECORD) continue;
    for (const CRecordEntry& entry : entries) {
      const int64_t parent = ContentOfDirectory(entry.values.parentRecord);
      if (parent < 0) continue;
      Rewrite(parent);
      m_contents[static_cast<size_t>(parent)].children.push_back({record, entry.isDirectory, NEW, &entry});
    }
  }
  // A scan's order: subdirectories, then files, each by record; the names of one record in its order.
  for (CContent& content : m_contents) {
    if (!content.rewritten) continue;
    std::stable_sort(content.children.begin(), content.children.end(), [](const CChild& a, const CChild& b) {
      if (a.isDirectory != b.isDirectory) return a.isDirectory;
      return a.record < b.record;
    });
  }

  // The tree from the root: what it does not reach is left out (a directory moved under itself, as a
  // scan leaves out a loop), and its size and entries are counted.
  std::vector<int64_t> pending{0};
  while (!pending.empty()) {
    const int64_t index = pending.back();
    pending.pop_back();
    CContent& content = m_contents[static_cast<size_t>(index)];
    if (content.visited) return *problem = "a directory reached twice", false;
    content.visited = true;
    content.firstSubdirectory = m_subdirectories.size();
    if (content.rewritten) {
      m_size += sizeof(IMAGE_DIR_HEADER);
      m_entries += content.children.size();
      for (const CChild& child : content.children) {
        m_size += child.fresh != nullptr ? ImageEntrySize(child.fresh->values.nameLength) : OldEntrySize(child.oldOffset);
        if (!child.isDirectory) continue;
        const int64_t sub = ContentOfSubdirectory(child);
        if (sub < 0) return *problem = "a directory without a block", false;
        m_subdirectories.push_back(sub);
      }
    } else {
      const auto block = static_cast<size_t>(content.oldBlock);
      m_size += m_blockEnd[block] - m_blockStart[block];
      m_entries += m_blockEntries[block];
      for (size_t i = m_blockFirstEntry[block]; i < m_blockFirstEntry[block] + m_blockEntries[block]; ++i) {
        const CKeptIndex::CEntry child = m_kept.Entry(i);
        if (!child.isDirectory) break;
        m_subdirectories.push_back(m_blockOfDirectory.at(child.record));
      }
    }
    content.subdirectories = m_subdirectories.size() - content.firstSubdirectory;
    for (size_t i = content.firstSubdirectory; i < m_subdirectories.size(); ++i) pending.push_back(m_subdirectories[i]);
  }
  return true;
}

uint8_t* CImageSplice::WriteContent(int64_t index, uint8_t* start, uint8_t* position, uint64_t parentBlockOffset,
                                    CKeptIndex* kept) const {
  const CContent& content = m_contents[static_cast<size_t>(index)];
  if (!content.rewritten) {
    // A block that nothing changed in: its bytes as they stand, and a new place for its parent.
    const auto block = static_cast<size_t>(content.oldBlock);
    const uint64_t length = m_blockEnd[block] - m_blockStart[block];
    std::memcpy(position, m_image + m_blockStart[block], static_cast<size_t>(length));
    SetBlockParent(position, parentBlockOffset);
    kept->AddMoved(m_kept, m_blockFirstEntry[block], m_blockEntries[block],
                   static_cast<uint64_t>(position - start) - m_blockStart[block]);
    return position + length;
  }
  position = WriteBlockHeader(position, content.children.size(), parentBlockOffset);
  for (const CChild& child : content.children) {
    kept->Add(child.record, child.isDirectory, static_cast<uint64_t>(position - start));
    if (child.fresh != nullptr) {
      const CRecordEntry& fresh = *child.fresh;
      position = WriteImageEntry(position, fresh.values, fresh.isDirectory, fresh.fileSize,
                                 fresh.isDirectory ? 0 : fresh.allocatedSize);
    } else {
      const uint64_t length = OldEntrySize(child.oldOffset);
      std::memcpy(position, m_image + child.oldOffset, static_cast<size_t>(length));
      position += length;
    }
  }
  return position;
}

void CImageSplice::Write(uint8_t* start, CKeptIndex* kept) const {
  // Laid out as the tree's writer lays blocks out. The subdirectories' entries are the first of each
  // block, in the order of m_subdirectories.
  kept->Reserve(m_entries);
  PlaceImageBlocks(
      int64_t{0}, start, start, 0,
      [this, start, kept](int64_t content, uint8_t* position, uint64_t parentOffset) {
        return WriteContent(content, start, position, parentOffset, kept);
      },
      [this](int64_t index, size_t entry, int64_t* child) {
        const CContent& content = m_contents[static_cast<size_t>(index)];
        if (entry == content.subdirectories) return EBlockEntry::End;
        *child = m_subdirectories[content.firstSubdirectory + entry];
        return EBlockEntry::Subdirectory;
      });
  kept->Seal();
}
