// The server channel over the OpenSSH client: ssh.exe from the system
// directory, started suspended, placed in a kill-on-close job before it runs,
// joined to the agent by two pipes. The child can never outlive the agent: the
// job ends it when its last handle closes, in fatal_error or at process exit.
#include <cstdlib>

#include "agent/run_control/fatal_error.h"
#include "agent/run_control/process_resources.h"
#include "agent/run_control/text_conversion.h"
#include "agent/transfer/server_channel.h"

constexpr uint32_t SYSTEM_DIRECTORY_MAX_UNITS = 32000;
constexpr uint32_t SSH_PIPE_BUFFER_BYTES = 65536;
constexpr uint32_t SSH_EXIT_WAIT_MS = 30000;
constexpr uint32_t SSH_ASSIGN_FAILED_EXIT_CODE = 125;
// The last index that may hold a unit, plus 3 for closing quote and terminator.
constexpr size_t COMMAND_LINE_BOUND = 32767;

static bool alias_byte_allowed(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-';
}

// The alias must name a host entry of the configuration and nothing else: no
// user@host, no port, and nothing ssh could read as an option.
static void check_host_alias(const char* alias) {
  if (alias[0] == 0) fatal_error("invalid SSH alias");
  for (const char* p = alias; *p != 0; ++p) {
    if (!alias_byte_allowed(static_cast<unsigned char>(*p))) {
      fatal_error("SSH destination must be a configured host alias");
    }
  }
  if (alias[0] == '-') fatal_error("invalid SSH alias");
}

void append_quoted_argument(wchar16* command_line, const wchar16* argument) {
  size_t p = wide_length(command_line);
  if (p + 3 > COMMAND_LINE_BOUND) fatal_error("SSH command too long");
  // A space separates elements only. The runtime reads a leading space as an
  // empty program name, which would shift every argument of ssh by one.
  if (p > 0) command_line[p++] = u' ';
  command_line[p++] = u'"';
  auto put = [&](wchar16 unit) {
    if (p + 3 > COMMAND_LINE_BOUND) fatal_error("SSH argument too long");
    command_line[p++] = unit;
  };
  // Backslashes mean something only before a double quote, so they are held
  // back until the next unit shows how many to write.
  size_t backslashes = 0;
  for (const wchar16* a = argument; *a != 0; ++a) {
    if (*a == u'\\') {
      ++backslashes;
      continue;
    }
    size_t count = *a == u'"' ? 2 * backslashes + 1 : backslashes;
    for (size_t i = 0; i < count; ++i) put(u'\\');
    put(*a);
    backslashes = 0;
  }
  // Before the closing quote every backslash is doubled.
  for (size_t i = 0; i < 2 * backslashes; ++i) put(u'\\');
  command_line[p++] = u'"';
  command_line[p] = 0;
}

static wchar16* locate_ssh_client() {
  static wchar16 path[32768];
  uint32_t length = platform_system_directory(path, 32768);
  if (length == 0 || length > SYSTEM_DIRECTORY_MAX_UNITS) fatal_error("system directory");
  static const char16_t suffix[] = u"\\OpenSSH\\ssh.exe";
  for (size_t i = 0; suffix[i] != 0; ++i) path[length + i] = suffix[i];
  path[length + sizeof suffix / sizeof suffix[0] - 1] = 0;
  if (platform_file_attributes(path) == WIN_INVALID_FILE_ATTRIBUTES) {
    fatal_error("install Microsoft OpenSSH Client first");
  }
  return path;
}

static void build_command_line(wchar16* command_line, const wchar16* ssh_path, const char* ssh_config,
                               const char* destination) {
  wchar16* config = utf8_to_wide(ssh_config);
  wchar16* alias = utf8_to_wide(destination);
  for (uint32_t i = 0; i < SSH_COMMAND_LINE_UNITS; ++i) command_line[i] = 0;
  const wchar16* elements[] = {ssh_path,
                               u"-F",
                               config,
                               u"-T",
                               u"-oBatchMode=yes",
                               u"-oStrictHostKeyChecking=yes",
                               u"-oIdentitiesOnly=yes",
                               u"-oConnectTimeout=15",
                               u"-oServerAliveInterval=30",
                               u"-oServerAliveCountMax=3",
                               alias,
                               u"receive"};
  for (const wchar16* element : elements) append_quoted_argument(command_line, element);
  free(config);
  free(alias);
}

