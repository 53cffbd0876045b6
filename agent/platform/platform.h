// The platform seam: every operation the agent needs from Windows, as plain
// procedures with Windows-shaped types. It is implemented twice:
//   agent/platform/win32/       the real calls (MinGW build), each reached
//                               through the win32_api table;
//   agent/platform/substitute/  an in-memory volume for native tests.
// The agent's logic calls nothing else, so its decisions, its call order and its
// messages are the same on both sides. Each contract below is what the Win32
// adapter does and what the substitute must imitate.
#pragma once
#include <cstddef>
#include <cstdint>

// UTF-16 text as Windows has it (wchar_t on Windows is 16 bits; natively it is not).
using wchar16 = char16_t;

using PlatformHandle = void*;
inline PlatformHandle const PLATFORM_INVALID_HANDLE = reinterpret_cast<PlatformHandle>(~uintptr_t{0});

// Windows values the agent's logic uses by name.
constexpr uint32_t WIN_ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t WIN_ERROR_PATH_NOT_FOUND = 3;
constexpr uint32_t WIN_ERROR_ACCESS_DENIED = 5;
constexpr uint32_t WIN_ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t WIN_ERROR_NO_MORE_FILES = 18;
constexpr uint32_t WIN_ERROR_SHARING_VIOLATION = 32;
constexpr uint32_t WIN_ERROR_HANDLE_EOF = 38;
constexpr uint32_t WIN_ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t WIN_ERROR_FILE_EXISTS = 80;
constexpr uint32_t WIN_ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t WIN_ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t WIN_ERROR_NO_UNICODE_TRANSLATION = 1113;

constexpr uint32_t WIN_INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr uint32_t WIN_FILE_ATTRIBUTE_READONLY = 0x1;
constexpr uint32_t WIN_FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr uint32_t WIN_FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr uint32_t WIN_FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t WIN_FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr uint32_t WIN_FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr uint32_t WIN_FILE_ATTRIBUTE_TEMPORARY = 0x100;
constexpr uint32_t WIN_FILE_ATTRIBUTE_SPARSE_FILE = 0x200;
constexpr uint32_t WIN_FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr uint32_t WIN_FILE_ATTRIBUTE_OFFLINE = 0x1000;
constexpr uint32_t WIN_FILE_ATTRIBUTE_NOT_CONTENT_INDEXED = 0x2000;
constexpr uint32_t WIN_FILE_ATTRIBUTE_ENCRYPTED = 0x4000;
constexpr uint32_t WIN_FILE_ATTRIBUTE_COMPRESSED = 0x800;
// Missing from Debian's MinGW headers: FILE_ATTRIBUTE_INTEGRITY_STREAM is
// 0x00008000 on the "File Attribute Constants" page.
constexpr uint32_t WIN_FILE_ATTRIBUTE_INTEGRITY_STREAM = 0x8000;
// The two recall bits are missing from Debian's MinGW headers, so the adapter
// cannot check them; the values are those of Microsoft's "File Attribute
// Constants" page (FILE_ATTRIBUTE_RECALL_ON_OPEN 0x00040000,
// FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS 0x00400000).
// Set by directory listings only, on an entry the provider has not brought in.
constexpr uint32_t WIN_FILE_ATTRIBUTE_RECALL_ON_OPEN = 0x00040000u;
// Some of the file's data is not on this machine (every placeholder provider).
constexpr uint32_t WIN_FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS = 0x00400000u;

