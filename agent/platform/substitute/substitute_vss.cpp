// The scripted VSS requester behind the requester seam (native tests only).
#include "agent/platform/substitute/substitute_vss.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "agent/platform/substitute/substitute_volume.h"

struct VssRequester {
  int id;
};
struct VssAsync {
  std::string operation;
};

SubstituteVss substitute_vss;

void substitute_vss_reset() {
  substitute_vss = SubstituteVss{};
  substitute_vss.volumes = {{u"C:\\", u"\\\\?\\Volume{0c0c0c0c-0000-0000-0000-00000000000c}\\"}};
  substitute_vss.writer_lists = {{{u"System Writer", true, WIN_VSS_WS_STABLE, 0}}};
  substitute_vss.snapshot_device_object = u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7";
  substitute_vss.snapshot_id = {0x5a5a0007, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
}

std::string substitute_vss_guid_text(const VssGuid& id) {
  char text[40];
  snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", id.data1, id.data2, id.data3,
           id.data4[0], id.data4[1], id.data4[2], id.data4[3], id.data4[4], id.data4[5], id.data4[6], id.data4[7]);
  return text;
}

static void record(const std::string& call) {
  substitute_vss.calls.push_back(call);
  if (substitute_vss.echo_calls) {
    std::string line = "vss_call=" + call + "\n";
    if (::write(2, line.data(), line.size()) < 0) return;
  }
}

// The scripted result of this occurrence of a call.
static int32_t result_of(const std::string& name) {
  int occurrence = ++substitute_vss.occurrences[name];
  auto it = substitute_vss.results.find(name + "#" + std::to_string(occurrence));
  if (it == substitute_vss.results.end()) it = substitute_vss.results.find(name);
  return it == substitute_vss.results.end() ? 0 : it->second;
}

static SubstituteVssAsyncScript async_script(const std::string& name) {
  int occurrence = substitute_vss.occurrences[name];
  auto it = substitute_vss.async.find(name + "#" + std::to_string(occurrence));
  if (it == substitute_vss.async.end()) it = substitute_vss.async.find(name);
  return it == substitute_vss.async.end() ? SubstituteVssAsyncScript{} : it->second;
}

static int32_t start_async(const std::string& name, VssAsync** async) {
  record(name);
  int32_t result = result_of(name);
  SubstituteVssAsyncScript script = async_script(name);
  *async = nullptr;
  if (!script.missing && (result >= 0 || script.returned_on_failure)) {
    *async = new VssAsync{name};
    ++substitute_vss.live_async;
  }
  return result;
}

static bool starts_with_folded(const std::u16string& text, const std::u16string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char16_t a = text[i] >= u'a' && text[i] <= u'z' ? static_cast<char16_t>(text[i] - 32) : text[i];
    char16_t b = prefix[i] >= u'a' && prefix[i] <= u'z' ? static_cast<char16_t>(prefix[i] - 32) : prefix[i];
    if (a != b) return false;
  }
  return true;
}

static bool copy_out(const std::u16string& text, wchar16* buffer, uint32_t capacity) {
  if (text.size() + 1 > capacity) return false;
  memcpy(buffer, text.data(), text.size() * sizeof(wchar16));
  buffer[text.size()] = 0;
  return true;
}

bool vss_volume_path_name(const wchar16* path, wchar16* buffer, uint32_t capacity) {
  std::u16string full(path);
  record("GetVolumePathNameW " + u8(full));
  // A mount folder named without its trailing backslash is still that volume.
  std::u16string probe = full.empty() || full.back() == u'\\' ? full : full + u"\\";
  const std::u16string* best = nullptr;
  for (const auto& [mount_point, volume] : substitute_vss.volumes) {
    if (starts_with_folded(probe, mount_point) && (best == nullptr || mount_point.size() > best->size())) {
      best = &mount_point;
    }
  }
  return best != nullptr && copy_out(*best, buffer, capacity);
}

bool vss_volume_name_for_mount_point(const wchar16* mount_point, wchar16* buffer, uint32_t capacity) {
  record("GetVolumeNameForVolumeMountPointW " + u8(mount_point));
  if (result_of("GetVolumeNameForVolumeMountPointW") < 0) return false;
  for (const auto& [mount, volume] : substitute_vss.volumes) {
    if (mount == mount_point) return copy_out(volume, buffer, capacity);
  }
  return false;
}

int32_t vss_com_initialize(int32_t concurrency) {
  record("CoInitializeEx " + std::to_string(concurrency));
  int32_t result = result_of("CoInitializeEx");
  if (result >= 0) ++substitute_vss.com_depth;
  return result;
}

