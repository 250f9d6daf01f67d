#include "host/tool/demo_memory.h"

namespace zulhost {

const std::vector<MemoryBlock>& DemoMemory() {
    static const std::vector<MemoryBlock> memory = {
        {0x004000, {0x41, 0x10, 0xA5, 0x08}, "bytes B004000..B004003: 65, 16, 165, 8"},
        {0x002000, {0xA3}, "nibbles E002000 = 3 and M002000 = 10 (byte A3)"},
        {0x000100, {0x00, 0x0F}, "word T000100 = 0x0F00"},
        {0x01A2F3, {0x34, 0x12, 0x78, 0x56}, "words W01A2F3 = 0x1234, W01A2F5 = 0x5678"},
        {0x10000A, {0x78, 0x56, 0x34, 0x12}, "long L10000A = 0x12345678"},
        {0x003000, {0x10, 0x27, 0x00, 0x00}, "float F003000 = 10000"},
        // Panel day numbers (1 is 1 January 1977), low byte first, and a spare byte each.
        {0x123456,
         {0xD1, 0x20, 0x00, 0xB5, 0x43, 0x00, 0x01, 0x00, 0x00},
         "dates D123456 = 2000-01-01, D123459 = 2024-06-15, D12345C = 1977-01-01"},
    };
    return memory;
}

} // namespace zulhost
