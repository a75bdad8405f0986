// The change journal: parsing records, walking $J and the control's buffers, finding $UsnJrnl.
#include "ntfs/usn_journal.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "common/byte_order.h"
#include "common/text.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/index_entries.h"
#include "ntfs/layout.h"
#include "ntfs/ntfs_volume.h"
#include "platform/volume_journal.h"

namespace {

// $J is read this many bytes at a time: whole blocks, so that no record is cut by a window.
constexpr size_t STREAM_WINDOW = 16 * USN_BLOCK_SIZE;
// $Extend holds a handful of names; an index of more blocks than this is not looked through.
constexpr uint64_t MAX_EXTEND_INDEX_BLOCKS = 64;

const WString& JournalFileName() {
  static const WString name = WTEXT("$UsnJrnl");
  return name;
}

std::string Hex32(const SUsnFileId& id) {
  char text[40];
  std::snprintf(text, sizeof text, "%016" PRIx64 "%016" PRIx64, id.high, id.low);
  return text;
}

std::string BadBytes(uint64_t usn, const std::string& what) { return "bad bytes at USN " + std::to_string(usn) + ": " + what; }

SUsnFileId ReadFileId128(const uint8_t* at) { return {ReadLE<uint64_t>(at), ReadLE<uint64_t>(at + 8)}; }

// The name of an attribute, as its header gives it (the record has checked it lies inside).
WString AttributeName(const CAttrBase& attribute) {
  const uint8_t* header = attribute.Header();
  const uint8_t* units = header + READ_FIELD(ATTRIBUTE_HEADER, nameOffset, header);
  WString name(attribute.NameLength(), 0);
  for (size_t i = 0; i < name.size(); ++i) name[i] = static_cast<WCHAR>(ReadLE<uint16_t>(units + 2 * i));
  return name;
}

}  // namespace

uint64_t SUsnFileId::RecordNumber() const { return low & RECORD_NUMBER_MASK; }

uint16_t SUsnFileId::SequenceNumber() const { return static_cast<uint16_t>(low >> 48); }