constexpr uint32_t WIN_GENERIC_READ = 0x80000000u;
constexpr uint32_t WIN_GENERIC_WRITE = 0x40000000u;
constexpr uint32_t WIN_READ_CONTROL = 0x00020000u;
constexpr uint32_t WIN_WRITE_DAC = 0x00040000u;
constexpr uint32_t WIN_WRITE_OWNER = 0x00080000u;
constexpr uint32_t WIN_FILE_WRITE_ATTRIBUTES = 0x0100u;
constexpr uint32_t WIN_FILE_LIST_DIRECTORY = 0x0001u;  // FILE_READ_DATA on a directory
// More of Windows' values, which the substitute volume answers with as Windows
// does; the Win32 adapter checks each against <windows.h>.
constexpr uint32_t WIN_ERROR_INVALID_FUNCTION = 1;
constexpr uint32_t WIN_ERROR_INVALID_HANDLE = 6;
constexpr uint32_t WIN_ERROR_BAD_NET_NAME = 67;
constexpr uint32_t WIN_ERROR_ALREADY_EXISTS = 183;
constexpr uint32_t WIN_ERROR_DIRECTORY = 267;
constexpr uint32_t WIN_ERROR_UNKNOWN_REVISION = 1305;
constexpr uint32_t WIN_ERROR_INVALID_SECURITY_DESCR = 1338;
constexpr uint32_t WIN_ERROR_CANT_ACCESS_FILE = 1920;
constexpr uint32_t WIN_ERROR_CANT_RESOLVE_FILENAME = 1921;
constexpr uint32_t WIN_VOLUME_NAME_DOS = 0x0;
constexpr uint32_t WIN_VOLUME_NAME_NT = 0x2;
constexpr uint32_t WIN_VOLUME_NAME_NONE = 0x4;
constexpr uint32_t WIN_FILE_NAME_OPENED = 0x8;
constexpr uint32_t WIN_FILE_READ_DATA = 0x0001u;
constexpr uint32_t WIN_FILE_WRITE_DATA = 0x0002u;
constexpr uint32_t WIN_FILE_APPEND_DATA = 0x0004u;
constexpr uint32_t WIN_FILE_EXECUTE = 0x0020u;
constexpr uint32_t WIN_DELETE = 0x00010000u;
constexpr uint32_t WIN_GENERIC_EXECUTE = 0x20000000u;
constexpr uint32_t WIN_GENERIC_ALL = 0x10000000u;
constexpr uint32_t WIN_IO_REPARSE_TAG_MOUNT_POINT = 0xA0000003u;
constexpr uint16_t WIN_SE_DACL_PRESENT = 0x0004;  // SECURITY_DESCRIPTOR_CONTROL
constexpr uint16_t WIN_SE_SACL_PRESENT = 0x0010;  // SECURITY_DESCRIPTOR_CONTROL
constexpr uint16_t WIN_SE_SELF_RELATIVE = 0x8000;  // SECURITY_DESCRIPTOR_CONTROL
constexpr uint32_t WIN_FILE_SHARE_READ = 1;
constexpr uint32_t WIN_FILE_SHARE_WRITE = 2;
constexpr uint32_t WIN_FILE_SHARE_DELETE = 4;
constexpr uint32_t WIN_CREATE_NEW = 1;
constexpr uint32_t WIN_OPEN_EXISTING = 3;
constexpr uint32_t WIN_FILE_FLAG_DELETE_ON_CLOSE = 0x04000000u;
constexpr uint32_t WIN_FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;
constexpr uint32_t WIN_FILE_FLAG_BACKUP_SEMANTICS = 0x02000000u;
constexpr uint32_t WIN_FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000u;

// Descriptor flags of the runtime library (_O_*), for platform_open_descriptor.
constexpr int PLATFORM_O_WRONLY = 0x0001;
constexpr int PLATFORM_O_RDWR = 0x0002;
constexpr int PLATFORM_O_BINARY = 0x8000;

// ---------------------------------------------------------------- process ---

// Console set-up before anything else: output code page UTF-8 (65001), standard
// input and output binary, standard error unbuffered in text mode (a line feed
// leaves the process as CR LF).
void platform_console_setup();

// Writes bytes to standard output / standard error; failures are ignored.
void platform_write_stdout(const void* data, size_t length);
void platform_write_stderr(const void* data, size_t length);

