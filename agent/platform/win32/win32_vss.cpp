// The VSS requester seam over COM: each procedure forwards one call and
// converts nothing but types. The sequence itself lives in agent/vss/.
#include <cstddef>

#include "agent/platform/win32/win32_vss_api.h"
#include "agent/vss/vss_requester.h"

Win32VssApi win32_vss_api = {
    ::GetVolumePathNameW,
    ::GetVolumeNameForVolumeMountPointW,
    ::CoInitializeEx,
    ::CoInitializeSecurity,
    ::CoUninitialize,
    ::CreateVssBackupComponentsInternal,
    ::VssFreeSnapshotPropertiesInternal,
    ::SysFreeString,
};

// The portable mirrors must be the system's layouts, as they are passed through.
static_assert(sizeof(VssGuid) == sizeof(GUID));
static_assert(sizeof(VssSnapshotProperties) == sizeof(VSS_SNAPSHOT_PROP));
static_assert(offsetof(VssSnapshotProperties, snapshot_device_object) ==
              offsetof(VSS_SNAPSHOT_PROP, m_pwszSnapshotDeviceObject));
static_assert(offsetof(VssSnapshotProperties, provider_id) == offsetof(VSS_SNAPSHOT_PROP, m_ProviderId));
static_assert(offsetof(VssSnapshotProperties, creation_timestamp) ==
              offsetof(VSS_SNAPSHOT_PROP, m_tsCreationTimestamp));
static_assert(offsetof(VssSnapshotProperties, status) == offsetof(VSS_SNAPSHOT_PROP, m_eStatus));

static_assert(WIN_E_FAIL == E_FAIL && WIN_VSS_S_ASYNC_PENDING == VSS_S_ASYNC_PENDING &&
              WIN_VSS_S_ASYNC_FINISHED == VSS_S_ASYNC_FINISHED);
static_assert(WIN_COINIT_MULTITHREADED == COINIT_MULTITHREADED && WIN_EOAC_NONE == EOAC_NONE &&
              WIN_RPC_C_AUTHN_LEVEL_PKT_PRIVACY == RPC_C_AUTHN_LEVEL_PKT_PRIVACY &&
              WIN_RPC_C_IMP_LEVEL_IMPERSONATE == RPC_C_IMP_LEVEL_IMPERSONATE);
static_assert(WIN_VSS_CTX_BACKUP == VSS_CTX_BACKUP && WIN_VSS_BT_COPY == VSS_BT_COPY &&
              WIN_VSS_OBJECT_SNAPSHOT == VSS_OBJECT_SNAPSHOT && WIN_VSS_WS_STABLE == VSS_WS_STABLE &&
              WIN_VSS_WS_WAITING_FOR_BACKUP_COMPLETE == VSS_WS_WAITING_FOR_BACKUP_COMPLETE);

static IVssBackupComponents* com(VssRequester* requester) {
  return reinterpret_cast<IVssBackupComponents*>(requester);
}
static IVssAsync* com(VssAsync* async) { return reinterpret_cast<IVssAsync*>(async); }
static IVssAsync** com(VssAsync** async) { return reinterpret_cast<IVssAsync**>(async); }
static GUID* com(VssGuid* id) { return reinterpret_cast<GUID*>(id); }
static const GUID& com(const VssGuid& id) { return reinterpret_cast<const GUID&>(id); }
static wchar_t* wide(wchar16* text) { return reinterpret_cast<wchar_t*>(text); }
static const wchar_t* wide(const wchar16* text) { return reinterpret_cast<const wchar_t*>(text); }

bool vss_volume_path_name(const wchar16* path, wchar16* buffer, uint32_t capacity) {
  return win32_vss_api.GetVolumePathNameW(wide(path), wide(buffer), capacity) != 0;
}

bool vss_volume_name_for_mount_point(const wchar16* mount_point, wchar16* buffer, uint32_t capacity) {
  return win32_vss_api.GetVolumeNameForVolumeMountPointW(wide(mount_point), wide(buffer), capacity) != 0;
}

int32_t vss_com_initialize(int32_t concurrency) {
  return win32_vss_api.CoInitializeEx(nullptr, static_cast<DWORD>(concurrency));
}

int32_t vss_com_initialize_security(int32_t authentication_level, int32_t impersonation_level, int32_t capabilities) {
  return win32_vss_api.CoInitializeSecurity(nullptr, -1, nullptr, nullptr, static_cast<DWORD>(authentication_level),
                                            static_cast<DWORD>(impersonation_level), nullptr,
                                            static_cast<DWORD>(capabilities), nullptr);
}

void vss_com_uninitialize() { win32_vss_api.CoUninitialize(); }

int32_t vss_create_requester(VssRequester** requester) {
  return win32_vss_api.CreateVssBackupComponentsInternal(reinterpret_cast<IVssBackupComponents**>(requester));
}

