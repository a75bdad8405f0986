// One call of the fuzz targets' mutator: the records it edits (decoded), the choices it makes, and
// the mutations of each structure: record headers, attributes, run lists, values and attribute lists
// (mutate_record.cpp), the boot sector and the volume's size (volume_mutator.cpp).
#pragma once

#include <map>
#include <vector>

#include "fuzz/volume_model.h"
#include "fuzz/volume_mutator.h"

namespace ostrin::fuzz::mutator {

// ---- One call's mutations.

class CMutation {
 public:
  CMutation(CVolumeModel& model, CRandom& random, EMutationFocus focus)
      : m_model(model), m_random(random), m_focus(focus), m_recordSize(model.Geometry().recordSize) {}

  void Run();

 private:
  struct SEdit {
    std::vector<uint8_t> bytes;  // fix-ups undone
  };

  size_t PickFocusSlot();
  size_t PickSlotNear(size_t focus);
  SEdit& Edit(size_t slot);
  std::vector<uint8_t> Decoded(size_t slot);
  void Commit();

  uint64_t PickRecordNumber(uint64_t owner);
  uint64_t PickDirectoryNumber(uint64_t owner);
  uint32_t PickType(uint32_t old);
  uint64_t Interesting64(uint64_t old, uint64_t unit);
  uint32_t Interesting32(uint32_t old, uint32_t unit);
  void WriteReference(uint8_t* field, uint64_t number);
  void RawWindow(uint8_t* bytes, size_t length);

  bool MutateRecord(size_t slot);
  bool MutateHeader(std::vector<uint8_t>& record, uint64_t number);
  bool MutateAttributeHeader(std::vector<uint8_t>& record);
  bool MutateRunList(std::vector<uint8_t>& record);
  bool ResizeValue(std::vector<uint8_t>& record);
  bool MutateValue(std::vector<uint8_t>& record, uint64_t number);
  bool MutateAttributeList(std::vector<uint8_t>& record, uint64_t number);
  bool MutateListEntries(uint8_t* value, size_t length, uint64_t owner);
  bool Splice(std::vector<uint8_t>& record, size_t from);
  bool Rearrange(std::vector<uint8_t>& record);
  bool CopyRecord(std::vector<uint8_t>& record, size_t from, uint64_t number);
  bool PointAtEachOther(size_t focus);
  bool NameInList(std::vector<uint8_t>& record, uint64_t owner, uint64_t named);
  bool InlineAttributeList(std::vector<uint8_t>& record);
  bool MutateBootSector();
  bool MutateVolumeSize();

  // Rebuilds the attributes of a record from a list of attribute bytes: ends them with the end
  // marker, sets the bytes in use; attributes that do not fit are left out.
  bool WriteAttributes(std::vector<uint8_t>& record, const std::vector<std::vector<uint8_t>>& attributes);
  std::vector<std::vector<uint8_t>> AttributeBytes(const std::vector<uint8_t>& record);

  CVolumeModel& m_model;
  CRandom& m_random;
  EMutationFocus m_focus;
  uint32_t m_recordSize;
  std::map<size_t, SEdit> m_edits;
};

}  // namespace ostrin::fuzz::mutator