// The thread's last Windows error code (GetLastError / SetLastError).
uint32_t platform_last_error();
void platform_set_last_error(uint32_t code);

// Ends the process with the code after running the normal exit handlers (exit()).
[[noreturn]] void platform_exit(int code);

uint64_t platform_tick_count();   // GetTickCount64
uint32_t platform_process_id();   // GetCurrentProcessId

// Enables a privilege such as u"SeBackupPrivilege" on the process token. Every
// failure is silent and the adjustment's result is not examined.
void platform_enable_privilege(const wchar16* name);

// RtlSetProcessPlaceholderCompatibilityMode(PHCM_EXPOSE_PLACEHOLDERS = 2),
// looked up in ntdll at run time: the process then sees cloud placeholders as
// the reparse points they are instead of disguised as plain files. Where ntdll
// lacks it (before Windows 10 1803, Wine) nothing happens; the result is not
// examined.
void platform_expose_placeholders();

// ------------------------------------------------------------------- text ---

// MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, capacity):
// returns the units written (or needed when capacity is 0), terminator included;
// 0 with the last error set when the input is ill-formed or the room too small.
int platform_utf8_to_utf16(const char* text, wchar16* out, int capacity);
// WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out, capacity,
// nullptr, nullptr), with the same conventions.
int platform_utf16_to_utf8(const wchar16* text, char* out, int capacity);

// ------------------------------------------------------------------ files ---

// GetFullPathNameW(path, capacity, buffer, nullptr): the length without the
// terminator, the needed size when the buffer is too small, 0 on failure.
uint32_t platform_full_path(const wchar16* path, uint32_t capacity, wchar16* buffer);
// GetFileAttributesW: the attribute bits or WIN_INVALID_FILE_ATTRIBUTES.
uint32_t platform_file_attributes(const wchar16* path);
// GetTempPathW(capacity, buffer): as GetFullPathNameW; the path ends in a backslash.
uint32_t platform_temp_path(uint32_t capacity, wchar16* buffer);
// CreateFileW(path, access, share, nullptr, disposition, flags_and_attributes,
// nullptr); PLATFORM_INVALID_HANDLE on failure with the last error set.
PlatformHandle platform_create_file(const wchar16* path, uint32_t access, uint32_t share,
                                    uint32_t disposition, uint32_t flags_and_attributes);
bool platform_close_handle(PlatformHandle handle);
// GetFinalPathNameByHandleW(handle, buffer, capacity, 0): as GetFullPathNameW.
// It fails with ERROR_PATH_NOT_FOUND when the volume has no DOS name (a
// shadow copy's device). On a share of a server that cannot answer for a
// normalized name (before Windows 10 and Server version 1709) the system asks
// for each component in turn, and fails with ERROR_ACCESS_DENIED when the
// account may not open one of them (the function's remarks).
uint32_t platform_final_path(PlatformHandle handle, wchar16* buffer, uint32_t capacity);
// The same with FILE_NAME_OPENED (8): the name as the handle was opened, not
// normalized, so no component above it needs to be opened again.
uint32_t platform_final_path_opened(PlatformHandle handle, wchar16* buffer, uint32_t capacity);
// The same with VOLUME_NAME_NT (2): "\Device\HarddiskVolume3\data", a
// shadow copy's "\Device\HarddiskVolumeShadowCopy7\data".
uint32_t platform_final_path_nt(PlatformHandle handle, wchar16* buffer, uint32_t capacity);

// ------------------------------------------------------------ descriptors ---
// Runtime-library descriptors (_open_osfhandle, _lseeki64, _read, _write, _close).

// Takes ownership of the handle; returns the descriptor or -1.
int platform_open_descriptor(PlatformHandle handle, int flags);
// Seeks from the start; returns the new offset or a negative value.
int64_t platform_seek(int fd, int64_t offset);
// Return the bytes moved (at most length), 0 at end of input, negative on failure.
int platform_read(int fd, void* buffer, uint32_t length);
int platform_write(int fd, const void* data, uint32_t length);
int platform_close(int fd);

