// Objects behind the substitute's names: which entry a handle is bound to, the
// sharing check of a new open, renames by another process, and final paths.
#include <algorithm>

#include "agent/platform/platform.h"
#include "agent/platform/substitute/substitute_volume.h"

namespace {
// The rights that take part in sharing; an open with none of them neither
// meets other handles' sharing nor restricts later opens.
constexpr uint32_t SHARING_ACCESS = WIN_FILE_READ_DATA | WIN_FILE_WRITE_DATA | WIN_FILE_APPEND_DATA | WIN_FILE_EXECUTE | WIN_DELETE;

bool same_key(const std::u16string& a, const std::u16string& b) {
  return !CaseInsensitiveLess{}(a, b) && !CaseInsensitiveLess{}(b, a);
}

bool at_or_below(const std::u16string& key, const std::u16string& directory) {
  if (key.size() < directory.size() || !same_key(key.substr(0, directory.size()), directory)) return false;
  return key.size() == directory.size() || key[directory.size()] == u'\\' || directory.back() == u'\\';
}

// What a handle holds for sharing: CreateFileW asks for DELETE along with
// FILE_FLAG_DELETE_ON_CLOSE.
uint32_t sharing_access(uint32_t access, uint32_t flags) {
  uint32_t mapped = substitute_mapped_access(access);
  if ((flags & WIN_FILE_FLAG_DELETE_ON_CLOSE) != 0) mapped |= WIN_DELETE;
  return mapped & SHARING_ACCESS;
}

// MS-FSA 2.1.5.1.2.2, one existing open against the new one.
bool conflicts(uint32_t existing_access, uint32_t existing_share, uint32_t access, uint32_t share) {
  if (existing_access == 0 || access == 0) return false;
  return ((existing_share & WIN_FILE_SHARE_READ) == 0 && (access & (WIN_FILE_READ_DATA | WIN_FILE_EXECUTE)) != 0) ||
         ((existing_share & WIN_FILE_SHARE_WRITE) == 0 && (access & (WIN_FILE_WRITE_DATA | WIN_FILE_APPEND_DATA)) != 0) ||
         ((existing_share & WIN_FILE_SHARE_DELETE) == 0 && (access & WIN_DELETE) != 0) ||
         ((share & WIN_FILE_SHARE_READ) == 0 && (existing_access & (WIN_FILE_READ_DATA | WIN_FILE_EXECUTE)) != 0) ||
         ((share & WIN_FILE_SHARE_WRITE) == 0 && (existing_access & (WIN_FILE_WRITE_DATA | WIN_FILE_APPEND_DATA)) != 0) ||
         ((share & WIN_FILE_SHARE_DELETE) == 0 && (existing_access & WIN_DELETE) != 0);
}

// The key in the volume's spelling: each component as its directory holds it
// (the first spelling it was given, or its last rename's), a drive letter in
// capitals.
std::u16string volume_spelling(const std::u16string& key) {
  size_t root = substitute_root_length(key);
  std::u16string spelled = key.substr(0, root);
  auto root_entry = substitute.entries.find(spelled);
  if (root_entry != substitute.entries.end()) spelled = root_entry->first;
  if (spelled.size() >= 2 && spelled[1] == u':') spelled[0] = substitute_upcase(spelled[0]);
  size_t at = root;
  while (at < key.size()) {
    if (key[at] == u'\\') {
      ++at;
      continue;
    }
    size_t end = std::min(key.find(u'\\', at), key.size());
    std::u16string name = key.substr(at, end - at);
    auto it = substitute.entries.find(key.substr(0, end));
    if (it != substitute.entries.end()) {
      size_t slash = it->first.find_last_of(u'\\');
      name = slash == std::u16string::npos ? it->first : it->first.substr(slash + 1);
    }
    if (spelled.empty() || spelled.back() != u'\\') spelled += u'\\';
    spelled += name;
    at = end;
  }
  return spelled;
}
}  // namespace