int32_t vss_com_initialize_security(int32_t authentication_level, int32_t impersonation_level, int32_t capabilities) {
  record("CoInitializeSecurity " + std::to_string(authentication_level) + " " + std::to_string(impersonation_level) +
         " " + std::to_string(capabilities));
  return result_of("CoInitializeSecurity");
}

void vss_com_uninitialize() {
  record("CoUninitialize");
  --substitute_vss.com_depth;
}

int32_t vss_create_requester(VssRequester** requester) {
  record("CreateVssBackupComponentsInternal");
  int32_t result = result_of("CreateVssBackupComponentsInternal");
  *requester = nullptr;
  if (result >= 0) {
    *requester = new VssRequester{1};
    ++substitute_vss.live_requesters;
  }
  return result;
}

int32_t vss_initialize_for_backup(VssRequester*) {
  record("InitializeForBackup");
  return result_of("InitializeForBackup");
}

int32_t vss_set_context(VssRequester*, int32_t context) {
  record("SetContext " + std::to_string(context));
  return result_of("SetContext");
}

int32_t vss_set_backup_state(VssRequester*, bool select_components, bool bootable_system_state, int32_t backup_type,
                             bool partial_file_support) {
  record("SetBackupState " + std::to_string(select_components) + " " + std::to_string(bootable_system_state) + " " +
         std::to_string(backup_type) + " " + std::to_string(partial_file_support));
  return result_of("SetBackupState");
}

int32_t vss_gather_writer_metadata(VssRequester*, VssAsync** async) {
  return start_async("GatherWriterMetadata", async);
}

