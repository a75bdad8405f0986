// The EXPECTED listing: what a made volume holds, read back from the image by the ntfs-3g library.
//
// ostrin-mkvol writes it after the volume is made and unmounted, by mounting the image again
// read-only and reading every MFT record from 16 on, so it tells what is on the image, not what the
// manifest asked for. Left out: records 0 to 15, records not in use, extension records, and every
// record whose parent chain runs through a system record other than the root (so $Extend and what
// hangs below it).
//
// Format: UTF-8 text, one line per name (a record with three names gives three lines), fields
// separated by one tab, lines sorted by path and then record. The first line is the header:
//
//   path  record  parent  dir  namespace  size  allocated  attributes  created  written  accessed  links  streams
//
//   path        full path from the root, '/'-separated ("/docs/a.txt"); the parent directories are
//               named by their first name outside the DOS namespace. Names never hold a tab or a
//               line break. A record whose parent chain does not reach the root gets "?/" + name.
//   record      MFT record number of the entry (decimal)
//   parent      record number of the parent directory, from this FILE_NAME (sequence dropped)
//   dir         1 for a directory (record flag 0x2), else 0
//   namespace   namespace byte of this FILE_NAME: 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
//   size        value size of the first unnamed $DATA attribute; "-" when the record has none
//               (every directory, and a file whose only data are named streams)
//   allocated   the space the data takes: resident: the value length; non-resident: the allocated
//               size of the attribute; compressed or sparse (non-resident with the compression or the
//               sparse flag): the clusters actually stored (runs that are not holes, over all
//               extents) x cluster size; "-" as size
//   attributes  the file attribute word of $STANDARD_INFORMATION, hex with 0x (e.g. 0x00000020)
//   created, written, accessed
//               the $STANDARD_INFORMATION creation, last write and last access times, raw UTC
//               FILETIME numbers (100 ns ticks since 1601-01-01), decimal
//   links       the link count of the record header
//   streams     the number of named $DATA streams of the record
#pragma once

#include <string>

namespace ostrin::mkvol {

// Reads the NTFS image read-only and writes its listing; throws std::runtime_error.
// Returns the number of lines written (header not counted).
size_t WriteExpectedListing(const std::string& image, const std::string& listingPath);

}  // namespace ostrin::mkvol
