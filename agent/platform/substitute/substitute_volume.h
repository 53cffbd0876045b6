// The substitute volume: an in-memory stand-in for the Windows file system and
// process, behind the same platform seam as the Win32 adapter. Native tests
// reset it, populate it and then run the agent's logic over it. Where it
// answers differently from Windows, that is a bug in it.
//
// Two layers. The volume (entries, links, handles, the scripted ssh.exe child)
// answers as Windows would. Over it, every operation, named by its Win32 call,
// first logs itself (`calls`, one SubstituteCall each, with its own arguments
// and the error it failed with) and then asks the fault layer: the hooks that
// tests set run, and the first SubstituteFault that matches the call makes it
// fail with the rule's code (or answer the rule's number) before the volume is
// consulted. A few calls (GetTempPathW, _open_osfhandle,
// GetSecurityDescriptorControl) are not logged but obey faults all the same.
// The scripted VSS requester (substitute_vss.h) keeps its own script and log.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "agent/platform/platform.h"

// A named data stream; its full name as FindFirstStreamW reports it (":s:$DATA").
struct SubstituteStream {
  std::u16string name;
  std::vector<uint8_t> content;
  // What the stream is itself of the bits a data stream does not take from
  // its file: SPARSE, COMPRESSED, TEMPORARY, ENCRYPTED, INTEGRITY_STREAM.
  uint32_t attributes = 0;
};

struct SubstituteEntry {
  uint32_t attributes = WIN_FILE_ATTRIBUTE_ARCHIVE;
  std::vector<uint8_t> content;
  uint64_t creation_time = 0;
  uint64_t last_write_time = 0;
  uint32_t volume_serial = 0x1234ABCD;
  uint64_t file_index = 0;
  std::vector<uint8_t> reparse_data;
  std::vector<uint8_t> security_descriptor;
  bool delete_on_close = false;
  uint32_t open_count = 0;
  // Named streams, in the order the stream search reports them.
  std::vector<SubstituteStream> streams;
  // Another process holds the entry open for writing (opens that do not share
  // writing fail with a sharing violation).
  bool held_for_writing = false;
  // Access bits that the entry's ACL refuses the caller (access denied).
  uint32_t denied_access = 0;
  // A reparse point whose filter presents content (WOF, deduplication, cloud
  // files): opened without FILE_FLAG_OPEN_REPARSE_POINT it reads as a plain
  // file or directory. Other reparse points are not followed by the substitute:
  // opening one without that flag fails with 1920.
  bool presents_content = false;
  // Names the file has (hard links); GetFileInformationByHandle's nNumberOfLinks.
  uint32_t link_count = 1;
  // Which object this is: a name removed and made again is another object, and
  // handles opened on the first do not reach the second.
  uint64_t object_id = 0;
};

// NTFS compares and orders names through the volume's upcase table: each UTF-16
// unit is upper-cased on its own (no unit becomes two) and the results compare
// as numbers, so "_x" sorts after "a" and lookups fold accented and Cyrillic
// letters too. The substitute's table is the simple uppercase mapping of the BMP.
char16_t substitute_upcase(char16_t unit);
struct CaseInsensitiveLess {
  bool operator()(const std::u16string& a, const std::u16string& b) const;
};

// An open handle. It stays bound to the object it opened: a rename moves
// `path` along with the object, and `object_id` tells when the name now
// belongs to another object.
struct SubstituteHandle {
  std::u16string path;  // key into entries
  uint32_t access = 0;  // as requested (generic rights unmapped)
  uint32_t share = 0;
  uint32_t flags = 0;
  uint64_t position = 0;
  std::u16string stream;  // full stream name (":s:$DATA"), empty for the unnamed stream
  uint64_t object_id = 0;
};

