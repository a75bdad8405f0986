// The MFT scan: reads the whole master file table in large chunks and hands every accepted name of
// every in-use base record to the sink; damaged records are skipped and counted.
#include "ntfs/mft_scan.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/byte_order.h"
#include "common/exceptions.h"
#include "common/file_attributes.h"
#include "common/text.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/layout.h"
#include "ntfs/ntfs_errors.h"
#include "ntfs/ntfs_volume.h"
#include "platform/bounded_read.h"
#include "platform/large_memory.h"
#include "platform/system_error.h"
#include "platform/volume_journal.h"

namespace {

// The MFT is read in chunks of about this size, each a whole number of clusters and of records.
constexpr uint64_t SCAN_CHUNK_SIZE = 1024 * 1024;
// Threads that read and parse chunks at most (the machine's cores, up to this).
constexpr uint64_t MAX_SCAN_WORKERS = 4;

uint64_t ChunkSize(uint32_t clusterSize, uint32_t recordSize) {
  const uint64_t unit = std::lcm<uint64_t>(clusterSize, recordSize);
  // Volumes with clusters larger than a chunk read one cluster (or record) at a time.
  return std::max<uint64_t>(unit, SCAN_CHUNK_SIZE - SCAN_CHUNK_SIZE % unit);
}

// The unnamed data stream of a record: the attribute that starts it (VCN 0, which alone carries the
// stream's sizes), or the first unnamed one when none says so.
CAttrBase* UnnamedData(const CFileRecord& record) {
  CAttrBase* first = nullptr;
  for (CAttrBase* attribute : record.AttributesOf(ATTR_TYPE_DATA)) {
    if (attribute->NameLength() != 0) continue;
    // Data attributes are built on the body their header names.
    if (!attribute->IsNonResident() || static_cast<const CAttrNonResident*>(attribute)->FirstVcn() == 0) return attribute;
    if (first == nullptr) first = attribute;
  }
  return first;
}

// A name that is listed: not empty and not the DOS alias of another name (a name with a NUL unit
// costs the record, see HandOver).
bool IsAcceptedName(const CAttrFileName& name) {
  return name.HasValue() && name.NameLengthInValue() >= 1 && name.NameSpace() != FILE_NAME_DOS;
}

// The sequence number of the record whose header this is when it is an in-use base record of a
// directory, the only kind of record a parent reference may name; 0 otherwise.
uint16_t DirectorySequence(const uint8_t* header) {
  const uint16_t flags = READ_FIELD(FILE_RECORD_HEADER, flags, header);
  const uint16_t wanted = FILE_RECORD_IN_USE | FILE_RECORD_DIRECTORY;
  if ((flags & wanted) != wanted || READ_FIELD(FILE_RECORD_HEADER, baseRecord, header) != 0) return 0;
  return READ_FIELD(FILE_RECORD_HEADER, sequenceNumber, header);
}

ESkipReason SkipReasonOf(EBuildFailure failure) {
  switch (failure) {
    case EBuildFailure::AttributeList:
      return ESkipReason::AttributeList;
    case EBuildFailure::AttributeListBounds:
      return ESkipReason::AttributeListBounds;
    case EBuildFailure::ExtensionRecord:
      return ESkipReason::ExtensionRecord;
    case EBuildFailure::None:
    case EBuildFailure::Attributes:
      break;
  }
  return ESkipReason::Attributes;
}

// Names of one record up to this many find an earlier equal name by a walk over those handed over;
// a record of more (through extension records, tens of thousands) by hash.
constexpr uint32_t NAMES_SEARCHED_IN_ORDER = 8;

// Equal names for the hash of a record's names: the same parent and the same units.
struct CNameHash {
  size_t operator()(const CAttrFileName* name) const { return name->NameHash() ^ std::hash<uint64_t>()(name->ParentRecord()); }
};
struct CSameName {
  bool operator()(const CAttrFileName* a, const CAttrFileName* b) const {
    return a->ParentRecord() == b->ParentRecord() && a->HasSameName(*b);
  }
};

// A directory's parent and exact name, hashed: two directories of one key are (all but surely) two of
// one name in one directory. Only the warning rests on it.
uint64_t DirectoryKey(const CNodeValues& values) {
  uint64_t hash = 0xCBF29CE484222325ull ^ values.parentRecord;
  for (uint16_t i = 0; i < values.nameLength; ++i) hash = (hash ^ static_cast<uint16_t>(values.name[i])) * 0x100000001B3ull;
  return hash * 0x100000001B3ull;
}

// What parsing one chunk of the table gives: the entries of its records in record order with their
// names, and the records it skipped.
struct CChunkResult {
  struct CEntry {
    uint64_t record;
    CNodeValues values;  // values.name is set when the entry is handed over
    uint32_t nameOffset;  // in names
    uint16_t parentSequence;  // of the parent reference
    bool isDirectory;
    bool unreachable;  // the name holds a backslash
    uint64_t fileSize;
    uint64_t allocatedSize;
  };
  std::vector<CEntry> entries;
  std::vector<WCHAR> names;
  std::vector<CScanDamage::CSkipped> skipped;
  std::vector<uint16_t> directorySequences;  // per slot (DirectorySequence)
  uint64_t inUseRecords = 0;
  bool tableEnds = false;      // the table ends before its size (code 9)
  bool readGivenUp = false;    // a read of the chunk was given up on: the scan is stopping
  std::exception_ptr failure;  // whatever else stopped the parse (memory running out)