// ---------------------------------------------------------------- capture ---
// Tree walk, entry metadata and content reading.

// Error codes and values the walk names.
constexpr uint32_t WIN_ERROR_NOT_A_REPARSE_POINT = 4390;
constexpr uint32_t WIN_MAX_PATH = 260;
constexpr uint32_t WIN_STREAM_NAME_UNITS = 260 + 36;  // WIN32_FIND_STREAM_DATA.cStreamName
constexpr uint32_t WIN_REPARSE_BUFFER_BYTES = 16384;  // MAXIMUM_REPARSE_DATA_BUFFER_SIZE

// BY_HANDLE_FILE_INFORMATION, times as raw FILETIME ticks.
struct PlatformFileInformation {
  uint32_t attributes;
  uint64_t creation_time;
  uint64_t last_access_time;
  uint64_t last_write_time;
  uint32_t volume_serial;
  uint32_t size_high;
  uint32_t size_low;
  uint32_t link_count;
  uint32_t index_high;
  uint32_t index_low;
};

// GetFileInformationByHandle; false with the last error set on failure. On a
// stream handle it describes the stream's file, with the stream's size.
bool platform_file_information(PlatformHandle handle, PlatformFileInformation* information);
// GetFileSizeEx; false with the last error set on failure.
bool platform_file_size(PlatformHandle handle, int64_t* size);
// DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, no input, buffer, capacity):
// the raw reparse data buffer and the bytes returned; false with the last error
// set on failure (4390 when the entry is no reparse point).
bool platform_reparse_data(PlatformHandle handle, void* buffer, uint32_t capacity, uint32_t* returned);
// ReadFile(handle, buffer, length, &read, nullptr) at the handle's position.
bool platform_read_file(PlatformHandle handle, void* buffer, uint32_t length, uint32_t* read);

// FindFirstFileW(pattern) / FindNextFileW: one name per call (cFileName, at most
// 259 units and a terminator) with the listing's attributes (dwFileAttributes,
// which alone can carry RECALL_ON_OPEN), "." and ".." included. The search
// ends with false and the last error WIN_ERROR_NO_MORE_FILES; FindFirstFileW
// answers PLATFORM_INVALID_HANDLE with the last error set when it cannot start.
PlatformHandle platform_find_first_file(const wchar16* pattern, wchar16 name[WIN_MAX_PATH], uint32_t* attributes);
bool platform_find_next_file(PlatformHandle search, wchar16 name[WIN_MAX_PATH], uint32_t* attributes);

// FindFirstStreamW(path, FindStreamInfoStandard) / FindNextStreamW: each data
// stream's full name (":name:$DATA", the unnamed one "::$DATA") and size. The
// search ends with false and WIN_ERROR_HANDLE_EOF; an entry without any stream
// to report fails FindFirstStreamW with that same code.
struct PlatformStreamData {
  int64_t size;
  wchar16 name[WIN_STREAM_NAME_UNITS];
};
PlatformHandle platform_find_first_stream(const wchar16* path, PlatformStreamData* stream);
bool platform_find_next_stream(PlatformHandle search, PlatformStreamData* stream);
// FindClose, for both kinds of search.
bool platform_find_close(PlatformHandle search);

// GetSecurityInfo(handle, SE_FILE_OBJECT, owner|group|DACL (7), ...): the
// self-relative descriptor, allocated by the system, into *descriptor. Returns
// the Windows error code (0 on success) instead of setting the last error.
uint32_t platform_security_descriptor(PlatformHandle handle, void** descriptor);
// GetSecurityDescriptorLength.
uint32_t platform_security_descriptor_length(const void* descriptor);
// LocalFree of what the system allocated.
void platform_local_free(void* memory);

