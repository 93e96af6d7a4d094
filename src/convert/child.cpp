#include "child.h"

#include "carried.h"
#include "image/file_io.h"

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

constexpr rlim_t budget = 24 << 20;
// The most that allow_memory may add: a row of tiles and a tile.
constexpr rlim_t largest_allowance = rlim_t{288} << 20;

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

// The address space the process has mapped now: the program, its
// libraries and the format's module, loaded before the fork.
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

void cap_memory()
{
    rlim_t now = mapped_now();
    if (sanitized || now == 0)
        return;
    struct rlimit limit = {now + budget, now + budget + largest_allowance};
    setrlimit(RLIMIT_AS, &limit);
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

} // namespace

bool run_in_child(const std::function<bool(Failure&)>& work, const std::string& file,
                  Failure& failure)
{
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) {
        failure = {file, with_errno("cannot start the conversion", errno)};
        return false;
    }
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
        cap_memory();
        // What a crashing library prints is no message of pixconvert's; the
        // sanitizers' reports are kept.
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (!sanitized && null >= 0)
            dup2(null, 2);
        Failure mine;
        bool ok = work(mine);
        if (!ok)
            send(channel[1], mine);
        _exit(ok ? 0 : 1);
    }
    close(channel[1]);
    if (child < 0) {
        close(channel[0]);
        failure = {file, with_errno("cannot start the conversion", errno)};
        return false;
    }
    Failure reported = receive(channel[0]);
    close(channel[0]);
    int status = 0;
    pid_t waited;
    while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    if (waited != child) {
        failure = {file, with_errno("cannot learn how the conversion ended", errno)};
        return false;
    }
    if (WIFSIGNALED(status))
        failure = {file, std::string("cannot convert it: the format's library crashed on it (") +
                             strsignal(WTERMSIG(status)) + ")"};
    else if (reported.file.empty()) // a library that ended the process itself
        failure = {file, "cannot convert it: the format's library ended the conversion (exit "
                         "status " + std::to_string(WEXITSTATUS(status)) + ")"};
    else
        failure = reported;
    return false;
}

void allow_memory(std::uint64_t bytes)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur + bytes, limit.rlim_max);
    setrlimit(RLIMIT_AS, &limit);
}

} // namespace convert