  void Clear() {
    entries.clear();
    names.clear();
    skipped.clear();
    directorySequences.clear();
    inUseRecords = 0;
    tableEnds = false;
    readGivenUp = false;
    failure = nullptr;
  }
};

// Reads and parses chunks of the table on one thread, with a working record of its own that is
// reused for every record; it never owns the slot it looks at.
class CChunkParser {
 public:
  CChunkParser(CNTFSVolume& volume, const ostrin::platform::CLocalTimeConverter& localTime)
      : m_volume(volume), m_localTime(localTime), m_record(&volume) {}

  void Parse(uint64_t offset, uint8_t* buffer, uint32_t length, uint64_t firstRecord, CChunkResult& result);
  // Parses one record read already: whole, its fix-ups applied already (the system's cache) or not.
  void ParseRecord(uint8_t* record, uint64_t recordNumber, bool fixupsApplied, CChunkResult& result);

 private:
  // Reads the chunk at offset; a chunk with an unreadable sector is read again record by record.
  // False when the table ends before the chunk does.
  bool ReadChunk(uint64_t offset, uint8_t* buffer, uint32_t length, uint64_t firstRecord);
  void ProcessSlot(uint8_t* slot, uint64_t recordNumber, CChunkResult& result);
  void HandOver(CChunkResult& result);
  bool IsNameHandedOver(const CAttrFileName& name) const;
  void Skip(uint64_t recordNumber, ESkipReason reason, CChunkResult& result);

