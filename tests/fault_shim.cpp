// Faults injected into a run of the tool, loaded with LD_PRELOAD; the
// variable PIXDELTA_FAULT names one:
//   interrupt  every read, pread and write on a file (descriptor 3 and up)
//              first fails with EINTR, then moves at most 5 bytes
//   pread      every pread fails with EIO, as on a failing disk
//   close      closing a file (descriptor 3 and up) fails with EIO
//   no_tmpfile creating an unnamed file (O_TMPFILE) fails with EOPNOTSUPP,
//              as on file systems without it
//   setrlimit  setting a resource limit fails with EPERM
//   waitpid    waiting for a child (waitpid, wait4) fails with ECHILD, as when something else
//              in the process reaped it
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
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

extern "C" pid_t waitpid(pid_t pid, int* status, int options)
{
    if (fault_is("waitpid")) {
        errno = ECHILD;
        return -1;
    }
    return next<pid_t (*)(pid_t, int*, int)>("waitpid")(pid, status, options);
}

extern "C" pid_t wait4(pid_t pid, int* status, int options, struct rusage* usage)
{
    if (fault_is("waitpid")) {
        errno = ECHILD;
        return -1;
    }
    return next<pid_t (*)(pid_t, int*, int, struct rusage*)>("wait4")(pid, status, options, usage);
}

// Built with 64-bit file offsets, as the programs are: this is setrlimit64.
extern "C" int setrlimit(__rlimit_resource_t resource, const struct rlimit* limit)
{
    if (fault_is("setrlimit")) {
        errno = EPERM;
        return -1;
    }
    return next<int (*)(__rlimit_resource_t, const struct rlimit*)>("setrlimit")(resource, limit);
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

namespace {

int open_at(const char* name, int dirfd, const char* path, int flags, va_list args)
{
    mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
    if ((flags & O_TMPFILE) == O_TMPFILE && fault_is("no_tmpfile")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return next<int (*)(int, const char*, int, ...)>(name)(dirfd, path, flags, mode);
}

} // namespace

// The programs are built with 64-bit file offsets: they call openat64.
extern "C" int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    int fd = open_at("openat64", dirfd, path, flags, args);
    va_end(args);
    return fd;
}
