// The first 65534 bytes of the oversized install log that the PowerShell double
// writes: lines of text as a real log has them. The 65535th byte starts a
// two-byte character that the setup program's single read cuts in half.
#pragma once

#include <string>

inline std::string big_log_head() {
    std::string head;
    for (int line = 0; head.size() + 100 <= 65534; ++line) {
        std::string text = "linha " + std::to_string(line) + " ";
        text.append(98 - text.size(), 'a');
        head += text + "\r\n";
    }
    head.append(65534 - head.size(), 'c');
    return head;
}