  CNTFSVolume& m_volume;
  const ostrin::platform::CLocalTimeConverter& m_localTime;
  CFileRecord m_record;
  // Whether the records parsed have had their fix-ups applied already (the system's cache).
  bool m_fixupsApplied = false;
  // Slots of the current chunk that could not be read (zero-filled, skipped as unreadable).
  std::vector<bool> m_unreadable;
  // The last ReadChunk failed on a read given up on.
  bool m_readGivenUp = false;
  // The names of the current record handed over so far.
  std::vector<const CAttrFileName*> m_namesHandedOver;
};

void CChunkParser::Parse(uint64_t offset, uint8_t* buffer, uint32_t length, uint64_t firstRecord,
                         CChunkResult& result) {
  result.Clear();
  try {
    if (!ReadChunk(offset, buffer, length, firstRecord)) {
      (m_readGivenUp ? result.readGivenUp : result.tableEnds) = true;
      return;
    }
    // Only whole records: a table whose size is not a multiple of the record size ends with a part
    // of a slot, which is not a record.
    const uint32_t recordSize = m_volume.FileRecordSize();
    uint64_t recordNumber = firstRecord;
    for (uint32_t slot = 0; length - slot >= recordSize; slot += recordSize, ++recordNumber) {
      // (The header lies in the first sector, before any protected word.)
      result.directorySequences.push_back(DirectorySequence(buffer + slot));
      if (!m_unreadable.empty() && m_unreadable[slot / recordSize]) {
        ++result.inUseRecords;  // nothing of it could be looked at
        Skip(recordNumber, ESkipReason::Unreadable, result);
        continue;
      }
      ProcessSlot(buffer + slot, recordNumber, result);
    }
  } catch (...) {
    result.failure = std::current_exception();
  }
  m_record.ClearAttributes();
}

void CChunkParser::ParseRecord(uint8_t* record, uint64_t recordNumber, bool fixupsApplied, CChunkResult& result) {
  result.Clear();
  m_unreadable.clear();
  m_fixupsApplied = fixupsApplied;
  try {
    result.directorySequences.push_back(DirectorySequence(record));
    ProcessSlot(record, recordNumber, result);
  } catch (...) {
    result.failure = std::current_exception();
  }
  m_fixupsApplied = false;
  m_record.ClearAttributes();
}

bool ReadGivenUp() { return ostrin::platform::LastSystemError() == ostrin::platform::ErrorReadGivenUp(); }

bool CChunkParser::ReadChunk(uint64_t offset, uint8_t* buffer, uint32_t length, uint64_t firstRecord) {
  const CAttrNonResident* mftData = m_volume.MftData();
  m_unreadable.clear();
  CAttrNonResident::EReadFault fault = CAttrNonResident::EReadFault::None;
  m_readGivenUp = false;
  if (mftData->ReadStored(offset, buffer, length, &fault)) return true;
  // A table that ends before its size is not a damaged record but a damaged volume. A read given up on
  // (the scan is stopping) ends the chunk as well: its records are not damaged, and no more are read.
  if (fault != CAttrNonResident::EReadFault::DeviceError) return false;
  m_readGivenUp = ReadGivenUp();
  if (m_readGivenUp) return false;

  // Each record alone, as just its own bytes (whole clusters when records span clusters), so that a
  // bad sector costs the records it holds and no more.
  const uint32_t recordSize = m_volume.FileRecordSize();
  m_unreadable.assign(length / recordSize, false);
  for (uint32_t slot = 0; length - slot >= recordSize; slot += recordSize) {
    if (mftData->ReadStored(offset + slot, buffer + slot, recordSize, &fault)) continue;
    if (fault != CAttrNonResident::EReadFault::DeviceError) return false;
    m_readGivenUp = ReadGivenUp();
    if (m_readGivenUp) return false;
    std::memset(buffer + slot, 0, recordSize);
    // Records 0 to 15 are never listed; what cannot be read of them costs nothing.
    m_unreadable[slot / recordSize] = firstRecord + slot / recordSize >= FIRST_USER_RECORD;
  }
  return true;
}

void CChunkParser::ProcessSlot(uint8_t* slot, uint64_t recordNumber, CChunkResult& result) {
  if (recordNumber < FIRST_USER_RECORD || ReadLE<uint32_t>(slot) == 0) return;
  // The in-use flag and the base reference lie in the first sector, before any protected word: a
  // free record or an extension record is passed over without being parsed, whatever else it holds
  // (an extension record's attributes come in through its base record).
  const uint16_t flags = READ_FIELD(FILE_RECORD_HEADER, flags, slot);
  if ((flags & FILE_RECORD_IN_USE) == 0 || READ_FIELD(FILE_RECORD_HEADER, baseRecord, slot) != 0) return;
  ++result.inUseRecords;

  m_record.AttachBuffer(slot, recordNumber);
  if (std::memcmp(slot, FILE_RECORD_SIGNATURE, sizeof FILE_RECORD_SIGNATURE) != 0) {
    return Skip(recordNumber, ESkipReason::NotAFileRecord, result);
  }
  if (!m_fixupsApplied && !m_record.ApplyFixups(slot)) return Skip(recordNumber, ESkipReason::UpdateSequence, result);
  m_record.SetAttributeMask(ATTRIBUTE_MASK_SCAN);
  if (!m_record.BuildAttributeLists()) return Skip(recordNumber, SkipReasonOf(m_record.BuildFailure()), result);
  if (m_record.AttributesOf(ATTR_TYPE_FILE_NAME).IsEmpty()) return Skip(recordNumber, ESkipReason::NoFileName, result);
  HandOver(result);
}

void CChunkParser::HandOver(CChunkResult& result) {
  CChunkResult::CEntry entry{};
  entry.record = m_record.FileReference();
  entry.isDirectory = m_record.IsDirectory();
  uint32_t standardAttributes = 0;
  if (const auto* info = static_cast<const CAttrStdInfo*>(m_record.FirstAttribute(ATTR_TYPE_STANDARD_INFORMATION))) {
    info->GetTimes(m_localTime, &entry.values.lastWriteTime, &entry.values.creationTime, &entry.values.lastAccessTime);
    standardAttributes = info->FileAttributes();
  }

  // A name with a NUL unit cannot be listed as it is (cut at the NUL it could be empty, or another
  // entry's name), and says the record is damaged: the record is skipped, and so is one without any
  // name that is listed.
  const CSList<CAttrBase>& names = m_record.AttributesOf(ATTR_TYPE_FILE_NAME);
  uint32_t acceptedNames = 0;
  for (const CAttrBase* attribute : names) {
    const auto& fileName = *static_cast<const CAttrFileName*>(attribute);
    if (!IsAcceptedName(fileName)) continue;
    if (fileName.HasNulUnit()) return Skip(entry.record, ESkipReason::NulInName, result);
    ++acceptedNames;
  }
  if (acceptedNames == 0) return Skip(entry.record, ESkipReason::NoUsableName, result);
  entry.values.attributes = standardAttributes | (acceptedNames >= 2 ? ATTR_HAS_HARDLINKS : 0);

  if (!entry.isDirectory) {
    CAttrBase* data = UnnamedData(m_record);
    if (data == nullptr) return;  // only named streams: no entry
    entry.fileSize = data->GetValueSize(&entry.allocatedSize);
    // Compressed or sparse: the space taken is the clusters stored, not the attribute's allocation.
    const bool compressed = (standardAttributes & FILE_ATTRIBUTE_BIT_COMPRESSED) != 0;
    const bool sparse = (data->Flags() & ATTRIBUTE_FLAG_SPARSE) != 0;
    if ((compressed || sparse) && data->IsNonResident()) entry.allocatedSize = m_record.GetCompressedAllocation();
  }

  // One entry per accepted name; two names of a record in one directory are one entry only when they
  // are the same units. A directory is entered once, under its first accepted name.
  const bool byHash = acceptedNames > NAMES_SEARCHED_IN_ORDER;
  std::unordered_set<const CAttrFileName*, CNameHash, CSameName> handedOver;
  if (byHash) handedOver.reserve(acceptedNames);
  m_namesHandedOver.clear();
  for (const CAttrBase* attribute : names) {
    const auto& fileName = *static_cast<const CAttrFileName*>(attribute);
    if (!IsAcceptedName(fileName)) continue;
    if (byHash ? !handedOver.insert(&fileName).second : IsNameHandedOver(fileName)) continue;
    if (!byHash) m_namesHandedOver.push_back(&fileName);
    entry.values.parentRecord = fileName.ParentRecord();
    entry.parentSequence = fileName.ParentSequence();
    entry.nameOffset = static_cast<uint32_t>(result.names.size());
    result.names.resize(result.names.size() + CFileName::MAX_NAME_UNITS + 1);
    entry.values.nameLength = static_cast<uint16_t>(fileName.CopyName(result.names.data() + entry.nameOffset));
    const WCHAR* copied = result.names.data() + entry.nameOffset;
    entry.unreachable = std::find(copied, copied + entry.values.nameLength, WCHAR{'\\'}) != copied + entry.values.nameLength;
    result.names.resize(entry.nameOffset + entry.values.nameLength + 1u);
    result.entries.push_back(entry);
    if (entry.isDirectory) return;
  }
}

bool CChunkParser::IsNameHandedOver(const CAttrFileName& name) const {
  const uint64_t parent = name.ParentRecord();
  for (const CAttrFileName* handedOver : m_namesHandedOver) {
    if (handedOver->ParentRecord() == parent && handedOver->HasSameName(name)) return true;
  }
  return false;
}

void CChunkParser::Skip(uint64_t recordNumber, ESkipReason reason, CChunkResult& result) {
  m_record.ClearAttributes();
  result.skipped.push_back({recordNumber, reason});
}

// The scan: workers read and parse the chunks of the table ahead, each on a thread of its own, while
// the calling thread reports the progress and hands the entries of each chunk to the sink, in record
// order, so that the tree is the same whatever the threads do.
class CMftScanner {
 public:
  CMftScanner(CNTFSVolume& volume, IScanSink& sink, const ScanProgress& progress,
              const ostrin::platform::CLocalTimeConverter& localTime)
      : m_volume(volume), m_sink(sink), m_progress(progress), m_localTime(localTime) {}
  ~CMftScanner() { StopWorkers(); }
  CMftScanner(const CMftScanner&) = delete;
  CMftScanner& operator=(const CMftScanner&) = delete;

