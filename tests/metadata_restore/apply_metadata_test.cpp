// apply-metadata over the substitute volume: what it refuses, with which
// message, and what it writes, in which order, to which paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/metadata_restore/apply_metadata_runner.h"
#include "tests/metadata_restore/metadata_file_builder.h"

namespace {
const char METADATA[] = "C:\\work\\meta.bin";
const std::vector<std::string> DEFAULT_ARGS = {"--source", "C:\\restore", "--metadata", METADATA};
constexpr uint64_t T0 = 132223104000000000ull;          // 2020-01-01, the records' times
constexpr uint64_t RESTORED_AT = 133900000000000000ull;  // 2025, the restored entries' own

// What the restore left on each entry: owned by Users (S-1-5-32-545), group
// LOCAL SERVICE (S-1-5-19), SYSTEM allowed to read; test_descriptor's layout.
Bytes restorers_descriptor(bool protected_dacl = false) {
  Bytes d = test_descriptor(protected_dacl);
  set_le(d, TD_OWNER + 12, 545, 4);
  set_le(d, TD_GROUP + 8, 19, 4);
  set_le(d, TD_ACE + 4, 0x001200A9, 4);
  return d;
}

// A record's descriptor as the entry has it after a run without --owner: the
// record's DACL and its protection, the entry's own owner and group.
Bytes dacl_only(Bytes recorded, const Bytes& entry) {
  std::copy(entry.begin() + TD_OWNER, entry.begin() + TD_DACL, recorded.begin() + TD_OWNER);
  return recorded;
}

// The tree as restored: the root, a directory a (its DACL protected), a file
// a\f.txt and a file b.txt.
void restored_tree() {
  substitute_reset();
  for (SubstituteEntry* e : {&substitute_add_directory(u"C:\\restore\\a"),
                             &substitute_add_file(u"C:\\restore\\a\\f.txt", {1, 2, 3}),
                             &substitute_add_file(u"C:\\restore\\b.txt", {4}), substitute_find(u"C:\\restore")}) {
    e->creation_time = e->last_write_time = RESTORED_AT;
    e->security_descriptor = restorers_descriptor();
  }
  substitute_find(u"C:\\restore\\a")->security_descriptor = restorers_descriptor(true);
}

// File order: each directory before what lies below it.
std::vector<TestRecord> tree_records() {
  return {{".", test_descriptor(true), 2, 0x10, T0 + 1, T0 + 201},
          {"a", test_descriptor(), 2, 0x12, T0 + 2, T0 + 202},
          {"a/f.txt", test_descriptor(), 1, 0x21, T0 + 3, T0 + 203},
          {"b.txt", test_descriptor(true), 1, 0x2001, T0 + 4, T0 + 204}};
}

void put_metadata(const Bytes& file) { substitute_add_file(u16(METADATA), file); }

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

bool fatal_with(const ApplyOutcome& outcome, const std::string& message) {
  std::string prefix = "vardokeep-agent: " + message + " (Windows error=";
  return outcome.exit_code == 1 && outcome.err.rfind(prefix, 0) == 0 && outcome.err.back() == '\n' &&
         outcome.err.find('\n') == outcome.err.size() - 1;
}

Bytes single(TestRecord record) { return build_metadata_file({record}); }

// A junction's reparse data: a mount point whose substitute name is "\\??\\" and
// the target, with the target as its print name too.
Bytes junction_to(const std::u16string& target) {
  std::u16string substitute_name = u"\\??\\" + target;
  uint16_t name_bytes = static_cast<uint16_t>(2 * substitute_name.size());
  uint16_t print_bytes = static_cast<uint16_t>(2 * target.size());
  Bytes data;
  put_le(data, 0xA0000003, 4);
  put_le(data, 8 + name_bytes + 2 + print_bytes + 2, 2);
  put_le(data, 0, 2);
  put_le(data, 0, 2);
  put_le(data, name_bytes, 2);
  put_le(data, name_bytes + 2, 2);
  put_le(data, print_bytes, 2);
  for (char16_t c : substitute_name + u'\0' + target + u'\0') put_le(data, c, 2);
  return data;
}

// The directory and everything below it give way to a junction.
void replace_with_junction(const std::u16string& directory, const std::u16string& target) {
  for (auto it = substitute.entries.begin(); it != substitute.entries.end();) {
    const std::u16string& key = it->first;
    bool below = key.size() >= directory.size() && u8(key.substr(0, directory.size())) == u8(directory) &&
                 (key.size() == directory.size() || key[directory.size()] == u'\\');
    it = below ? substitute.entries.erase(it) : std::next(it);
  }
  substitute_add_reparse_point(directory, junction_to(target), true);
}
TestRecord file_record(const std::string& path) { return {path, test_descriptor(), 1, 0x20, T0 + 7, T0 + 8}; }
}  // namespace

