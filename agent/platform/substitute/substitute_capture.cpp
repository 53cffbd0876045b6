// Capture operations of the substitute volume: opening existing entries with
// NTFS's rules for directories, reparse points, streams, sharing and access;
// handle information; reparse data; directory and stream searches; reads; and
// security descriptors. Each logs itself and obeys the fault layer.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "agent/platform/platform.h"
#include "agent/platform/substitute/substitute_volume.h"

namespace {

bool same_key(const std::u16string& a, const std::u16string& b) {
  return !CaseInsensitiveLess{}(a, b) && !CaseInsensitiveLess{}(b, a);
}

// "C:\a\f:s", "C:\a\f:s:$DATA" -> owner "C:\a\f", stream ":s:$DATA"; "::$DATA"
// names the unnamed stream. A stream's colon follows the last backslash and
// lies beyond the volume's root: "C:\:s" is the stream of the drive's root,
// "\\server\share\:s" that of a share's root, while "\\server\share:s" names
// the share "share:s".
void split_stream(const std::u16string& key, std::u16string& owner, std::u16string& stream) {
  size_t slash = key.find_last_of(u'\\');
  size_t from = slash == std::u16string::npos ? 0 : slash;
  if (substitute_root_length(key) == key.size()) from = key.size();  // "\\server\share:s", "C:"
  size_t colon = key.find(u':', from);
  if (colon == std::u16string::npos) {
    owner = key;
    stream.clear();
    return;
  }
  owner = key.substr(0, colon);
  stream = key.substr(colon);
  if (stream.find(u':', 1) == std::u16string::npos) stream += u":$DATA";
  if (stream == u"::$DATA") stream.clear();
}

constexpr uint32_t STREAM_OWN_ATTRIBUTES = WIN_FILE_ATTRIBUTE_COMPRESSED | WIN_FILE_ATTRIBUTE_TEMPORARY |
                                          WIN_FILE_ATTRIBUTE_SPARSE_FILE | WIN_FILE_ATTRIBUTE_ENCRYPTED |
                                          WIN_FILE_ATTRIBUTE_INTEGRITY_STREAM;

SubstituteStream* find_stream(SubstituteEntry& entry, const std::u16string& name) {
  for (auto& s : entry.streams) {
    if (same_key(s.name, name)) return &s;
  }
  return nullptr;
}

// The error GetSecurityInfo returns, recorded as its call's result.
uint32_t security_error(uint32_t code) {
  substitute.calls.back().result = code;
  return code;
}

SubstituteHandle* as_handle(PlatformHandle handle) { return static_cast<SubstituteHandle*>(handle); }

std::u16string handle_key(const SubstituteHandle* h) { return h->path + h->stream; }

// The bytes a handle reads: its stream's or the entry's own content; null when
// the object or stream is gone.
std::vector<uint8_t>* content_of(SubstituteHandle* h) {
  SubstituteEntry* entry = substitute_handle_entry(h);
  if (entry == nullptr) return nullptr;
  if (h->stream.empty()) return &entry->content;
  SubstituteStream* stream = find_stream(*entry, h->stream);
  return stream == nullptr ? nullptr : &stream->content;
}

bool is_drive_root(const std::u16string& key) { return key.size() == 3 && key[1] == u':' && key[2] == u'\\'; }

// A self-relative descriptor: owner BUILTIN\Administrators, group SYSTEM and
// an empty DACL, as the substitute's default for entries that set none.
const std::vector<uint8_t>& default_security_descriptor() {
  static const std::vector<uint8_t> descriptor = {
      0x01, 0x00, 0x04, 0x80, 20, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 48, 0, 0, 0,  // header
      0x01, 0x02, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0,            // S-1-5-32-544
      0x01, 0x01, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0,                              // S-1-5-18
      0x02, 0x00, 8, 0, 0, 0, 0, 0};                                            // empty ACL
  return descriptor;
}

// Descriptors handed out by GetSecurityInfo, with their lengths.
std::map<const void*, uint32_t> security_lengths;

struct SubstituteSearch {
  bool streams = false;
  std::u16string directory;  // files: the directory searched; streams: the owner
  std::u16string last_name;  // files: the last name returned ("" before the first child)
  int dots_left = 0;         // files: "." and ".." still to return
  size_t stream_index = 0;   // streams: the next position (0 is the unnamed stream of a file)
  std::u16string listed;     // files: the key of the directory listed, redirections followed
  SubstituteHandle* held = nullptr;  // files: the directory's own open, for the search's life
};

// FindFirstFileExW opens the directory for listing (FILE_LIST_DIRECTORY |
// SYNCHRONIZE), sharing reading and writing but not deletion, and keeps that
// open until FindClose: Wine's dlls/kernelbase/file.c and ReactOS's
// dll/win32/kernel32/client/file/find.c, FindFirstFileExW, both written to
// answer as Windows does. So a directory held with DELETE cannot be listed,
// and one being listed can be neither renamed nor deleted (32 each, by the
// sharing check of MS-FSA 2.1.5.1.2.2, "Algorithm to Check Sharing Access to
// an Existing Stream or Directory"). Wine lets go at the listing's end
// already; the walk closes its search right there, so that changes nothing.
constexpr uint32_t SEARCH_ACCESS = WIN_FILE_LIST_DIRECTORY | 0x00100000u;  // | SYNCHRONIZE
constexpr uint32_t SEARCH_SHARE = WIN_FILE_SHARE_READ | WIN_FILE_SHARE_WRITE;

// The search's own open, not logged: the program made no CreateFileW.
SubstituteHandle* hold_for_search(const std::u16string& listed) {
  auto found = substitute.entries.find(listed);
  if (found == substitute.entries.end()) return nullptr;
  found->second.open_count++;
  auto* handle = new SubstituteHandle{found->first, SEARCH_ACCESS, SEARCH_SHARE, WIN_FILE_FLAG_BACKUP_SEMANTICS, 0, u"",
                                      found->second.object_id};
  substitute.open_handles.push_back(handle);
  return handle;
}

void release_search_hold(SubstituteHandle* handle) {
  if (handle == nullptr) return;
  auto& open = substitute.open_handles;
  open.erase(std::remove(open.begin(), open.end(), handle), open.end());
  if (SubstituteEntry* entry = substitute_handle_entry(handle)) entry->open_count--;
  delete handle;
}

// The child of the directory whose name follows `after` in the volume's order,
// looked up afresh on every call so that a listing that changes meanwhile is
// seen as NTFS shows it: names already passed stay passed.
bool next_child(const std::u16string& directory, const std::u16string& after, std::u16string& name) {
  std::u16string prefix = is_drive_root(directory) ? directory : directory + u"\\";
  auto it = after.empty() ? substitute.entries.lower_bound(prefix) : substitute.entries.upper_bound(prefix + after);
  for (; it != substitute.entries.end(); ++it) {
    const std::u16string& key = it->first;
    if (key.size() <= prefix.size() || !same_key(key.substr(0, prefix.size()), prefix)) return false;
    std::u16string rest = key.substr(prefix.size());
    if (rest.find(u'\\') != std::u16string::npos) continue;
    name = rest;
    return true;
  }
  return false;
}

// A child's attributes as its directory's listing shows them.
uint32_t listed_attributes(const std::u16string& directory, const std::u16string& name) {
  SubstituteEntry* child = substitute_find(is_drive_root(directory) ? directory + name : directory + u"\\" + name);
  return child == nullptr ? 0 : substitute_visible_attributes(*child, true);
}

void copy_name(const std::u16string& name, wchar16* out, size_t units) {
  size_t n = std::min(name.size(), units - 1);
  std::copy_n(name.begin(), n, out);
  out[n] = 0;
}

// The entry's streams as the search reports them: a file's unnamed stream first.
bool stream_at(SubstituteEntry& entry, size_t index, PlatformStreamData* out) {
  bool has_unnamed = (entry.attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) == 0;
  if (has_unnamed) {
    if (index == 0) {
      out->size = static_cast<int64_t>(entry.content.size());
      copy_name(u"::$DATA", out->name, WIN_STREAM_NAME_UNITS);
      return true;
    }
    --index;
  }
  if (index >= entry.streams.size()) return false;
  out->size = static_cast<int64_t>(entry.streams[index].content.size());
  copy_name(entry.streams[index].name, out->name, WIN_STREAM_NAME_UNITS);
  return true;
}

uint16_t u16_of(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32_of(const uint8_t* p) { return u16_of(p) | (static_cast<uint32_t>(u16_of(p + 2)) << 16); }

// The substitute name of a mount point's reparse data ("\??\C:\x" or
// "\??\UNC\srv\share"), as a key; false for other tags or data it cannot read.
bool mount_point_target(const std::vector<uint8_t>& data, std::u16string& target) {
  if (data.size() < 16 || u32_of(data.data()) != WIN_IO_REPARSE_TAG_MOUNT_POINT) return false;
  size_t offset = 16 + u16_of(data.data() + 8), length = u16_of(data.data() + 10);
  if (offset + length > data.size() || length % 2 != 0) return false;
  std::u16string name;
  for (size_t i = 0; i < length; i += 2) name += static_cast<char16_t>(u16_of(data.data() + offset + i));
  if (name.rfind(u"\\??\\UNC\\", 0) == 0) {
    target = u"\\\\" + name.substr(8);
  } else if (name.rfind(u"\\??\\", 0) == 0) {
    target = name.substr(4);
  } else {
    return false;
  }
  if (target.size() > 3 && target.back() == u'\\') target.pop_back();
  return true;
}
}  // namespace

const std::vector<uint8_t>& substitute_default_descriptor() { return default_security_descriptor(); }

// A junction in a parent component is always followed, whatever the flags of
// the open: FILE_FLAG_OPEN_REPARSE_POINT concerns the last component only
// (CreateFileW). Reparse data the substitute cannot read is not followed.
bool substitute_follow_parents(const std::u16string& key, std::u16string& reached) {
  reached = key;
  int followed = 0;
  // A trailing backslash ends the last component; it names no parent.
  for (size_t slash = reached.find(u'\\', 3); slash != std::u16string::npos && slash + 1 < reached.size();
       slash = reached.find(u'\\', slash + 1)) {
    SubstituteEntry* parent = substitute_find(reached.substr(0, slash));
    std::u16string target;
    if (parent == nullptr || (parent->attributes & WIN_FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
        !mount_point_target(parent->reparse_data, target)) {
      continue;
    }
    if (++followed > 63) {
      substitute_fail(WIN_ERROR_CANT_RESOLVE_FILENAME);
      return false;
    }
    reached = target + reached.substr(slash);
    slash = 2;  // the target may hold junctions of its own
  }
  return true;
}

PlatformHandle substitute_open_existing(const std::u16string& path, uint32_t access, uint32_t share,
                                        uint32_t flags_and_attributes) {
  std::u16string owner, stream;
  split_stream(substitute_key(path), owner, stream);
  std::u16string reached;
  if (!substitute_follow_parents(owner, reached)) return PLATFORM_INVALID_HANDLE;
  std::u16string key = substitute_resolve(reached);
  auto found = substitute.entries.find(key);
  if (found == substitute.entries.end()) {
    std::u16string parent = substitute_parent_key(key);
    if (key.rfind(u"\\\\", 0) == 0 && substitute_find(key.substr(0, substitute_root_length(key))) == nullptr) {
      substitute_fail(WIN_ERROR_BAD_NET_NAME);  // no such share on the server
    } else {
      substitute_fail(!parent.empty() && substitute_find(parent) != nullptr ? WIN_ERROR_FILE_NOT_FOUND
                                                                            : WIN_ERROR_PATH_NOT_FOUND);
    }
    return PLATFORM_INVALID_HANDLE;
  }
  SubstituteEntry* entry = &found->second;
  if (!stream.empty() && find_stream(*entry, stream) == nullptr) {
    substitute_fail(WIN_ERROR_FILE_NOT_FOUND);
    return PLATFORM_INVALID_HANDLE;
  }
  bool directory = (entry->attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) != 0;
  // A directory opens only with backup semantics; its named streams do not.
  if (directory && stream.empty() && (flags_and_attributes & WIN_FILE_FLAG_BACKUP_SEMANTICS) == 0) {
    substitute_fail(WIN_ERROR_ACCESS_DENIED);
    return PLATFORM_INVALID_HANDLE;
  }
  if ((entry->attributes & WIN_FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      (flags_and_attributes & WIN_FILE_FLAG_OPEN_REPARSE_POINT) == 0 && !entry->presents_content) {
    substitute_fail(WIN_ERROR_CANT_ACCESS_FILE);
    return PLATFORM_INVALID_HANDLE;
  }
  if ((access & entry->denied_access) != 0) {
    substitute_fail(WIN_ERROR_ACCESS_DENIED);
    return PLATFORM_INVALID_HANDLE;
  }
  if (substitute_sharing_conflict(*entry, stream, access, share, flags_and_attributes)) {
    substitute_fail(WIN_ERROR_SHARING_VIOLATION);
    return PLATFORM_INVALID_HANDLE;
  }
  entry->open_count++;
  auto* handle = new SubstituteHandle{found->first, access, share, flags_and_attributes, 0, stream, entry->object_id};
  substitute.open_handles.push_back(handle);
  return handle;
}

void substitute_forget_handle(SubstituteHandle* handle) {
  substitute_call({"CloseHandle", handle_key(handle)});
  auto& open = substitute.open_handles;
  open.erase(std::remove(open.begin(), open.end(), handle), open.end());
}

bool platform_file_information(PlatformHandle handle, PlatformFileInformation* information) {
  SubstituteHandle* h = as_handle(handle);
  std::u16string key = handle_key(h);
  if (substitute_call({"GetFileInformationByHandle", key})) return false;
  SubstituteEntry* entry = substitute_handle_entry(h);
  std::vector<uint8_t>* content = content_of(h);
  if (entry == nullptr || content == nullptr) {
    substitute_fail(WIN_ERROR_FILE_NOT_FOUND);
    return false;
  }
  uint64_t size = (entry->attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) != 0 && h->stream.empty() ? 0 : content->size();
  *information = PlatformFileInformation{};
  information->attributes = substitute_visible_attributes(*entry, false);
  if (!h->stream.empty()) {
    // A named data stream reports its file's word without these five, and
    // each of them that the stream has itself: MS-FSA 2.1.5.12.6
    // "FileBasicInformation" (the query), as 2.1.5.12.5
    // "FileAttributeTagInformation". Whether a directory's named stream
    // keeps DIRECTORY no source says; it keeps it here, as its file's.
    information->attributes &= ~STREAM_OWN_ATTRIBUTES;
    information->attributes |= find_stream(*entry, h->stream)->attributes & STREAM_OWN_ATTRIBUTES;
  }
  information->creation_time = entry->creation_time;
  information->last_access_time = entry->last_write_time;
  information->last_write_time = entry->last_write_time;
  information->volume_serial = entry->volume_serial;
  information->size_high = static_cast<uint32_t>(size >> 32);
  information->size_low = static_cast<uint32_t>(size);
  information->link_count = entry->link_count;
  information->index_high = static_cast<uint32_t>(entry->file_index >> 32);
  information->index_low = static_cast<uint32_t>(entry->file_index);
  return true;
}

bool platform_file_size(PlatformHandle handle, int64_t* size) {
  SubstituteHandle* h = as_handle(handle);
  std::u16string key = handle_key(h);
  if (substitute_call({"GetFileSizeEx", key})) return false;
  std::vector<uint8_t>* content = content_of(h);
  if (content == nullptr) {
    substitute_fail(WIN_ERROR_FILE_NOT_FOUND);
    return false;
  }
  *size = static_cast<int64_t>(content->size());
  return true;
}

bool platform_reparse_data(PlatformHandle handle, void* buffer, uint32_t capacity, uint32_t* returned) {
  SubstituteHandle* h = as_handle(handle);
  std::u16string key = handle_key(h);
  *returned = 0;
  if (substitute_call({"DeviceIoControl", key})) return false;
  SubstituteEntry* entry = substitute_handle_entry(h);
  if (entry == nullptr || (entry->attributes & WIN_FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
      entry->reparse_data.empty()) {
    substitute_fail(WIN_ERROR_NOT_A_REPARSE_POINT);
    return false;
  }
  if (entry->reparse_data.size() > capacity) {
    substitute_fail(WIN_ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  memcpy(buffer, entry->reparse_data.data(), entry->reparse_data.size());
  *returned = static_cast<uint32_t>(entry->reparse_data.size());
  return true;
}

bool platform_read_file(PlatformHandle handle, void* buffer, uint32_t length, uint32_t* read) {
  SubstituteHandle* h = as_handle(handle);
  std::u16string key = handle_key(h);
  *read = 0;
  if (substitute_call({"ReadFile", key})) return false;
  if ((substitute_mapped_access(h->access) & WIN_FILE_READ_DATA) == 0) {
    substitute_fail(WIN_ERROR_ACCESS_DENIED);
    return false;
  }
  SubstituteEntry* entry = substitute_handle_entry(h);
  std::vector<uint8_t>* content = content_of(h);
  if (entry == nullptr || content == nullptr) {
    substitute_fail(WIN_ERROR_FILE_NOT_FOUND);
    return false;
  }
  if ((entry->attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) != 0 && h->stream.empty()) {
    substitute_fail(WIN_ERROR_INVALID_FUNCTION);
    return false;
  }
  if (h->position >= content->size()) return true;  // end of file: success, 0 bytes
  size_t n = std::min<size_t>(length, content->size() - h->position);
  memcpy(buffer, content->data() + h->position, n);
  h->position += n;
  *read = static_cast<uint32_t>(n);
  return true;
}

PlatformHandle platform_find_first_file(const wchar16* pattern, wchar16 name[WIN_MAX_PATH], uint32_t* attributes) {
  std::u16string key = substitute_key(pattern);
  std::u16string directory = key;
  if (directory.size() >= 2 && directory.compare(directory.size() - 2, 2, u"\\*") == 0) {
    directory.resize(directory.size() - 2);
    if (directory.size() == 2 && directory[1] == u':') directory += u'\\';
  }
  if (substitute_call({"FindFirstFileW", directory})) return PLATFORM_INVALID_HANDLE;
  SubstituteEntry* entry = substitute_find(directory);
  if (entry == nullptr) {
    substitute_fail(WIN_ERROR_PATH_NOT_FOUND);
    return PLATFORM_INVALID_HANDLE;
  }
  if ((entry->attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) == 0) {
    substitute_fail(WIN_ERROR_DIRECTORY);
    return PLATFORM_INVALID_HANDLE;
  }
  if (substitute_sharing_conflict(*entry, u"", SEARCH_ACCESS, SEARCH_SHARE, 0)) {
    substitute_fail(WIN_ERROR_SHARING_VIOLATION);
    return PLATFORM_INVALID_HANDLE;
  }
  // Every directory but a drive's root lists "." and ".." first.
  std::u16string listed = substitute_resolve(directory);
  auto* search = new SubstituteSearch{false, directory, u"", is_drive_root(listed) ? 0 : 2, 0, listed};
  if (search->dots_left == 0) {
    std::u16string first;
    if (!next_child(listed, u"", first)) {
      delete search;
      substitute_fail(WIN_ERROR_FILE_NOT_FOUND);
      return PLATFORM_INVALID_HANDLE;
    }
    search->held = hold_for_search(listed);
    search->last_name = first;
    copy_name(first, name, WIN_MAX_PATH);
    *attributes = listed_attributes(listed, first);
    return search;
  }
  search->dots_left = 1;
  search->held = hold_for_search(listed);
  copy_name(u".", name, WIN_MAX_PATH);
  *attributes = substitute_visible_attributes(*entry, true);
  return search;
}

bool platform_find_next_file(PlatformHandle handle, wchar16 name[WIN_MAX_PATH], uint32_t* attributes) {
  auto* search = static_cast<SubstituteSearch*>(handle);
  if (substitute_call({"FindNextFileW", search->directory})) return false;
  if (search->dots_left > 0) {
    search->dots_left = 0;
    copy_name(u"..", name, WIN_MAX_PATH);
    SubstituteEntry* parent = substitute_find(substitute_parent_key(substitute_resolve(search->directory)));
    *attributes = parent == nullptr ? WIN_FILE_ATTRIBUTE_DIRECTORY : substitute_visible_attributes(*parent, true);
    return true;
  }
  std::u16string next;
  if (substitute_find(search->listed) == nullptr || !next_child(search->listed, search->last_name, next)) {
    substitute_fail(WIN_ERROR_NO_MORE_FILES);
    return false;
  }
  search->last_name = next;
  copy_name(next, name, WIN_MAX_PATH);
  *attributes = listed_attributes(search->listed, next);
  return true;
}

PlatformHandle platform_find_first_stream(const wchar16* path, PlatformStreamData* stream) {
  std::u16string key = substitute_key(path);
  if (substitute_call({"FindFirstStreamW", key})) return PLATFORM_INVALID_HANDLE;
  SubstituteEntry* entry = substitute_find(key);
  if (entry == nullptr) {
    substitute_fail(WIN_ERROR_FILE_NOT_FOUND);
    return PLATFORM_INVALID_HANDLE;
  }
  if (!stream_at(*entry, 0, stream)) {
    substitute_fail(WIN_ERROR_HANDLE_EOF);
    return PLATFORM_INVALID_HANDLE;
  }
  return new SubstituteSearch{true, key, u"", 0, 1, u""};
}

bool platform_find_next_stream(PlatformHandle handle, PlatformStreamData* stream) {
  auto* search = static_cast<SubstituteSearch*>(handle);
  if (substitute_call({"FindNextStreamW", search->directory})) return false;
  SubstituteEntry* entry = substitute_find(search->directory);
  if (entry == nullptr || !stream_at(*entry, search->stream_index, stream)) {
    substitute_fail(WIN_ERROR_HANDLE_EOF);
    return false;
  }
  ++search->stream_index;
  return true;
}

bool platform_find_close(PlatformHandle handle) {
  auto* search = static_cast<SubstituteSearch*>(handle);
  substitute_call({"FindClose", search->directory});
  release_search_hold(search->held);
  delete search;
  return true;
}

uint32_t platform_security_descriptor(PlatformHandle handle, void** descriptor) {
  SubstituteHandle* h = as_handle(handle);
  std::u16string key = handle_key(h);
  *descriptor = nullptr;
  // GetSecurityInfo answers its error instead of setting the last error.
  if (const SubstituteFault* fault = substitute_call({"GetSecurityInfo", key})) return fault->code;
  if ((substitute_mapped_access(h->access) & WIN_READ_CONTROL) == 0) return security_error(WIN_ERROR_ACCESS_DENIED);
  SubstituteEntry* entry = substitute_handle_entry(h);
  if (entry == nullptr) return security_error(WIN_ERROR_FILE_NOT_FOUND);
  // A stream handle answers with its file's descriptor.
  const std::vector<uint8_t>& bytes =
      entry->security_descriptor.empty() ? default_security_descriptor() : entry->security_descriptor;
  void* copy = malloc(bytes.size() + 1);
  memcpy(copy, bytes.data(), bytes.size());
  security_lengths[copy] = static_cast<uint32_t>(bytes.size());
  *descriptor = copy;
  return 0;
}

uint32_t platform_security_descriptor_length(const void* descriptor) {
  auto it = security_lengths.find(descriptor);
  // Descriptors from elsewhere (a metadata file) are measured as Windows does.
  return it == security_lengths.end() ? substitute_descriptor_length(descriptor) : it->second;
}

void platform_local_free(void* memory) {
  security_lengths.erase(memory);
  free(memory);
}

SubstituteStream& substitute_add_stream(const std::u16string& owner, const std::u16string& name,
                                        const std::vector<uint8_t>& content) {
  SubstituteEntry* entry = substitute_find(owner);
  if (entry == nullptr) entry = &substitute_add_file(owner, {});
  entry->streams.push_back({u":" + name + u":$DATA", content});
  return entry->streams.back();
}

SubstituteEntry& substitute_add_reparse_point(const std::u16string& path, const std::vector<uint8_t>& reparse_data,
                                              bool directory) {
  SubstituteEntry& entry = directory ? substitute_add_directory(path) : substitute_add_file(path, {});
  entry.attributes |= WIN_FILE_ATTRIBUTE_REPARSE_POINT;
  entry.reparse_data = reparse_data;
  return entry;
}

void substitute_change_content(const std::u16string& path, const std::vector<uint8_t>& content) {
  std::u16string owner, stream;
  split_stream(substitute_key(path), owner, stream);
  SubstituteEntry* entry = substitute_find(owner);
  if (entry == nullptr) return;
  if (stream.empty()) {
    entry->content = content;
  } else if (SubstituteStream* s = find_stream(*entry, stream)) {
    s->content = content;
  }
  entry->last_write_time = ++substitute.clock;
}

void substitute_change_add_file(const std::u16string& path, const std::vector<uint8_t>& content) {
  substitute_add_file(path, content).last_write_time = ++substitute.clock;
  if (SubstituteEntry* parent = substitute_find(substitute_parent_key(substitute_resolve(path)))) {
    parent->last_write_time = substitute.clock;
  }
}

void substitute_change_remove(const std::u16string& path) {
  std::u16string key = substitute_resolve(path);
  substitute.entries.erase(key);
  if (SubstituteEntry* parent = substitute_find(substitute_parent_key(key))) parent->last_write_time = ++substitute.clock;
}