  bool Run();

 private:
  enum class ESlot { Free, Busy, Ready };
  struct CSlot {
    uint8_t* buffer = nullptr;  // in m_buffers
    CChunkResult result;
    uint64_t chunk = 0;
    ESlot state = ESlot::Free;
  };

  void Work();
  void StopWorkers();
  void HandOverChunk(CChunkResult& result);
  void Skip(const CScanDamage::CSkipped& skipped);
  bool TooManyDamaged(uint64_t inUse) const;
  // Whether a parent reference names the directory its record holds now.
  bool IsCurrentParent(uint64_t parent, uint16_t sequence);
  // DirectorySequence of a record of the table.
  uint16_t DirectorySequenceOf(uint64_t record);

  CNTFSVolume& m_volume;
  IScanSink& m_sink;
  const ScanProgress& m_progress;
  // Times are converted by the zone's bias when the drive is scanned, read once.
  const ostrin::platform::CLocalTimeConverter& m_localTime;
  CScanDamage m_damage;
  uint64_t m_recordSlots = 0;
  // DirectorySequence of every record handed over so far, and of the records after them that a parent
  // reference named (read alone, once each).
  std::vector<uint16_t> m_directorySequences;
  std::unordered_map<uint64_t, uint16_t> m_laterDirectories;
  // DirectoryKey of every directory handed over: a second directory of one name in one directory.
  std::unordered_set<uint64_t> m_directoryNames;