TEST(ApplyMetadataMessages, EveryFailureStopsWithItsMessageBeforeTheSummary) {
  struct Case {
    const char* name;
    std::function<void()> setup;  // after restored_tree()
    std::vector<std::string> args;
    std::string message;
  };
  const std::string usage = "use: apply-metadata --source DIRECTORY --metadata FILE [--owner]";
  auto good = [] { put_metadata(build_metadata_file(tree_records())); };
  auto record = [](TestRecord r) { return [r] { put_metadata(single(r)); }; };
  auto corrupt = [](size_t at, uint64_t value, int size) {
    return [=] {
      std::vector<TestRecord> records = {file_record("b.txt")};
      Bytes file = build_metadata_file(records);
      set_le(file, at, value, size);
      fix_checksum(file);
      put_metadata(file);
    };
  };
  auto descriptor = [](std::function<void(Bytes&)> change) {
    return [change] {
      TestRecord r = file_record("b.txt");
      change(r.descriptor);
      put_metadata(single(r));
    };
  };
  const uint64_t trailer_of_one = 8 + 40 + 5 + TD_LENGTH;
  const Case cases[] = {
      {"only --owner", good, {"--owner"}, usage},
      {"no --metadata", good, {"--source", "C:\\restore"}, usage},
      {"no --source", good, {"--metadata", METADATA, "--owner"}, usage},
      {"--source last", good, {"--metadata", METADATA, "--source"}, "Metadata option value missing"},
      {"unknown option last", good, with(DEFAULT_ARGS, {"--force"}), "Metadata option value missing"},
      {"unknown option with value", good, {"--Source", "C:\\restore", "--metadata", METADATA},
       "Unknown metadata option"},
      {"metadata missing", [] {}, DEFAULT_ARGS, "Windows metadata file"},
      {"metadata of 47 bytes", [] { Bytes f = build_metadata_file({}); f.pop_back(); put_metadata(f); },
       DEFAULT_ARGS, "Windows metadata file"},
      {"metadata size unknown", [=] { good(); substitute.faults.push_back({"GetFileSizeEx", u16(METADATA), 1}); }, DEFAULT_ARGS,
       "Windows metadata file"},
      {"metadata is a directory", [] { substitute_add_directory(u16(METADATA)); }, DEFAULT_ARGS,
       "Windows metadata file"},
      {"metadata is a link", [=] { good(); substitute_find(u16(METADATA))->attributes |= 0x400; }, DEFAULT_ARGS,
       "Metadata must be a regular file"},
      {"metadata information fails", [=] { good(); substitute.faults.push_back({"GetFileInformationByHandle", u16(METADATA), 5}); },
       DEFAULT_ARGS, "Metadata must be a regular file"},
      {"metadata unreadable", [=] { good(); substitute.faults.push_back({"ReadFile", u16(METADATA), 23}); }, DEFAULT_ARGS,
       "Windows metadata read"},
      {"wrong magic", corrupt(7, '2', 1), DEFAULT_ARGS, "Windows metadata format"},
      {"wrong checksum", [] { Bytes f = single(file_record("b.txt")); f[20] ^= 1; put_metadata(f); }, DEFAULT_ARGS,
       "Windows metadata checksum"},
      {"root unresolvable", good, {"--source", "", "--metadata", METADATA}, "Restore root path"},
      {"root longer than 32759 units in the long form",
       [=] { good(); substitute_add_directory(u"C:\\" + std::u16string(32753, u'r')); },
       {"--source", "C:\\" + std::string(32753, 'r'), "--metadata", METADATA}, "Restore root path"},
      {"root missing", good, {"--source", "C:\\nowhere", "--metadata", METADATA}, "Restore root must be a real directory"},
      {"root is a file", good, {"--source", "C:\\restore\\b.txt", "--metadata", METADATA},
       "Restore root must be a real directory"},
      {"root is a junction", [=] { good(); substitute_find(u"C:\\restore")->attributes |= 0x400; }, DEFAULT_ARGS,
       "Restore root must be a real directory"},
      {"no token", [=] { good(); substitute.faults.push_back({"OpenProcessToken", u"", 5}); },
       with(DEFAULT_ARGS, {"--owner"}), "Restore token"},
      {"no privilege value", [=] { good(); substitute.faults.push_back({"LookupPrivilegeValueW", u"SeRestorePrivilege", 1313}); },
       with(DEFAULT_ARGS, {"--owner"}), "Restore privilege"},
      {"privilege not held", [] { put_metadata(build_metadata_file({})); substitute.held_privileges.clear(); },
       with(DEFAULT_ARGS, {"--owner"}), "Restore ownership requires SeRestorePrivilege"},
      {"privilege adjustment fails", [=] { good(); substitute.faults.push_back({"AdjustTokenPrivileges", u"", 6}); },
       with(DEFAULT_ARGS, {"--owner"}), "Restore ownership requires SeRestorePrivilege"},
      {"record offset 7", corrupt(trailer_of_one, 7, 8), DEFAULT_ARGS, "Metadata record offset"},
      {"record referring to itself", corrupt(8, 8, 8), DEFAULT_ARGS, "Invalid metadata record"},
      {"chain ends early", [] { Bytes f = build_metadata_file(tree_records()); set_le(f, f.size() - 40, 0, 8);
                                fix_checksum(f); put_metadata(f); },
       DEFAULT_ARGS, "Invalid metadata record chain"},
      {"header unreadable", [=] { good(); substitute.faults.push_back({"ReadFile", u16(METADATA), 23, 4}); }, DEFAULT_ARGS,
       "Windows metadata read"},
      {"path with a stream", record(file_record("b.txt:secret")), DEFAULT_ARGS,
       "Unsafe metadata path or ADS: restore streams separately"},
      {"absolute path", record(file_record("/b.txt")), DEFAULT_ARGS,
       "Unsafe metadata path or ADS: restore streams separately"},
      {"path climbing out", record(file_record("a/../../b.txt")), DEFAULT_ARGS, "Unsafe Windows path component"},
      {"path not UTF-8", record(file_record("b\xff.txt")), DEFAULT_ARGS, "invalid UTF-8"},
      {"reparse record over a plain file", record({"b.txt", test_descriptor(), 1, 0x420, 1, 2}), DEFAULT_ARGS,
       "Reparse metadata requires a dedicated restore; no link was created"},
      {"target path too long",
       [] { substitute_add_directory(u"C:\\" + std::u16string(32744, u'r'));
            put_metadata(single(file_record("a/b.txt"))); },
       {"--source", "C:\\" + std::string(32744, 'r'), "--metadata", METADATA}, "Metadata path too long"},
      {"junction parent", [] { substitute_find(u"C:\\restore\\a")->attributes |= 0x400;
                               put_metadata(single(file_record("a/f.txt"))); },
       DEFAULT_ARGS, "Reparse parent in restore path"},
      {"missing parent", record(file_record("gone/f.txt")), DEFAULT_ARGS, "Reparse parent in restore path"},
      {"target missing", record(file_record("c.txt")), DEFAULT_ARGS, "Metadata target missing, linked or wrong type"},
      {"target is a link", [] { substitute_find(u"C:\\restore\\b.txt")->attributes |= 0x400;
                                put_metadata(single(file_record("b.txt"))); },
       DEFAULT_ARGS, "Metadata target missing, linked or wrong type"},
      {"file record on a directory", record(file_record("a")), DEFAULT_ARGS,
       "Metadata target missing, linked or wrong type"},
      {"directory record on a file", record({"b.txt", test_descriptor(), 2, 0x10, 1, 2}), DEFAULT_ARGS,
       "Metadata target missing, linked or wrong type"},
      {"root as a file record", record(file_record(".")), DEFAULT_ARGS, "Metadata target missing, linked or wrong type"},
      {"target information fails", [] { put_metadata(single(file_record("b.txt")));
                                         substitute.faults.push_back({"GetFileInformationByHandle", u"C:\\restore\\b.txt", 5}); },
       DEFAULT_ARGS, "Metadata target missing, linked or wrong type"},
      {"descriptor structurally bad", descriptor([](Bytes& d) { d[TD_OWNER + 1] = 16; }), DEFAULT_ARGS,
       "Invalid security descriptor"},
      {"descriptor the system rejects", descriptor([](Bytes& d) { d[TD_DACL] = 9; }), DEFAULT_ARGS,
       "Invalid security descriptor"},
      {"descriptor with trailing bytes", descriptor([](Bytes& d) { d.push_back(0); d.push_back(0); d.push_back(0); d.push_back(0); }),
       DEFAULT_ARGS, "Invalid security descriptor"},
      {"descriptor control unreadable", [] { put_metadata(single(file_record("b.txt")));
                                             substitute.faults.push_back({"GetSecurityDescriptorControl", u"", 1305}); },
       DEFAULT_ARGS, "Security descriptor control"},
      {"DACL refused", [] { put_metadata(single(file_record("b.txt")));
                            substitute.faults.push_back({"SetKernelObjectSecurity", u"C:\\restore\\b.txt", 5}); },
       DEFAULT_ARGS, "Restore DACL/owner"},
      {"times refused", [] { put_metadata(single(file_record("b.txt")));
                             substitute.faults.push_back({"SetFileTime", u"C:\\restore\\b.txt", 5}); },
       DEFAULT_ARGS, "Restore file times"},
      {"attributes refused", [] { put_metadata(single(file_record("b.txt")));
                                  substitute.faults.push_back({"SetFileInformationByHandle", u"C:\\restore\\b.txt", 5}); },
       DEFAULT_ARGS, "Restore file attributes"},
  };
  for (const Case& c : cases) {
    restored_tree();
    c.setup();
    ApplyOutcome outcome = run_apply_metadata(c.args);
    EXPECT_TRUE(fatal_with(outcome, c.message)) << c.name << ": exit " << outcome.exit_code << ", " << outcome.err;
    EXPECT_EQ(std::string::npos, outcome.err.find("windows_metadata_restored")) << c.name;
    // Handles a row opened in this process to stand for another one's.
    for (SubstituteHandle* handle : std::vector<SubstituteHandle*>(substitute.open_handles)) {
      platform_close_handle(handle);
    }
  }
}

