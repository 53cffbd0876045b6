// Snapshots: each confirmed upload is one file under snapshots/, named by
// the time of its confirmation so that names sort by time.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/manifest_format.h"
#include "server/store.h"
#include "server/store_format.h"
#include "server/store_io.h"

namespace {

bool set_error(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

// Days since 1970-01-01 to a proleptic Gregorian date.
void civil_from_days(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2);
}

int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool parse_digits(const std::string& text, size_t at, size_t count, int64_t* value) {
  *value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    *value = *value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

std::string format_snapshot_name(int64_t microseconds) {
  if (microseconds < 0) microseconds = 0;
  const int64_t seconds = microseconds / 1000000;
  const int64_t fraction = microseconds % 1000000;
  int64_t year;
  unsigned month, day;
  civil_from_days(seconds / 86400, &year, &month, &day);
  const int64_t in_day = seconds % 86400;
  char name[64];
  std::snprintf(name, sizeof name, "%04lld%02u%02uT%02lld%02lld%02lld.%06lldZ", static_cast<long long>(year),
                month, day, static_cast<long long>(in_day / 3600), static_cast<long long>(in_day / 60 % 60),
                static_cast<long long>(in_day % 60), static_cast<long long>(fraction));
  return name;
}

bool parse_snapshot_name(const std::string& name, int64_t* microseconds) {
  // YYYYMMDDTHHMMSS.ffffffZ
  if (name.size() != 23 || name[8] != 'T' || name[15] != '.' || name[22] != 'Z') return false;
  int64_t year, month, day, hour, minute, second, fraction;
  if (!parse_digits(name, 0, 4, &year) || !parse_digits(name, 4, 2, &month) || !parse_digits(name, 6, 2, &day) ||
      !parse_digits(name, 9, 2, &hour) || !parse_digits(name, 11, 2, &minute) ||
      !parse_digits(name, 13, 2, &second) || !parse_digits(name, 16, 6, &fraction))
    return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return false;
  const int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  *microseconds = ((days * 86400 + hour * 3600 + minute * 60 + second) * 1000000) + fraction;
  return format_snapshot_name(*microseconds) == name;
}

bool store_list_snapshots(const Store* store, std::vector<std::string>* names, std::string* error) {
  std::vector<std::string> all;
  if (!io_list_directory(store->directory + "/" + kStoreSnapshotDirectory, &all))
    return set_error(error, "cannot list snapshots: " + io_last_error_text());
  names->clear();
  int64_t ignored;
  for (const std::string& name : all)
    if (parse_snapshot_name(name, &ignored)) names->push_back(name);
  std::sort(names->begin(), names->end());
  return true;
}

std::string store_snapshot_path(const Store* store, const std::string& name) {
  return store->directory + "/" + kStoreSnapshotDirectory + "/" + name;
}

bool store_begin_upload(Store* store, std::string* path, int* fd, std::string* error) {
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    *path = store->directory + "/" + kStoreIncomingDirectory + "/" + std::to_string(io_process_id()) + "-" +
            std::to_string(io_now_microseconds()) + "-" + std::to_string(attempt) + ".part";
    *fd = io_create_new(*path);
    if (*fd >= 0) return true;
  }
  return set_error(error, "cannot create an upload file: " + io_last_error_text());
}

bool store_check_manifest_chunks(const Store* store, const ManifestSource* source, std::string* error) {
  ManifestReader reader;
  std::vector<ManifestEntry> entry(1);
  std::vector<uint64_t> ids(512);
  ManifestStatus status = manifest_reader_open(&reader, source, ManifestSlotRule::assigned);
  while (status == ManifestStatus::ok) {
    status = manifest_reader_next(&reader, entry.data());
    if (status != ManifestStatus::ok) break;
    const ManifestEntry& e = entry[0];
    for (uint64_t first = 0; first < e.slot_count; first += 512) {
      const uint64_t n = std::min<uint64_t>(512, e.slot_count - first);
      if (!manifest_read_slots(&reader, &e, first, n, ids.data()))
        return set_error(error, "cannot read the manifest's chunk IDs");
      for (uint64_t k = 0; k < n; ++k) {
        const uint64_t index = first + k;
        const uint64_t rest = e.size - index * kChunkSize;
        const uint32_t expected = rest < kChunkSize ? static_cast<uint32_t>(rest) : kChunkSize;
        uint32_t length;
        if (!store_chunk_length(store, ids[k], &length))
          return set_error(error, "chunk " + std::to_string(index) + " of " + e.path + " names chunk ID " +
                                      std::to_string(ids[k]) + ", which the store does not hold");
        if (length != expected)
          return set_error(error, "chunk " + std::to_string(index) + " of " + e.path + " names chunk ID " +
                                      std::to_string(ids[k]) + " of " + std::to_string(length) +
                                      " bytes where " + std::to_string(expected) + " belong");
      }
    }
  }
  if (status != ManifestStatus::end) return set_error(error, manifest_error_text(&reader));
  return true;
}

bool store_commit_snapshot(Store* store, const std::string& upload_path, std::string* name,
                           std::string* error) {
  if (!store_lock(store, error)) return false;
  std::vector<std::string> names;
  bool ok = store_list_snapshots(store, &names, error);
  if (ok) {
    int64_t when = io_now_microseconds();
    int64_t latest;
    if (!names.empty() && parse_snapshot_name(names.back(), &latest) && when <= latest) when = latest + 1;
    *name = format_snapshot_name(when);
    const std::string directory = store->directory + "/" + kStoreSnapshotDirectory;
    ok = io_rename_new(upload_path, directory + "/" + *name);
    if (!ok) *error = "cannot file the snapshot: " + io_last_error_text();
    if (ok && !io_sync_directory(directory)) {
      ok = false;
      *error = "cannot flush the snapshot directory: " + io_last_error_text();
    }
  }
  store_unlock(store);
  return ok;
}