  // The table in chunks, and the chunks in flight.
  uint64_t m_mftSize = 0;
  uint64_t m_chunkSize = 0;
  uint64_t m_chunkCount = 0;
  std::vector<CSlot> m_slots;  // chunk n in slot n % size
  // Shared with reads given up on, which may still write into it after the scan has gone.
  std::shared_ptr<ostrin::platform::CLargeArray<uint8_t>> m_buffers =
      std::make_shared<ostrin::platform::CLargeArray<uint8_t>>();
  size_t m_buffersSize = 0;
  // The bounds of the thread that runs the scan (null when its reads are not bounded): the workers'
  // reads of the table are bounded by the same check.
  const ostrin::platform::CReadGiveUp* m_bounds = nullptr;
  std::vector<std::thread> m_workers;
  std::mutex m_lock;           // guards the slots' states, m_nextChunk and m_stopping
  std::condition_variable m_changed;
  uint64_t m_nextChunk = 0;    // the next chunk a worker takes
  bool m_stopping = false;
};

bool CMftScanner::Run() {
  const uint32_t recordSize = m_volume.FileRecordSize();
  m_chunkSize = ChunkSize(m_volume.ClusterSize(), recordSize);
  // Records past the initialized size or the clusters the runs map are free: the scan ends there,
  // however large the table claims to be.
  m_mftSize = m_volume.MftRecordBytes();
  m_recordSlots = m_mftSize / recordSize;
  m_chunkCount = (m_mftSize + m_chunkSize - 1) / m_chunkSize;
  const auto workers = static_cast<size_t>(
      std::clamp<uint64_t>(std::thread::hardware_concurrency(), 1, std::min<uint64_t>(MAX_SCAN_WORKERS, std::max<uint64_t>(m_chunkCount, 1))));
  // Two chunks more than workers are in flight, but never more chunks than the table has, nor larger
  // buffers than its size: a small volume takes little memory.
  m_slots.resize(static_cast<size_t>(std::clamp<uint64_t>(m_chunkCount, 1, workers + 2)));
  const uint64_t bufferSize = std::max<uint64_t>(std::min(m_chunkSize, m_mftSize), 1);
  // One piece of large memory for all of them: the chunks are read into it with few page faults.
  m_buffersSize = static_cast<size_t>(bufferSize * m_slots.size());
  m_buffers->Reserve(m_buffersSize);
  for (size_t i = 0; i < m_slots.size(); ++i) m_slots[i].buffer = m_buffers->Data() + i * bufferSize;
  m_bounds = ostrin::platform::CReadGiveUp::Current();
  for (size_t i = 0; i < workers; ++i) m_workers.emplace_back([this] { Work(); });

  int32_t lastPercent = 0;
  for (uint64_t chunk = 0; chunk < m_chunkCount; ++chunk) {
    // A stop is honoured at every chunk, not only when the percentage moves.
    if (m_progress.IsStopRequested()) return false;
    CSlot& slot = m_slots[chunk % m_slots.size()];
    {
      std::unique_lock<std::mutex> lock(m_lock);
      m_changed.wait(lock, [&] { return slot.state == ESlot::Ready && slot.chunk == chunk; });
    }
    // A worker gives up a read only when the scan is to stop.
    if (slot.result.readGivenUp) return false;
    if (slot.result.tableEnds) ThrowError(ERROR_READ_DATA);
    if (slot.result.failure) std::rethrow_exception(slot.result.failure);

    const uint64_t offset = chunk * m_chunkSize;
    const auto percent = static_cast<int32_t>(static_cast<double>(offset) / static_cast<double>(m_mftSize) * 100.0);
    if (percent < ScanProgress::PERCENT_DONE && percent != lastPercent) {
      lastPercent = percent;
      if (!m_progress.ReportPercent(percent)) return false;
    }
    HandOverChunk(slot.result);
    {
      std::lock_guard<std::mutex> lock(m_lock);
      slot.state = ESlot::Free;
    }
    m_changed.notify_all();
  }
  StopWorkers();

  if (!m_damage.IsEmpty()) {
    m_progress.ReportDamage(m_damage);
    if (TooManyDamaged(m_damage.inUseRecords)) ThrowError(ERROR_PARSE_RECORD);
  }
  return true;
}

void CMftScanner::Work() {
  // A read of a device that stops answering is given up on as the scan's own thread would give it up,
  // so that an abort or the stop never waits for a worker.
  std::optional<ostrin::platform::CReadGiveUp> bounded;
  if (m_bounds != nullptr) bounded.emplace(m_bounds->Check(), m_buffers, m_buffers->Data(), m_buffersSize);
  CChunkParser parser(m_volume, m_localTime);
  for (;;) {
    CSlot* slot = nullptr;
    uint64_t chunk = 0;
    {
      std::unique_lock<std::mutex> lock(m_lock);
      // Chunks are taken in order, each once its slot has been handed over.
      m_changed.wait(lock, [&] {
        return m_stopping || m_nextChunk == m_chunkCount || m_slots[m_nextChunk % m_slots.size()].state == ESlot::Free;
      });
      if (m_stopping || m_nextChunk == m_chunkCount) return;
      chunk = m_nextChunk++;
      slot = &m_slots[chunk % m_slots.size()];
      slot->state = ESlot::Busy;
    }
    const uint64_t offset = chunk * m_chunkSize;
    const auto length = static_cast<uint32_t>(std::min(m_chunkSize, m_mftSize - offset));
    parser.Parse(offset, slot->buffer, length, offset / m_volume.FileRecordSize(), slot->result);
    {
      std::lock_guard<std::mutex> lock(m_lock);
      slot->chunk = chunk;
      slot->state = ESlot::Ready;
    }
    m_changed.notify_all();
  }
}

void CMftScanner::StopWorkers() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_stopping = true;
  }
  m_changed.notify_all();
  for (std::thread& worker : m_workers) worker.join();
  m_workers.clear();
}