// Another user who can write into the restored tree changes it under the run.
// Every change must leave the entries outside the root (C:\secret) untouched,
// stop the run with the record's path, and release the hold on the root.
TEST(ApplyMetadata, RefusesTargetsThatAreNotTheRecordsOwnEntryBelowTheRoot) {
  struct Case {
    const char* name;
    std::vector<TestRecord> records;
    const char16_t* hooked;  // CreateFileW on this path runs the change first
    std::function<void()> change;
    std::string message;
  };
  const std::string linked = "Metadata target missing, linked or wrong type: ";
  const Case cases[] = {
      {"parent turned into a junction after the parent check", {file_record("a/f.txt")},
       u"C:\\restore\\a\\f.txt", [] { replace_with_junction(u"C:\\restore\\a", u"C:\\secret"); },
       linked + "a/f.txt"},
      {"root swapped for a junction after its check", tree_records(), u"C:\\restore",
       [] { replace_with_junction(u"C:\\restore", u"C:\\secret"); }, "Restore root must be a real directory"},
      // NTFS refuses this rename while the root is held; the substitute swaps
      // the entries directly, and the final path still tells.
      {"root swapped while held", tree_records(), u"C:\\restore\\b.txt",
       [] { replace_with_junction(u"C:\\restore", u"C:\\secret"); }, linked + "b.txt"},
      {"target given a second link", {file_record("b.txt")}, u"C:\\restore\\b.txt",
       [] { substitute_find(u"C:\\restore\\b.txt")->link_count = 2; }, linked + "b.txt"},
      // The same names on another volume: only the volume tells them apart.
      {"parent turned into a junction to another volume", {file_record("a/f.txt")}, u"C:\\restore\\a\\f.txt",
       [] { replace_with_junction(u"C:\\restore\\a", u"D:\\restore\\a"); }, linked + "a/f.txt"},
      {"root's name unavailable", tree_records(), u"C:\\restore",
       [] { substitute.faults.push_back({"GetFileInformationByHandleEx", u"C:\\restore", 5}); },
       "Restore root path"},
  };
  for (const Case& c : cases) {
    restored_tree();
    substitute_add_file(u"C:\\secret\\f.txt", {9});
    substitute_add_file(u"C:\\secret\\b.txt", {9});
    substitute_add_file(u"D:\\restore\\a\\f.txt", {9}).volume_serial = 0x5678;
    put_metadata(build_metadata_file(c.records));
    substitute.hooks.push_back({"CreateFileW", c.hooked, 1, c.change, 0});
    ApplyOutcome outcome = run_apply_metadata(DEFAULT_ARGS);
    EXPECT_TRUE(fatal_with(outcome, c.message)) << c.name << ": " << outcome.err;
    for (const char16_t* outside : {u"C:\\secret\\f.txt", u"C:\\secret\\b.txt", u"D:\\restore\\a\\f.txt"}) {
      EXPECT_TRUE(outcome.entry(outside).security_descriptor.empty()) << c.name;
      EXPECT_EQ(0x20u, outcome.entry(outside).attributes) << c.name;
    }
    if (c.records.size() == 1) {
      EXPECT_TRUE(outcome.calls_of("SetKernelObjectSecurity").empty()) << c.name;
    }
    size_t held = 0, released = 0;
    for (const auto& call : outcome.calls) {
      if (u8(call.path) != "C:\\restore") continue;
      held += call.operation == "CreateFileW";
      released += call.operation == "CloseHandle";
    }
    EXPECT_EQ(1u, held) << c.name;
    EXPECT_EQ(1u, released) << c.name;
  }
}