// One call the substitute received. Each argument has a field of its own and
// keeps one meaning in every subsystem; fields a call does not take stay 0.
struct SubstituteCall {
  std::string operation;
  // A substitute key (GetFullPathNameW and GetFileAttributesW: the path as
  // given); for a stream the owner's key and ":s:$DATA"; for the searches the
  // directory or the stream's owner; for a call on the child's handles their
  // entry ("pipe:to-child/read", "process:ssh").
  std::u16string path = u"";
  // CreateFileW's arguments; the metadata-restore calls on a handle log the
  // handle's access and share.
  uint32_t access = 0;
  uint32_t share = 0;
  uint32_t disposition = 0;
  uint32_t flags = 0;  // CreateFileW's flags and attributes, GetFinalPathNameByHandleW's flags
  uint32_t security_information = 0;  // SetKernelObjectSecurity
  uint32_t attributes = 0;  // SetFileInformationByHandle's file, AdjustTokenPrivileges's privilege attributes
  bool creation_time = false;     // SetFileTime was given one
  bool last_access_time = false;  // SetFileTime was given one
  // Bytes or entries asked for: a positioned read's length, a pipe's buffer, an
  // attribute list's size, the handles UpdateProcThreadAttribute lists.
  uint64_t size = 0;
  uint32_t exit_code = 0;     // TerminateProcess
  uint32_t milliseconds = 0;  // WaitForSingleObject
  // The Windows error code the call failed with; 0 when it succeeded.
  uint32_t result = 0;
};

// An injected fault: the operation (its Win32 call: "CreateFileW", "ReadFile",
// "CreatePipe", ...) on the path it is logged with (empty: any path; compared
// as keys, so any accepted spelling) fails with `code` as its last error, on
// every matching call (`call` 0) or only on the `call`-th (from 1). With
// `answer`, the call returns that number instead (a length larger than the
// buffer, say), and a `code` other than 0 is left as the last error.
struct SubstituteFault {
  std::string operation;
  std::u16string path = u"";
  uint32_t code = 0;
  uint32_t call = 0;
  std::optional<uint32_t> answer = std::nullopt;
  uint32_t seen = 0;  // matching calls so far
};

// Runs `action` when the operation on the path (matched as a fault's is) is
// called for the `on_call`-th time (from 1), before the operation does
// anything: how tests change an entry while the walk captures it.
struct SubstituteHook {
  std::string operation;
  std::u16string path;
  uint32_t on_call = 1;
  std::function<void()> action;
  uint32_t seen = 0;
};

// The scripted ssh.exe child of the transfer operations. Its two pipes are
// entries: "pipe:to-child" collects what the agent writes, "pipe:from-child"
// holds the child's scripted answer and is read from its start. Process,
// thread, job and the standard error copy are entries too ("process:ssh",
// "thread:ssh", "job:ssh", "stderr-copy"), so open_count shows every handle
// still open. Handles made inheritable carry SUBSTITUTE_INHERITABLE in flags.
constexpr uint32_t SUBSTITUTE_INHERITABLE = 1;
struct SubstituteChild {
  std::u16string system_directory = u"C:\\Windows\\system32";
  size_t attribute_list_size = 48;
  std::vector<uint8_t> answer;
  uint32_t wait_result = WIN_WAIT_OBJECT_0;
  uint32_t exit_code = 0;
  // What the operations saw.
  std::u16string application;
  std::u16string command_line;
  std::vector<std::u16string> handle_list;  // entry key and end ("pipe:to-child/read")
  std::u16string std_handles[3];
  bool kill_on_close = false;
  bool in_job = false;
  bool resumed = false;
  int64_t terminated_with = -1;
  uint32_t wait_milliseconds = 0;
  uint32_t pipe_handles_open_at_assign = 0;
};

