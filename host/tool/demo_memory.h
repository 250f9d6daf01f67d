// The small demonstration memory that the built-in panel starts with, at
// fixed addresses: the demo and the tests rely on these bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace zulhost {

struct MemoryBlock {
    std::uint32_t address;
    std::vector<std::uint8_t> bytes;
    const char* what;
};

const std::vector<MemoryBlock>& DemoMemory();

} // namespace zulhost
