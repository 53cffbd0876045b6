// The scripted ssh.exe child: pipes, job, process and thread as substitute
// entries, every call logged, any call able to fail with an injected code.
#include <string>

#include "agent/platform/platform.h"
#include "agent/platform/substitute/substitute_volume.h"

namespace {
SubstituteChild& child() { return substitute.child; }

// Logs the call; true when a fault applies (the last error is set).
bool log_and_fail(const char* operation, const std::u16string& path = u"") {
  return substitute_call({operation, path}) != nullptr;
}

PlatformHandle open_entry(const std::u16string& key, uint32_t access, bool inheritable) {
  SubstituteEntry* entry = substitute_find(key);
  if (entry == nullptr) entry = &substitute_add_file(key, {});
  entry->open_count++;
  auto* handle = new SubstituteHandle{};
  handle->path = key;
  handle->object_id = entry->object_id;
  handle->access = access;
  handle->flags = inheritable ? SUBSTITUTE_INHERITABLE : 0u;
  substitute.open_handles.push_back(handle);
  return handle;
}

std::u16string describe(PlatformHandle handle) {
  auto* h = static_cast<SubstituteHandle*>(handle);
  if (h == nullptr) return u"(null)";
  if (h->path.rfind(u"pipe:", 0) == 0) return h->path + (h->access == WIN_GENERIC_READ ? u"/read" : u"/write");
  return h->path;
}
}  // namespace

uint32_t platform_system_directory(wchar16* buffer, uint32_t capacity) {
  if (const SubstituteFault* fault = substitute_call({"GetSystemDirectoryW"})) return fault->answer.value_or(0);
  const std::u16string& text = child().system_directory;
  if (text.size() + 1 > capacity) return static_cast<uint32_t>(text.size() + 1);
  text.copy(buffer, text.size());
  buffer[text.size()] = 0;
  return static_cast<uint32_t>(text.size());
}

bool platform_create_pipe(PlatformHandle* read_end, PlatformHandle* write_end, uint32_t buffer_size) {
  // The first pipe feeds the child, the second carries its answer.
  size_t pipes_before = 0;
  for (const auto& call : substitute.calls) pipes_before += call.operation == "CreatePipe";
  std::u16string key = pipes_before == 0 ? u"pipe:to-child" : u"pipe:from-child";
  if (substitute_call({.operation = "CreatePipe", .path = key, .size = buffer_size})) return false;
  *read_end = open_entry(key, WIN_GENERIC_READ, true);
  *write_end = open_entry(key, WIN_GENERIC_WRITE, true);
  if (key == u"pipe:from-child") substitute_find(key)->content = child().answer;
  return true;
}

bool platform_clear_inherit(PlatformHandle handle) {
  if (log_and_fail("SetHandleInformation", describe(handle))) return false;
  static_cast<SubstituteHandle*>(handle)->flags &= ~SUBSTITUTE_INHERITABLE;
  return true;
}

bool platform_duplicate_stderr(PlatformHandle* duplicate) {
  if (log_and_fail("DuplicateHandle")) return false;
  *duplicate = open_entry(u"stderr-copy", WIN_GENERIC_WRITE, true);
  return true;
}

size_t platform_attribute_list_size() {
  log_and_fail("InitializeProcThreadAttributeList(size)");
  return child().attribute_list_size;
}

bool platform_attribute_list_init(void* list, size_t size) {
  (void)list;
  return substitute_call({.operation = "InitializeProcThreadAttributeList", .size = size}) == nullptr;
}

bool platform_attribute_list_set_handles(void* list, PlatformHandle* handles, uint32_t count) {
  (void)list;
  if (substitute_call({.operation = "UpdateProcThreadAttribute", .size = count})) return false;
  child().handle_list.clear();
  for (uint32_t i = 0; i < count; ++i) child().handle_list.push_back(describe(handles[i]));
  return true;
}

void platform_attribute_list_delete(void* list) {
  (void)list;
  log_and_fail("DeleteProcThreadAttributeList");
}

PlatformHandle platform_create_job() {
  if (log_and_fail("CreateJobObjectW")) return nullptr;
  return open_entry(u"job:ssh", 0, false);
}

bool platform_job_kill_on_close(PlatformHandle job) {
  if (log_and_fail("SetInformationJobObject", describe(job))) return false;
  child().kill_on_close = true;
  return true;
}

bool platform_start_suspended(const wchar16* application, wchar16* command_line, PlatformHandle std_input,
                              PlatformHandle std_output, PlatformHandle std_error, void* attribute_list,
                              PlatformHandle* process, PlatformHandle* thread) {
  (void)attribute_list;
  if (log_and_fail("CreateProcessW", application)) return false;
  child().application = application;
  child().command_line = command_line;
  child().std_handles[0] = describe(std_input);
  child().std_handles[1] = describe(std_output);
  child().std_handles[2] = describe(std_error);
  *process = open_entry(u"process:ssh", 0, false);
  *thread = open_entry(u"thread:ssh", 0, false);
  return true;
}

bool platform_assign_to_job(PlatformHandle job, PlatformHandle process) {
  if (log_and_fail("AssignProcessToJobObject", describe(job))) return false;
  (void)process;
  child().in_job = true;
  child().pipe_handles_open_at_assign =
      substitute_find(u"pipe:to-child")->open_count + substitute_find(u"pipe:from-child")->open_count;
  return true;
}

bool platform_terminate_process(PlatformHandle process, uint32_t exit_code) {
  if (substitute_call({.operation = "TerminateProcess", .path = describe(process), .exit_code = exit_code})) {
    return false;
  }
  child().terminated_with = exit_code;
  return true;
}

void platform_resume_thread(PlatformHandle thread) {
  log_and_fail("ResumeThread", describe(thread));
  child().resumed = true;
}

uint32_t platform_wait(PlatformHandle handle, uint32_t milliseconds) {
  child().wait_milliseconds = milliseconds;
  SubstituteCall call{.operation = "WaitForSingleObject", .path = describe(handle), .milliseconds = milliseconds};
  if (substitute_call(call)) return WIN_WAIT_FAILED;
  return child().wait_result;
}

bool platform_process_exit_code(PlatformHandle process, uint32_t* exit_code) {
  if (log_and_fail("GetExitCodeProcess", describe(process))) return false;
  *exit_code = child().exit_code;
  return true;
}