struct SubstituteVolume {
  // Keys are absolute paths without the "\\?\" prefix ("C:\src\a",
  // "\\server\share\a"); a directory is an entry with the directory attribute.
  std::map<std::u16string, SubstituteEntry, CaseInsensitiveLess> entries;
  // Paths the system resolves on the way to an entry, key prefix (no trailing
  // backslash) to absolute target: a subst or mapped drive ("S:" -> "C:\\src"),
  // or a junction or symbolic link met inside a path. Only what lies below the
  // prefix is redirected: the link itself is still the entry at its own key.
  // Final paths come from the entry reached, never from the spelling.
  std::map<std::u16string, std::u16string, CaseInsensitiveLess> links;
  // Shares ("\\server\share") of servers that refuse a normalized final path
  // to an account that cannot open every parent of the entry (error 5).
  std::set<std::u16string, CaseInsensitiveLess> shares_without_normalized_names;
  // NT device of each drive, for final paths in NT form (VOLUME_NAME_NT).
  std::map<std::u16string, std::u16string, CaseInsensitiveLess> nt_devices = {
      {u"C:", u"\\Device\\HarddiskVolume3"}, {u"D:", u"\\Device\\HarddiskVolume4"}};
  std::u16string temp_directory = u"C:\\Temp\\";
  std::u16string current_directory = u"C:\\work";
  uint32_t last_error = 0;
  // A line that another process sharing standard error (ssh.exe inherits it)
  // writes after each of the agent's writes; empty: no such process.
  std::string stderr_neighbour_line;
  uint64_t tick_count = 1000;
  uint32_t process_id = 4242;
  uint64_t next_file_index = 1;
  std::vector<SubstituteCall> calls;
  std::vector<std::u16string> enabled_privileges;
  // Last content of each delete-on-close file, kept when the system removed it.
  std::map<std::u16string, std::vector<uint8_t>, CaseInsensitiveLess> deleted_files;
  // The fault layer (see the top of this file).
  std::vector<SubstituteFault> faults;
  std::vector<SubstituteHook> hooks;
  // Handles open now, for sharing checks and for tests that look for leaks.
  std::vector<SubstituteHandle*> open_handles;
  // Last-write time given to entries changed through substitute_change_*.
  uint64_t clock = 133000000000000000ull;
  SubstituteChild child;
  // metadata restore: the privileges the process token holds (an administrator's
  // by default). Its token calls are logged with the path "" (LookupPrivilegeValueW
  // with the privilege's name), the descriptor calls that take no handle with "".
  std::vector<std::u16string> held_privileges = {u"SeBackupPrivilege", u"SeRestorePrivilege"};
  // Cloud placeholders (the cloud files reparse tags) are disguised as plain
  // files, their reparse, sparse and offline bits hidden, while the process's
  // placeholder mode is PHCM_DISGUISE_PLACEHOLDER (1), or the default (0) and
  // the system chose disguise for this program, as it may for compatibility
  // (RtlSetProcessPlaceholderCompatibilityMode documentation).
  int placeholder_mode = 0;
  bool disguises_placeholders_by_default = false;
};


extern SubstituteVolume substitute;

// A fresh volume with the temporary directory and the working directory present.
void substitute_reset();
// Adds a directory (and its missing parents) or a file with content.
SubstituteEntry& substitute_add_directory(const std::u16string& path);
SubstituteEntry& substitute_add_file(const std::u16string& path, const std::vector<uint8_t>& content);
// The entry at a path given in any accepted form, or null.
SubstituteEntry* substitute_find(const std::u16string& path);
// GetFullPathNameW's answer for a path that is not empty, from the current directory.
std::u16string substitute_full_path(const std::u16string& path);
// The substitute key of a path: the "\\?\" and "\\?\UNC\" prefixes removed.
std::u16string substitute_key(const std::u16string& path);
// How much of a key names its volume's root: "C:\" (3), "\\server\share",
// "GLOBALROOT\Device\Name"; the whole key when it names no file volume.
size_t substitute_root_length(const std::u16string& key);
// The key of the directory that holds the key's entry ("C:\a" -> "C:\"); ""
// for a volume's root.
std::u16string substitute_parent_key(const std::u16string& key);
// Bytes of an open or closed file.
const std::vector<uint8_t>* substitute_file_content(const std::u16string& path);
// Files whose names start with the prefix, in the temporary directory.
size_t substitute_count_temp_files(const std::u16string& name_prefix);
// A named stream ("s" becomes ":s:$DATA") on a file or directory.
SubstituteStream& substitute_add_stream(const std::u16string& owner, const std::u16string& name,
                                        const std::vector<uint8_t>& content);