TEST(ApplyMetadata, AppliesEveryRecordLastFirstAsDescriptorThenTimesThenAttributes) {
  restored_tree();
  put_metadata(build_metadata_file(tree_records()));
  ApplyOutcome outcome = run_apply_metadata(DEFAULT_ARGS);
  ASSERT_EQ(0, outcome.exit_code) << outcome.err;
  EXPECT_EQ("windows_metadata_restored=4\n", outcome.err);

  // Each target: open, descriptor, times, attributes, before the next target.
  std::vector<std::string> sequence;
  for (const auto& c : outcome.calls) {
    if (c.operation == "CreateFileW" && u8(c.path) == METADATA) continue;
    if (c.operation == "CreateFileW" || c.operation == "SetKernelObjectSecurity" || c.operation == "SetFileTime" ||
        c.operation == "SetFileInformationByHandle") {
      sequence.push_back(c.operation.substr(0, 7) + " " + u8(c.path));
    }
  }
  std::vector<std::string> expected = {"CreateF C:\\restore"};  // the hold on the root
  for (const char* path : {"C:\\restore\\b.txt", "C:\\restore\\a\\f.txt", "C:\\restore\\a", "C:\\restore"}) {
    for (const char* op : {"CreateF", "SetKern", "SetFile", "SetFile"}) expected.push_back(std::string(op) + " " + path);
  }
  EXPECT_EQ(expected, sequence);

  const SubstituteEntry& root = outcome.entry(u"C:\\restore");
  EXPECT_EQ(T0 + 1, root.creation_time);
  EXPECT_EQ(T0 + 201, root.last_write_time);
  EXPECT_EQ(0x10u, root.attributes);  // 0x10 alone is applied as NORMAL; the kind stays
  // Without --owner each entry keeps its owner and group and takes the DACL,
  // protected or not as recorded ("a" was protected before).
  EXPECT_EQ(dacl_only(test_descriptor(true), restorers_descriptor()), root.security_descriptor);
  EXPECT_EQ(dacl_only(test_descriptor(), restorers_descriptor()),
            outcome.entry(u"C:\\restore\\a").security_descriptor);
  EXPECT_EQ(0x12u, outcome.entry(u"C:\\restore\\a").attributes);
  EXPECT_EQ(0x21u, outcome.entry(u"C:\\restore\\a\\f.txt").attributes);
  EXPECT_EQ(0x2001u, outcome.entry(u"C:\\restore\\b.txt").attributes);
  EXPECT_EQ(T0 + 204, outcome.entry(u"C:\\restore\\b.txt").last_write_time);
  EXPECT_EQ(dacl_only(test_descriptor(), restorers_descriptor()),
            outcome.entry(u"C:\\restore\\a\\f.txt").security_descriptor);

  // The metadata file: read only, shared for reading, opened as itself.
  auto opens = outcome.calls_of("CreateFileW");
  ASSERT_FALSE(opens.empty());
  EXPECT_EQ(METADATA, u8(opens[0]->path));
  EXPECT_EQ(0x80000000u, opens[0]->access);
  EXPECT_EQ(1u, opens[0]->share);
  EXPECT_EQ(3u, opens[0]->disposition);
  EXPECT_EQ(0x00200000u, opens[0]->flags);
  // Each record costs exactly three reads after the checksum: header, path, descriptor.
  auto reads = outcome.calls_of("ReadFile");
  ASSERT_EQ(3u + 4 * 3, reads.size());
  EXPECT_EQ(40u, reads[3]->size);
  EXPECT_EQ(5u, reads[4]->size);
  EXPECT_EQ(TD_LENGTH, reads[5]->size);
  EXPECT_TRUE(outcome.calls_of("OpenProcessToken").empty());
}

