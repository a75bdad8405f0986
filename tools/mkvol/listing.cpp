// Writing the EXPECTED listing of an image from what the ntfs-3g library reads back.
#include "tools/mkvol/listing.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "common/text.h"
#include "tools/mkvol/ntfs3g.h"

namespace ostrin::mkvol {
namespace {

[[noreturn]] void FailErrno(const std::string& what) {
  const int err = errno;
  throw std::runtime_error(what + ": " + std::strerror(err));
}

struct SName {
  uint64_t parent = 0;
  uint8_t nameSpace = 0;
  std::string name;
};

struct SRecord {
  bool isDirectory = false;
  bool hasData = false;
  uint64_t size = 0, allocated = 0;
  uint32_t attributes = 0;
  uint64_t created = 0, written = 0, accessed = 0;
  uint32_t links = 0, streams = 0;
  std::vector<SName> names;
};

// The name of a FILE_NAME value; its characters may sit on an odd address, so they are copied bytewise.
std::string NameOf(const FILE_NAME_ATTR* fn) {
  const u8* bytes = reinterpret_cast<const u8*>(fn) + offsetof(FILE_NAME_ATTR, file_name);
  WString wide(fn->file_name_length, 0);
  for (size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<WCHAR>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return WideToUtf8(wide);
}

template <typename T>
T* ValueOf(ATTR_RECORD* a) {
  return reinterpret_cast<T*>(reinterpret_cast<u8*>(a) + le16_to_cpu(a->value_offset));
}

// Clusters of the unnamed data that hold stored data (not holes), over all its extents.
uint64_t StoredClusters(ntfs_inode* ni) {
  ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
  if (!na) FailErrno("cannot open the data of record " + std::to_string(ni->mft_no));
  if (ntfs_attr_map_whole_runlist(na) != 0) {
    ntfs_attr_close(na);
    FailErrno("cannot map the runs of record " + std::to_string(ni->mft_no));
  }
  uint64_t clusters = 0;
  for (runlist_element* rl = na->rl; rl && rl->length; ++rl) {
    if (rl->lcn >= 0) clusters += static_cast<uint64_t>(rl->length);
  }
  ntfs_attr_close(na);
  return clusters;
}

SRecord ReadRecord(ntfs_volume* vol, uint64_t number, const MFT_RECORD* m) {
  SRecord r;
  r.isDirectory = (m->flags & MFT_RECORD_IS_DIRECTORY) != 0;
  r.links = le16_to_cpu(m->link_count);
  ntfs_inode* ni = ntfs_inode_open(vol, number);
  if (!ni) FailErrno("cannot open record " + std::to_string(number));
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
  if (!ctx) FailErrno("cannot search record " + std::to_string(number));

  if (ntfs_attr_lookup(AT_STANDARD_INFORMATION, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) {
    const auto* si = ValueOf<STANDARD_INFORMATION>(ctx->attr);
    r.created = static_cast<uint64_t>(sle64_to_cpu(si->creation_time));
    r.written = static_cast<uint64_t>(sle64_to_cpu(si->last_data_change_time));
    r.accessed = static_cast<uint64_t>(sle64_to_cpu(si->last_access_time));
    r.attributes = le32_to_cpu(si->file_attributes);
  }
  ntfs_attr_reinit_search_ctx(ctx);
  while (ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) {
    const auto* fn = ValueOf<FILE_NAME_ATTR>(ctx->attr);
    r.names.push_back({MREF_LE(fn->parent_directory), fn->file_name_type, NameOf(fn)});
  }
  // Every $DATA extent in attribute order: the first unnamed one (lowest VCN 0) carries the sizes.
  ntfs_attr_reinit_search_ctx(ctx);
  bool stored = false;  // compressed or sparse: only the clusters stored count as allocated
  while (ntfs_attr_lookup(AT_DATA, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) {
    ATTR_RECORD* a = ctx->attr;
    if (a->name_length != 0) {
      if (!a->non_resident || a->lowest_vcn == 0) ++r.streams;
      continue;
    }
    if (r.hasData) continue;
    r.hasData = true;
    if (a->non_resident) {
      r.size = static_cast<uint64_t>(sle64_to_cpu(a->data_size));
      r.allocated = static_cast<uint64_t>(sle64_to_cpu(a->allocated_size));
      stored = (a->flags & (ATTR_IS_COMPRESSED | ATTR_IS_SPARSE)) != 0;
    } else {
      r.size = r.allocated = le32_to_cpu(a->value_length);
    }
  }
  ntfs_attr_put_search_ctx(ctx);
  if (stored) r.allocated = StoredClusters(ni) * vol->cluster_size;
  ntfs_inode_close(ni);
  return r;
}

}  // namespace

size_t WriteExpectedListing(const std::string& image, const std::string& listingPath) {
  ntfs_volume* vol = ntfs_mount(image.c_str(), NTFS_MNT_RDONLY);
  if (!vol) FailErrno("ntfs-3g cannot mount " + image + " read-only");
  std::map<uint64_t, SRecord> records;
  try {
    const uint64_t count = static_cast<uint64_t>(vol->mft_na->initialized_size) >> vol->mft_record_size_bits;
    std::unique_ptr<MFT_RECORD, decltype(&free)> m(static_cast<MFT_RECORD*>(malloc(vol->mft_record_size)), &free);
    for (uint64_t number = FILE_first_user; number < count; ++number) {
      // A record that was never used may have no valid header: it holds nothing either way.
      if (ntfs_mft_record_read(vol, number, m.get()) != 0) continue;
      if (!(m->flags & MFT_RECORD_IN_USE) || m->base_mft_record != 0) continue;
      records.emplace(number, ReadRecord(vol, number, m.get()));
    }
  } catch (...) {
    ntfs_umount(vol, TRUE);
    throw;
  }
  ntfs_umount(vol, FALSE);

  // Directory paths through the first name outside the DOS namespace; empty when the chain leaves
  // the user tree (a system record, a missing parent, or a loop).
  std::map<uint64_t, std::string> dirPaths;
  dirPaths[FILE_root] = "";
  auto pathOf = [&](uint64_t record) -> std::string {
    std::vector<uint64_t> chain;
    std::string path;
    uint64_t at = record;
    while (true) {
      const auto known = dirPaths.find(at);
      if (known != dirPaths.end()) {
        path = known->second;
        break;
      }
      const auto it = records.find(at);
      if (it == records.end() || chain.size() > records.size()) return "?";
      const auto name = std::find_if(it->second.names.begin(), it->second.names.end(),
                                     [](const SName& n) { return n.nameSpace != FILE_NAME_DOS; });
      if (name == it->second.names.end()) return "?";
      chain.push_back(at);
      at = name->parent;
    }
    if (path == "?system") {
      for (uint64_t c : chain) dirPaths[c] = path;
      return path;
    }
    for (auto c = chain.rbegin(); c != chain.rend(); ++c) {
      const SRecord& r = records.at(*c);
      const auto name = std::find_if(r.names.begin(), r.names.end(), [](const SName& n) { return n.nameSpace != FILE_NAME_DOS; });
      path += "/" + name->name;
      dirPaths[*c] = path;
    }
    return path;
  };
  // System records below the root (records 1 to 15 except 5) end chains that leave the user tree.
  for (uint64_t system = 0; system < FILE_first_user; ++system) {
    if (system != FILE_root) dirPaths[system] = "?system";
  }

  std::vector<std::tuple<std::string, uint64_t, std::string>> lines;
  for (const auto& [number, r] : records) {
    for (const SName& n : r.names) {
      std::string parentPath = pathOf(n.parent);
      if (parentPath == "?system") continue;
      const std::string path = parentPath + "/" + n.name;
      char fields[512];
      const std::string size = r.hasData ? std::to_string(r.size) : "-";
      const std::string allocated = r.hasData ? std::to_string(r.allocated) : "-";
      std::snprintf(fields, sizeof fields,
                    "%" PRIu64 "\t%" PRIu64 "\t%d\t%u\t%s\t%s\t0x%08x\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%u\t%u", number,
                    n.parent, r.isDirectory ? 1 : 0, n.nameSpace, size.c_str(), allocated.c_str(), r.attributes,
                    r.created, r.written, r.accessed, r.links, r.streams);
      lines.emplace_back(path, number, fields);
    }
  }
  std::sort(lines.begin(), lines.end());

  FILE* out = std::fopen(listingPath.c_str(), "w");
  if (!out) FailErrno("cannot write " + listingPath);
  std::fputs("path\trecord\tparent\tdir\tnamespace\tsize\tallocated\tattributes\tcreated\twritten\taccessed\tlinks\tstreams\n",
             out);
  for (const auto& [path, number, fields] : lines) {
    const std::string line = path + "\t" + fields + "\n";
    std::fputs(line.c_str(), out);
  }
  if (std::fclose(out) != 0) FailErrno("cannot write " + listingPath);
  return lines.size();
}

}  // namespace ostrin::mkvol