// --------------------------------------------------------------- transfer ---
// The ssh.exe child: pipes, job object, process.

// Every operation below is one Win32 call, so the transport's logic decides
// the order, the checks and the messages on both sides of the seam.

constexpr uint32_t WIN_WAIT_OBJECT_0 = 0;
constexpr uint32_t WIN_WAIT_TIMEOUT = 258;
constexpr uint32_t WIN_WAIT_FAILED = 0xFFFFFFFFu;

// GetSystemDirectoryW(buffer, capacity): as GetFullPathNameW.
uint32_t platform_system_directory(wchar16* buffer, uint32_t capacity);
// CreatePipe(&read_end, &write_end, attributes, buffer_size) with security
// attributes that hold no descriptor and make both ends inheritable.
bool platform_create_pipe(PlatformHandle* read_end, PlatformHandle* write_end, uint32_t buffer_size);
// SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0): the end stays with the agent.
bool platform_clear_inherit(PlatformHandle handle);
// DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE),
// GetCurrentProcess(), duplicate, 0, TRUE, DUPLICATE_SAME_ACCESS).
bool platform_duplicate_stderr(PlatformHandle* duplicate);
// InitializeProcThreadAttributeList(nullptr, 1, 0, &size): the bytes that a list
// of one attribute needs. The call itself fails by design; its failure is ignored.
size_t platform_attribute_list_size();
// InitializeProcThreadAttributeList(list, 1, 0, &size).
bool platform_attribute_list_init(void* list, size_t size);
// UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
// count * sizeof(HANDLE), nullptr, nullptr): the child inherits these and no other.
bool platform_attribute_list_set_handles(void* list, PlatformHandle* handles, uint32_t count);
// DeleteProcThreadAttributeList(list); the caller frees the memory.
void platform_attribute_list_delete(void* list);
// CreateJobObjectW(nullptr, nullptr); null on failure.
PlatformHandle platform_create_job();
// SetInformationJobObject(job, JobObjectExtendedLimitInformation, ...) with a
// record that is zero except the limit flags JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE:
// closing the last handle of the job ends every process in it.
bool platform_job_kill_on_close(PlatformHandle job);
// CreateProcessW(application, command_line, nullptr, nullptr, TRUE,
// CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW, nullptr,
// nullptr, startup, info) where startup is an extended startup record that is
// zero except its size, STARTF_USESTDHANDLES, the three standard handles and the
// attribute list. On success the process and primary thread handles are returned.
bool platform_start_suspended(const wchar16* application, wchar16* command_line, PlatformHandle std_input,
                              PlatformHandle std_output, PlatformHandle std_error, void* attribute_list,
                              PlatformHandle* process, PlatformHandle* thread);
// AssignProcessToJobObject(job, process).
bool platform_assign_to_job(PlatformHandle job, PlatformHandle process);
// TerminateProcess(process, exit_code).
bool platform_terminate_process(PlatformHandle process, uint32_t exit_code);
// ResumeThread(thread); the previous suspend count is of no interest.
void platform_resume_thread(PlatformHandle thread);
// WaitForSingleObject(handle, milliseconds): WIN_WAIT_OBJECT_0, WIN_WAIT_TIMEOUT
// or WIN_WAIT_FAILED.
uint32_t platform_wait(PlatformHandle handle, uint32_t milliseconds);
// GetExitCodeProcess(process, exit_code).
bool platform_process_exit_code(PlatformHandle process, uint32_t* exit_code);

// -------------------------------------------------------- metadata restore ---
// Security descriptors, times and attributes put back on a restored tree.

// Every call sets the last-error slot on failure, as its Win32 counterpart does.

