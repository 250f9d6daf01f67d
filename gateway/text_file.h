// Reading a file the configuration names (the configuration itself, a point
// list) with bounds: only a regular file, no larger than a limit, read in a
// time its size sets. A FIFO, a device or /dev/zero named by mistake is
// refused at once instead of blocking the start or filling memory.
#pragma once

#include <cstddef>
#include <string>

namespace zulgate {

constexpr std::size_t ConfigFileLimit = 1u << 20;    // 1 MiB
constexpr std::size_t PointListFileLimit = 8u << 20; // 8 MiB: some 100 000 rows
constexpr std::size_t PasswordFileLimit = 64u << 10; // 64 KiB: MQTT's longest password and more

// The file's text; false with the reason, in words ("not a regular file
// (a character device)", "larger than 8 MiB", or the system's).
bool ReadTextFile(const std::string& path, std::size_t limit, std::string& text, std::string& error);

// "8 MiB", "1 MiB", "512 KiB".
std::string SizeText(std::size_t bytes);

// Whether the path names a regular file this process can open for reading;
// false with the reason. Opens nothing that is not a regular file.
bool RegularReadable(const std::string& path, std::string& error);

} // namespace zulgate
