// validate_security_descriptor over hostile bytes, in a buffer of exactly the
// descriptor's length so that ASan reports any read beyond it.
#include <cstring>
#include <memory>

#include "agent/metadata_restore/security_descriptor_rules.h"
#include "core/metadata_file_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMetadataMaxDescriptorLength) return 0;
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
  if (size > 0) memcpy(copy.get(), data, size);
  validate_security_descriptor(copy.get(), static_cast<uint32_t>(size));
  return 0;
}