constexpr uint32_t WIN_ERROR_NOT_ALL_ASSIGNED = 1300;
constexpr uint32_t WIN_ERROR_NO_SUCH_PRIVILEGE = 1313;
constexpr uint32_t WIN_TOKEN_ADJUST_PRIVILEGES = 0x20;
constexpr uint32_t WIN_TOKEN_QUERY = 0x8;
constexpr uint32_t WIN_SE_PRIVILEGE_ENABLED = 2;
constexpr uint32_t WIN_OWNER_SECURITY_INFORMATION = 0x1;
constexpr uint32_t WIN_GROUP_SECURITY_INFORMATION = 0x2;
constexpr uint32_t WIN_DACL_SECURITY_INFORMATION = 0x4;
constexpr uint32_t WIN_PROTECTED_DACL_SECURITY_INFORMATION = 0x80000000u;
constexpr uint32_t WIN_UNPROTECTED_DACL_SECURITY_INFORMATION = 0x20000000u;

// (The metadata file and the targets are also examined with platform_file_size,
// platform_file_information and platform_security_descriptor_length above.)

// SetFilePointerEx(handle, offset, nullptr, FILE_BEGIN), then ReadFile of length
// bytes; *bytes_read is what ReadFile delivered (fewer at the end of the file).
bool platform_read_file_at(PlatformHandle handle, uint64_t offset, void* buffer, uint32_t length,
                           uint32_t* bytes_read);

// OpenProcessToken(GetCurrentProcess(), access, token).
bool platform_open_process_token(uint32_t access, PlatformHandle* token);
// LookupPrivilegeValueW(nullptr, name, luid), the LUID as one 64-bit value
// (LowPart in the low half).
bool platform_lookup_privilege_value(const wchar16* name, uint64_t* luid);
// AdjustTokenPrivileges(token, FALSE, one entry {luid, attributes}, 0, nullptr,
// nullptr). Success with the last error ERROR_NOT_ALL_ASSIGNED means the token
// lacks the privilege; callers clear the slot first to tell.
bool platform_adjust_token_privilege(PlatformHandle token, uint64_t luid, uint32_t attributes);

// IsValidSecurityDescriptor and GetSecurityDescriptorControl on a self-relative
// descriptor in memory.
bool platform_is_valid_security_descriptor(const void* descriptor);
bool platform_security_descriptor_control(const void* descriptor, uint16_t* control, uint32_t* revision);
// SetKernelObjectSecurity(handle, information, descriptor).
bool platform_set_kernel_object_security(PlatformHandle handle, uint32_t information, const void* descriptor);
// SetFileTime; a null time is left unchanged.
bool platform_set_file_time(PlatformHandle handle, const uint64_t* creation_time, const uint64_t* last_access_time,
                            const uint64_t* last_write_time);
// SetFileInformationByHandle(FileBasicInfo) with a 40-byte FILE_BASIC_INFO: four
// times (0 leaves a time unchanged) and the attributes (FILE_ATTRIBUTE_NORMAL
// alone clears every settable bit).
struct PlatformBasicInformation {
  uint64_t creation_time = 0;
  uint64_t last_access_time = 0;
  uint64_t last_write_time = 0;
  uint64_t change_time = 0;
  uint32_t attributes = 0;
};
bool platform_set_basic_information(PlatformHandle handle, const PlatformBasicInformation& information);
// GetFileInformationByHandleEx(FileNameInfo): the path of the handle's file
// below the root of its volume ("\\a\\f.txt"; "\\" for the root itself), as the
// open reached it, every junction on the way followed. Returns its length in
// units, terminated in the buffer; 0 with the last error set on failure or when
// it needs more than capacity - 1 units. (Unlike GetFinalPathNameByHandleW it
// answers for names beyond MAX_PATH under Wine too.)
uint32_t platform_file_name(PlatformHandle handle, wchar16* buffer, uint32_t capacity);
// CompareStringOrdinal(a, a_units, b, b_units, TRUE) == CSTR_EQUAL: the two
// names are equal as the file system compares them (each unit upcased).
bool platform_same_names(const wchar16* a, uint32_t a_units, const wchar16* b, uint32_t b_units);