size_t ParseUsnRecord(const uint8_t* bytes, size_t available, SUsnRecord* record, std::string* problem) {
  const auto fail = [problem](std::string what) -> size_t {
    *problem = std::move(what);
    return 0;
  };
  if (available < sizeof(USN_RECORD_COMMON_HEADER)) return fail("a record header cut short");
  const uint32_t length = READ_FIELD(USN_RECORD_COMMON_HEADER, recordLength, bytes);
  const uint16_t major = READ_FIELD(USN_RECORD_COMMON_HEADER, majorVersion, bytes);
  if (length == 0) return fail("a record length of 0");
  if (length % USN_RECORD_ALIGNMENT != 0) return fail("a record length of " + std::to_string(length) + ", not a multiple of 8");
  if (length > available) return fail("a record length of " + std::to_string(length) + " beyond its " + std::to_string(available) + " bytes");
  size_t fixed = 0;
  switch (major) {
    case 2: fixed = offsetof(USN_RECORD_V2, fileName); break;
    case 3: fixed = offsetof(USN_RECORD_V3, fileName); break;
    case 4: fixed = offsetof(USN_RECORD_V4, extents); break;
    default: return fail("major version " + std::to_string(major));
  }
  if (length < fixed) return fail("a version " + std::to_string(major) + " record of " + std::to_string(length) + " bytes");

  SUsnRecord r;
  r.majorVersion = major;
  r.minorVersion = READ_FIELD(USN_RECORD_COMMON_HEADER, minorVersion, bytes);
  uint16_t nameLength = 0, nameOffset = 0;
  if (major == 2) {
    r.file.low = READ_FIELD(USN_RECORD_V2, fileReference, bytes);
    r.parent.low = READ_FIELD(USN_RECORD_V2, parentReference, bytes);
    r.usn = static_cast<uint64_t>(READ_FIELD(USN_RECORD_V2, usn, bytes));
    r.timeStamp = READ_FIELD(USN_RECORD_V2, timeStamp, bytes);
    r.reason = READ_FIELD(USN_RECORD_V2, reason, bytes);
    r.sourceInfo = READ_FIELD(USN_RECORD_V2, sourceInfo, bytes);
    r.securityId = READ_FIELD(USN_RECORD_V2, securityId, bytes);
    r.fileAttributes = READ_FIELD(USN_RECORD_V2, fileAttributes, bytes);
    nameLength = READ_FIELD(USN_RECORD_V2, fileNameLength, bytes);
    nameOffset = READ_FIELD(USN_RECORD_V2, fileNameOffset, bytes);
  } else if (major == 3) {
    r.file = ReadFileId128(bytes + offsetof(USN_RECORD_V3, fileReference));
    r.parent = ReadFileId128(bytes + offsetof(USN_RECORD_V3, parentReference));
    r.usn = static_cast<uint64_t>(READ_FIELD(USN_RECORD_V3, usn, bytes));
    r.timeStamp = READ_FIELD(USN_RECORD_V3, timeStamp, bytes);
    r.reason = READ_FIELD(USN_RECORD_V3, reason, bytes);
    r.sourceInfo = READ_FIELD(USN_RECORD_V3, sourceInfo, bytes);
    r.securityId = READ_FIELD(USN_RECORD_V3, securityId, bytes);
    r.fileAttributes = READ_FIELD(USN_RECORD_V3, fileAttributes, bytes);
    nameLength = READ_FIELD(USN_RECORD_V3, fileNameLength, bytes);
    nameOffset = READ_FIELD(USN_RECORD_V3, fileNameOffset, bytes);
  } else {
    r.file = ReadFileId128(bytes + offsetof(USN_RECORD_V4, fileReference));
    r.parent = ReadFileId128(bytes + offsetof(USN_RECORD_V4, parentReference));
    r.usn = static_cast<uint64_t>(READ_FIELD(USN_RECORD_V4, usn, bytes));
    r.reason = READ_FIELD(USN_RECORD_V4, reason, bytes);
    r.sourceInfo = READ_FIELD(USN_RECORD_V4, sourceInfo, bytes);
    r.remainingExtents = READ_FIELD(USN_RECORD_V4, remainingExtents, bytes);
    const uint16_t count = READ_FIELD(USN_RECORD_V4, numberOfExtents, bytes);
    const uint16_t extentSize = READ_FIELD(USN_RECORD_V4, extentSize, bytes);
    if (count != 0 && extentSize < sizeof(USN_RECORD_EXTENT)) return fail("an extent size of " + std::to_string(extentSize));
    if (fixed + uint64_t{count} * extentSize > length) return fail(std::to_string(count) + " extents beyond the record");
    r.extents.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* extent = bytes + fixed + size_t{i} * extentSize;
      r.extents.push_back({READ_FIELD(USN_RECORD_EXTENT, offset, extent), READ_FIELD(USN_RECORD_EXTENT, length, extent)});
    }
  }
  if (r.usn > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return fail("a negative USN");
  if (major != 4) {
    if (nameLength % 2 != 0) return fail("a name of an odd " + std::to_string(nameLength) + " bytes");
    if (nameLength > 2 * CFileName::MAX_NAME_UNITS) return fail("a name of " + std::to_string(nameLength) + " bytes");
    if (nameOffset < fixed || nameOffset % 2 != 0 || size_t{nameOffset} + nameLength > length) {
      return fail("a name at offset " + std::to_string(nameOffset) + " of " + std::to_string(nameLength) +
                  " bytes outside the record of " + std::to_string(length));
    }
    r.name.resize(nameLength / 2);
    for (size_t i = 0; i < r.name.size(); ++i) r.name[i] = static_cast<WCHAR>(ReadLE<uint16_t>(bytes + nameOffset + 2 * i));
  }
  *record = std::move(r);
  return length;
}

std::string FormatUsnRecord(const SUsnRecord& r) {
  char head[160];
  std::snprintf(head, sizeof head, "%" PRIu64 "\t%u\t%s\t%s\t0x%08x\t0x%08x\t", r.usn, r.majorVersion, Hex32(r.file).c_str(),
                Hex32(r.parent).c_str(), r.reason, r.sourceInfo);
  std::string line = head;
  if (r.majorVersion == 4) {
    line += "-\t-\t-\trem=" + std::to_string(r.remainingExtents) + ";";
    for (size_t i = 0; i < r.extents.size(); ++i) {
      if (i != 0) line += ',';
      line += std::to_string(r.extents[i].offset) + "+" + std::to_string(r.extents[i].length);
    }
    return line;
  }
  char attributes[32];
  std::snprintf(attributes, sizeof attributes, "0x%08x\t%" PRId64 "\t", r.fileAttributes, r.timeStamp);
  line += attributes;
  for (const char c : WideToUtf8(r.name)) {
    switch (c) {
      case '\\': line += "\\\\"; break;
      case '\t': line += "\\t"; break;
      case '\n': line += "\\n"; break;
      default: line += c; break;
    }
  }
  line += "\t-";
  return line;
}