int32_t vss_initialize_for_backup(VssRequester* requester) { return com(requester)->InitializeForBackup(nullptr); }

int32_t vss_set_context(VssRequester* requester, int32_t context) { return com(requester)->SetContext(context); }

int32_t vss_set_backup_state(VssRequester* requester, bool select_components, bool bootable_system_state,
                             int32_t backup_type, bool partial_file_support) {
  return com(requester)->SetBackupState(select_components, bootable_system_state,
                                        static_cast<VSS_BACKUP_TYPE>(backup_type), partial_file_support);
}

int32_t vss_gather_writer_metadata(VssRequester* requester, VssAsync** async) {
  return com(requester)->GatherWriterMetadata(com(async));
}

int32_t vss_start_snapshot_set(VssRequester* requester, VssGuid* snapshot_set_id) {
  return com(requester)->StartSnapshotSet(com(snapshot_set_id));
}

int32_t vss_add_to_snapshot_set(VssRequester* requester, const wchar16* volume_name, const VssGuid& provider_id,
                                VssGuid* snapshot_id) {
  // AddToSnapshotSet takes a non-const name that it does not change.
  return com(requester)->AddToSnapshotSet(const_cast<wchar_t*>(wide(volume_name)), com(provider_id),
                                          com(snapshot_id));
}

int32_t vss_prepare_for_backup(VssRequester* requester, VssAsync** async) {
  return com(requester)->PrepareForBackup(com(async));
}

int32_t vss_do_snapshot_set(VssRequester* requester, VssAsync** async) {
  return com(requester)->DoSnapshotSet(com(async));
}

int32_t vss_gather_writer_status(VssRequester* requester, VssAsync** async) {
  return com(requester)->GatherWriterStatus(com(async));
}

int32_t vss_get_writer_status_count(VssRequester* requester, uint32_t* count) {
  UINT writers = 0;
  HRESULT result = com(requester)->GetWriterStatusCount(&writers);
  *count = writers;
  return result;
}

int32_t vss_get_writer_status(VssRequester* requester, uint32_t index, VssGuid* instance_id, VssGuid* writer_id,
                              wchar16** name, int32_t* state, int32_t* failure) {
  BSTR writer_name = nullptr;
  VSS_WRITER_STATE writer_state = VSS_WS_UNKNOWN;
  HRESULT writer_failure = S_OK;
  HRESULT result = com(requester)->GetWriterStatus(index, com(instance_id), com(writer_id), &writer_name,
                                                   &writer_state, &writer_failure);
  *name = reinterpret_cast<wchar16*>(writer_name);
  *state = static_cast<int32_t>(writer_state);
  *failure = writer_failure;
  return result;
}

int32_t vss_free_writer_status(VssRequester* requester) { return com(requester)->FreeWriterStatus(); }

int32_t vss_get_snapshot_properties(VssRequester* requester, const VssGuid& snapshot_id,
                                    VssSnapshotProperties* properties) {
  return com(requester)->GetSnapshotProperties(com(snapshot_id), reinterpret_cast<VSS_SNAPSHOT_PROP*>(properties));
}

int32_t vss_backup_complete(VssRequester* requester, VssAsync** async) {
  return com(requester)->BackupComplete(com(async));
}

int32_t vss_abort_backup(VssRequester* requester) { return com(requester)->AbortBackup(); }

int32_t vss_delete_snapshots(VssRequester* requester, const VssGuid& source_id, int32_t object_type, bool force,
                             int32_t* deleted_count, VssGuid* nondeleted_id) {
  LONG deleted = 0;
  HRESULT result = com(requester)->DeleteSnapshots(com(source_id), static_cast<VSS_OBJECT_TYPE>(object_type),
                                                   force ? TRUE : FALSE, &deleted, com(nondeleted_id));
  *deleted_count = deleted;
  return result;
}

void vss_release_requester(VssRequester* requester) { com(requester)->Release(); }

int32_t vss_async_wait(VssAsync* async, uint32_t milliseconds) { return com(async)->Wait(milliseconds); }

int32_t vss_async_query_status(VssAsync* async, int32_t* status, int32_t* reserved) {
  HRESULT operation = *status;
  INT reserved_value = *reserved;
  HRESULT result = com(async)->QueryStatus(&operation, &reserved_value);
  *status = operation;
  *reserved = reserved_value;
  return result;
}

int32_t vss_async_cancel(VssAsync* async) { return com(async)->Cancel(); }

void vss_async_release(VssAsync* async) { com(async)->Release(); }

void vss_free_snapshot_properties(VssSnapshotProperties* properties) {
  win32_vss_api.VssFreeSnapshotPropertiesInternal(reinterpret_cast<VSS_SNAPSHOT_PROP*>(properties));
}

void vss_free_writer_name(wchar16* name) { win32_vss_api.SysFreeString(reinterpret_cast<BSTR>(name)); }
