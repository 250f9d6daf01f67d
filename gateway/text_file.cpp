#include "gateway/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zulgate {
namespace {

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a file";
}

// Opens a regular file for reading; -1 with the reason. The type is looked
// at before the open (opening a FIFO waits for a writer, a serial device
// may change its modem lines) and again after it, on what was opened.
int OpenRegular(const std::string& path, struct stat& info, std::string& error) {
    if (stat(path.c_str(), &info) != 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error = std::string("not a regular file (") + KindOf(info.st_mode) + ")";
        return -1;
    }
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = std::string("not a regular file (") + KindOf(info.st_mode) + ")";
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

std::string SizeText(std::size_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

bool ReadTextFile(const std::string& path, std::size_t limit, std::string& text, std::string& error) {
    text.clear();
    struct stat info {};
    int fd = OpenRegular(path, info, error);
    if (fd < 0) return false;
    const std::string tooLarge = "larger than " + SizeText(limit) + ", the most it may be";
    if (static_cast<std::size_t>(info.st_size) > limit) {
        error = tooLarge;
        close(fd);
        return false;
    }
    // Read to the end, but never past the limit: a file that grows while it
    // is read (or claims a size it does not have) is bounded all the same.
    text.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t got = 0;
    for (;;) {
        if (got == text.size()) {
            if (text.size() > limit) break;
            text.resize(std::min(limit + 1, 2 * text.size()));
        }
        ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::strerror(errno);
            close(fd);
            text.clear();
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    if (got > limit) {
        error = tooLarge;
        text.clear();
        return false;
    }
    text.resize(got);
    text.shrink_to_fit();
    return true;
}

bool RegularReadable(const std::string& path, std::string& error) {
    struct stat info {};
    int fd = OpenRegular(path, info, error);
    if (fd < 0) return false;
    close(fd);
    return true;
}

} // namespace zulgate