TEST(ApplyMetadata, OpensTargetsUnsharedAndPassesTheInformationForDaclAndOwner) {
  for (bool owner : {false, true}) {
    restored_tree();
    put_metadata(build_metadata_file(tree_records()));
    // Another process reads and writes b.txt and shares nothing: the restore's
    // rights (descriptor, attributes) take no part in sharing, so it opens anyway.
    PlatformHandle holder =
        platform_create_file(u"C:\\restore\\b.txt", WIN_GENERIC_READ | WIN_GENERIC_WRITE, 0, WIN_OPEN_EXISTING, 0);
    substitute.calls.clear();
    ApplyOutcome outcome = run_apply_metadata(owner ? with(DEFAULT_ARGS, {"--owner"}) : DEFAULT_ARGS);
    platform_close_handle(holder);
    ASSERT_EQ(0, outcome.exit_code) << outcome.err;
    // The metadata file, the hold on the root (listing, so that its sharing
    // counts; no delete sharing), then the targets: unshared, but the root
    // itself shares reading with the hold.
    auto opens = outcome.calls_of("CreateFileW");
    ASSERT_EQ(6u, opens.size());
    EXPECT_EQ("C:\\restore", u8(opens[1]->path));
    EXPECT_EQ(0x1u, opens[1]->access);
    EXPECT_EQ(3u, opens[1]->share);
    for (size_t i = 1; i < opens.size(); ++i) {
      EXPECT_EQ(3u, opens[i]->disposition);
      EXPECT_EQ(0x02200000u, opens[i]->flags);
      if (i == 1) continue;
      EXPECT_EQ(owner ? 0x000E0100u : 0x00060100u, opens[i]->access);
      EXPECT_EQ(i == 5 ? 1u : 0u, opens[i]->share) << u8(opens[i]->path);
    }
    std::vector<std::string> closes = outcome.paths_of("CloseHandle");
    ASSERT_GE(closes.size(), 2u);
    EXPECT_EQ((std::vector<std::string>{METADATA, "C:\\restore"}),
              std::vector<std::string>(closes.end() - 2, closes.end()));
    std::vector<uint32_t> information;
    for (const SubstituteCall* set : outcome.calls_of("SetKernelObjectSecurity")) information.push_back(set->security_information);
    // Chain order: b.txt (protected), a/f.txt, a, root (protected).
    if (owner) {
      EXPECT_EQ((std::vector<uint32_t>{0x80000007, 0x20000007, 0x20000007, 0x80000007}), information);
      ASSERT_EQ(1u, outcome.calls_of("OpenProcessToken").size());
      EXPECT_EQ(0x28u, outcome.calls_of("OpenProcessToken")[0]->access);
      EXPECT_EQ((std::vector<std::string>{"SeRestorePrivilege"}), outcome.paths_of("LookupPrivilegeValueW"));
      EXPECT_EQ(2u, outcome.calls_of("AdjustTokenPrivileges")[0]->attributes);
    } else {
      EXPECT_EQ((std::vector<uint32_t>{0x80000004, 0x20000004, 0x20000004, 0x80000004}), information);
    }
    // Owner and group come back with --owner only.
    EXPECT_EQ(owner ? test_descriptor(true) : dacl_only(test_descriptor(true), restorers_descriptor()),
              outcome.entry(u"C:\\restore\\b.txt").security_descriptor);
    // No last-access time is ever passed.
    for (const SubstituteCall* times : outcome.calls_of("SetFileTime")) EXPECT_FALSE(times->last_access_time);
  }
}