const char* UsnReadText(EUsnRead result) {
  switch (result) {
    case EUsnRead::Complete: return "complete";
    case EUsnRead::Stopped: return "stopped";
    case EUsnRead::NoJournal: return "no journal";
    case EUsnRead::JournalChanged: return "journal ID changed";
    case EUsnRead::Wrapped: return "start below the lowest valid USN";
    case EUsnRead::PastEnd: return "start past the next USN";
    case EUsnRead::BadBytes: return "bad bytes";
    case EUsnRead::ReadFailure: return "read failure";
    case EUsnRead::NotSupported: return "not supported";
    case EUsnRead::JournalDeleting: return "journal being deleted";
  }
  return "unknown";
}

SUsnReadResult ReadUsnStream(const UsnStreamReader& reader, uint64_t fromUsn, uint64_t endUsn,
                             const UsnRecordVisitor& visitor) {
  SUsnReadResult result;
  result.usn = fromUsn;
  if (fromUsn % USN_RECORD_ALIGNMENT != 0) {
    result.result = EUsnRead::BadBytes;
    result.problem = BadBytes(fromUsn, "a start that is not 8-byte aligned");
    return result;
  }
  if (fromUsn > endUsn) {
    result.result = EUsnRead::PastEnd;
    result.problem = "start USN " + std::to_string(fromUsn) + " past the next USN " + std::to_string(endUsn);
    return result;
  }
  std::vector<uint8_t> window;
  uint64_t usn = fromUsn;
  while (usn < endUsn) {
    // The window holds the blocks from the one of usn on, cut at endUsn: a record never goes past it.
    const uint64_t windowStart = usn - usn % USN_BLOCK_SIZE;
    const size_t windowLength = static_cast<size_t>(std::min<uint64_t>(STREAM_WINDOW, endUsn - windowStart));
    window.resize(windowLength);
    if (!reader(windowStart, window.data(), windowLength)) {
      result.result = EUsnRead::ReadFailure;
      result.usn = usn;
      result.problem = "$J cannot be read at USN " + std::to_string(windowStart);
      return result;
    }
    const uint64_t windowEnd = windowStart + windowLength;
    while (usn < windowEnd) {
      const uint64_t blockEnd = std::min(windowEnd, usn - usn % USN_BLOCK_SIZE + USN_BLOCK_SIZE);
      const uint8_t* at = window.data() + (usn - windowStart);
      const size_t available = static_cast<size_t>(blockEnd - usn);
      if (available < sizeof(uint32_t) || ReadLE<uint32_t>(at) == 0) {
        // The end of a block: zeros up to its end (or up to the end of the stream).
        if (!std::all_of(at, at + available, [](uint8_t b) { return b == 0; })) {
          result.result = EUsnRead::BadBytes;
          result.usn = usn;
          result.problem = BadBytes(usn, "bytes after the zeros that end a block");
          return result;
        }
        usn = blockEnd;
        continue;
      }
      SUsnRecord record;
      std::string problem;
      const size_t length = ParseUsnRecord(at, available, &record, &problem);
      if (length == 0 || record.usn != usn) {
        result.result = EUsnRead::BadBytes;
        result.usn = usn;
        result.problem = BadBytes(usn, length == 0 ? problem : "a record that says it is at USN " + std::to_string(record.usn));
        return result;
      }
      usn += length;
      ++result.records;
      if (!visitor(record)) {
        result.result = EUsnRead::Stopped;
        result.usn = usn;
        return result;
      }
    }
  }
  result.result = EUsnRead::Complete;
  result.usn = endUsn;
  return result;
}

SUsnReadResult ReadUsnBuffer(const uint8_t* bytes, size_t size, uint64_t fromUsn, const UsnRecordVisitor& visitor) {
  SUsnReadResult result;
  result.usn = fromUsn;
  size_t position = 0;
  uint64_t lowest = fromUsn;
  while (position < size) {
    SUsnRecord record;
    std::string problem;
    const size_t length = ParseUsnRecord(bytes + position, size - position, &record, &problem);
    if (length == 0 || record.usn < lowest) {
      result.result = EUsnRead::BadBytes;
      result.problem = BadBytes(length == 0 ? lowest : record.usn,
                                length == 0 ? problem : "a record below USN " + std::to_string(lowest));
      return result;
    }
    position += length;
    lowest = record.usn + 1;
    result.usn = lowest;
    ++result.records;
    if (!visitor(record)) {
      result.result = EUsnRead::Stopped;
      return result;
    }
  }
  result.result = EUsnRead::Complete;
  return result;
}

