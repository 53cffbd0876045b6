// Metadata-restore operations of the substitute volume: handle queries,
// positioned reads, the process token and its privileges, and the security,
// time and attribute setters, with the access checks Windows makes.
#include <algorithm>
#include <cstring>

#include "agent/platform/platform.h"
#include "core/byte_order.h"
#include "agent/platform/substitute/substitute_volume.h"

namespace {
const std::u16string TOKEN_PATH = u"<process token>";

struct KnownPrivilege {
  const char16_t* name;
  uint64_t luid;
};
const KnownPrivilege KNOWN_PRIVILEGES[] = {
    {u"SeSecurityPrivilege", 8}, {u"SeTakeOwnershipPrivilege", 9}, {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18}};

constexpr uint32_t SETTABLE_ATTRIBUTES = 0x1 | 0x2 | 0x4 | 0x20 | 0x100 | 0x1000 | 0x2000;

SubstituteHandle* handle_of(PlatformHandle handle) { return static_cast<SubstituteHandle*>(handle); }

SubstituteEntry* entry_of(PlatformHandle handle) {
  SubstituteEntry* entry = substitute_handle_entry(handle_of(handle));
  if (entry == nullptr) substitute_fail(WIN_ERROR_INVALID_HANDLE);
  return entry;
}

// A call on a handle, logged with the handle's path, access and share.
SubstituteCall on_handle(const char* operation, PlatformHandle handle) {
  SubstituteHandle* h = handle_of(handle);
  return {.operation = operation, .path = h->path, .access = h->access, .share = h->share};
}

bool has_access(PlatformHandle handle, uint32_t needed) {
  if ((substitute_mapped_access(handle_of(handle)->access) & needed) == needed) return true;
  substitute_fail(WIN_ERROR_ACCESS_DENIED);
  return false;
}

uint16_t u16_at(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32_at(const uint8_t* p) { return static_cast<uint32_t>(u16_at(p)) | (static_cast<uint32_t>(u16_at(p + 2)) << 16); }
uint32_t long_align(uint32_t n) { return (n + 3) & ~3u; }

// Offsets of the parts the system counts: owner, group, and an ACL only when
// its present flag is set.
struct DescriptorParts {
  uint32_t owner, group, sacl, dacl;
};
DescriptorParts parts_of(const uint8_t* d) {
  uint16_t control = u16_at(d + 2);
  return {u32_at(d + 4), u32_at(d + 8), (control & WIN_SE_SACL_PRESENT) != 0 ? u32_at(d + 12) : 0,
          (control & WIN_SE_DACL_PRESENT) != 0 ? u32_at(d + 16) : 0};
}

// The control bits that travel with each part (SECURITY_DESCRIPTOR_CONTROL).
constexpr uint16_t OWNER_CONTROL = 0x0001;                                    // SE_OWNER_DEFAULTED
constexpr uint16_t GROUP_CONTROL = 0x0002;                                    // SE_GROUP_DEFAULTED
constexpr uint16_t DACL_CONTROL = 0x0004 | 0x0008 | 0x0100 | 0x0400 | 0x1000;  // present, defaulted, auto-inherit, protected
constexpr uint16_t SACL_CONTROL = 0x0010 | 0x0020 | 0x0200 | 0x0800 | 0x2000;
constexpr uint16_t DACL_PROTECTED = 0x1000;

// One part of a descriptor, appended to `out` at the next 4-byte boundary; its
// offset goes into the header at `slot`. A SID's length comes from its count,
// an ACL's from its size field, as GetSecurityDescriptorLength counts them.
void append_part(std::vector<uint8_t>& out, size_t slot, const uint8_t* d, uint32_t offset, bool acl) {
  if (offset == 0) return;
  uint32_t length = acl ? u16_at(d + offset + 2) : 8 + 4 * d[offset + 1];
  put_u32le(out.data() + slot, static_cast<uint32_t>(out.size()));
  out.insert(out.end(), d + offset, d + offset + length);
  out.resize(long_align(static_cast<uint32_t>(out.size())));
}

// SetKernelObjectSecurity sets only the parts its information bits name
// (SetKernelObjectSecurity; SECURITY_INFORMATION, MS-DTYP 2.4.7): the owner,
// the group, the DACL with its control bits, whose protection then follows
// PROTECTED_ or UNPROTECTED_DACL_SECURITY_INFORMATION. Every part not named
// stays as the object has it, as Wine's server merges them too (server/object.c,
// set_sd_defaults_from_token), which also keeps the object's part when the
// descriptor lacks a named one. The SACL is never named here and stays.
std::vector<uint8_t> merged_descriptor(const uint8_t* stored, const uint8_t* given, uint32_t information) {
  DescriptorParts from_stored = parts_of(stored), from_given = parts_of(given);
  bool owner = (information & WIN_OWNER_SECURITY_INFORMATION) != 0 && from_given.owner != 0;
  bool group = (information & WIN_GROUP_SECURITY_INFORMATION) != 0 && from_given.group != 0;
  bool dacl = (information & WIN_DACL_SECURITY_INFORMATION) != 0 && from_given.dacl != 0;
  uint16_t stored_control = u16_at(stored + 2), given_control = u16_at(given + 2);
  uint16_t control = WIN_SE_SELF_RELATIVE | (stored_control & SACL_CONTROL);
  control |= (owner ? given_control : stored_control) & OWNER_CONTROL;
  control |= (group ? given_control : stored_control) & GROUP_CONTROL;
  control |= (dacl ? given_control : stored_control) & DACL_CONTROL;
  if (dacl && (information & WIN_PROTECTED_DACL_SECURITY_INFORMATION) != 0) control |= DACL_PROTECTED;
  if (dacl && (information & WIN_UNPROTECTED_DACL_SECURITY_INFORMATION) != 0) control &= ~DACL_PROTECTED;
  std::vector<uint8_t> out(20, 0);
  out[0] = 1;
  put_u16le(out.data() + 2, control);
  append_part(out, 4, owner ? given : stored, owner ? from_given.owner : from_stored.owner, false);
  append_part(out, 8, group ? given : stored, group ? from_given.group : from_stored.group, false);
  append_part(out, 12, stored, from_stored.sacl, true);
  append_part(out, 16, dacl ? given : stored, dacl ? from_given.dacl : from_stored.dacl, true);
  return out;
}

// A time as FileBasicInformation reads it (MS-FSCC 2.4.7 "FileBasicInformation";
// MS-FSA 2.1.5.15.2 "FileBasicInformation", set): 0 leaves the time as it is;
// -1 and -2 only stop and restart the updates that I/O through this handle
// would make, which the substitute never makes, so nothing changes; below -2
// the call fails with STATUS_INVALID_PARAMETER before any field is applied.
bool acceptable_time(uint64_t time) { return static_cast<int64_t>(time) >= -2; }
void apply_time(uint64_t& stored, uint64_t time) {
  if (static_cast<int64_t>(time) > 0) stored = time;
}
}  // namespace

bool platform_read_file_at(PlatformHandle handle, uint64_t offset, void* buffer, uint32_t length,
                           uint32_t* bytes_read) {
  SubstituteCall call = on_handle("ReadFile", handle);
  call.size = length;
  if (substitute_call(call)) return false;
  SubstituteEntry* entry = entry_of(handle);
  if (entry == nullptr) return false;
  *bytes_read = 0;
  if (offset >= entry->content.size()) return true;
  size_t n = std::min<uint64_t>(length, entry->content.size() - offset);
  memcpy(buffer, entry->content.data() + offset, n);
  *bytes_read = static_cast<uint32_t>(n);
  return true;
}

bool platform_open_process_token(uint32_t access, PlatformHandle* token) {
  if (substitute_call({.operation = "OpenProcessToken", .access = access})) return false;
  auto* handle = new SubstituteHandle{};
  handle->path = TOKEN_PATH;
  handle->access = access;
  *token = handle;
  return true;
}

bool platform_lookup_privilege_value(const wchar16* name, uint64_t* luid) {
  if (substitute_call({"LookupPrivilegeValueW", name})) return false;
  for (const auto& known : KNOWN_PRIVILEGES) {
    if (std::u16string(known.name) == name) {
      *luid = known.luid;
      return true;
    }
  }
  substitute_fail(WIN_ERROR_NO_SUCH_PRIVILEGE);
  return false;
}

bool platform_adjust_token_privilege(PlatformHandle token, uint64_t luid, uint32_t attributes) {
  if (substitute_call({.operation = "AdjustTokenPrivileges", .attributes = attributes})) return false;
  if (handle_of(token)->path != TOKEN_PATH) {
    substitute_fail(WIN_ERROR_INVALID_HANDLE);
    return false;
  }
  if (!has_access(token, WIN_TOKEN_ADJUST_PRIVILEGES)) return false;
  for (const auto& known : KNOWN_PRIVILEGES) {
    if (known.luid != luid) continue;
    bool held = std::find(substitute.held_privileges.begin(), substitute.held_privileges.end(), known.name) !=
                substitute.held_privileges.end();
    if (!held) {
      // Windows reports success and leaves ERROR_NOT_ALL_ASSIGNED in the slot.
      substitute.last_error = WIN_ERROR_NOT_ALL_ASSIGNED;
      return true;
    }
    if ((attributes & WIN_SE_PRIVILEGE_ENABLED) != 0) substitute.enabled_privileges.push_back(known.name);
    substitute.last_error = 0;
    return true;
  }
  substitute.last_error = WIN_ERROR_NOT_ALL_ASSIGNED;
  return true;
}

// The system checks what its own structures need: revisions of the descriptor,
// of its SIDs and of its ACLs (2 or 4); the offsets are taken on trust, as
// Windows takes them.
bool platform_is_valid_security_descriptor(const void* descriptor) {
  const auto* d = static_cast<const uint8_t*>(descriptor);
  bool valid = d[0] == 1 && (u16_at(d + 2) & WIN_SE_SELF_RELATIVE) != 0;
  DescriptorParts parts = parts_of(d);
  for (uint32_t sid : {parts.owner, parts.group}) {
    if (valid && sid != 0) valid = d[sid] == 1 && d[sid + 1] <= 15;
  }
  for (uint32_t acl : {parts.sacl, parts.dacl}) {
    if (valid && acl != 0) valid = d[acl] == 2 || d[acl] == 4;
  }
  if (!valid) substitute.last_error = WIN_ERROR_INVALID_SECURITY_DESCR;
  return valid;
}

// GetSecurityDescriptorLength as Windows counts it: the header plus each part,
// aligned to four bytes. Bytes the descriptor carries beyond its parts are not
// counted. (platform_security_descriptor_length answers with this for every
// descriptor the substitute did not hand out itself.)
uint32_t substitute_descriptor_length(const void* descriptor) {
  const auto* d = static_cast<const uint8_t*>(descriptor);
  DescriptorParts parts = parts_of(d);
  uint32_t length = 20;
  for (uint32_t sid : {parts.owner, parts.group}) {
    if (sid != 0) length += long_align(8 + 4 * d[sid + 1]);
  }
  for (uint32_t acl : {parts.sacl, parts.dacl}) {
    if (acl != 0) length += long_align(u16_at(d + acl + 2));
  }
  return length;
}

bool platform_security_descriptor_control(const void* descriptor, uint16_t* control, uint32_t* revision) {
  if (substitute_fault("GetSecurityDescriptorControl", u"")) return false;
  const auto* d = static_cast<const uint8_t*>(descriptor);
  if (d[0] != 1) {
    substitute.last_error = WIN_ERROR_UNKNOWN_REVISION;
    return false;
  }
  *control = u16_at(d + 2);
  *revision = d[0];
  return true;
}

bool platform_set_kernel_object_security(PlatformHandle handle, uint32_t information, const void* descriptor) {
  SubstituteCall call = on_handle("SetKernelObjectSecurity", handle);
  call.security_information = information;
  if (substitute_call(call)) return false;
  uint32_t needed = 0;
  if ((information & WIN_DACL_SECURITY_INFORMATION) != 0) needed |= WIN_WRITE_DAC;
  if ((information & (WIN_OWNER_SECURITY_INFORMATION | WIN_GROUP_SECURITY_INFORMATION)) != 0) {
    needed |= WIN_WRITE_OWNER;
  }
  if (!has_access(handle, needed)) return false;
  SubstituteEntry* entry = entry_of(handle);
  if (entry == nullptr) return false;
  const std::vector<uint8_t>& stored =
      entry->security_descriptor.empty() ? substitute_default_descriptor() : entry->security_descriptor;
  entry->security_descriptor =
      merged_descriptor(stored.data(), static_cast<const uint8_t*>(descriptor), information);
  return true;
}

// SetFileTime sets FileBasicInformation with the times it is given and 0 for a
// null one, as Wine's does (dlls/kernelbase/file.c); so a time of 0 leaves the
// file's time as it is too.
bool platform_set_file_time(PlatformHandle handle, const uint64_t* creation_time, const uint64_t* last_access_time,
                            const uint64_t* last_write_time) {
  SubstituteCall call = on_handle("SetFileTime", handle);
  call.creation_time = creation_time != nullptr;
  call.last_access_time = last_access_time != nullptr;
  if (substitute_call(call)) return false;
  if (!has_access(handle, WIN_FILE_WRITE_ATTRIBUTES)) return false;
  SubstituteEntry* entry = entry_of(handle);
  if (entry == nullptr) return false;
  for (const uint64_t* time : {creation_time, last_access_time, last_write_time}) {
    if (time != nullptr && !acceptable_time(*time)) {
      substitute_fail(WIN_ERROR_INVALID_PARAMETER);
      return false;
    }
  }
  if (creation_time != nullptr) apply_time(entry->creation_time, *creation_time);
  if (last_write_time != nullptr) apply_time(entry->last_write_time, *last_write_time);
  return true;
}

bool platform_set_basic_information(PlatformHandle handle, const PlatformBasicInformation& information) {
  SubstituteCall call = on_handle("SetFileInformationByHandle", handle);
  call.attributes = information.attributes;
  if (substitute_call(call)) return false;
  if (!has_access(handle, WIN_FILE_WRITE_ATTRIBUTES)) return false;
  SubstituteEntry* entry = entry_of(handle);
  if (entry == nullptr) return false;
  for (uint64_t time : {information.creation_time, information.last_access_time, information.last_write_time,
                        information.change_time}) {
    if (!acceptable_time(time)) {
      substitute_fail(WIN_ERROR_INVALID_PARAMETER);
      return false;
    }
  }
  apply_time(entry->creation_time, information.creation_time);
  apply_time(entry->last_write_time, information.last_write_time);
  // 0 leaves the attributes alone; NORMAL alone clears every settable bit.
  if (information.attributes != 0) {
    entry->attributes = (entry->attributes & ~SETTABLE_ATTRIBUTES) | (information.attributes & SETTABLE_ATTRIBUTES);
  }
  return true;
}

// The handle's key without its volume: "C:\\a\\f" -> "\\a\\f", "C:\\" -> "\\",
// "\\\\srv\\share\\a" -> "\\srv\\share\\a" (as the redirector names it).
uint32_t platform_file_name(PlatformHandle handle, wchar16* buffer, uint32_t capacity) {
  SubstituteHandle* h = handle_of(handle);
  if (substitute_call(on_handle("GetFileInformationByHandleEx", handle))) return 0;
  if (entry_of(handle) == nullptr) return 0;
  std::u16string name = h->path.rfind(u"\\\\", 0) == 0 ? h->path.substr(1) : h->path.substr(2);
  if (name.size() > 1 && name.back() == u'\\') name.pop_back();
  if (name.size() + 1 > capacity) {
    substitute_fail(WIN_ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = 0;
  return static_cast<uint32_t>(name.size());
}

// NTFS upcases both names with its table and compares the units; the substitute
// folds ASCII letters only, as its lookups do.
bool platform_same_names(const wchar16* a, uint32_t a_units, const wchar16* b, uint32_t b_units) {
  std::u16string x(a, a_units), y(b, b_units);
  return !CaseInsensitiveLess{}(x, y) && !CaseInsensitiveLess{}(y, x);
}
