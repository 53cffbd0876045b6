#include "package_table.h"

#include "bounded_text.h"

const char16_t* const package_file_names[package_file_count] = {
    u"vardokeep-agent.exe",
    u"Install-Vardokeep.ps1",
    u"Run-Backup.ps1",
    u"Uninstall-Vardokeep.ps1",
    u"Setup-Run.ps1",
    u"README.md",
    u"LICENSE-xxhash",
    u"LICENSE-lz4",
    u"LICENSE-blake3-CC0",
    u"LICENSE-blake3-Apache",
    u"LICENSE-Vardokeep",
};

namespace {

void put_hex(char16_t*& out, uint64_t value, int digits) {
    static const char16_t hex[] = u"0123456789abcdef";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *out++ = hex[(value >> shift) & 0xF];
}

}  // namespace

bool format_package_directory_path(char16_t* out, size_t capacity, const char16_t* temp_directory,
                                   const PackageGuid& guid) {
    // "%08lx-%04x-%04x-" then sixteen digits: 35 units.
    char16_t name[8 + 1 + 4 + 1 + 4 + 1 + 16 + 1];
    char16_t* p = name;
    put_hex(p, guid.data1, 8);
    *p++ = u'-';
    put_hex(p, guid.data2, 4);
    *p++ = u'-';
    put_hex(p, guid.data3, 4);
    *p++ = u'-';
    for (uint8_t byte : guid.data4) put_hex(p, byte, 2);
    *p = 0;
    const char16_t* const parts[] = {temp_directory, u"Vardokeep-", name};
    return join_texts(out, capacity, parts, 3);
}

bool format_package_member_path(char16_t* out, size_t capacity, const char16_t* directory,
                                const char16_t* name) {
    const char16_t* const parts[] = {directory, u"\\", name};
    return join_texts(out, capacity, parts, 3);
}

bool plain_final_path(char16_t* out, size_t capacity, const char16_t* final_path) {
    const char16_t* const long_prefix = u"\\\\?\\";
    for (size_t i = 0; i < 4; ++i)
        if (final_path[i] != long_prefix[i]) return false;
    const char16_t* rest = final_path + 4;
    const char16_t letter = static_cast<char16_t>(rest[0] | 0x20);
    if (letter >= u'a' && letter <= u'z' && rest[1] == u':' && rest[2] == u'\\' && rest[3] != 0) {
        const char16_t* const parts[] = {rest};
        return join_texts(out, capacity, parts, 1);
    }
    const char16_t* const unc = u"UNC\\";
    for (size_t i = 0; i < 4; ++i)
        if (rest[i] != unc[i]) return false;
    if (rest[4] == 0 || rest[4] == u'\\') return false;
    const char16_t* const parts[] = {u"\\\\", rest + 4};
    return join_texts(out, capacity, parts, 2);
}
