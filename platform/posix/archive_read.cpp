// Reading the archive: three descriptors on one file, each moved on its own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/backend.h"

PlatformHandle platform_open_read(const char* utf8_path) {
    return to_handle(SYS(SYS_OPEN, open(utf8_path, O_RDONLY | O_CLOEXEC)));
}

uint32_t platform_read(PlatformHandle h, void* buffer, uint32_t count) {
    if (h == PLATFORM_NO_HANDLE) return 0;
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = SYS(SYS_READ, read(to_fd(h), (char*)buffer + done, count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += (uint32_t)n;
    }
    return done;
}

bool platform_seek_from_end(PlatformHandle h, int64_t distance) {
    if (h == PLATFORM_NO_HANDLE) return false;
    return SYS(SYS_LSEEK, lseek(to_fd(h), (off_t)distance, SEEK_END)) >= 0;
}

bool platform_skip_forward(PlatformHandle h, uint64_t distance) {
    if (h == PLATFORM_NO_HANDLE || distance > (uint64_t)INT64_MAX) return false;
    return SYS(SYS_LSEEK, lseek(to_fd(h), (off_t)distance, SEEK_CUR)) >= 0;
}

uint64_t platform_file_size(PlatformHandle h) {
    struct stat st;
    if (h == PLATFORM_NO_HANDLE || SYS(SYS_FSTAT, fstat(to_fd(h), &st)) != 0) return 0;
    return (uint64_t)st.st_size;
}

bool platform_is_regular_file(PlatformHandle h) {
    struct stat st;
    return h != PLATFORM_NO_HANDLE && SYS(SYS_FSTAT, fstat(to_fd(h), &st)) == 0 && S_ISREG(st.st_mode);
}
