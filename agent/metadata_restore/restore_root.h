// The restore root and the target paths below it. Both are in the "\\?\" long
// form: that lifts the MAX_PATH cap for deep trees, and Windows then passes
// names such as "NUL" or "COM1" to the file system instead of opening a device.
// The long form is not normalised by the system, so targets are joined as
// join_windows_path joins (no second backslash after a drive root).
#pragma once
#include "agent/platform/platform.h"

constexpr uint32_t RESTORE_PATH_MAX_UNITS = 32759;
constexpr uint32_t RESTORE_BUFFER_UNITS = 32768;

// GetFullPathNameW of the --source value, trailing backslashes trimmed, turned
// into the long form, bounded ("Restore root path") and checked to be a real
// directory ("Restore root must be a real directory"). Writes the root into a
// buffer of RESTORE_BUFFER_UNITS units and returns its length.
uint32_t build_restore_root(const wchar16* source, wchar16* root);

// Opens the root and keeps it open in restore_root_handle until the run ends:
// listing access, so that the open takes part in sharing at all, and no delete
// sharing, so that the root cannot be renamed or replaced meanwhile. The handle
// must be a real directory ("Restore root must be a real directory"): the root
// may have been swapped since its attributes were read. Writes the volume and
// the name below it (RESTORE_BUFFER_UNITS units) by which every target must be
// reached, and returns the name's length ("Restore root path").
uint32_t hold_restore_root(const wchar16* root, wchar16* name, uint32_t* volume_serial);

// The target path of a record: the root itself for ".", otherwise the root
// joined with the record path (already converted, "/" turned into "\").
// Returns the index at which the record path starts in target; the parent
// check looks only at backslashes from there on. "Metadata path too long".
uint32_t build_metadata_target(const wchar16* root, uint32_t root_length, const wchar16* relative,
                               wchar16* target);

// Whether an opened target's name below its volume is the root's followed by
// the record path (empty for the root itself), compared as the file system
// compares names. A junction anywhere on the way, or a root that was swapped,
// gives another name.
bool reached_below_root(const wchar16* root_name, uint32_t root_name_length, const wchar16* relative,
                        uint32_t relative_length, const wchar16* target_name, uint32_t target_name_length);
