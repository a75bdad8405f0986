// The mutations of one record's structures: its header, attribute headers, run lists, values,
// attribute-list entries, and attributes spliced from or into other records.
#include <algorithm>

#include "fuzz/mutation.h"

namespace ostrin::fuzz::mutator {

bool CMutation::MutateHeader(std::vector<uint8_t>& record, uint64_t number) {
  uint8_t* r = record.data();
  switch (m_random.Below(9)) {
    case 0: {
      uint16_t flags = READ_FIELD(FILE_RECORD_HEADER, flags, r);
      const uint16_t values[] = {static_cast<uint16_t>(flags ^ (1u << m_random.Below(4))), 0, 1, 2, 3, 0xFFFF};
      flags = values[m_random.Below(std::size(values))];
      WriteLE<uint16_t>(r + offsetof(FILE_RECORD_HEADER, flags), flags);
      return true;
    }
    case 1:
      WriteReference(r + offsetof(FILE_RECORD_HEADER, baseRecord), PickRecordNumber(number));
      return true;
    case 2: {
      const uint16_t old = READ_FIELD(FILE_RECORD_HEADER, firstAttributeOffset, r);
      const uint16_t values[] = {static_cast<uint16_t>(old + 8), static_cast<uint16_t>(old - 8),
                                 static_cast<uint16_t>(old + 16), 0x38, 0x30, 0,
                                 static_cast<uint16_t>(m_recordSize - 8), static_cast<uint16_t>(m_random.Below(m_recordSize))};
      WriteLE<uint16_t>(r + offsetof(FILE_RECORD_HEADER, firstAttributeOffset), values[m_random.Below(std::size(values))]);
      return true;
    }
    case 3: {
      const size_t field = m_random.Percent(50) ? offsetof(FILE_RECORD_HEADER, usaOffset) : offsetof(FILE_RECORD_HEADER, usaCount);
      const uint16_t old = ReadLE<uint16_t>(r + field);
      const uint16_t values[] = {0, 1, 2, static_cast<uint16_t>(old + 1), static_cast<uint16_t>(old - 1),
                                 static_cast<uint16_t>(m_recordSize / STRIDE + 2), 0x28, 0xFFFF,
                                 static_cast<uint16_t>(m_random.Below(m_recordSize))};
      WriteLE<uint16_t>(r + field, values[m_random.Below(std::size(values))]);
      return true;
    }
    case 4: {
      const size_t field = m_random.Percent(70) ? offsetof(FILE_RECORD_HEADER, bytesInUse) : offsetof(FILE_RECORD_HEADER, bytesAllocated);
      WriteLE<uint32_t>(r + field, Interesting32(ReadLE<uint32_t>(r + field), 8));
      return true;
    }
    case 5:
      if (m_random.Percent(60)) {
        std::memcpy(r, BAAD_SIGNATURE, 4);
      } else {
        r[m_random.Below(4)] ^= static_cast<uint8_t>(1 + m_random.Below(255));
      }
      return true;
    case 6: {
      const size_t field = m_random.Percent(50) ? offsetof(FILE_RECORD_HEADER, sequenceNumber) : offsetof(FILE_RECORD_HEADER, linkCount);
      const uint16_t old = ReadLE<uint16_t>(r + field);
      const uint16_t values[] = {0, 1, 2, static_cast<uint16_t>(old + 1), 0xFFFF};
      WriteLE<uint16_t>(r + field, values[m_random.Below(std::size(values))]);
      return true;
    }
    case 7:
      WriteLE<uint32_t>(r + RECORD_NUMBER_FIELD, static_cast<uint32_t>(PickRecordNumber(number)));
      return true;
    default:
      WriteReference(r + offsetof(FILE_RECORD_HEADER, baseRecord), m_random.Percent(70) ? 0 : number);
      return true;
  }
}

bool CMutation::MutateAttributeHeader(std::vector<uint8_t>& record) {
  const std::vector<SAttribute> attributes = WalkAttributes(record.data(), record.size());
  if (attributes.empty()) return false;
  const SAttribute& attribute = m_random.Of(attributes);
  uint8_t* h = record.data() + attribute.offset;
  const uint32_t cluster = m_model.Geometry().clusterSize;
  const size_t pick = m_random.Below(attribute.nonResident ? 14 : 9);
  switch (pick) {
    case 0:
    case 1:
      WriteLE<uint32_t>(h, PickType(attribute.type));
      return true;
    case 2: {
      const uint32_t room = static_cast<uint32_t>(record.size() - attribute.offset);
      const uint32_t values[] = {attribute.length + 8, attribute.length - 8, attribute.length + 1, 0, 8, 0x10, 0x18,
                                 room, room + 8, 0xFFFFFFFF, static_cast<uint32_t>(m_random.Below(room + 1))};
      WriteLE<uint32_t>(h + offsetof(ATTRIBUTE_HEADER, length), values[m_random.Below(std::size(values))]);
      return true;
    }
    case 3:
      h[offsetof(ATTRIBUTE_HEADER, nonResident)] ^= 1;
      return true;
    case 4: {
      const uint8_t values[] = {0, 1, 4, 0xFF, static_cast<uint8_t>(h[offsetof(ATTRIBUTE_HEADER, nameLength)] + 1)};
      h[offsetof(ATTRIBUTE_HEADER, nameLength)] = values[m_random.Below(std::size(values))];
      if (m_random.Percent(50)) {
        WriteLE<uint16_t>(h + offsetof(ATTRIBUTE_HEADER, nameOffset),
                          static_cast<uint16_t>(Interesting32(READ_FIELD(ATTRIBUTE_HEADER, nameOffset, h), 8)));
      }
      return true;
    }
    case 5: {
      const uint16_t bits[] = {0x0001, 0x00FF, 0x4000, 0x8000};
      WriteLE<uint16_t>(h + offsetof(ATTRIBUTE_HEADER, flags),
                        static_cast<uint16_t>(READ_FIELD(ATTRIBUTE_HEADER, flags, h) ^ bits[m_random.Below(std::size(bits))]));
      return true;
    }
    case 6:
    case 7:
      if (!attribute.nonResident) {
        WriteLE<uint32_t>(h + offsetof(RESIDENT_ATTRIBUTE_HEADER, valueLength),
                          Interesting32(READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueLength, h), 2));
        return true;
      }
      WriteLE<uint64_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, firstVcn),
                        Interesting64(READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, firstVcn, h), 1));
      return true;
    case 8:
      if (!attribute.nonResident) {
        WriteLE<uint16_t>(h + offsetof(RESIDENT_ATTRIBUTE_HEADER, valueOffset),
                          static_cast<uint16_t>(Interesting32(READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueOffset, h), 8)));
        return true;
      }
      WriteLE<uint64_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, lastVcn),
                        Interesting64(READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, lastVcn, h), 1));
      return true;
    case 9:
      WriteLE<uint16_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset),
                        static_cast<uint16_t>(Interesting32(READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset, h), 8)));
      return true;
    case 10:
      WriteLE<uint16_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, compressionUnit),
                        static_cast<uint16_t>(m_random.Percent(50) ? 4 : m_random.Below(65536)));
      return true;
    default: {
      const size_t fields[] = {offsetof(NONRESIDENT_ATTRIBUTE_HEADER, allocatedSize), offsetof(NONRESIDENT_ATTRIBUTE_HEADER, dataSize),
                               offsetof(NONRESIDENT_ATTRIBUTE_HEADER, initializedSize)};
      const size_t field = fields[m_random.Below(std::size(fields))];
      WriteLE<uint64_t>(h + field, Interesting64(ReadLE<uint64_t>(h + field), cluster));
      return true;
    }
  }
}

