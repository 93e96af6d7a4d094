// Faults injected into a run of the tool, loaded with LD_PRELOAD; the
// variable PIXDELTA_FAULT names one:
//   interrupt  every read, pread and write on a file (descriptor 3 and up)
//              first fails with EINTR, then moves at most 5 bytes
//   pread      every pread fails with EIO, as on a failing disk
//   close      closing a file (descriptor 3 and up) fails with EIO
//   no_tmpfile /proc/self/fd seems missing, so that an output is written
//              as a hidden file beside its name instead of an unnamed one
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

bool fault_is(const char* name)
{
    const char* fault = std::getenv("PIXDELTA_FAULT");
    return fault != nullptr && std::strcmp(fault, name) == 0;
}

template <class F> F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Every other call on a file is interrupted; the rest are cut short.
bool interrupted(int fd, std::size_t& size)
{
    static bool interrupt_next = true;
    if (fd < 3 || !fault_is("interrupt"))
        return false;
    interrupt_next = !interrupt_next;
    if (!interrupt_next) {
        errno = EINTR;
        return true;
    }
    size = size < 5 ? size : 5;
    return false;
}

} // namespace

extern "C" ssize_t read(int fd, void* buffer, std::size_t size)
{
    if (interrupted(fd, size))
        return -1;
    return next<ssize_t (*)(int, void*, std::size_t)>("read")(fd, buffer, size);
}

extern "C" ssize_t write(int fd, const void* buffer, std::size_t size)
{
    if (interrupted(fd, size))
        return -1;
    return next<ssize_t (*)(int, const void*, std::size_t)>("write")(fd, buffer, size);
}

extern "C" ssize_t pread(int fd, void* buffer, std::size_t size, off_t position)
{
    if (fault_is("pread")) {
        errno = EIO;
        return -1;
    }
    if (interrupted(fd, size))
        return -1;
    return next<ssize_t (*)(int, void*, std::size_t, off_t)>("pread")(fd, buffer, size, position);
}

extern "C" int close(int fd)
{
    int result = next<int (*)(int)>("close")(fd);
    if (fd >= 3 && fault_is("close")) {
        errno = EIO;
        return -1;
    }
    return result;
}

extern "C" int access(const char* path, int mode)
{
    if (fault_is("no_tmpfile") && std::strcmp(path, "/proc/self/fd") == 0) {
        errno = ENOENT;
        return -1;
    }
    return next<int (*)(const char*, int)>("access")(path, mode);
}