// A reparse point with its raw reparse data buffer; `directory` sets the
// directory attribute too (junctions, mount points, directory links).
SubstituteEntry& substitute_add_reparse_point(const std::u16string& path, const std::vector<uint8_t>& reparse_data,
                                              bool directory);
// Live changes, as another process makes them: the content or the directory
// listing changes and the last-write time moves on.
void substitute_change_content(const std::u16string& path, const std::vector<uint8_t>& content);
void substitute_change_add_file(const std::u16string& path, const std::vector<uint8_t>& content);
void substitute_change_remove(const std::u16string& path);
// The opening and search operations of substitute_files.cpp route here.
PlatformHandle substitute_open_existing(const std::u16string& path, uint32_t access, uint32_t share,
                                        uint32_t flags_and_attributes);
void substitute_forget_handle(SubstituteHandle* handle);
// The fault layer. substitute_call logs the call and returns the fault that
// applies to it (its code set as the last error and as the call's result), or
// null; unlogged calls ask substitute_fault alone. Both run the hooks first.
const SubstituteFault* substitute_call(SubstituteCall call);
const SubstituteFault* substitute_fault(const char* operation, const std::u16string& path);
// A logged call fails on its own: the last error and the call's result. Only
// calls that substitute_call logged use it.
void substitute_fail(uint32_t code);
// The attributes a query shows: RECALL_ON_OPEN only in directory listings
// (FILE_ATTRIBUTE_RECALL_ON_OPEN documentation), and disguised placeholders
// without their reparse, sparse and offline bits.
uint32_t substitute_visible_attributes(const SubstituteEntry& entry, bool listing);
// GetSecurityDescriptorLength computed from the descriptor's own bytes.
uint32_t substitute_descriptor_length(const void* descriptor);
// The descriptor of an entry that sets none of its own.
const std::vector<uint8_t>& substitute_default_descriptor();
// The key that a path reaches once the junctions among its parents are
// followed; the last component is left as it is. False (last error 1921) past
// the system's limit of 63 reparse points in one name.
bool substitute_follow_parents(const std::u16string& key, std::u16string& reached);
// A fresh identity, for an entry copied from another.
uint64_t substitute_new_object_id();
// The entry a handle is bound to, or null when its object is gone.
SubstituteEntry* substitute_handle_entry(const SubstituteHandle* handle);
// The key a path names once links are followed (no trailing backslash except
// on a drive root).
std::u16string substitute_resolve(const std::u16string& path);
// Rights that the generic bits of an access mask stand for, as a file object
// maps them (GENERIC_READ -> FILE_GENERIC_READ, ...).
uint32_t substitute_mapped_access(uint32_t access);
// MS-FSA's sharing check of a new open of the object's stream ("" the unnamed
// stream or the directory) against the handles open on it: true on a conflict.
// CreateFileW flags count too: FILE_FLAG_DELETE_ON_CLOSE asks for DELETE.
bool substitute_sharing_conflict(const SubstituteEntry& entry, const std::u16string& stream, uint32_t access,
                                 uint32_t share, uint32_t flags);
// Another process renames (MoveFileExW without flags): 0, or the Windows error
// code NTFS answers with. The object keeps its handles, and its spelling
// becomes the new one's (a change of case alone is a rename too).
uint32_t substitute_rename(const std::u16string& from, const std::u16string& to);
// GetFinalPathNameByHandleW of the object: its path in the volume's spelling,
// each component as the directory holds it, in the form the flags ask for
// (VOLUME_NAME_DOS 0, _NT 2 or _NONE 4, with FILE_NAME_OPENED 8 or without);
// 0, or the error code when there is none.
uint32_t substitute_final_path(const SubstituteHandle* handle, uint32_t flags, std::u16string& path);
// UTF-8 <-> UTF-16 for tests.
std::u16string u16(const std::string& utf8);
std::string u8(const std::u16string& utf16);
