// The structure-aware mutator of the volume fuzz targets. It reads an input in the sparse volume
// format (fuzz_volume.h) as a volume: the boot sector, the MFT records (found by their signature),
// the references between records (base record, attribute-list entries, parents of file names) and
// the values of attribute lists, wherever they lie. Each call edits one record, or a few records
// that refer to each other, field by field (record header, attribute headers, run lists, values,
// attribute-list entries), splices attributes from one record into another, and now and then changes
// the boot sector; then it re-applies valid fix-ups to every edited record, except now and then, so
// that the parser sees records that pass the update-sequence check far more often than raw bytes
// would. Faults that need several records to agree (two records whose attribute lists name each
// other) are reached by choosing record numbers among the records that already point at each other.
// The mutator never changes the input's size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrin::fuzz {

// What the mutations aim at: the whole scan, or opening the volume (boot sector, records 0 to 15).
enum class EMutationFocus { Scan, Open };

// Mutates the input in place (libFuzzer's custom mutator); returns its size, which stays the same.
size_t MutateVolume(uint8_t* data, size_t size, size_t maxSize, unsigned seed, EMutationFocus focus);

// Writes into out a copy of the first input with some of its records (or its boot sector) taken
// from the second (libFuzzer's custom cross-over); returns the size written, 0 when the two do not
// fit together.
size_t CrossOverVolumes(const uint8_t* first, size_t firstSize, const uint8_t* second, size_t secondSize, uint8_t* out,
                        size_t maxOutSize, unsigned seed);

}  // namespace ostrin::fuzz

// libFuzzer's own byte-level mutation, used on small windows of a record (the replay program, built
// without libFuzzer, supplies one that changes nothing).
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);
