// Loading the driver library the way a host does, and finding its export.
// The two platform versions live in library_loader_posix.cpp (dlopen) and
// library_loader_win32.cpp (LoadLibraryA); every host of the driver (zulhost,
// zulgate, the benchmark) loads it through here.
#pragma once

#include <cstdint>
#include <string>

#include "driver/zultrk.h"

namespace zulclient {

class DriverLibrary {
public:
    DriverLibrary() = default;
    ~DriverLibrary(); // unloads
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    // Loads the library at path (with `search`, a bare name the system looks
    // for on its library path) and looks up "ZulMain". On failure returns
    // false with a message in *error; nothing stays loaded.
    bool Load(const std::string& path, bool search, std::string* error);
    ZulMainFunction Entry() const { return entry_; }
    // The file that was loaded, as the system names it.
    std::string LoadedFile() const;

private:
    void* handle_ = nullptr;
    ZulMainFunction entry_ = nullptr;
};

// The driver library's file name on this platform (libzultrk.so, zultrk.dll),
// and the name an installed one is found by (libzultrk.so.7, zultrk.dll).
const char* DriverFileName();
std::string InstalledDriverName();

struct DriverLocation {
    std::string name;
    bool search; // a name for the system to look for, not a path
};

// Where a host finds the driver: the path it was given; else the driver
// beside the executable (as in a Windows host's folder); else, for a program
// of a build tree (running from buildTreeFolder), that tree's driver; else
// the installed one, by its soname, from the system's library path. The
// build-tree pair is empty for an installed program.
DriverLocation FindDriver(const std::string& given, const std::string& buildTreeDriver,
                          const std::string& buildTreeFolder);

// Whether two folders are the same one (both ending in a separator or not).
bool SameFolder(const std::string& a, const std::string& b);

// The folder of the running executable, with a trailing separator, or "".
std::string ExecutableFolder();

bool FileExists(const std::string& path);

} // namespace zulclient
