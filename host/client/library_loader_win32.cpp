#include "host/client/library_loader.h"

#include <windows.h>

namespace zulclient {

DriverLibrary::~DriverLibrary() {
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

bool DriverLibrary::Load(const std::string& path, bool, std::string* error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error = "cannot load " + path + ": Windows error " + std::to_string(GetLastError());
        return false;
    }
    FARPROC symbol = GetProcAddress(module, "ZulMain");
    if (symbol == nullptr) {
        *error = path + " has no export ZulMain";
        FreeLibrary(module);
        return false;
    }
    handle_ = module;
    entry_ = reinterpret_cast<ZulMainFunction>(reinterpret_cast<void*>(symbol));
    return true;
}

const char* DriverFileName() { return "zultrk.dll"; }

std::string InstalledDriverName() { return "zultrk.dll"; }

std::string DriverLibrary::LoadedFile() const {
    char buffer[MAX_PATH];
    DWORD n = handle_ ? GetModuleFileNameA(static_cast<HMODULE>(handle_), buffer, MAX_PATH) : 0;
    return n > 0 && n < MAX_PATH ? std::string(buffer, n) : std::string();
}

bool SameFolder(const std::string& a, const std::string& b) { return a == b; }

std::string ExecutableFolder() {
    char buffer[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    std::string path(buffer, n);
    std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

} // namespace zulclient