void CMftScanner::HandOverChunk(CChunkResult& result) {
  m_damage.inUseRecords += result.inUseRecords;
  m_directorySequences.insert(m_directorySequences.end(), result.directorySequences.begin(), result.directorySequences.end());
  size_t skipped = 0;
  for (CChunkResult::CEntry& entry : result.entries) {
    // The chunk's skipped records in their place among its entries.
    while (skipped < result.skipped.size() && result.skipped[skipped].record < entry.record) Skip(result.skipped[skipped++]);
    // A reference to a directory since deleted, whose record holds something else now, is an orphan:
    // listed under the record's new directory it would be a wrong entry.
    if (!IsCurrentParent(entry.values.parentRecord, entry.parentSequence)) {
      ++m_damage.orphanedNames;
      if (m_damage.firstOrphans.size() < CScanDamage::LISTED_RECORDS) m_damage.firstOrphans.push_back(entry.record);
      continue;
    }
    entry.values.name = result.names.data() + entry.nameOffset;
    entry.values.record = entry.record;
    // Listed all the same: it is on the volume, and a listing of its directory shows it.
    if (entry.unreachable || (entry.isDirectory && !m_directoryNames.insert(DirectoryKey(entry.values)).second)) {
      ++m_damage.unreachableNames;
      if (m_damage.firstUnreachable.size() < CScanDamage::LISTED_RECORDS) m_damage.firstUnreachable.push_back(entry.record);
    }
    if (entry.isDirectory) {
      m_sink.AddDirectory(entry.record, entry.values);
    } else {
      m_sink.AddFile(entry.values, entry.fileSize, entry.allocatedSize);
    }
  }
  while (skipped < result.skipped.size()) Skip(result.skipped[skipped++]);
}

void CMftScanner::Skip(const CScanDamage::CSkipped& skipped) {
  ++m_damage.skippedRecords;
  if (m_damage.first.size() < CScanDamage::LISTED_RECORDS) m_damage.first.push_back(skipped);
  // Once the damage is beyond the share allowed of every slot of the table, no count of in-use
  // records can bring it back: the scan ends now rather than reading the rest of the noise.
  if (TooManyDamaged(m_recordSlots)) {
    m_progress.ReportDamage(m_damage);
    ThrowError(ERROR_PARSE_RECORD);
  }
}

bool CMftScanner::IsCurrentParent(uint64_t parent, uint16_t sequence) {
  // A reference without a sequence number names whatever the record holds.
  return sequence == 0 || DirectorySequenceOf(parent) == sequence;
}

uint16_t CMftScanner::DirectorySequenceOf(uint64_t record) {
  if (record < m_directorySequences.size()) return m_directorySequences[record];
  const auto known = m_laterDirectories.find(record);
  if (known != m_laterDirectories.end()) return known->second;
  // A record the scan has not reached: its header alone (the workers read the table at once, through
  // the same const reader).
  uint16_t sequence = 0;
  if (record < m_recordSlots) {
    uint8_t header[sizeof(FILE_RECORD_HEADER)];
    CAttrNonResident::EReadFault fault = CAttrNonResident::EReadFault::None;
    if (m_volume.MftData()->ReadStored(record * m_volume.FileRecordSize(), header, sizeof header, &fault)) {
      sequence = DirectorySequence(header);
    }
  }
  m_laterDirectories.emplace(record, sequence);
  return sequence;
}

bool CMftScanner::TooManyDamaged(uint64_t inUse) const {
  return m_damage.skippedRecords > DAMAGED_RECORDS_ALLOWED &&
         m_damage.skippedRecords * 100 > inUse * DAMAGED_PERCENT_ALLOWED;
}

}  // namespace