TEST(ApplyMetadata, PassesOnlyTheRestorableAttributeBits) {
  const struct {
    uint32_t recorded;
    uint32_t passed;
  } cases[] = {
      {0x10, 0x80},                                      // directory only: NORMAL
      {0x0, 0x80},
      {0x80, 0x80},                                      // NORMAL itself is outside the mask
      {0x1, 0x1},
      {0x2027, 0x2027},
      {0xFFFFFBFF, 0x2027},                              // everything but the reparse bit
      {0x100 | 0x200 | 0x800 | 0x1000 | 0x4000 | 0x8, 0x80},  // temporary, sparse, compressed, offline, encrypted
  };
  for (const auto& c : cases) {
    restored_tree();
    put_metadata(single({"b.txt", test_descriptor(), 1, c.recorded, 1, 2}));
    ApplyOutcome outcome = run_apply_metadata(DEFAULT_ARGS);
    ASSERT_EQ(0, outcome.exit_code) << outcome.err;
    ASSERT_EQ(1u, outcome.calls_of("SetFileInformationByHandle").size());
    EXPECT_EQ(c.passed, outcome.calls_of("SetFileInformationByHandle")[0]->attributes) << std::hex << c.recorded;
  }
}

// A creation time of 0 or below is none that Windows sets: SetFileTime gets no
// creation time, the entry keeps its own, and the rest of the record and the
// records after it are applied.
TEST(ApplyMetadata, CreationTimesOfZeroOrBelowAreLeftAsTheEntryHasThem) {
  for (uint64_t recorded : {uint64_t{0}, ~uint64_t{0}, ~uint64_t{1}, ~uint64_t{2}, uint64_t{1} << 63}) {
    restored_tree();
    // Chain order: b.txt first, then a/f.txt.
    put_metadata(build_metadata_file({file_record("a/f.txt"), {"b.txt", test_descriptor(), 1, 0x21, recorded, T0 + 4}}));
    ApplyOutcome outcome = run_apply_metadata(DEFAULT_ARGS);
    ASSERT_EQ("windows_metadata_restored=2\n", outcome.err) << std::hex << recorded;
    auto times = outcome.calls_of("SetFileTime");
    ASSERT_EQ(2u, times.size());
    EXPECT_FALSE(times[0]->creation_time) << std::hex << recorded;
    EXPECT_TRUE(times[1]->creation_time);
    const SubstituteEntry& b = outcome.entry(u"C:\\restore\\b.txt");
    EXPECT_EQ(RESTORED_AT, b.creation_time);
    EXPECT_EQ(T0 + 4, b.last_write_time);
    EXPECT_EQ(0x21u, b.attributes);
    EXPECT_EQ(T0 + 7, outcome.entry(u"C:\\restore\\a\\f.txt").creation_time);
  }
}

