// Metadata files and security descriptors for tests, laid out by hand from the
// documented byte layout (not by the code under test), plus corruption helpers.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/byte_builder.h"

struct TestRecord {
  std::string path;
  std::vector<uint8_t> descriptor;
  uint32_t kind = 1;
  uint32_t attributes = 0x20;
  // Real times by default: Windows reads a time of 0 as "leave it unchanged".
  uint64_t creation_time = 132223104000000000ull;  // 2020-01-01
  uint64_t last_write_time = 132223104000000000ull;
};

void set_le(Bytes& out, size_t at, uint64_t value, int size);
uint64_t get_le(const Bytes& in, size_t at, int size);

// Magic, the records in file order (each linked to the one before), the trailer
// with the last record's offset and the checksum.
Bytes build_metadata_file(const std::vector<TestRecord>& records);
// Offsets of the records in a file that build_metadata_file made.
std::vector<uint64_t> record_offsets(const std::vector<TestRecord>& records);
// Recomputes the trailer's checksum after a deliberate change.
void fix_checksum(Bytes& file);

// A self-relative descriptor: owner BUILTIN\Administrators, group SYSTEM, a DACL
// granting SYSTEM full access; protected (SE_DACL_PROTECTED) on request.
Bytes test_descriptor(bool protected_dacl = false);
// Offsets inside test_descriptor: owner SID 20, group SID 36, DACL 48, ACE 56.
constexpr size_t TD_OWNER = 20, TD_GROUP = 36, TD_DACL = 48, TD_ACE = 56, TD_LENGTH = 76;