// The journal's record with its $J stream, kept for reads after the look-up that found them.
struct CUsnJournal::SStreams {
  explicit SStreams(CNTFSVolume* volume) : record(volume) {}
  CFileRecord record;
  CAttrBase* data = nullptr;  // $J, with its further extents appended when non-resident
};

CUsnJournal::CUsnJournal(CNTFSVolume& volume) : m_volume(volume) {}

CUsnJournal::~CUsnJournal() = default;

SUsnJournalState CUsnJournal::Damaged(std::string problem) {
  m_state = SUsnJournalState{};
  m_state.state = EUsnJournal::Damaged;
  m_state.problem = std::move(problem);
  m_streams.reset();
  return m_state;
}

bool CUsnJournal::TryRecord(uint64_t recordNumber, SUsnJournalState* state) {
  if (recordNumber < FIRST_USER_RECORD || recordNumber >= m_volume.MftRecordCount()) return false;
  auto streams = std::make_unique<SStreams>(&m_volume);
  CFileRecord& record = streams->record;
  record.SetAttributeMask(AttributeMaskBit(ATTR_TYPE_ATTRIBUTE_LIST) | AttributeMaskBit(ATTR_TYPE_FILE_NAME) |
                          AttributeMaskBit(ATTR_TYPE_DATA));
  if (!record.LoadRecord(recordNumber) || !record.IsInUse() || record.BaseRecord() != 0 ||
      !record.BuildAttributeLists()) {
    return false;
  }
  bool named = false;
  for (CAttrBase* attribute : record.AttributesOf(ATTR_TYPE_FILE_NAME)) {
    const auto* name = dynamic_cast<const CAttrFileName*>(attribute);
    if (name == nullptr || !name->HasValue() || name->ParentRecord() != EXTEND_RECORD) continue;
    WCHAR units[CFileName::MAX_NAME_UNITS + 1];
    const uint32_t length = name->CopyName(units);
    if (WString(units, length) == JournalFileName()) named = true;
  }
  if (!named) return false;

  *state = SUsnJournalState{};
  state->record = recordNumber;
  state->reference = recordNumber | uint64_t{READ_FIELD(FILE_RECORD_HEADER, sequenceNumber, record.Buffer())} << 48;
  const auto damaged = [state](std::string problem) {
    state->state = EUsnJournal::Damaged;
    state->problem = std::move(problem);
    return true;
  };
  CAttrBase* max = nullptr;
  CAttrNonResident* first = nullptr;
  CAttrBase* residentData = nullptr;
  std::vector<CAttrNonResident*> extents;
  for (CAttrBase* attribute : record.AttributesOf(ATTR_TYPE_DATA)) {
    const WString name = AttributeName(*attribute);
    if (name == WTEXT("$Max")) {
      max = attribute;
    } else if (name == WTEXT("$J")) {
      auto* body = dynamic_cast<CAttrNonResident*>(attribute);
      if (body == nullptr) {
        residentData = attribute;
      } else if (body->FirstVcn() == 0) {
        first = body;
      } else {
        extents.push_back(body);
      }
    }
  }
  if (max == nullptr) return damaged("$UsnJrnl has no $Max stream");
  const uint64_t maxSize = max->GetValueSize();
  if (max->IsNonResident() || maxSize < sizeof(USN_JOURNAL_MAX) || maxSize > USN_MAX_VALUE_MAX_SIZE) {
    return damaged("$Max holds " + std::to_string(maxSize) + " bytes" + (max->IsNonResident() ? ", not resident" : ""));
  }
  uint8_t value[sizeof(USN_JOURNAL_MAX)];
  uint32_t got = 0;
  if (!max->ReadValue(0, value, sizeof value, &got) || got != sizeof value) return damaged("$Max cannot be read");
  state->maximumSize = READ_FIELD(USN_JOURNAL_MAX, maximumSize, value);
  state->allocationDelta = READ_FIELD(USN_JOURNAL_MAX, allocationDelta, value);
  state->journalId = READ_FIELD(USN_JOURNAL_MAX, journalId, value);
  const int64_t lowest = READ_FIELD(USN_JOURNAL_MAX, lowestValidUsn, value);
  if (lowest < 0 || lowest % USN_RECORD_ALIGNMENT != 0) return damaged("$Max gives a lowest valid USN of " + std::to_string(lowest));
  state->lowestValidUsn = static_cast<uint64_t>(lowest);

  CAttrBase* data = residentData;
  if (first != nullptr) {
    if (!first->HasValidRuns()) return damaged("the runs of $J are damaged");
    std::sort(extents.begin(), extents.end(),
              [](const CAttrNonResident* a, const CAttrNonResident* b) { return a->FirstVcn() < b->FirstVcn(); });
    for (const CAttrNonResident* extent : extents) {
      if (!first->AppendExtent(*extent)) return damaged("an extent of $J does not continue the stream");
    }
    data = first;
  }
  if (data == nullptr) return damaged("$UsnJrnl has no $J stream");
  state->nextUsn = data->GetValueSize();
  if (state->nextUsn % USN_RECORD_ALIGNMENT != 0) return damaged("$J's size of " + std::to_string(state->nextUsn) + " is not 8-byte aligned");
  if (state->lowestValidUsn > state->nextUsn) {
    return damaged("the lowest valid USN " + std::to_string(state->lowestValidUsn) + " lies past the next USN " +
                   std::to_string(state->nextUsn));
  }
  // A journal holds at most what the volume does: a span larger than it would take unbounded time.
  if (state->nextUsn - state->lowestValidUsn > m_volume.VolumeSize()) return damaged("$J spans more than the volume");
  state->state = EUsnJournal::Present;
  streams->data = data;
  m_streams = std::move(streams);
  return true;
}

