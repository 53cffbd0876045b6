// apply-metadata: the command line, the metadata file's checks, the restore root,
// the restore privilege with --owner, then every record in chain order.
#include "agent/metadata_restore/apply_metadata.h"

#include <cinttypes>
#include <cstdio>

#include "agent/metadata_restore/metadata_file_access.h"
#include "agent/metadata_restore/metadata_restore_run.h"
#include "agent/run_control/fatal_error.h"
#include "agent/run_control/process_resources.h"
#include "agent/run_control/text_conversion.h"
#include "core/metadata_file_reader.h"

namespace {
const char USAGE_MESSAGE[] = "use: apply-metadata --source DIRECTORY --metadata FILE [--owner]";

struct MetadataArguments {
  const wchar16* source = nullptr;
  const wchar16* metadata = nullptr;
  bool owner = false;
};

MetadataArguments parse_metadata_arguments(int argc, wchar16** argv) {
  MetadataArguments arguments;
  for (int i = 2; i < argc; ++i) {
    if (wide_equals(argv[i], u"--owner")) {
      arguments.owner = true;
      continue;
    }
    // Before the name test, so an unknown last argument gets this message.
    if (i + 1 >= argc) fatal_error("Metadata option value missing");
    if (wide_equals(argv[i], u"--source")) {
      arguments.source = argv[++i];
    } else if (wide_equals(argv[i], u"--metadata")) {
      arguments.metadata = argv[++i];
    } else {
      fatal_error("Unknown metadata option");
    }
  }
  if (arguments.source == nullptr || arguments.metadata == nullptr) fatal_error("%s", USAGE_MESSAGE);
  return arguments;
}

void fail_metadata_check(MetadataCheck check) {
  switch (check) {
    case MetadataCheck::ok:
      return;
    case MetadataCheck::file_size:
      fatal_error("Windows metadata file");
    case MetadataCheck::read_failed:
      fatal_error("Windows metadata read");
    case MetadataCheck::format:
      fatal_error("Windows metadata format");
    case MetadataCheck::checksum:
      fatal_error("Windows metadata checksum");
    case MetadataCheck::record_offset:
      fatal_error("Metadata record offset");
    case MetadataCheck::invalid_record:
      fatal_error("Invalid metadata record");
    case MetadataCheck::invalid_chain:
      fatal_error("Invalid metadata record chain");
  }
}

// Opened as itself (a link is not followed) and shared for reading only, so the
// file cannot change between its checksum and its last record.
uint64_t open_metadata_file(MetadataRestoreRun& run, const wchar16* path) {
  run.file = platform_create_file(path, WIN_GENERIC_READ, WIN_FILE_SHARE_READ, WIN_OPEN_EXISTING,
                                  WIN_FILE_FLAG_OPEN_REPARSE_POINT);
  if (run.file == PLATFORM_INVALID_HANDLE) fatal_error("Windows metadata file");
  int64_t size = 0;
  if (!platform_file_size(run.file, &size) || size < static_cast<int64_t>(kMetadataMinFileSize)) {
    fatal_error("Windows metadata file");
  }
  PlatformFileInformation information;
  if (!platform_file_information(run.file, &information) ||
      (information.attributes & (WIN_FILE_ATTRIBUTE_DIRECTORY | WIN_FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    fatal_error("Metadata must be a regular file");
  }
  return static_cast<uint64_t>(size);
}

void enable_restore_privilege() {
  PlatformHandle token = nullptr;
  if (!platform_open_process_token(WIN_TOKEN_ADJUST_PRIVILEGES | WIN_TOKEN_QUERY, &token)) {
    fatal_error("Restore token");
  }
  uint64_t luid = 0;
  if (!platform_lookup_privilege_value(u"SeRestorePrivilege", &luid)) fatal_error("Restore privilege");
  // AdjustTokenPrivileges succeeds without the privilege; only the error slot tells.
  platform_set_last_error(0);
  if (!platform_adjust_token_privilege(token, luid, WIN_SE_PRIVILEGE_ENABLED) || platform_last_error() != 0) {
    fatal_error("Restore ownership requires SeRestorePrivilege");
  }
  platform_close_handle(token);
}

MetadataRestoreRun run_state;
}  // namespace

int apply_metadata(int argc, wchar16** argv) {
  MetadataArguments arguments = parse_metadata_arguments(argc, argv);
  MetadataRestoreRun& run = run_state;
  run.restored_count = 0;
  run.access_mask = arguments.owner ? RESTORE_ACCESS_WITH_OWNER : RESTORE_ACCESS;
  run.owner_information = arguments.owner ? WIN_OWNER_SECURITY_INFORMATION | WIN_GROUP_SECURITY_INFORMATION : 0;

  uint64_t size = open_metadata_file(run, arguments.metadata);
  uint64_t last_record_offset = 0;
  // The descriptor buffer doubles as the 64 KiB piece buffer of the checksum.
  fail_metadata_check(check_metadata_file(size, read_metadata_through, &run.file, run.descriptor,
                                          &last_record_offset));

  run.root_length = build_restore_root(arguments.source, run.root);
  run.root_name_length = hold_restore_root(run.root, run.root_name, &run.root_volume_serial);
  if (arguments.owner) enable_restore_privilege();

  MetadataChain chain = metadata_chain_start(size, last_record_offset);
  while (chain.offset != 0) {
    MetadataRecordHeader header;
    fail_metadata_check(read_metadata_record_header(chain, read_metadata_through, &run.file, &header));
    apply_metadata_record(run, chain.offset, header);
    metadata_chain_advance(chain, header);
  }
  fail_metadata_check(check_metadata_chain_end(chain));

  platform_close_handle(run.file);
  run.file = PLATFORM_INVALID_HANDLE;
  platform_close_handle(restore_root_handle);
  restore_root_handle = nullptr;
  char summary[64];
  int length = snprintf(summary, sizeof summary, "windows_metadata_restored=%" PRIu64 "\n", run.restored_count);
  platform_write_stderr(summary, static_cast<size_t>(length));
  return 0;
}