bool CMutation::MutateRunList(std::vector<uint8_t>& record) {
  std::vector<SAttribute> nonResident;
  for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
    if (attribute.nonResident && attribute.length >= sizeof(NONRESIDENT_ATTRIBUTE_HEADER)) nonResident.push_back(attribute);
  }
  if (nonResident.empty()) return false;
  const SAttribute& attribute = m_random.Of(nonResident);
  const std::vector<SRun> runs = DecodeRuns(record.data(), attribute);
  const size_t listStart = attribute.offset + READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset, record.data() + attribute.offset);
  const size_t end = attribute.offset + attribute.length;
  if (runs.empty() || m_random.Percent(15)) {
    if (listStart < end) RawWindow(record.data() + listStart, end - listStart);
    return listStart < end;
  }
  const SRun& run = m_random.Of(runs);
  uint8_t* p = record.data() + run.at;
  switch (m_random.Below(6)) {
    case 0: {
      const uint8_t values[] = {0, static_cast<uint8_t>(*p & 0x0F), static_cast<uint8_t>(*p + 0x10), static_cast<uint8_t>(*p - 1),
                                static_cast<uint8_t>(*p + 1), 0x88, 0x18, 0x01,
                                static_cast<uint8_t>(((1 + m_random.Below(8)) << 4) | (1 + m_random.Below(8)))};
      *p = values[m_random.Below(std::size(values))];
      return true;
    }
    case 1:
      if (run.countBytes == 0) return false;
      p[1 + m_random.Below(run.countBytes)] = m_random.Percent(50) ? 0xFF : static_cast<uint8_t>(m_random.Next());
      return true;
    case 2:
      if (run.offsetBytes == 0) return false;
      p[run.countBytes + run.offsetBytes] ^= 0x80;  // the sign of the LCN step
      return true;
    case 3:
      if (run.offsetBytes == 0) return false;
      p[1 + run.countBytes + m_random.Below(run.offsetBytes)] = static_cast<uint8_t>(m_random.Next());
      return true;
    case 4: {
      // Ends the list after this run.
      const size_t next = run.at + 1 + run.countBytes + run.offsetBytes;
      if (next >= end) return false;
      record[next] = 0;
      return true;
    }
    default: {
      // One run of many clusters: sparse, or far out on the volume.
      const size_t room = end - run.at;
      if (room < 7) return false;
      p[0] = m_random.Percent(50) ? 0x05 : 0x45;
      const uint64_t clusters = m_random.Percent(50) ? (uint64_t{1} << 32) : m_random.Below(1 << 20) + 1;
      for (int i = 0; i < 5 && 1 + i < static_cast<int>(room); ++i) p[1 + i] = static_cast<uint8_t>(clusters >> (8 * i));
      if (p[0] == 0x45 && room >= 11) {
        for (int i = 0; i < 4; ++i) p[6 + i] = static_cast<uint8_t>(m_random.Next());
        p[10] = 0;
      } else {
        p[0] = 0x05;
        p[6] = 0;
      }
      return true;
    }
  }
}

