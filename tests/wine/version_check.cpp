// The version resource of zultrk.dll as a Windows host (or Explorer's
// Properties page) reads it: GetFileVersionInfoA and VerQueryValueA.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/wine/host_check.h"
#include "zultrk_version.h"

int main() {
    host::Checks checks;
    char path[] = "zultrk.dll";
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (!checks.Expect(size > 0, "zultrk.dll has no version resource (error %lu)",
                       static_cast<unsigned long>(GetLastError())))
        return checks.Finish();
    std::vector<char> data(size);
    checks.Expect(GetFileVersionInfoA(path, 0, size, data.data()) != 0, "GetFileVersionInfoA failed");

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (checks.Expect(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) && fixed,
                      "no fixed file information")) {
        DWORD wanted = static_cast<DWORD>(ZULTRK_VERSION_MAJOR) << 16 | ZULTRK_VERSION_MINOR;
        checks.ExpectEq32(fixed->dwFileVersionMS, wanted, "FileVersion (fixed, major.minor)");
        checks.ExpectEq32(fixed->dwProductVersionMS, wanted, "ProductVersion (fixed, major.minor)");
        checks.ExpectEq32(fixed->dwFileType, VFT_DLL, "file type");
    }
    struct Field {
        const char* name;
        std::string expected; // empty: any text but an empty one
    };
    const Field fields[] = {
        {"FileVersion", ZULTRK_VERSION_TEXT},
        {"ProductVersion", ZULTRK_VERSION_TEXT},
        {"ProductName", "zultrk"},
        {"OriginalFilename", "zultrk.dll"},
        {"FileDescription", ""},
        {"LegalCopyright", ""},
    };
    for (const Field& f : fields) {
        std::string query = std::string("\\StringFileInfo\\040904b0\\") + f.name;
        char* text = nullptr;
        UINT n = 0;
        if (!checks.Expect(VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&text), &n) && text,
                           "no %s", f.name))
            continue;
        std::printf("  %-16s %s\n", f.name, text);
        if (f.expected.empty()) {
            checks.Expect(std::strlen(text) > 0, "%s is empty", f.name);
        } else {
            checks.Expect(f.expected == text, "%s is \"%s\", expected \"%s\"", f.name, text, f.expected.c_str());
        }
    }
    return checks.Finish();
}