const WCHAR* SkipReasonText(ESkipReason reason) {
  switch (reason) {
    case ESkipReason::Unreadable:
      return WTEXT("unreadable");
    case ESkipReason::NotAFileRecord:
      return WTEXT("not a file record");
    case ESkipReason::UpdateSequence:
      return WTEXT("update sequence mismatch");
    case ESkipReason::Attributes:
      return WTEXT("attributes cannot be parsed");
    case ESkipReason::AttributeList:
      return WTEXT("attribute list cannot be read");
    case ESkipReason::AttributeListBounds:
      return WTEXT("attribute list too large");
    case ESkipReason::ExtensionRecord:
      return WTEXT("extension record damaged");
    case ESkipReason::NoFileName:
      return WTEXT("no file name attribute");
    case ESkipReason::NulInName:
      return WTEXT("file name with a NUL unit");
    case ESkipReason::NoUsableName:
      return WTEXT("no usable file name");
  }
  return WTEXT("damaged");
}

WString CScanDamage::Describe() const {
  WString text = AsciiToWide(std::to_string(skippedRecords)) +
                 WTEXT(" damaged file record") + (skippedRecords == 1 ? WTEXT("") : WTEXT("s")) + WTEXT(" skipped: ");
  for (size_t i = 0; i < first.size(); ++i) {
    if (i != 0) text += WTEXT(", ");
    text += AsciiToWide(std::to_string(first[i].record)) + WTEXT(" (") + SkipReasonText(first[i].reason) + WTEXT(")");
  }
  if (skippedRecords > first.size()) text += WTEXT(", ...");
  const auto listOf = [](uint64_t count, const std::vector<uint64_t>& records, const WCHAR* one, const WCHAR* many) {
    WString part = AsciiToWide(std::to_string(count)) + (count == 1 ? one : many);
    for (size_t i = 0; i < records.size(); ++i) {
      if (i != 0) part += WTEXT(", ");
      part += AsciiToWide(std::to_string(records[i]));
    }
    if (count > records.size()) part += WTEXT(", ...");
    return part;
  };
  WString described = skippedRecords != 0 ? text : WString();
  const auto append = [&](const WString& part) { described += (described.empty() ? WString() : WTEXT("; ")) + part; };
  if (orphanedNames != 0) {
    append(listOf(orphanedNames, firstOrphans, WTEXT(" name whose directory no longer exists left out: "),
                  WTEXT(" names whose directory no longer exists left out: ")));
  }
  if (unreachableNames != 0) {
    append(listOf(unreachableNames, firstUnreachable,
                  WTEXT(" name listed that no path can reach (a backslash, or a second directory of its name): "),
                  WTEXT(" names listed that no path can reach (a backslash, or a second directory of their name): ")));
  }
  return described;
}

bool ScanMftRecords(CNTFSVolume& volume, IScanSink& sink, const ScanProgress& progress) {
  const ostrin::platform::CLocalTimeConverter localTime;
  return ScanMftRecords(volume, sink, progress, localTime);
}

bool ScanMftRecords(CNTFSVolume& volume, IScanSink& sink, const ScanProgress& progress,
                    const ostrin::platform::CLocalTimeConverter& localTime) {
  CMftScanner scanner(volume, sink, progress, localTime);
  return scanner.Run();
}

struct CRecordRescanner::CState {
  CState(CNTFSVolume& volume, const ostrin::platform::CLocalTimeConverter& localTime, bool fromCache)
      : volume(volume), parser(volume, localTime), buffer(volume.FileRecordSize()), fromCache(fromCache) {}

  CNTFSVolume& volume;
  CChunkParser parser;
  std::vector<uint8_t> buffer;
  CChunkResult result;
  std::vector<WCHAR> names;
  bool fromCache;               // records come from FSCTL_GET_NTFS_FILE_RECORD while it is supported
  std::vector<uint8_t> cached;  // the record it gave
  // Records read ahead: where each lies in aheadBytes, until Read takes it.
  std::vector<uint8_t> aheadBytes;
  std::unordered_map<uint64_t, size_t> readAhead;
  // DirectorySequence of the records a parent reference named, read once each.
  std::unordered_map<uint64_t, uint16_t> directorySequences;

  uint16_t DirectorySequenceOf(uint64_t record) {
    const auto known = directorySequences.find(record);
    if (known != directorySequences.end()) return known->second;
    uint16_t sequence = 0;
    const uint32_t recordSize = volume.FileRecordSize();
    std::vector<uint8_t> header;
    uint64_t returned = 0;
    if (fromCache && ostrin::platform::GetNtfsFileRecord(volume.Device(), record, &header, &returned, nullptr) ==
                         ostrin::platform::EJournalControl::Done) {
      // A directory made since the disk was last written is in the cache only.
      if (returned == record && header.size() >= sizeof(FILE_RECORD_HEADER)) sequence = DirectorySequence(header.data());
    } else if (record < volume.MftRecordBytes() / recordSize) {
      uint8_t raw[sizeof(FILE_RECORD_HEADER)];
      CAttrNonResident::EReadFault fault = CAttrNonResident::EReadFault::None;
      if (volume.MftData()->ReadStored(record * recordSize, raw, sizeof raw, &fault)) sequence = DirectorySequence(raw);
    }
    directorySequences.emplace(record, sequence);
    return sequence;
  }
};