// Bytes of the signed or unsigned little-endian number v in a mapping pair: as few as hold it.
unsigned PairBytes(uint64_t v, bool isSigned) {
  unsigned bytes = 1;
  while (bytes < 8) {
    const uint64_t high = v >> (8 * bytes - (isSigned ? 1 : 0));
    if (high == 0 || (isSigned && high == (~uint64_t{0} >> (8 * bytes - 1)))) break;
    ++bytes;
  }
  return bytes;
}

bool CMutation::ResizeValue(std::vector<uint8_t>& record) {
  // A value grown (or shrunk) with every size field agreeing, its runs ending in one run that covers
  // the difference: a hole, or clusters far out on the volume. Sizes far beyond the volume that
  // still hold together are what a volume's checks must catch.
  std::vector<SAttribute> nonResident;
  for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
    if (attribute.nonResident && attribute.length >= sizeof(NONRESIDENT_ATTRIBUTE_HEADER)) nonResident.push_back(attribute);
  }
  if (nonResident.empty()) return false;
  const SAttribute& attribute = m_random.Of(nonResident);
  uint8_t* h = record.data() + attribute.offset;
  const uint64_t cluster = m_model.Geometry().clusterSize;
  const uint64_t firstVcn = READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, firstVcn, h);
  const std::vector<SRun> runs = DecodeRuns(record.data(), attribute);
  uint64_t clusters = 0;
  for (const SRun& run : runs) clusters += run.clusters;
  const uint64_t targets[] = {clusters * 2 + 1, clusters + 1, uint64_t{1} << 20, uint64_t{1} << 32, uint64_t{1} << 40,
                              uint64_t{1} << 52, 1 + m_random.Below(1 << 16)};
  const uint64_t total = std::max<uint64_t>(targets[m_random.Below(std::size(targets))], clusters + 1);
  const uint64_t extra = total - clusters;
  // The runs as they stand, then the filler.
  const size_t listStart = attribute.offset + READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset, h);
  size_t at = runs.empty() ? listStart : runs.back().at + 1 + runs.back().countBytes + runs.back().offsetBytes;
  const size_t end = attribute.offset + attribute.length;
  const bool sparse = m_random.Percent(60);
  const int64_t step = sparse ? 0 : static_cast<int64_t>(m_random.Percent(50) ? m_random.Below(1 << 16) : m_random.Next() >> 24);
  const unsigned countBytes = PairBytes(extra, false);
  const unsigned offsetBytes = sparse ? 0 : PairBytes(static_cast<uint64_t>(step), true);
  if (at < listStart || at + 2 + countBytes + offsetBytes > end) {
    // No room after the runs: the filler alone stands for the whole value.
    at = listStart;
    if (at + 2 + countBytes + offsetBytes > end) return false;
  }
  const uint64_t filler = at == listStart ? total : extra;
  const unsigned fillerBytes = PairBytes(filler, false);
  if (at + 2 + fillerBytes + offsetBytes > end) return false;
  record[at] = static_cast<uint8_t>(fillerBytes | (offsetBytes << 4));
  for (unsigned i = 0; i < fillerBytes; ++i) record[at + 1 + i] = static_cast<uint8_t>(filler >> (8 * i));
  for (unsigned i = 0; i < offsetBytes; ++i) record[at + 1 + fillerBytes + i] = static_cast<uint8_t>(static_cast<uint64_t>(step) >> (8 * i));
  record[at + 1 + fillerBytes + offsetBytes] = 0;
  WriteLE<uint64_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, lastVcn), firstVcn + total - 1);
  const uint64_t bytes = total * cluster;
  WriteLE<uint64_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, allocatedSize), bytes);
  WriteLE<uint64_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, dataSize), m_random.Percent(70) ? bytes : bytes - m_random.Below(cluster));
  WriteLE<uint64_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, initializedSize),
                    m_random.Percent(50) ? bytes : READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, initializedSize, h));
  return true;
}

