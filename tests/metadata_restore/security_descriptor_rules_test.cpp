// The structural rules every descriptor from a metadata file must pass before
// the system's own routines see it.
#include <gtest/gtest.h>

#include <functional>

#include "agent/metadata_restore/security_descriptor_rules.h"
#include "tests/metadata_restore/metadata_file_builder.h"

namespace {
// Validates a copy in a buffer of exactly its length, so ASan sees any overread.
bool valid(const Bytes& d) {
  auto* copy = new uint8_t[d.empty() ? 1 : d.size()];
  std::copy(d.begin(), d.end(), copy);
  bool result = validate_security_descriptor(copy, static_cast<uint32_t>(d.size()));
  delete[] copy;
  return result;
}
}  // namespace

TEST(SecurityDescriptorRules, EachRuleDecidesAtItsBoundary) {
  struct Case {
    const char* name;
    std::function<void(Bytes&)> change;
    bool expected;
  };
  const Case cases[] = {
      {"well formed", [](Bytes&) {}, true},
      {"protected DACL", [](Bytes& d) { d[3] |= 0x10; }, true},
      {"header only, no parts", [](Bytes& d) { d.resize(20); for (size_t i = 4; i < 20; ++i) d[i] = 0; }, true},
      {"19 bytes", [](Bytes& d) { d.resize(19); }, false},
      {"revision 2", [](Bytes& d) { d[0] = 2; }, false},
      {"not self-relative", [](Bytes& d) { d[3] &= 0x7F; }, false},
      {"owner offset 19", [](Bytes& d) { set_le(d, 4, 19, 4); }, false},
      {"owner offset at L - 8", [](Bytes& d) { set_le(d, 4, TD_LENGTH - 8, 4); d[TD_LENGTH - 8] = 1; d[TD_LENGTH - 7] = 0; }, true},
      {"owner offset at L - 7", [](Bytes& d) { set_le(d, 4, TD_LENGTH - 7, 4); }, false},
      {"owner offset far beyond", [](Bytes& d) { set_le(d, 4, 0xFFFFFFF0u, 4); }, false},
      {"owner SID revision 2", [](Bytes& d) { d[TD_OWNER] = 2; }, false},
      {"owner SID 16 sub-authorities", [](Bytes& d) { d[TD_OWNER + 1] = 16; }, false},
      {"group SID 15 sub-authorities running past the end", [](Bytes& d) { d[TD_GROUP + 1] = 15; }, false},
      {"group SID exactly filling the rest", [](Bytes& d) { set_le(d, 8, TD_LENGTH - 12, 4); d[TD_LENGTH - 12] = 1; d[TD_LENGTH - 11] = 1; }, true},
      {"group SID one byte too long", [](Bytes& d) { set_le(d, 8, TD_LENGTH - 12, 4); d[TD_LENGTH - 12] = 1; d[TD_LENGTH - 11] = 2; }, false},
      {"SACL offset inside the header", [](Bytes& d) { set_le(d, 12, 4, 4); }, false},
      {"SACL present and well formed (the DACL's bytes)", [](Bytes& d) { set_le(d, 12, TD_DACL, 4); }, true},
      {"DACL size 7", [](Bytes& d) { set_le(d, TD_DACL + 2, 7, 2); }, false},
      {"DACL size beyond the descriptor", [](Bytes& d) { set_le(d, TD_DACL + 2, 29, 2); }, false},
      {"DACL with no ACE and spare room", [](Bytes& d) { set_le(d, TD_DACL + 4, 0, 2); }, true},
      {"ACE size 3", [](Bytes& d) { set_le(d, TD_ACE + 2, 3, 2); }, false},
      {"ACE size past the ACL", [](Bytes& d) { set_le(d, TD_ACE + 2, 21, 2); }, false},
      {"ACE smaller than its ACL leaves room unused", [](Bytes& d) { set_le(d, TD_ACE + 2, 16, 2); }, true},
      {"second ACE header past the ACL", [](Bytes& d) { set_le(d, TD_DACL + 4, 2, 2); }, false},
      {"ACE count 65535", [](Bytes& d) { set_le(d, TD_DACL + 4, 0xFFFF, 2); }, false},
      {"ACE of size 4 repeated to the ACL's end", [](Bytes& d) {
         set_le(d, TD_DACL + 4, 5, 2);
         for (size_t i = 0; i < 5; ++i) set_le(d, TD_ACE + 4 * i + 2, 4, 2);
       }, true},
      {"ACE of size 4 once too often", [](Bytes& d) {
         set_le(d, TD_DACL + 4, 6, 2);
         for (size_t i = 0; i < 5; ++i) set_le(d, TD_ACE + 4 * i + 2, 4, 2);
       }, false},
      {"zero-size ACE would loop", [](Bytes& d) { set_le(d, TD_ACE + 2, 0, 2); }, false},
  };
  for (const Case& c : cases) {
    Bytes d = test_descriptor();
    c.change(d);
    EXPECT_EQ(c.expected, valid(d)) << c.name;
  }
}

TEST(SecurityDescriptorRules, EveryTruncationOfAGoodDescriptorIsRefusedOrStaysInside) {
  Bytes d = test_descriptor();
  for (size_t length = 0; length < d.size(); ++length) {
    Bytes cut(d.begin(), d.begin() + static_cast<long>(length));
    EXPECT_FALSE(valid(cut)) << length;
  }
}
