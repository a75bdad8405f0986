/* What the ntfs-3g headers expect from the program that embeds them (they include "config.h" when
   HAVE_CONFIG_H is defined): the C library headers that exist on this system. */
#ifndef OSTRIN_MKVOL_NTFS3G_CONFIG_H
#define OSTRIN_MKVOL_NTFS3G_CONFIG_H

#define HAVE_STDARG_H 1
#define HAVE_STDINT_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_UNISTD_H 1
#define HAVE_TIME_H 1
#define HAVE_STRUCT_TIMESPEC 1

#include <stdarg.h>
#include <time.h>

#endif
