// Structural rules for a self-relative security descriptor taken from a
// metadata file, checked before any system routine is given the bytes: every
// offset and size must keep every part inside the descriptor's own length.
#pragma once
#include <cstdint>

constexpr uint16_t SD_SELF_RELATIVE = 0x8000;
constexpr uint16_t SD_DACL_PROTECTED = 0x1000;
constexpr uint32_t SD_HEADER_SIZE = 20;

// True when the length bytes at d form a well-formed self-relative descriptor:
// revision 1, SE_SELF_RELATIVE, owner/group SIDs and SACL/DACL ACLs (with their
// ACEs) inside the length. Reads nothing outside d[0 .. length).
bool validate_security_descriptor(const uint8_t* d, uint32_t length);