bool CMutation::MutateListEntries(uint8_t* value, size_t length, uint64_t owner) {
  const std::vector<size_t> entries = ListEntries(value, length);
  if (entries.empty()) return false;
  const size_t at = m_random.Of(entries);
  uint8_t* entry = value + at;
  const unsigned pick = static_cast<unsigned>(m_random.Below(100));
  if (pick < 40) {
    WriteLE<uint32_t>(entry, PickType(ReadLE<uint32_t>(entry)));
  } else if (pick < 70) {
    const uint64_t number = PickRecordNumber(owner);
    WriteLE<uint32_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberLow), static_cast<uint32_t>(number));
    WriteLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberHigh), static_cast<uint16_t>(number >> 32));
  } else if (pick < 80) {
    const uint16_t old = ReadLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, length));
    const uint16_t values[] = {0, 8, 0x18, 0x20, static_cast<uint16_t>(old + 8), static_cast<uint16_t>(old - 8), 0xFFFF,
                               static_cast<uint16_t>(m_random.Below(length - at + 1))};
    WriteLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, length), values[m_random.Below(std::size(values))]);
  } else if (pick < 85) {
    WriteLE<uint64_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, lowestVcn),
                      Interesting64(ReadLE<uint64_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, lowestVcn)), 1));
  } else if (pick < 90) {
    entry[m_random.Percent(50) ? offsetof(ATTRIBUTE_LIST_ENTRY, nameLength) : offsetof(ATTRIBUTE_LIST_ENTRY, nameOffset)] =
        static_cast<uint8_t>(m_random.Percent(50) ? m_random.Below(8) : m_random.Next());
  } else {
    // Another entry's fields over this one: the same attribute named twice, or by another record.
    const size_t other = m_random.Of(entries);
    if (other == at) return false;
    const uint16_t ownLength = ReadLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, length));
    std::memmove(entry, value + other, ENTRY_MIN_LENGTH - 2);
    WriteLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, length), ownLength);
  }
  return true;
}

