#include "child.h"

#include "messages.h"
#include "image/file_io.h"
#include "image/limits.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace convert {

using namespace img;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// A sanitizer reserves terabytes of address space, so a sanitized build
// cannot cap it; nor can a build for an emulator that ignores RLIMIT_AS.
#if defined(PIXCONVERT_UNCAPPED_MEMORY)
constexpr bool cap_memory = false;
#else
constexpr bool cap_memory = !sanitized;
#endif

// The address space the process had mapped before the conversion began:
// the program, its libraries and the format's module.
rlim_t mapped_at_start = 0;

rlim_t mapped_now()
{
    unsigned long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    return static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

// Sets the soft limit to `soft` and the hard one to `hard`, neither above a
// hard limit the caller set (which only it may raise), and checks that the
// soft limit holds: 0, or the error that left it unset.
int cap(int resource, rlim_t soft, rlim_t hard)
{
    struct rlimit now;
    if (getrlimit(resource, &now) != 0)
        return errno;
    struct rlimit wanted = {std::min(soft, now.rlim_max), std::min(hard, now.rlim_max)};
    if (setrlimit(resource, &wanted) != 0)
        return errno;
    if (getrlimit(resource, &now) != 0)
        return errno;
    return now.rlim_cur != RLIM_INFINITY && now.rlim_cur <= soft ? 0 : EPERM;
}

// The caps of a new conversion: memory for the base budget (with room under
// the hard limit for the most any reader may ask), processor time for the
// base share, as soft limits, which the child can raise once its reader has
// said what the file needs. A SIGXCPU the caller ignored must still end it.
bool cap_conversion(Failure& failure, const std::string& file)
{
    std::signal(SIGXCPU, SIG_DFL);
    if (int error = cap(RLIMIT_CPU, cpu_seconds_base, RLIM_INFINITY))
        return fail(failure, file, because(error), says::cannot_cap_time);
    if (!cap_memory)
        return true;
    mapped_at_start = mapped_now();
    if (mapped_at_start == 0)
        return fail(failure, file, says::no_statm);
    if (int error = cap(RLIMIT_AS, mapped_at_start + conversion_base,
                        mapped_at_start + conversion_base + largest_reader_need))
        return fail(failure, file, because(error), says::cannot_cap_memory);
    return true;
}

// The child's failure travels as "file\0what".
void send(int channel, const Failure& failure)
{
    std::string message = failure.file + '\0' + failure.what;
    write_fully(channel, reinterpret_cast<const unsigned char*>(message.data()), message.size());
}

Failure receive(int channel)
{
    std::string message;
    char buffer[4096];
    for (ssize_t got; (got = read(channel, buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || message.size() > (1 << 20))
            break;
        message.append(buffer, static_cast<std::size_t>(got));
    }
    std::size_t nul = message.find('\0');
    if (nul == std::string::npos)
        return {};
    return {message.substr(0, nul), message.substr(nul + 1)};
}

// The signals by which a library's fault ends a process; any other that
// ended the child came from outside it.
bool crash_signal(int s)
{
    return s == SIGSEGV || s == SIGBUS || s == SIGFPE || s == SIGILL || s == SIGABRT ||
           s == SIGSYS || s == SIGTRAP;
}

// What ended a child killed by signal `s` after `cpu` seconds of processor
// time.
bool killed_by(int s, double cpu, const std::string& file, Failure& failure)
{
    if (s == SIGXCPU || (s == SIGKILL && cpu >= static_cast<double>(cpu_seconds_base)))
        return fail(failure, file, says::too_much_time, cpu, llu(cpu_seconds_base),
                    llu(cpu_bytes_per_second / mebibyte));
    // A caller's hard limit below the cap becomes the child's: the kernel
    // then ends the child with SIGKILL, not SIGXCPU, once its time reaches
    // it (this process has the caller's limits).
    struct rlimit caller;
    if (s == SIGKILL && getrlimit(RLIMIT_CPU, &caller) == 0 && caller.rlim_max != RLIM_INFINITY &&
        cpu + 0.5 >= static_cast<double>(caller.rlim_max))
        return fail(failure, file, says::caller_time_limit, cpu, llu(caller.rlim_max));
    if (crash_signal(s))
        return fail(failure, file, says::library_crashed, strsignal(s));
    return fail(failure, file, says::ended_from_outside, strsignal(s));
}

} // namespace

bool run_in_child(const std::function<bool(Failure&)>& work, const std::string& file,
                  Failure& failure)
{
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0)
        return fail(failure, file, because(errno), says::cannot_start);
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        // A child left behind by a parent that was killed ends too.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        // The child keeps the parent's handlers: if it is ended by a signal
        // while OUT is a hidden file, it removes that file, which the parent
        // was about to abandon anyway.
        Failure mine;
        bool capped = cap_conversion(mine, file);
        // What a crashing library prints is no message of pixconvert's; the
        // sanitizers' reports are kept.
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (!sanitized && null >= 0)
            dup2(null, 2);
        bool ok = capped && work(mine);
        if (!ok)
            send(channel[1], mine);
        _exit(ok ? 0 : 1);
    }
    close(channel[1]);
    if (child < 0) {
        int error = errno;
        close(channel[0]);
        return fail(failure, file, because(error), says::cannot_start);
    }
    Failure reported = receive(channel[0]);
    close(channel[0]);
    int status = 0;
    struct rusage usage = {};
    pid_t waited;
    while ((waited = wait4(child, &status, 0, &usage)) < 0 && errno == EINTR) {
    }
    if (waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    if (waited != child)
        return fail(failure, file, because(errno), says::cannot_wait);
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (WIFSIGNALED(status))
        return killed_by(WTERMSIG(status), cpu, file, failure);
    if (reported.file.empty()) // a library that ended the process itself
        return fail(failure, file, says::library_exited, WEXITSTATUS(status));
    failure = reported;
    return false;
}

bool allow_conversion(std::uint64_t memory, std::uint64_t bytes, const std::string& file,
                      Failure& failure)
{
    if (memory > largest_reader_need) // a reader's bound that the limits do not allow for
        return fail(failure, file, says::reader_asks_too_much, llu(memory));
    rlim_t seconds = cpu_seconds_base + bytes / cpu_bytes_per_second;
    int error = cap(RLIMIT_CPU, seconds, RLIM_INFINITY);
    if (error == 0 && cap_memory)
        error = cap(RLIMIT_AS, mapped_at_start + conversion_base + memory,
                    mapped_at_start + conversion_base + largest_reader_need);
    return error == 0 || fail(failure, file, because(error), says::cannot_cap);
}

} // namespace convert
