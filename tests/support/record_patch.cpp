// Damaging single MFT records of an image copy.
#include "tests/support/record_patch.h"

#include <cstring>
#include <stdexcept>

namespace ostrin::test {

namespace {

constexpr uint32_t STRIDE = 512;

uint64_t Field(const std::vector<uint8_t>& bytes, size_t offset, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(bytes.at(offset + i)) << (8 * i);
  return value;
}

}  // namespace

std::vector<uint8_t> ReadRecord(const CImageCopy& image, uint64_t record) {
  const SBootGeometry geometry = ReadBootGeometry(image.Path());
  std::vector<uint8_t> bytes = image.Read(MftRecordOffset(image.Path(), record), geometry.fileRecordSize);
  const auto usaOffset = static_cast<uint32_t>(Field(bytes, 4, 2));
  const auto usaCount = static_cast<uint32_t>(Field(bytes, 6, 2));
  for (uint32_t i = 1; i < usaCount; ++i) {
    bytes.at(i * STRIDE - 2) = bytes.at(usaOffset + 2 * i);
    bytes.at(i * STRIDE - 1) = bytes.at(usaOffset + 2 * i + 1);
  }
  return bytes;
}

void PatchRecord(CImageCopy& image, uint64_t record, uint32_t offsetInRecord, const std::vector<uint8_t>& bytes) {
  const uint64_t recordOffset = MftRecordOffset(image.Path(), record);
  const std::vector<uint8_t> header = image.Read(recordOffset, 8);
  const auto usaOffset = static_cast<uint32_t>(Field(header, 4, 2));
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint32_t position = offsetInRecord + static_cast<uint32_t>(i);
    const uint32_t inSector = position % STRIDE;
    uint64_t target = recordOffset + position;
    if (inSector >= STRIDE - 2) target = recordOffset + usaOffset + 2 * (position / STRIDE + 1) + (inSector - (STRIDE - 2));
    image.Write(target, &bytes[i], 1);
  }
}

std::optional<uint32_t> FindAttribute(const std::vector<uint8_t>& record, uint32_t type, int nth) {
  auto offset = static_cast<uint32_t>(Field(record, 0x14, 2));
  while (offset + 8 <= record.size()) {
    const auto found = static_cast<uint32_t>(Field(record, offset, 4));
    const auto length = static_cast<uint32_t>(Field(record, offset + 4, 4));
    if (found == 0xFFFFFFFF || length == 0) break;
    if (found == type && nth-- == 0) return offset;
    offset += length;
  }
  return std::nullopt;
}

uint32_t ResidentValueOffset(const std::vector<uint8_t>& record, uint32_t attributeOffset) {
  if (record.at(attributeOffset + 8) != 0) throw std::runtime_error("attribute is not resident");
  return attributeOffset + static_cast<uint32_t>(Field(record, attributeOffset + 0x14, 2));
}

std::vector<uint8_t> LittleEndian(uint64_t value, size_t width) {
  std::vector<uint8_t> bytes(width);
  for (size_t i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

}  // namespace ostrin::test