bool CMutation::MutateAttributeList(std::vector<uint8_t>& record, uint64_t number) {
  for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
    if (attribute.type != ATTR_TYPE_ATTRIBUTE_LIST) continue;
    size_t begin = 0, length = 0;
    if (ResidentValue(record.data(), attribute, &begin, &length)) return MutateListEntries(record.data() + begin, length, number);
    // A non-resident list is changed where it lies, outside the record.
    uint8_t* value = m_model.NonResidentValue(record.data(), attribute, &length);
    if (value != nullptr) return MutateListEntries(value, length, number);
  }
  return false;
}

bool CMutation::MutateValue(std::vector<uint8_t>& record, uint64_t number) {
  std::vector<std::pair<SAttribute, std::pair<size_t, size_t>>> values;
  for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
    size_t begin = 0, length = 0;
    if (ResidentValue(record.data(), attribute, &begin, &length) && length > 0) values.push_back({attribute, {begin, length}});
  }
  if (values.empty()) return false;
  const auto& [attribute, where] = m_random.Of(values);
  uint8_t* v = record.data() + where.first;
  const size_t length = where.second;
  if (attribute.type == ATTR_TYPE_FILE_NAME && length >= offsetof(FILE_NAME_VALUE, name)) {
    switch (m_random.Below(6)) {
      case 0:
      case 1:
        WriteReference(v + offsetof(FILE_NAME_VALUE, parentReference), PickDirectoryNumber(number));
        return true;
      case 2: {
        const uint8_t old = v[offsetof(FILE_NAME_VALUE, nameLength)];
        const uint8_t values[] = {0, 1, 255, static_cast<uint8_t>(old + 1), static_cast<uint8_t>(old - 1)};
        v[offsetof(FILE_NAME_VALUE, nameLength)] = values[m_random.Below(std::size(values))];
        return true;
      }
      case 3:
        v[offsetof(FILE_NAME_VALUE, nameSpace)] = static_cast<uint8_t>(m_random.Percent(80) ? m_random.Below(4) : m_random.Next());
        return true;
      case 4: {
        const size_t units = (length - offsetof(FILE_NAME_VALUE, name)) / 2;
        if (units == 0) return false;
        const uint16_t odd[] = {0, '\\', '/', ':', '*', '?', 'A', 'a', 0xD800, 0xDC00, 0xFFFF, 0x00C4, 0x0130};
        WriteLE<uint16_t>(v + offsetof(FILE_NAME_VALUE, name) + 2 * m_random.Below(units), odd[m_random.Below(std::size(odd))]);
        return true;
      }
      default:
        WriteLE<uint32_t>(v + offsetof(FILE_NAME_VALUE, fileAttributes),
                          ReadLE<uint32_t>(v + offsetof(FILE_NAME_VALUE, fileAttributes)) ^ (1u << m_random.Below(32)));
        return true;
    }
  }
  if (attribute.type == ATTR_TYPE_STANDARD_INFORMATION && length >= sizeof(STANDARD_INFORMATION)) {
    if (m_random.Percent(60)) {
      const uint32_t bits[] = {FILE_ATTRIBUTE_BIT_DIRECTORY, FILE_ATTRIBUTE_BIT_SPARSE, FILE_ATTRIBUTE_BIT_COMPRESSED, 0x400,
                               0x4000, 0x80000000, 1u << m_random.Below(32)};
      WriteLE<uint32_t>(v + offsetof(STANDARD_INFORMATION, fileAttributes),
                        ReadLE<uint32_t>(v + offsetof(STANDARD_INFORMATION, fileAttributes)) ^ bits[m_random.Below(std::size(bits))]);
    } else {
      const size_t times[] = {offsetof(STANDARD_INFORMATION, creationTime), offsetof(STANDARD_INFORMATION, lastWriteTime),
                              offsetof(STANDARD_INFORMATION, lastAccessTime)};
      const size_t field = times[m_random.Below(std::size(times))];
      WriteLE<uint64_t>(v + field, Interesting64(ReadLE<uint64_t>(v + field), 10000000));
    }
    return true;
  }
  if (attribute.type == ATTR_TYPE_ATTRIBUTE_LIST) return MutateListEntries(v, length, number);
  RawWindow(v, length);
  return true;
}