uint32_t substitute_mapped_access(uint32_t access) {
  uint32_t mapped = access & 0x0FFFFFFFu;
  if ((access & WIN_GENERIC_READ) != 0) mapped |= 0x120089;   // FILE_GENERIC_READ
  if ((access & WIN_GENERIC_WRITE) != 0) mapped |= 0x120116;  // FILE_GENERIC_WRITE
  if ((access & WIN_GENERIC_EXECUTE) != 0) mapped |= 0x1200A0;    // FILE_GENERIC_EXECUTE
  if ((access & WIN_GENERIC_ALL) != 0) mapped |= 0x1F01FF;        // FILE_ALL_ACCESS
  return mapped;
}

SubstituteEntry* substitute_handle_entry(const SubstituteHandle* handle) {
  auto it = substitute.entries.find(handle->path);
  if (it == substitute.entries.end()) return nullptr;
  if (handle->object_id != 0 && it->second.object_id != handle->object_id) return nullptr;
  return &it->second;
}

// Sharing is per stream of the object (MS-FSA 2.1.5.1.2.2): the directory and
// its named streams, a file's unnamed and named streams, do not meet.
bool substitute_sharing_conflict(const SubstituteEntry& entry, const std::u16string& stream, uint32_t access,
                                 uint32_t share, uint32_t flags) {
  uint32_t wanted = sharing_access(access, flags);
  if (wanted == 0) return false;
  // The writer that held_for_writing stands for opened as the scenario
  // volume's holder does on Windows: GENERIC_WRITE, sharing reading and writing.
  if (entry.held_for_writing && stream.empty() &&
      conflicts(sharing_access(WIN_GENERIC_WRITE, 0), WIN_FILE_SHARE_READ | WIN_FILE_SHARE_WRITE, wanted, share)) {
    return true;
  }
  for (const SubstituteHandle* other : substitute.open_handles) {
    if (other->object_id != entry.object_id || !same_key(other->stream, stream)) continue;
    if (conflicts(sharing_access(other->access, other->flags), other->share, wanted, share)) return true;
  }
  return false;
}