void open_server_channel(const char* destination, const char* ssh_config, bool stdio) {
  if (stdio) return;
  check_host_alias(destination);
  wchar16* ssh_path = locate_ssh_client();

  // Pipe A carries the agent's bytes to ssh, pipe B ssh's bytes to the agent.
  PlatformHandle to_ssh_read = nullptr, to_ssh_write = nullptr;
  PlatformHandle from_ssh_read = nullptr, from_ssh_write = nullptr;
  if (!platform_create_pipe(&to_ssh_read, &to_ssh_write, SSH_PIPE_BUFFER_BYTES) ||
      !platform_create_pipe(&from_ssh_read, &from_ssh_write, SSH_PIPE_BUFFER_BYTES)) {
    fatal_error("SSH pipes");
  }
  // The agent's own ends must not reach the child, or ssh would never see the
  // end of its input.
  if (!platform_clear_inherit(from_ssh_read) || !platform_clear_inherit(to_ssh_write)) {
    fatal_error("SSH handle protection");
  }
  PlatformHandle stderr_copy = nullptr;
  if (!platform_duplicate_stderr(&stderr_copy)) fatal_error("SSH stderr");

  size_t list_size = platform_attribute_list_size();
  void* attribute_list = malloc(list_size == 0 ? 1 : list_size);
  if (attribute_list == nullptr) fatal_error("out of memory");
  if (!platform_attribute_list_init(attribute_list, list_size)) fatal_error("SSH handle list");
  PlatformHandle inherited[3] = {to_ssh_read, from_ssh_write, stderr_copy};
  if (!platform_attribute_list_set_handles(attribute_list, inherited, 3)) fatal_error("SSH handle list");

  static wchar16 command_line[SSH_COMMAND_LINE_UNITS];
  build_command_line(command_line, ssh_path, ssh_config, destination);

  ssh_job = platform_create_job();
  if (ssh_job == nullptr || !platform_job_kill_on_close(ssh_job)) fatal_error("SSH process supervision");

  PlatformHandle process = nullptr, thread = nullptr;
  if (!platform_start_suspended(ssh_path, command_line, to_ssh_read, from_ssh_write, stderr_copy, attribute_list,
                                &process, &thread)) {
    fatal_error("start Microsoft OpenSSH");
  }
  platform_attribute_list_delete(attribute_list);
  free(attribute_list);
  // Only the child holds these now, so the end of the stream on `in` means ssh has gone.
  platform_close_handle(to_ssh_read);
  platform_close_handle(from_ssh_write);
  platform_close_handle(stderr_copy);

  if (!platform_assign_to_job(ssh_job, process)) {
    uint32_t code = platform_last_error();
    platform_terminate_process(process, SSH_ASSIGN_FAILED_EXIT_CODE);
    platform_set_last_error(code);
    fatal_error("assign SSH supervision");
  }
  ssh_process = process;
  platform_resume_thread(thread);
  platform_close_handle(thread);

  server_channel.in = platform_open_descriptor(from_ssh_read, PLATFORM_O_BINARY);
  server_channel.out = platform_open_descriptor(to_ssh_write, PLATFORM_O_BINARY | PLATFORM_O_WRONLY);
  if (server_channel.in < 0 || server_channel.out < 0) fatal_error("SSH descriptors");
}

void close_server_channel() {
  // Closing `out` gives ssh, and through it the server, the end of its input.
  platform_close(server_channel.out);
  platform_close(server_channel.in);
  server_channel.out = -1;
  server_channel.in = -1;
  if (ssh_process == nullptr) return;

  uint32_t exit_code = 0;
  if (platform_wait(ssh_process, SSH_EXIT_WAIT_MS) != WIN_WAIT_OBJECT_0 ||
      !platform_process_exit_code(ssh_process, &exit_code) || exit_code != 0) {
    fatal_error("SSH failed after server confirmation");
  }
  platform_close_handle(ssh_process);
  ssh_process = nullptr;
  platform_close_handle(ssh_job);
  ssh_job = nullptr;
}