std::vector<std::vector<uint8_t>> CMutation::AttributeBytes(const std::vector<uint8_t>& record) {
  std::vector<std::vector<uint8_t>> attributes;
  for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
    attributes.emplace_back(record.begin() + static_cast<ptrdiff_t>(attribute.offset),
                            record.begin() + static_cast<ptrdiff_t>(attribute.offset + attribute.length));
  }
  return attributes;
}

bool CMutation::WriteAttributes(std::vector<uint8_t>& record, const std::vector<std::vector<uint8_t>>& attributes) {
  const size_t first = READ_FIELD(FILE_RECORD_HEADER, firstAttributeOffset, record.data());
  if (first < sizeof(FILE_RECORD_HEADER) || first + 8 > record.size()) return false;
  size_t at = first;
  for (const std::vector<uint8_t>& attribute : attributes) {
    if (attribute.size() > record.size() - 8 - at) break;
    std::memcpy(record.data() + at, attribute.data(), attribute.size());
    at += attribute.size();
  }
  WriteLE<uint32_t>(record.data() + at, ATTR_TYPE_END);
  WriteLE<uint32_t>(record.data() + at + 4, 0);
  at += 8;
  std::fill(record.begin() + static_cast<ptrdiff_t>(at), record.end(), 0);
  WriteLE<uint32_t>(record.data() + offsetof(FILE_RECORD_HEADER, bytesInUse), static_cast<uint32_t>(at));
  return true;
}

bool CMutation::Splice(std::vector<uint8_t>& record, size_t from) {
  const std::vector<uint8_t> source = Decoded(from);
  std::vector<std::vector<uint8_t>> theirs = AttributeBytes(source);
  if (theirs.empty()) return false;
  // An attribute list more often than its share: copied, it makes a record follow another's list.
  size_t pick = m_random.Below(theirs.size());
  if (m_random.Percent(40)) {
    for (size_t i = 0; i < theirs.size(); ++i) {
      if (ReadLE<uint32_t>(theirs[i].data()) == ATTR_TYPE_ATTRIBUTE_LIST) pick = i;
    }
  }
  std::vector<std::vector<uint8_t>> ours = AttributeBytes(record);
  const size_t at = m_random.Below(ours.size() + 1);
  if (!ours.empty() && m_random.Percent(40)) {
    ours[std::min(at, ours.size() - 1)] = theirs[pick];
  } else {
    ours.insert(ours.begin() + static_cast<ptrdiff_t>(at), theirs[pick]);
  }
  return WriteAttributes(record, ours);
}

bool CMutation::Rearrange(std::vector<uint8_t>& record) {
  std::vector<std::vector<uint8_t>> attributes = AttributeBytes(record);
  if (attributes.empty()) return false;
  const size_t a = m_random.Below(attributes.size());
  const size_t b = m_random.Below(attributes.size());
  switch (m_random.Below(3)) {
    case 0:
      attributes.erase(attributes.begin() + static_cast<ptrdiff_t>(a));
      break;
    case 1:
      attributes.insert(attributes.begin() + static_cast<ptrdiff_t>(b), attributes[a]);
      break;
    default:
      std::swap(attributes[a], attributes[b]);
      break;
  }
  return WriteAttributes(record, attributes);
}

