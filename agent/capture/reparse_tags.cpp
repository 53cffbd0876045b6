#include "agent/capture/reparse_tags.h"

bool reparse_tag_bears_data(uint32_t tag) {
  switch (tag) {
    case 0xC0000004:  // HSM
    case 0x80000006:  // HSM2
    case 0x80000007:  // SIS
    case 0x80000008:  // WIM
    case 0x80000013:  // DEDUP
    case 0x80000015:  // FILE_PLACEHOLDER
    case 0x80000017:  // WOF
    case 0x8000001E:  // STORAGE_SYNC
    case 0x90000027:  // STORAGE_SYNC_FOLDER
    case 0x9000001C:  // PROJFS
    case 0x80000021:  // ONEDRIVE
      return true;
    default:
      break;
  }
  // The cloud files tags carry a subtype in bits 12 to 15.
  return (tag & 0xFFFF0FFFu) == 0x9000001Au;
}