CRecordRescanner::CRecordRescanner(CNTFSVolume& volume, const ostrin::platform::CLocalTimeConverter& localTime,
                                   bool fromSystemCache)
    : m_state(std::make_unique<CState>(volume, localTime, fromSystemCache)) {}

CRecordRescanner::~CRecordRescanner() = default;

void CRecordRescanner::ReadAhead(const std::vector<uint64_t>& records) {
  // Neighbours this close are read with the records between them: one read costs more than these.
  constexpr uint64_t LARGEST_GAP = 8;
  constexpr uint64_t LONGEST_RUN = 1024;
  CState& state = *m_state;
  if (state.fromCache) return;
  const uint32_t recordSize = state.volume.FileRecordSize();
  const uint64_t slots = state.volume.MftRecordBytes() / recordSize;
  state.readAhead.clear();
  state.aheadBytes.clear();
  for (size_t i = 0; i < records.size();) {
    const uint64_t first = records[i];
    if (first >= slots) break;
    size_t next = i + 1;
    while (next < records.size() && records[next] < slots && records[next] - records[next - 1] <= LARGEST_GAP &&
           records[next] - first < LONGEST_RUN) {
      ++next;
    }
    const uint64_t count = records[next - 1] - first + 1;
    const size_t at = state.aheadBytes.size();
    state.aheadBytes.resize(at + static_cast<size_t>(count * recordSize));
    CAttrNonResident::EReadFault fault = CAttrNonResident::EReadFault::None;
    if (state.volume.MftData()->ReadStored(first * recordSize, state.aheadBytes.data() + at,
                                           static_cast<uint32_t>(count * recordSize), &fault)) {
      for (size_t k = i; k < next; ++k) state.readAhead.emplace(records[k], at + (records[k] - first) * recordSize);
    } else {
      state.aheadBytes.resize(at);  // left to Read, which tells a bad sector from the rest
    }
    i = next;
  }
}

ERecordRead CRecordRescanner::Read(uint64_t record, std::vector<CRecordEntry>* entries, ESkipReason* reason) {
  CState& state = *m_state;
  entries->clear();
  const uint32_t recordSize = state.volume.FileRecordSize();
  bool fromCache = false;
  if (state.fromCache) {
    // NTFS's own cache holds what the journal says, also what has not reached the disk yet. It gives
    // the nearest record in use at or below the one asked for: another number means not in use.
    uint64_t returned = 0;
    uint32_t error = 0;
    const ostrin::platform::EJournalControl control =
        ostrin::platform::GetNtfsFileRecord(state.volume.Device(), record, &state.cached, &returned, &error);
    if (control == ostrin::platform::EJournalControl::Done) {
      if (returned != record) return ERecordRead::Read;
      if (state.cached.size() != recordSize) return ERecordRead::TableEnds;
      fromCache = true;
    } else if (control == ostrin::platform::EJournalControl::NotSupported) {
      state.fromCache = false;
    } else {
      return ERecordRead::TableEnds;
    }
  }
  const auto ahead = state.readAhead.find(record);
  if (fromCache) {
    state.parser.ParseRecord(state.cached.data(), record, true, state.result);
  } else if (record >= state.volume.MftRecordBytes() / recordSize) {
    return ERecordRead::Read;  // past the table: not in use
  } else if (ahead != state.readAhead.end()) {
    state.parser.ParseRecord(state.aheadBytes.data() + ahead->second, record, false, state.result);
    state.readAhead.erase(ahead);
  } else {
    state.parser.Parse(record * recordSize, state.buffer.data(), recordSize, record, state.result);
  }
  if (state.result.failure) std::rethrow_exception(state.result.failure);
  // (A read given up on: the update is stopping, and this record stays unread.)
  if (state.result.tableEnds || state.result.readGivenUp) return ERecordRead::TableEnds;
  if (!state.result.skipped.empty()) {
    *reason = state.result.skipped.front().reason;
    return ERecordRead::Damaged;
  }
  // The names stay where the result holds them until the next read.
  state.names.swap(state.result.names);
  for (const CChunkResult::CEntry& entry : state.result.entries) {
    const bool currentParent =
        entry.parentSequence == 0 || state.DirectorySequenceOf(entry.values.parentRecord) == entry.parentSequence;
    if (!currentParent) continue;
    CRecordEntry out;
    out.values = entry.values;
    out.values.record = entry.record;
    out.values.name = state.names.data() + entry.nameOffset;
    out.isDirectory = entry.isDirectory;
    out.fileSize = entry.fileSize;
    out.allocatedSize = entry.allocatedSize;
    entries->push_back(out);
  }
  return ERecordRead::Read;
}