SUsnJournalState CUsnJournal::Locate(uint64_t recordHint) {
  m_streams.reset();
  m_state = SUsnJournalState{};
  if (!m_volume.IsOpen()) return Damaged("the volume is not open");
  SUsnJournalState state;
  if (recordHint != 0 && TryRecord(recordHint, &state)) {
    m_state = state;
    return m_state;
  }
  CFileRecord extend(&m_volume);
  extend.SetAttributeMask(ATTRIBUTE_MASK_ALL);
  if (!extend.LoadRecord(EXTEND_RECORD) || !extend.IsInUse()) return m_state;  // no $Extend: no journal
  if (!extend.BuildAttributeLists()) return Damaged("record 11 ($Extend) cannot be parsed");
  const SIndexLookup lookup = FindIndexEntry(extend, JournalFileName(), MAX_EXTEND_INDEX_BLOCKS);
  if (!lookup.found) {
    if (!lookup.problem.empty()) return Damaged("the index of $Extend: " + lookup.problem);
    return m_state;  // Absent
  }
  const uint64_t record = lookup.fileReference & RECORD_NUMBER_MASK;
  if (!TryRecord(record, &state)) {
    return Damaged("$Extend's index names record " + std::to_string(record) + ", which is not $UsnJrnl");
  }
  m_state = state;
  return m_state;
}

SUsnReadResult CUsnJournal::Read(uint64_t fromUsn, uint64_t expectedJournalId, const UsnRecordVisitor& visitor) {
  SUsnReadResult result;
  result.usn = fromUsn;
  const auto fail = [&result](EUsnRead why, std::string problem) {
    result.result = why;
    result.problem = std::move(problem);
    return result;
  };
  if (m_state.state == EUsnJournal::Absent) return fail(EUsnRead::NoJournal, "the volume has no change journal");
  if (m_state.state == EUsnJournal::Damaged || !m_streams) return fail(EUsnRead::BadBytes, m_state.problem);
  if (m_state.journalId != expectedJournalId) {
    return fail(EUsnRead::JournalChanged, "journal ID " + std::to_string(m_state.journalId) + ", not " +
                                              std::to_string(expectedJournalId));
  }
  if (fromUsn < m_state.lowestValidUsn) {
    return fail(EUsnRead::Wrapped, "start USN " + std::to_string(fromUsn) + " below the lowest valid USN " +
                                       std::to_string(m_state.lowestValidUsn));
  }
  if (fromUsn > m_state.nextUsn) {
    return fail(EUsnRead::PastEnd, "start USN " + std::to_string(fromUsn) + " past the next USN " + std::to_string(m_state.nextUsn));
  }
  const UsnStreamReader reader = [this](uint64_t usn, uint8_t* buffer, size_t length) {
    return ReadStreamBytes(usn, buffer, length);
  };
  return ReadUsnStream(reader, fromUsn, m_state.nextUsn, visitor);
}

