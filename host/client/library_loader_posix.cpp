#include "host/client/library_loader.h"

#include "zultrk_version.h"

#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace zulclient {

DriverLibrary::~DriverLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

bool DriverLibrary::Load(const std::string& path, bool search, std::string* error) {
    // A path without a slash would be searched for; a host names its driver,
    // unless the installed one is wanted.
    std::string name = !search && path.find('/') == std::string::npos ? "./" + path : path;
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

std::string InstalledDriverName() { return "libzultrk.so." + std::to_string(ZULTRK_VERSION_MAJOR); }

std::string DriverLibrary::LoadedFile() const {
    link_map* map = nullptr;
    if (handle_ == nullptr || dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || !map->l_name) return {};
    char real[PATH_MAX];
    return realpath(map->l_name, real) ? std::string(real) : std::string(map->l_name);
}

bool SameFolder(const std::string& a, const std::string& b) {
    char ra[PATH_MAX], rb[PATH_MAX];
    return realpath(a.c_str(), ra) && realpath(b.c_str(), rb) && std::strcmp(ra, rb) == 0;
}

std::string ExecutableFolder() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    std::string path(buffer, static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

} // namespace zulclient
