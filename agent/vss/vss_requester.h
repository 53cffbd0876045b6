// The VSS requester seam: one plain procedure per COM, volume and
// IVssBackupComponents / IVssAsync call that the snapshot sequence makes.
// Implemented twice: agent/platform/win32/win32_vss.cpp forwards each call to
// the real interface and nothing more, and agent/platform/substitute/
// substitute_vss.cpp plays a scripted sequence and records every call. All the
// sequencing lives in agent/vss/, so the order under test is the order shipped.
//
// Results are HRESULTs: negative means failure, anything else is success.
#pragma once
#include <cstdint>

#include "agent/platform/platform.h"

// Opaque interface pointers (IVssBackupComponents*, IVssAsync*).
struct VssRequester;
struct VssAsync;

// VSS_ID: a GUID, laid out as Windows lays it out.
struct VssGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

// VSS_SNAPSHOT_PROP, field for field (LONG is 32 bits on Windows); the adapter
// checks the layout against the system header.
struct VssSnapshotProperties {
  VssGuid snapshot_id;
  VssGuid snapshot_set_id;
  int32_t snapshots_count;
  wchar16* snapshot_device_object;
  wchar16* original_volume_name;
  wchar16* originating_machine;
  wchar16* service_machine;
  wchar16* exposed_name;
  wchar16* exposed_path;
  VssGuid provider_id;
  int32_t snapshot_attributes;
  int64_t creation_timestamp;
  int32_t status;
};

constexpr int32_t WIN_E_FAIL = static_cast<int32_t>(0x80004005u);
constexpr int32_t WIN_VSS_S_ASYNC_PENDING = 0x00042309;
constexpr int32_t WIN_VSS_S_ASYNC_FINISHED = 0x0004230A;
constexpr int32_t WIN_COINIT_MULTITHREADED = 0;
constexpr int32_t WIN_RPC_C_AUTHN_LEVEL_PKT_PRIVACY = 6;
constexpr int32_t WIN_RPC_C_IMP_LEVEL_IMPERSONATE = 3;
constexpr int32_t WIN_EOAC_NONE = 0;
constexpr int32_t WIN_VSS_CTX_BACKUP = 0;
constexpr int32_t WIN_VSS_BT_COPY = 5;
constexpr int32_t WIN_VSS_OBJECT_SNAPSHOT = 3;
constexpr int32_t WIN_VSS_WS_STABLE = 1;
constexpr int32_t WIN_VSS_WS_WAITING_FOR_BACKUP_COMPLETE = 5;
constexpr uint32_t VSS_VOLUME_PATH_UNITS = 32768;

// --------------------------------------------------------------- volumes ---
// GetVolumePathNameW / GetVolumeNameForVolumeMountPointW: nonzero on success.
// The mount-point path ends in a backslash ("C:\").
bool vss_volume_path_name(const wchar16* path, wchar16* buffer, uint32_t capacity);
bool vss_volume_name_for_mount_point(const wchar16* mount_point, wchar16* buffer, uint32_t capacity);

// ------------------------------------------------------------------- COM ---
int32_t vss_com_initialize(int32_t concurrency);  // CoInitializeEx(nullptr, concurrency)
// CoInitializeSecurity(nullptr, -1, nullptr, nullptr, authentication_level,
// impersonation_level, nullptr, capabilities, nullptr).
int32_t vss_com_initialize_security(int32_t authentication_level, int32_t impersonation_level, int32_t capabilities);
void vss_com_uninitialize();  // CoUninitialize

// ------------------------------------------------- IVssBackupComponents ---
int32_t vss_create_requester(VssRequester** requester);  // CreateVssBackupComponentsInternal
int32_t vss_initialize_for_backup(VssRequester* requester);  // no XML document
int32_t vss_set_context(VssRequester* requester, int32_t context);
int32_t vss_set_backup_state(VssRequester* requester, bool select_components, bool bootable_system_state,
                             int32_t backup_type, bool partial_file_support);
int32_t vss_gather_writer_metadata(VssRequester* requester, VssAsync** async);
int32_t vss_start_snapshot_set(VssRequester* requester, VssGuid* snapshot_set_id);
int32_t vss_add_to_snapshot_set(VssRequester* requester, const wchar16* volume_name, const VssGuid& provider_id,
                                VssGuid* snapshot_id);
int32_t vss_prepare_for_backup(VssRequester* requester, VssAsync** async);
int32_t vss_do_snapshot_set(VssRequester* requester, VssAsync** async);
int32_t vss_gather_writer_status(VssRequester* requester, VssAsync** async);
int32_t vss_get_writer_status_count(VssRequester* requester, uint32_t* count);
// The name is a BSTR (possibly null) that vss_free_writer_name releases.
int32_t vss_get_writer_status(VssRequester* requester, uint32_t index, VssGuid* instance_id, VssGuid* writer_id,
                              wchar16** name, int32_t* state, int32_t* failure);
int32_t vss_free_writer_status(VssRequester* requester);
int32_t vss_get_snapshot_properties(VssRequester* requester, const VssGuid& snapshot_id,
                                    VssSnapshotProperties* properties);
int32_t vss_backup_complete(VssRequester* requester, VssAsync** async);
int32_t vss_abort_backup(VssRequester* requester);
int32_t vss_delete_snapshots(VssRequester* requester, const VssGuid& source_id, int32_t object_type, bool force,
                             int32_t* deleted_count, VssGuid* nondeleted_id);
void vss_release_requester(VssRequester* requester);  // IUnknown::Release

// -------------------------------------------------------------- IVssAsync ---
int32_t vss_async_wait(VssAsync* async, uint32_t milliseconds);
int32_t vss_async_query_status(VssAsync* async, int32_t* status, int32_t* reserved);
int32_t vss_async_cancel(VssAsync* async);
void vss_async_release(VssAsync* async);

// ------------------------------------------------------------------ memory ---
void vss_free_snapshot_properties(VssSnapshotProperties* properties);  // VssFreeSnapshotPropertiesInternal
void vss_free_writer_name(wchar16* name);                              // SysFreeString