bool CMutation::CopyRecord(std::vector<uint8_t>& record, size_t from, uint64_t number) {
  record = Decoded(from);
  if (m_random.Percent(50)) WriteLE<uint32_t>(record.data() + RECORD_NUMBER_FIELD, static_cast<uint32_t>(number));
  return true;
}

bool CMutation::NameInList(std::vector<uint8_t>& record, uint64_t owner, uint64_t named) {
  const auto name = [&](uint8_t* value, size_t length) {
    const std::vector<size_t> entries = ListEntries(value, length);
    if (entries.empty()) return false;
    uint8_t* entry = value + m_random.Of(entries);
    WriteLE<uint32_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberLow), static_cast<uint32_t>(named));
    WriteLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberHigh), static_cast<uint16_t>(named >> 32));
    if (m_random.Percent(60)) WriteLE<uint32_t>(entry, PickType(ReadLE<uint32_t>(entry)));
    return true;
  };
  std::vector<std::vector<uint8_t>> attributes = AttributeBytes(record);
  size_t insertAt = attributes.size();
  for (size_t i = 0; i < attributes.size(); ++i) {
    const uint32_t type = ReadLE<uint32_t>(attributes[i].data());
    if (type > ATTR_TYPE_ATTRIBUTE_LIST && insertAt == attributes.size()) insertAt = i;
    if (type != ATTR_TYPE_ATTRIBUTE_LIST) continue;
    SAttribute where{0, type, static_cast<uint32_t>(attributes[i].size()), attributes[i][8] != 0};
    size_t begin = 0, length = 0;
    if (!where.nonResident && ResidentValue(attributes[i].data(), where, &begin, &length)) {
      if (!name(attributes[i].data() + begin, length)) return false;
      return WriteAttributes(record, attributes);
    }
    uint8_t* value = m_model.NonResidentValue(attributes[i].data(), where, &length);
    return value != nullptr && name(value, length);
  }
  // No list yet: a resident one, naming the record's own standard information and the other record.
  constexpr size_t ENTRY = sizeof(ATTRIBUTE_LIST_ENTRY);
  std::vector<uint8_t> list(sizeof(RESIDENT_ATTRIBUTE_HEADER) + 2 * ENTRY, 0);
  WriteLE<uint32_t>(list.data(), ATTR_TYPE_ATTRIBUTE_LIST);
  WriteLE<uint32_t>(list.data() + offsetof(ATTRIBUTE_HEADER, length), static_cast<uint32_t>(list.size()));
  WriteLE<uint16_t>(list.data() + offsetof(ATTRIBUTE_HEADER, nameOffset), sizeof(RESIDENT_ATTRIBUTE_HEADER));
  WriteLE<uint32_t>(list.data() + offsetof(RESIDENT_ATTRIBUTE_HEADER, valueLength), 2 * ENTRY);
  WriteLE<uint16_t>(list.data() + offsetof(RESIDENT_ATTRIBUTE_HEADER, valueOffset), sizeof(RESIDENT_ATTRIBUTE_HEADER));
  const std::pair<uint32_t, uint64_t> entries[] = {{ATTR_TYPE_STANDARD_INFORMATION, owner},
                                                   {PickType(ATTR_TYPE_FILE_NAME), named}};
  for (size_t i = 0; i < 2; ++i) {
    uint8_t* entry = list.data() + sizeof(RESIDENT_ATTRIBUTE_HEADER) + i * ENTRY;
    WriteLE<uint32_t>(entry, entries[i].first);
    WriteLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, length), ENTRY);
    entry[offsetof(ATTRIBUTE_LIST_ENTRY, nameOffset)] = offsetof(ATTRIBUTE_LIST_ENTRY, name);
    WriteLE<uint32_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberLow), static_cast<uint32_t>(entries[i].second));
    WriteLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberHigh), static_cast<uint16_t>(entries[i].second >> 32));
  }
  attributes.insert(attributes.begin() + static_cast<ptrdiff_t>(insertAt), std::move(list));
  return WriteAttributes(record, attributes);
}