bool CUsnJournal::ReadStreamBytes(uint64_t usn, uint8_t* buffer, size_t length) {
  if (!m_streams || length > std::numeric_limits<uint32_t>::max()) return false;
  uint32_t got = 0;
  return m_streams->data->ReadValue(usn, buffer, static_cast<uint32_t>(length), &got) && got == length;
}

namespace {

EUsnRead ControlResult(ostrin::platform::EJournalControl control) {
  using ostrin::platform::EJournalControl;
  switch (control) {
    case EJournalControl::Done: return EUsnRead::Complete;
    case EJournalControl::NotActive: return EUsnRead::NoJournal;
    case EJournalControl::DeleteInProgress: return EUsnRead::JournalDeleting;
    case EJournalControl::EntryDeleted: return EUsnRead::Wrapped;
    case EJournalControl::NotSupported: return EUsnRead::NotSupported;
    case EJournalControl::Failed: break;
  }
  return EUsnRead::ReadFailure;
}

SUsnReadResult ControlFailure(ostrin::platform::EJournalControl control, uint32_t error, uint64_t usn, const char* what) {
  SUsnReadResult result;
  result.result = ControlResult(control);
  result.usn = usn;
  result.problem = std::string(what) + ": " + UsnReadText(result.result) + " (system error " + std::to_string(error) + ")";
  return result;
}

}  // namespace

SUsnReadResult QueryUsnJournalByControl(const ostrin::platform::CVolumeDevice& device, SUsnJournalState* state) {
  ostrin::platform::SJournalQuery query;
  uint32_t error = 0;
  const auto control = ostrin::platform::QueryUsnJournal(device, &query, &error);
  if (control != ostrin::platform::EJournalControl::Done) return ControlFailure(control, error, 0, "FSCTL_QUERY_USN_JOURNAL");
  *state = SUsnJournalState{};
  state->state = EUsnJournal::Present;
  state->journalId = query.journalId;
  state->lowestValidUsn = query.lowestValidUsn;
  state->nextUsn = query.nextUsn;
  state->maximumSize = query.maximumSize;
  state->allocationDelta = query.allocationDelta;
  SUsnReadResult result;
  result.usn = query.nextUsn;
  return result;
}

SUsnReadResult ReadUsnJournalByControl(const ostrin::platform::CVolumeDevice& device, uint64_t fromUsn,
                                       uint64_t expectedJournalId, const UsnRecordVisitor& visitor) {
  SUsnJournalState state;
  SUsnReadResult result = QueryUsnJournalByControl(device, &state);
  if (result.result != EUsnRead::Complete) return result;
  result = SUsnReadResult{};
  result.usn = fromUsn;
  if (state.journalId != expectedJournalId) {
    result.result = EUsnRead::JournalChanged;
    result.problem = "journal ID " + std::to_string(state.journalId) + ", not " + std::to_string(expectedJournalId);
    return result;
  }
  if (fromUsn < state.lowestValidUsn || fromUsn > state.nextUsn) {
    result.result = fromUsn < state.lowestValidUsn ? EUsnRead::Wrapped : EUsnRead::PastEnd;
    result.problem = "start USN " + std::to_string(fromUsn) + " outside " + std::to_string(state.lowestValidUsn) + " to " +
                     std::to_string(state.nextUsn);
    return result;
  }
  std::vector<uint8_t> records;
  uint64_t usn = fromUsn;
  while (true) {
    uint64_t next = 0;
    uint32_t error = 0;
    const auto control = ostrin::platform::ReadUsnJournal(device, expectedJournalId, usn, &records, &next, &error);
    if (control != ostrin::platform::EJournalControl::Done) {
      SUsnReadResult failed = ControlFailure(control, error, usn, "FSCTL_READ_USN_JOURNAL");
      failed.records = result.records;
      return failed;
    }
    const SUsnReadResult buffer = ReadUsnBuffer(records.data(), records.size(), usn, visitor);
    result.records += buffer.records;
    if (buffer.result != EUsnRead::Complete) {
      SUsnReadResult ended = buffer;
      ended.records = result.records;
      return ended;
    }
    // The end: nothing more came, or the next USN stopped moving.
    if (records.empty() || next <= usn) break;
    usn = next;
  }
  result.result = EUsnRead::Complete;
  result.usn = usn;
  return result;
}
