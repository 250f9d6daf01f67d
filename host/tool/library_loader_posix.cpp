#include "host/tool/library_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace zulhost {

DriverLibrary::~DriverLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

bool DriverLibrary::Load(const std::string& path, std::string* error) {
    // A path without a slash would be searched for; a host names its driver.
    std::string name = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        *error = "cannot load " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    void* symbol = dlsym(handle, "ZulMain");
    if (symbol == nullptr) {
        *error = path + " has no export ZulMain";
        dlclose(handle);
        return false;
    }
    handle_ = handle;
    // POSIX guarantees that a data pointer from dlsym converts to a function pointer.
    static_assert(sizeof(symbol) == sizeof(entry_), "function and data pointers differ");
    std::memcpy(&entry_, &symbol, sizeof entry_);
    return true;
}

const char* DriverFileName() { return "libzultrk.so"; }

std::string ExecutableFolder() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    std::string path(buffer, static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

} // namespace zulhost