// MoveFileExW(from, to, 0) in another process. It opens the source for WIN_DELETE,
// sharing everything, so a handle that does not share deletion refuses it
// (32); a target that exists refuses it (183), a missing target directory too
// (3); and a directory with a handle open anywhere below it cannot be renamed
// (5, MS-FSA 2.1.5.14.11). A handle open on the directory itself does not
// stop it. Handles on the moved objects stay on them.
uint32_t substitute_rename(const std::u16string& from, const std::u16string& to) {
  std::u16string source = substitute_resolve(from);
  std::u16string target = substitute_resolve(to);
  auto it = substitute.entries.find(source);
  if (it == substitute.entries.end()) {
    std::u16string parent = substitute_parent_key(source);
    return !parent.empty() && substitute_find(parent) != nullptr ? WIN_ERROR_FILE_NOT_FOUND : WIN_ERROR_PATH_NOT_FOUND;
  }
  SubstituteEntry& entry = it->second;
  if (substitute_root_length(source) >= source.size()) return WIN_ERROR_ACCESS_DENIED;  // a volume's root
  if (substitute_sharing_conflict(entry, u"", WIN_DELETE, WIN_FILE_SHARE_READ | WIN_FILE_SHARE_WRITE | WIN_FILE_SHARE_DELETE,
                                  0)) {
    return WIN_ERROR_SHARING_VIOLATION;
  }
  std::u16string target_parent = substitute_parent_key(target);
  SubstituteEntry* parent = target_parent.empty() ? nullptr : substitute_find(target_parent);
  if (parent == nullptr || (parent->attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) == 0) return WIN_ERROR_PATH_NOT_FOUND;
  SubstituteEntry* existing = substitute_find(target);
  if (existing != nullptr && existing != &entry) return WIN_ERROR_ALREADY_EXISTS;
  bool directory = (entry.attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (directory) {
    if (at_or_below(target, source) && !same_key(target, source)) return WIN_ERROR_INVALID_PARAMETER;
    for (const SubstituteHandle* open : substitute.open_handles) {
      if (at_or_below(open->path, source) && !same_key(open->path, source)) return WIN_ERROR_ACCESS_DENIED;
    }
  }
  std::vector<std::u16string> moving;
  for (auto at = substitute.entries.lower_bound(source); at != substitute.entries.end(); ++at) {
    if (at->first.size() < source.size() || !same_key(at->first.substr(0, source.size()), source)) break;
    if (at_or_below(at->first, source)) moving.push_back(at->first);
  }
  for (const std::u16string& key : moving) {
    auto node = substitute.entries.extract(key);
    node.key() = target + key.substr(source.size());
    substitute.entries.insert(std::move(node));
  }
  for (SubstituteHandle* open : substitute.open_handles) {
    if (at_or_below(open->path, source)) open->path = target + open->path.substr(source.size());
  }
  ++substitute.clock;
  parent->last_write_time = substitute.clock;
  if (SubstituteEntry* old_parent = substitute_find(substitute_parent_key(source))) {
    old_parent->last_write_time = substitute.clock;
  }
  return 0;
}

uint32_t substitute_final_path(const SubstituteHandle* handle, uint32_t flags, std::u16string& path) {
  // FILE_NAME_OPENED (8) names the same object here: the substitute keeps no
  // short names to normalise.
  uint32_t volume_name = flags & ~WIN_FILE_NAME_OPENED;
  if (volume_name != WIN_VOLUME_NAME_DOS && volume_name != WIN_VOLUME_NAME_NT && volume_name != WIN_VOLUME_NAME_NONE) {
    return WIN_ERROR_INVALID_PARAMETER;  // VOLUME_NAME_GUID is not modelled
  }
  if (substitute_handle_entry(handle) == nullptr) return WIN_ERROR_INVALID_HANDLE;
  std::u16string spelled = volume_spelling(handle->path);
  size_t root = substitute_root_length(spelled);
  bool drive = spelled.size() >= 2 && spelled[1] == u':';
  bool share = spelled.rfind(u"\\\\", 0) == 0;
  if (!drive && !share && root == spelled.size() && spelled.rfind(u"GLOBALROOT\\", 0) != 0) {
    return WIN_ERROR_INVALID_PARAMETER;  // no file volume (a pipe)
  }
  // SMB before Windows 10 and Server version 1709 has no query for a
  // normalized name: the client asks for each component of the path in turn
  // and fails with ERROR_ACCESS_DENIED on one the account cannot open
  // (GetFinalPathNameByHandleW, Remarks). Whatever the volume form asked for.
  if (share && (flags & WIN_FILE_NAME_OPENED) == 0 &&
      substitute.shares_without_normalized_names.count(spelled.substr(0, root)) != 0) {
    return WIN_ERROR_ACCESS_DENIED;
  }
  // Below the volume's root, "\" for the root itself.
  std::u16string below = drive ? spelled.substr(2) : spelled.substr(root);
  if (below.empty()) below = u"\\";
  switch (volume_name) {
    case WIN_VOLUME_NAME_DOS:
      // A device without a DOS name (a shadow copy) has no such path.
      if (!drive && !share) return WIN_ERROR_PATH_NOT_FOUND;
      path = drive ? u"\\\\?\\" + spelled.substr(0, 2) + below : u"\\\\?\\UNC" + spelled.substr(1, root - 1) + below;
      return 0;
    case WIN_VOLUME_NAME_NT:
      if (drive) {
        auto device = substitute.nt_devices.find(spelled.substr(0, 2));
        if (device == substitute.nt_devices.end()) return WIN_ERROR_PATH_NOT_FOUND;  // a volume the test did not name
        path = device->second + below;
      } else if (share) {
        path = u"\\Device\\Mup" + spelled.substr(1, root - 1) + below;
      } else {
        path = spelled.substr(10, root - 10) + below;  // "GLOBALROOT" dropped
      }
      return 0;
    default:
      path = below;
      return 0;
  }
}