bool CMutation::PointAtEachOther(size_t focus) {
  // Records that name each other, the way damage and hostile volumes make them: through their base
  // record fields, their attribute lists, the parents of their names; one or more of these, both
  // ways.
  size_t other = PickSlotNear(focus);
  for (int attempt = 0; other == focus && attempt < 4; ++attempt) other = PickSlotNear(focus);
  if (other == focus) other = m_random.Of(m_model.MftSlots());
  if (other == focus) return false;
  unsigned kinds = 0;
  while (kinds == 0) kinds = static_cast<unsigned>(m_random.Below(8));
  const uint64_t numbers[2] = {m_model.Slots()[focus].number, m_model.Slots()[other].number};
  const size_t slots[2] = {focus, other};
  for (int side = 0; side < 2; ++side) {
    std::vector<uint8_t>& record = Edit(slots[side]).bytes;
    const uint64_t named = numbers[1 - side];
    if ((kinds & 1) != 0) WriteReference(record.data() + offsetof(FILE_RECORD_HEADER, baseRecord), named);
    if ((kinds & 2) != 0) NameInList(record, numbers[side], named);
    if ((kinds & 4) != 0) {
      for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
        size_t begin = 0, length = 0;
        if (attribute.type == ATTR_TYPE_FILE_NAME && ResidentValue(record.data(), attribute, &begin, &length) &&
            length >= sizeof(uint64_t)) {
          WriteReference(record.data() + begin, named);
        }
      }
    }
  }
  return true;
}

bool CMutation::InlineAttributeList(std::vector<uint8_t>& record) {
  // The list's value moved into the record: a resident list, which ntfs-3g never writes.
  std::vector<std::vector<uint8_t>> attributes = AttributeBytes(record);
  for (size_t i = 0; i < attributes.size(); ++i) {
    std::vector<uint8_t>& attribute = attributes[i];
    if (ReadLE<uint32_t>(attribute.data()) != ATTR_TYPE_ATTRIBUTE_LIST || attribute[8] == 0) continue;
    SAttribute where{0, ATTR_TYPE_ATTRIBUTE_LIST, static_cast<uint32_t>(attribute.size()), true};
    size_t length = 0;
    const uint8_t* value = m_model.NonResidentValue(attribute.data(), where, &length);
    if (value == nullptr) return false;
    const size_t padded = (length + 7) / 8 * 8;
    size_t used = READ_FIELD(FILE_RECORD_HEADER, firstAttributeOffset, record.data()) + 8;
    for (const std::vector<uint8_t>& other : attributes) used += other.size();
    if (used - attribute.size() + sizeof(RESIDENT_ATTRIBUTE_HEADER) + padded > record.size()) return false;
    std::vector<uint8_t> resident(sizeof(RESIDENT_ATTRIBUTE_HEADER) + padded, 0);
    std::memcpy(resident.data(), attribute.data(), sizeof(ATTRIBUTE_HEADER));
    WriteLE<uint32_t>(resident.data() + offsetof(ATTRIBUTE_HEADER, length), static_cast<uint32_t>(resident.size()));
    resident[offsetof(ATTRIBUTE_HEADER, nonResident)] = 0;
    resident[offsetof(ATTRIBUTE_HEADER, nameLength)] = 0;
    WriteLE<uint32_t>(resident.data() + offsetof(RESIDENT_ATTRIBUTE_HEADER, valueLength), static_cast<uint32_t>(length));
    WriteLE<uint16_t>(resident.data() + offsetof(RESIDENT_ATTRIBUTE_HEADER, valueOffset), sizeof(RESIDENT_ATTRIBUTE_HEADER));
    std::memcpy(resident.data() + sizeof(RESIDENT_ATTRIBUTE_HEADER), value, length);
    attribute = std::move(resident);
    return WriteAttributes(record, attributes);
  }
  return false;
}

}  // namespace ostrin::fuzz::mutator