// The substitute's setters read times as FileBasicInformation does: 0 leaves
// a time, -1 and -2 change nothing stored, anything lower fails the whole call
// with 87.
TEST(ApplyMetadataSubstitute, TimeSettersReadZeroAndNegativeTimesAsWindowsDoes) {
  const struct {
    uint64_t given;
    bool accepted;
    uint64_t creation_after;
  } cases[] = {{T0, true, T0}, {0, true, RESTORED_AT}, {~uint64_t{0}, true, RESTORED_AT},
               {~uint64_t{1}, true, RESTORED_AT}, {~uint64_t{2}, false, RESTORED_AT},
               {uint64_t{1} << 63, false, RESTORED_AT}};
  for (const auto& c : cases) {
    for (bool basic : {false, true}) {
      restored_tree();
      PlatformHandle h = platform_create_file(u"C:\\restore\\b.txt", WIN_FILE_WRITE_ATTRIBUTES, 0, WIN_OPEN_EXISTING, 0);
      ASSERT_NE(PLATFORM_INVALID_HANDLE, h);
      const uint64_t written = T0 + 9;
      PlatformBasicInformation information;
      information.creation_time = c.given;
      information.last_write_time = written;
      bool set = basic ? platform_set_basic_information(h, information)
                       : platform_set_file_time(h, &c.given, nullptr, &written);
      SCOPED_TRACE(testing::Message() << std::hex << c.given << (basic ? " FileBasicInfo" : " SetFileTime"));
      EXPECT_EQ(c.accepted, set);
      if (!set) {
        EXPECT_EQ(WIN_ERROR_INVALID_PARAMETER, platform_last_error());
      }
      const SubstituteEntry& b = *substitute_find(u"C:\\restore\\b.txt");
      EXPECT_EQ(c.creation_after, b.creation_time);
      EXPECT_EQ(set ? written : RESTORED_AT, b.last_write_time);
      platform_close_handle(h);
    }
  }
}

TEST(ApplyMetadata, FailureAtTheFifthRecordLeavesFourAppliedAndNoSummary) {
  restored_tree();
  // The first record in the file is visited last; its target does not exist.
  std::vector<TestRecord> records = tree_records();
  records.insert(records.begin(), file_record("missing.txt"));
  put_metadata(build_metadata_file(records));
  ApplyOutcome outcome = run_apply_metadata(DEFAULT_ARGS);
  EXPECT_TRUE(fatal_with(outcome, "Metadata target missing, linked or wrong type")) << outcome.err;
  EXPECT_EQ(4u, outcome.calls_of("SetFileInformationByHandle").size());
  EXPECT_EQ(T0 + 201, outcome.entry(u"C:\\restore").last_write_time);
  EXPECT_EQ(dacl_only(test_descriptor(true), restorers_descriptor()),
            outcome.entry(u"C:\\restore\\b.txt").security_descriptor);
  EXPECT_EQ(outcome.entries.end(), outcome.entries.find(u"C:\\restore\\missing.txt"));  // nothing created
}

TEST(ApplyMetadata, EmptyFileReportsZeroAndTouchesNothing) {
  restored_tree();
  put_metadata(build_metadata_file({}));
  ApplyOutcome outcome = run_apply_metadata(DEFAULT_ARGS);
  EXPECT_EQ(0, outcome.exit_code);
  EXPECT_EQ("windows_metadata_restored=0\n", outcome.err);
  EXPECT_TRUE(outcome.calls_of("SetKernelObjectSecurity").empty());
}

