// The ntfs-3g library (Debian ntfs-3g-dev) as the volume maker uses it: one place that includes its C
// headers with C linkage, behind the small config.h they expect.
#pragma once

#ifndef HAVE_CONFIG_H
#error "the ntfs-3g headers need HAVE_CONFIG_H and our ntfs3g_config/config.h"
#endif

extern "C" {
#include <ntfs-3g/types.h>

#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/index.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/lcnalloc.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/mft.h>
#include <ntfs-3g/runlist.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}

// support.h defines min and max as macros, which would break std::min and std::max.
#undef min
#undef max
