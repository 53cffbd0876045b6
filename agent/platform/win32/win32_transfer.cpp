// Process, pipe and job operations of the platform seam for the ssh.exe child.
#include "agent/platform/platform.h"
#include "agent/platform/win32/win32_api.h"

uint32_t platform_system_directory(wchar16* buffer, uint32_t capacity) {
  return win32_api.GetSystemDirectoryW(reinterpret_cast<wchar_t*>(buffer), capacity);
}

bool platform_create_pipe(PlatformHandle* read_end, PlatformHandle* write_end, uint32_t buffer_size) {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = TRUE;
  HANDLE r = nullptr, w = nullptr;
  if (!win32_api.CreatePipe(&r, &w, &attributes, buffer_size)) return false;
  *read_end = r;
  *write_end = w;
  return true;
}

bool platform_clear_inherit(PlatformHandle handle) {
  return win32_api.SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0) != 0;
}

bool platform_duplicate_stderr(PlatformHandle* duplicate) {
  HANDLE self = win32_api.GetCurrentProcess();
  HANDLE copy = nullptr;
  if (!win32_api.DuplicateHandle(self, win32_api.GetStdHandle(STD_ERROR_HANDLE), self, &copy, 0, TRUE,
                                 DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  *duplicate = copy;
  return true;
}

size_t platform_attribute_list_size() {
  SIZE_T size = 0;
  win32_api.InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  return size;
}

bool platform_attribute_list_init(void* list, size_t size) {
  SIZE_T s = size;
  return win32_api.InitializeProcThreadAttributeList(static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list), 1, 0, &s) !=
         0;
}

bool platform_attribute_list_set_handles(void* list, PlatformHandle* handles, uint32_t count) {
  return win32_api.UpdateProcThreadAttribute(static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list), 0,
                                             PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, count * sizeof(HANDLE),
                                             nullptr, nullptr) != 0;
}

void platform_attribute_list_delete(void* list) {
  win32_api.DeleteProcThreadAttributeList(static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list));
}

PlatformHandle platform_create_job() { return win32_api.CreateJobObjectW(nullptr, nullptr); }

bool platform_job_kill_on_close(PlatformHandle job) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  return win32_api.SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) != 0;
}

bool platform_start_suspended(const wchar16* application, wchar16* command_line, PlatformHandle std_input,
                              PlatformHandle std_output, PlatformHandle std_error, void* attribute_list,
                              PlatformHandle* process, PlatformHandle* thread) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = std_input;
  startup.StartupInfo.hStdOutput = std_output;
  startup.StartupInfo.hStdError = std_error;
  startup.lpAttributeList = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attribute_list);
  PROCESS_INFORMATION info{};
  if (!win32_api.CreateProcessW(reinterpret_cast<const wchar_t*>(application),
                                reinterpret_cast<wchar_t*>(command_line), nullptr, nullptr, TRUE,
                                CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW, nullptr, nullptr,
                                &startup.StartupInfo, &info)) {
    return false;
  }
  *process = info.hProcess;
  *thread = info.hThread;
  return true;
}

bool platform_assign_to_job(PlatformHandle job, PlatformHandle process) {
  return win32_api.AssignProcessToJobObject(job, process) != 0;
}

bool platform_terminate_process(PlatformHandle process, uint32_t exit_code) {
  return win32_api.TerminateProcess(process, exit_code) != 0;
}

void platform_resume_thread(PlatformHandle thread) { win32_api.ResumeThread(thread); }

uint32_t platform_wait(PlatformHandle handle, uint32_t milliseconds) {
  return win32_api.WaitForSingleObject(handle, milliseconds);
}

bool platform_process_exit_code(PlatformHandle process, uint32_t* exit_code) {
  DWORD code = 0;
  if (!win32_api.GetExitCodeProcess(process, &code)) return false;
  *exit_code = code;
  return true;
}