int32_t vss_start_snapshot_set(VssRequester*, VssGuid* snapshot_set_id) {
  record("StartSnapshotSet");
  *snapshot_set_id = {0x5e7, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  return result_of("StartSnapshotSet");
}

int32_t vss_add_to_snapshot_set(VssRequester*, const wchar16* volume_name, const VssGuid& provider_id,
                                VssGuid* snapshot_id) {
  record("AddToSnapshotSet " + u8(volume_name) + " " + substitute_vss_guid_text(provider_id));
  int32_t result = result_of("AddToSnapshotSet");
  if (result >= 0) {
    *snapshot_id = substitute_vss.snapshot_id;
    for (const auto& [mount, volume] : substitute_vss.volumes) {
      if (volume == volume_name) substitute_vss.snapshot_mount_point = mount;
    }
  }
  return result;
}

// The device object's key on the substitute volume, and whether a key lies
// at or below a prefix ("C:\\" or that key).
static std::u16string snapshot_key() { return substitute_key(substitute_vss.snapshot_device_object); }
static bool below(const std::u16string& key, const std::u16string& prefix) {
  return starts_with_folded(key, prefix) &&
         (key.size() == prefix.size() || prefix.back() == u'\\' || key[prefix.size()] == u'\\');
}

static void copy_volume_into_snapshot() {
  const std::u16string& mount = substitute_vss.snapshot_mount_point;
  if (mount.empty()) return;
  std::u16string device = snapshot_key();
  substitute_add_directory(device);
  auto inside = [&](const std::u16string& key) {
    return key.size() <= mount.size() ? device : device + u"\\" + key.substr(mount.size());
  };
  std::vector<std::pair<std::u16string, SubstituteEntry>> entries;
  for (const auto& [key, entry] : substitute.entries) {
    if (below(key, mount)) entries.emplace_back(inside(key), entry);
  }
  for (auto& [key, entry] : entries) {
    entry.open_count = 0;
    entry.object_id = substitute_new_object_id();  // a copy is an object of its own
    substitute.entries[key] = entry;
  }
  std::vector<std::pair<std::u16string, std::u16string>> links;
  for (const auto& [link, target] : substitute.links) {
    if (below(link, mount)) links.emplace_back(inside(link), target);
  }
  for (const auto& [link, target] : links) substitute.links[link] = target;
}

static void remove_snapshot_copy() {
  std::u16string device = snapshot_key();
  std::erase_if(substitute.entries, [&](const auto& item) { return below(item.first, device); });
  std::erase_if(substitute.links, [&](const auto& item) { return below(item.first, device); });
}

int32_t vss_prepare_for_backup(VssRequester*, VssAsync** async) { return start_async("PrepareForBackup", async); }
int32_t vss_do_snapshot_set(VssRequester*, VssAsync** async) {
  int32_t result = start_async("DoSnapshotSet", async);
  if (result >= 0) copy_volume_into_snapshot();
  return result;
}
int32_t vss_gather_writer_status(VssRequester*, VssAsync** async) { return start_async("GatherWriterStatus", async); }
int32_t vss_backup_complete(VssRequester*, VssAsync** async) { return start_async("BackupComplete", async); }

// The writers of the latest GatherWriterStatus.
static const std::vector<SubstituteVssWriter>& current_writers() {
  static const std::vector<SubstituteVssWriter> none;
  if (substitute_vss.writer_lists.empty()) return none;
  size_t gathered = static_cast<size_t>(substitute_vss.occurrences["GatherWriterStatus"]);
  size_t index = gathered == 0 ? 0 : gathered - 1;
  if (index >= substitute_vss.writer_lists.size()) index = substitute_vss.writer_lists.size() - 1;
  return substitute_vss.writer_lists[index];
}

int32_t vss_get_writer_status_count(VssRequester*, uint32_t* count) {
  record("GetWriterStatusCount");
  *count = static_cast<uint32_t>(current_writers().size());
  return result_of("GetWriterStatusCount");
}

int32_t vss_get_writer_status(VssRequester*, uint32_t index, VssGuid* instance_id, VssGuid* writer_id,
                              wchar16** name, int32_t* state, int32_t* failure) {
  record("GetWriterStatus " + std::to_string(index));
  int32_t result = result_of("GetWriterStatus");
  const auto& writers = current_writers();
  if (result < 0 || index >= writers.size()) return result < 0 ? result : WIN_E_FAIL;
  const SubstituteVssWriter& writer = writers[index];
  *instance_id = {index + 1, 0, 0, {}};
  *writer_id = {index + 100, 0, 0, {}};
  *name = nullptr;
  if (writer.named) {
    *name = new wchar16[writer.name.size() + 1];
    memcpy(*name, writer.name.c_str(), (writer.name.size() + 1) * sizeof(wchar16));
    ++substitute_vss.live_names;
  }
  *state = writer.state;
  *failure = writer.failure;
  return result;
}

void vss_free_writer_name(wchar16* name) {
  record(name == nullptr ? "SysFreeString null" : "SysFreeString " + u8(name));
  if (name == nullptr) return;
  delete[] name;
  --substitute_vss.live_names;
}

int32_t vss_free_writer_status(VssRequester*) {
  record("FreeWriterStatus");
  return result_of("FreeWriterStatus");
}

int32_t vss_get_snapshot_properties(VssRequester*, const VssGuid& snapshot_id, VssSnapshotProperties* properties) {
  static const VssSnapshotProperties zero{};
  bool zeroed = memcmp(properties, &zero, sizeof zero) == 0;
  record("GetSnapshotProperties " + substitute_vss_guid_text(snapshot_id) + (zeroed ? " zero-filled" : " dirty"));
  int32_t result = result_of("GetSnapshotProperties");
  if (result < 0) return result;
  properties->snapshot_id = snapshot_id;
  const std::u16string& device = substitute_vss.snapshot_device_object;
  properties->snapshot_device_object = new wchar16[device.size() + 1];
  memcpy(properties->snapshot_device_object, device.c_str(), (device.size() + 1) * sizeof(wchar16));
  return result;
}

void vss_free_snapshot_properties(VssSnapshotProperties* properties) {
  record("VssFreeSnapshotPropertiesInternal");
  delete[] properties->snapshot_device_object;
  properties->snapshot_device_object = nullptr;
}

int32_t vss_abort_backup(VssRequester*) {
  record("AbortBackup");
  return result_of("AbortBackup");
}

int32_t vss_delete_snapshots(VssRequester*, const VssGuid& source_id, int32_t object_type, bool force,
                             int32_t* deleted_count, VssGuid* nondeleted_id) {
  record("DeleteSnapshots " + substitute_vss_guid_text(source_id) + " " + std::to_string(object_type) + " " +
         std::to_string(force));
  int32_t result = result_of("DeleteSnapshots");
  if (result >= 0) remove_snapshot_copy();
  *deleted_count = result < 0 ? 0 : 1;
  *nondeleted_id = result < 0 ? source_id : VssGuid{};
  return result;
}

void vss_release_requester(VssRequester* requester) {
  record("Release requester");
  delete requester;
  --substitute_vss.live_requesters;
}

int32_t vss_async_wait(VssAsync* async, uint32_t milliseconds) {
  record("Wait " + async->operation + " " + std::to_string(milliseconds));
  return async_script(async->operation).wait_result;
}

int32_t vss_async_query_status(VssAsync* async, int32_t* status, int32_t* reserved) {
  record("QueryStatus " + async->operation);
  SubstituteVssAsyncScript script = async_script(async->operation);
  if (!script.status_unwritten) *status = script.status;
  *reserved = 0;
  return script.query_result;
}

int32_t vss_async_cancel(VssAsync* async) {
  record("Cancel " + async->operation);
  return 0;
}

void vss_async_release(VssAsync* async) {
  record("Release " + async->operation);
  delete async;
  --substitute_vss.live_async;
}