TEST(ApplyMetadata, RestoreRootIsUsedInTheLongFormAndJoinedWithoutDoubleSeparators) {
  const struct {
    std::string source;
    std::u16string directory;     // created in the substitute
    std::string long_root;        // what the root check is asked about
    std::string parent_of_target; // the parent check for the record "a/f.txt"
  } cases[] = {
      {"C:\\restore", u"C:\\restore", "\\\\?\\C:\\restore", "\\\\?\\C:\\restore\\a"},
      {"C:\\restore\\\\", u"C:\\restore", "\\\\?\\C:\\restore", "\\\\?\\C:\\restore\\a"},
      {"restore", u"C:\\work\\restore", "\\\\?\\C:\\work\\restore", "\\\\?\\C:\\work\\restore\\a"},
      {"C:\\", u"C:\\", "\\\\?\\C:\\", "\\\\?\\C:\\a"},
      {"\\\\srv\\share\\r\\", u"\\\\srv\\share\\r", "\\\\?\\UNC\\srv\\share\\r", "\\\\?\\UNC\\srv\\share\\r\\a"},
      {"\\\\?\\C:\\restore\\", u"C:\\restore", "\\\\?\\C:\\restore\\", "\\\\?\\C:\\restore\\a"},
      {"\\\\?\\C:\\restore\\\\\\", u"C:\\restore", "\\\\?\\C:\\restore\\", "\\\\?\\C:\\restore\\a"},
  };
  for (const auto& c : cases) {
    substitute_reset();
    std::u16string key = c.directory == u"C:\\" ? u"C:" : c.directory;
    substitute_add_directory(c.directory);
    substitute_add_file(key + u"\\a\\f.txt", {1});
    put_metadata(single(file_record("a/f.txt")));
    ApplyOutcome outcome = run_apply_metadata({"--source", c.source, "--metadata", METADATA});
    ASSERT_EQ(0, outcome.exit_code) << c.source << ": " << outcome.err;
    EXPECT_EQ((std::vector<std::string>{c.long_root, c.parent_of_target}), outcome.paths_of("GetFileAttributesW"))
        << c.source;
  }
}

TEST(ApplyMetadata, TargetBoundCountsTheLongFormOfTheRoot) {
  // root (long form) + path + 2 may reach 32759 units, not exceed it.
  for (size_t extra : {0, 1}) {
    substitute_reset();
    std::u16string name(32759 - 2 - 5 - 7 + extra, u'r');  // "\\?\C:\" is 7 units, "b.txt" 5
    substitute_add_file(u"C:\\" + name + u"\\b.txt", {1});
    put_metadata(single(file_record("b.txt")));
    ApplyOutcome outcome = run_apply_metadata({"--source", "C:\\" + u8(name), "--metadata", METADATA});
    if (extra == 0) {
      EXPECT_EQ(0, outcome.exit_code) << outcome.err.substr(0, 200);
    } else {
      EXPECT_TRUE(fatal_with(outcome, "Metadata path too long")) << outcome.err.substr(0, 200);
    }
  }
  // The root itself: a full path of 32755 units is 32759 in the long form.
  for (size_t length : {32755, 32756}) {
    substitute_reset();
    std::u16string root = u"C:\\" + std::u16string(length - 3, u'r');
    substitute_add_directory(root);
    put_metadata(build_metadata_file({}));
    ApplyOutcome outcome = run_apply_metadata({"--source", u8(root), "--metadata", METADATA});
    if (length == 32755) {
      EXPECT_EQ("windows_metadata_restored=0\n", outcome.err);
    } else {
      EXPECT_TRUE(fatal_with(outcome, "Restore root path")) << outcome.err.substr(0, 200);
    }
  }
}

TEST(ApplyMetadata, PathEndingInSlashAndDeviceNamesStayBelowTheRoot) {
  restored_tree();
  substitute_add_file(u"C:\\restore\\a\\NUL", {});
  put_metadata(build_metadata_file({{"a/", test_descriptor(), 2, 0x10, T0 + 5, T0 + 6}, file_record("a/NUL")}));
  ApplyOutcome outcome = run_apply_metadata(DEFAULT_ARGS);
  ASSERT_EQ(0, outcome.exit_code) << outcome.err;
  EXPECT_EQ((std::vector<std::string>{"\\\\?\\C:\\restore", "\\\\?\\C:\\restore\\a", "\\\\?\\C:\\restore\\a"}),
            outcome.paths_of("GetFileAttributesW"));
  // The setters name the object the handle is on, whatever text opened it.
  EXPECT_EQ((std::vector<std::string>{"C:\\restore\\a\\NUL", "C:\\restore\\a"}),
            outcome.paths_of("SetKernelObjectSecurity"));
  EXPECT_EQ(T0 + 6, outcome.entry(u"C:\\restore\\a").last_write_time);
}

TEST(ApplyMetadata, LaterOptionValuesReplaceEarlierOnes) {
  restored_tree();
  put_metadata(build_metadata_file(tree_records()));
  ApplyOutcome outcome =
      run_apply_metadata({"--source", "C:\\nowhere", "--metadata", "C:\\none", "--source", "C:\\restore", "--metadata",
                          METADATA});
  EXPECT_EQ("windows_metadata_restored=4\n", outcome.err);
}
