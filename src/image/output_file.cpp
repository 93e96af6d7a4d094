#include "output_file.h"

#include "file_io.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace img {

namespace {

// The outputs with a hidden name, which a signal handler or the exit must
// remove. Changed only with every signal blocked.
Output_File* volatile unfinished = nullptr;

// Signals that end a process by default and can be caught. SIGPIPE and
// SIGXFSZ are not here: the tools ignore them, so that a failed write gets
// its message.
const int terminating_signals[] = {
    SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,  SIGFPE, SIGUSR1,
    SIGSEGV, SIGUSR2,   SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGPWR,
    SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// Async-signal-safe: a walk of the list and unlinkat.
void remove_unfinished()
{
    for (Output_File* out = unfinished; out; out = out->next_unfinished)
        unlinkat(out->folder, out->hidden, 0);
    unfinished = nullptr;
}

extern "C" void remove_and_die(int signal_number)
{
    remove_unfinished();
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
    raise(signal_number); // delivered, by default, when the handler returns
}

extern "C" void remove_at_exit()
{
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    remove_unfinished();
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void catch_terminating_signals()
{
    struct sigaction action = {};
    action.sa_handler = remove_and_die;
    sigfillset(&action.sa_mask);
    auto install = [&](int s) {
        struct sigaction old = {};
        // One ignored on entry (nohup, a background job's SIGINT) stays so,
        // and so does a handler of the sanitizers'.
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
            sigaction(s, &action, nullptr);
    };
    for (int s : terminating_signals)
        install(s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s)
        install(s);
}

// ".NAME.XXXXXX" from the first 40 bytes of the output's name, with random
// letters: a hidden neighbour the user can tell belongs to it.
void hidden_name(const char* base, char (&name)[NAME_MAX + 1])
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[6] = {};
    if (getrandom(random, sizeof random, 0) != sizeof random) {
        auto mix = static_cast<std::uint64_t>(getpid()) * 2654435761u + static_cast<std::uint64_t>(clock());
        for (unsigned char& r : random)
            r = static_cast<unsigned char>(mix >>= 5);
    }
    char suffix[7];
    for (int k = 0; k < 6; ++k)
        suffix[k] = letters[random[k] % (sizeof letters - 1)];
    suffix[6] = '\0';
    std::snprintf(name, sizeof name, ".%.40s.%s", base, suffix);
}

// Makes `make` create a new hidden name, trying again while the name is
// taken.
template <class Make> int with_new_hidden_name(Output_File& out, Make make)
{
    for (int tries = 0; tries < 100; ++tries) {
        hidden_name(out.base, out.hidden);
        if (make() == 0)
            return 0;
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

void block_signals(sigset_t& old)
{
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
}

// Both with every signal blocked.
void add_unfinished(Output_File& out)
{
    out.next_unfinished = unfinished;
    unfinished = &out;
}

void remove_from_unfinished(Output_File& out)
{
    for (Output_File* volatile* link = &unfinished; *link; link = &(*link)->next_unfinished)
        if (*link == &out) {
            *link = out.next_unfinished;
            break;
        }
    out.next_unfinished = nullptr;
}

} // namespace

void remove_unfinished_outputs_at_exit_and_on_signals()
{
    catch_terminating_signals();
    std::atexit(remove_at_exit);
}

Output_Target output_target(const char* path, struct stat& target)
{
    struct stat name;
    if (lstat(path, &name) != 0)
        return Output_Target::absent;
    if (!S_ISREG(name.st_mode) && !S_ISLNK(name.st_mode))
        return Output_Target::other;
    // A link that leads nowhere is no input either.
    return stat(path, &target) == 0 ? Output_Target::file : Output_Target::absent;
}

int create_output(const char* path, Output_File& out)
{
    out = Output_File{};
    const char* slash = std::strrchr(path, '/');
    const char* base = slash ? slash + 1 : path;
    if (*base == '\0' || std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0)
        return EISDIR;
    if (std::strlen(base) > NAME_MAX)
        return ENAMETOOLONG;
    std::memcpy(out.base, base, std::strlen(base) + 1);
    if (slash) {
        std::size_t length = static_cast<std::size_t>(slash - path);
        char folder[PATH_MAX];
        if (length >= sizeof folder)
            return ENAMETOOLONG;
        std::memcpy(folder, path, length);
        folder[length] = '\0';
        out.folder = open(length == 0 ? "/" : folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else
        out.folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (out.folder < 0)
        return errno;

    // Unnamed until complete; its link into place needs /proc.
    if (access("/proc/self/fd", X_OK) == 0) {
        out.fd = openat(out.folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (out.fd >= 0)
            return 0;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            int error = errno;
            abandon_output(out);
            return error;
        }
    }
    // A hidden file beside the output, on the list of unfinished outputs
    // before anything else can happen.
    sigset_t old;
    block_signals(old);
    int error = with_new_hidden_name(out, [&] {
        out.fd = openat(out.folder, out.hidden, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        return out.fd < 0 ? -1 : 0;
    });
    if (error == 0) {
        out.named = true;
        add_unfinished(out);
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(out.fd, 0666 & ~mask) != 0)
            error = errno;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (error != 0)
        abandon_output(out);
    return error;
}

int commit_output(Output_File& out, After_Commit after)
{
    // A close reports what a network file system could not write back; a
    // file with a name must pass it before it takes the output's name.
    int error = 0;
    int flushed = dup(out.fd);
    if (flushed < 0 || close(flushed) != 0)
        error = errno;
    sigset_t old;
    block_signals(old);
    if (error == 0 && !out.named) {
        Descriptor_Path self;
        descriptor_path(out.fd, self);
        error = with_new_hidden_name(out, [&] {
            return linkat(AT_FDCWD, self, out.folder, out.hidden, AT_SYMLINK_FOLLOW);
        });
        out.named = error == 0;
        if (out.named)
            add_unfinished(out);
    }
    if (error == 0 && renameat(out.folder, out.hidden, out.folder, out.base) != 0)
        error = errno;
    if (error == 0) {
        out.named = false;
        remove_from_unfinished(out);
        close(out.fd);
        out.fd = -1;
        close(out.folder);
        out.folder = -1;
        if (after == After_Commit::signals_restored)
            sigprocmask(SIG_SETMASK, &old, nullptr);
        return 0;
    }
    // Removed before a signal that came meanwhile is let in: the unnamed
    // file's path installs no handler, and its hidden name now exists.
    abandon_output(out);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return error;
}

void abandon_output(Output_File& out)
{
    sigset_t old;
    block_signals(old);
    if (out.named)
        unlinkat(out.folder, out.hidden, 0);
    out.named = false;
    remove_from_unfinished(out);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (out.fd >= 0)
        close(out.fd);
    if (out.folder >= 0)
        close(out.folder);
    out.fd = out.folder = -1;
}

} // namespace img
