// Image files made to order, and runs of the pixdelta binary on them.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tests {

using Bytes = std::string;

inline Bytes le16(const std::vector<std::uint16_t>& values)
{
    Bytes b;
    for (std::uint16_t v : values) {
        b.push_back(static_cast<char>(v & 0xFF));
        b.push_back(static_cast<char>(v >> 8));
    }
    return b;
}

inline Bytes le64(const std::vector<double>& values)
{
    Bytes b;
    for (double v : values) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        for (int k = 0; k < 64; k += 8)
            b += static_cast<char>((bits >> k) & 0xFF);
    }
    return b;
}

struct Image {
    std::uint16_t file_type = 2, x_size = 0, y_size = 0;
    Bytes comment, values; // values: the pixel block as it goes to the file
    // Fills the 54 bytes the tool does not interpret, so that a test can
    // tell whose header reached the output.
    char filler = 0;
    Bytes magic = "IM";
    std::optional<std::uint16_t> comment_length; // when the header must lie

    Bytes header() const
    {
        Bytes h(64, filler);
        h.replace(0, 2, magic);
        h.replace(2, 2, le16({comment_length.value_or(static_cast<std::uint16_t>(comment.size()))}));
        h.replace(4, 4, le16({x_size, y_size}));
        h.replace(12, 2, le16({file_type}));
        return h;
    }
    Bytes file() const { return header() + comment + values; }
};

inline Image u16_image(std::uint16_t x, std::uint16_t y, const std::vector<std::uint16_t>& values,
                       Bytes comment = "", char filler = 0)
{
    return Image{2, x, y, comment, le16(values), filler, "IM", std::nullopt};
}

inline Image f64_image(std::uint16_t x, std::uint16_t y, const std::vector<double>& values,
                       Bytes comment = "")
{
    return Image{10, x, y, comment, le64(values), 0, "IM", std::nullopt};
}

struct Run_Result {
    int status; // as a shell sees it, 0 to 255; -1 if killed by a signal
    Bytes out, err;
};

struct Run_Options {
    std::optional<rlim_t> file_size_limit;     // writes past it fail, as on a full disk
    std::optional<rlim_t> address_space_limit; // memory the run may map
    std::vector<Bytes> stdin_pieces;           // fed through a pipe, pausing between pieces
    std::string shell;   // run as sh -c SHELL with $0 the tool, for redirections
    std::string fault;   // a fault to inject (fault_shim.cpp), or none
    std::optional<std::vector<Bytes>> environment; // instead of this process's
    std::function<void()> while_running;
    unsigned seconds = 120; // a run that takes longer is killed by SIGALRM, a failure
    std::vector<int> ignored_signals; // as a caller may leave them, across exec
};

// Standard output and error come back through pipes, which a file size limit
// does not cut short; each holds all a run prints, so the run never waits.
inline Run_Result run_tool(const std::vector<std::string>& args, const std::string& dir,
                           const Run_Options& options = {})
{
    int in[2], out[2], err[2];
    for (int* p : {in, out, err})
        if (pipe(p) != 0 || fcntl(p[1], F_SETPIPE_SZ, 1 << 20) < 0)
            std::abort();
    if (fork() == 0) { // the feeder
        for (int fd : {in[0], out[0], out[1], err[0], err[1]})
            close(fd);
        for (const Bytes& piece : options.stdin_pieces) {
            if (write(in[1], piece.data(), piece.size()) < 0)
                _exit(1);
            usleep(20000);
        }
        _exit(0);
    }
    close(in[1]);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        alarm(options.seconds);
        for (int s : options.ignored_signals)
            signal(s, SIG_IGN);
        for (auto [resource, limit] : {std::pair{RLIMIT_FSIZE, options.file_size_limit},
                                       std::pair{RLIMIT_AS, options.address_space_limit}}) {
            rlimit l{limit.value_or(RLIM_INFINITY), limit.value_or(RLIM_INFINITY)};
            setrlimit(resource, &l);
        }
        if (!options.fault.empty()) {
            setenv("LD_PRELOAD", PIXDELTA_FAULT_SHIM, 1);
            setenv("PIXDELTA_FAULT", options.fault.c_str(), 1);
        }
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> argv{const_cast<char*>(PIXDELTA_BINARY)};
        if (!options.shell.empty())
            argv = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                    const_cast<char*>(options.shell.c_str()), const_cast<char*>(PIXDELTA_BINARY)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::size_t k = 0; options.environment && k < options.environment->size(); ++k)
            envp.push_back(const_cast<char*>((*options.environment)[k].c_str()));
        envp.push_back(nullptr);
        if (chdir(dir.c_str()) == 0)
            execve(options.shell.empty() ? PIXDELTA_BINARY : "/bin/sh", argv.data(),
                   options.environment ? envp.data() : environ);
        _exit(127);
    }
    for (int fd : {in[0], out[1], err[1]})
        close(fd);
    if (options.while_running)
        options.while_running();
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    while (wait(nullptr) > 0) // the feeder
        ;
    Run_Result r{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, "", ""};
    for (auto [fd, text] : {std::pair{out[0], &r.out}, std::pair{err[0], &r.err}}) {
        char buffer[4096];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
            text->append(buffer, static_cast<std::size_t>(got));
        close(fd);
    }
    return r;
}

inline std::optional<Bytes> read_file(const std::string& name)
{
    std::ifstream f(name, std::ios::binary);
    if (!f)
        return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

// A test in a folder of its own, removed afterwards.
class In_Temp_Dir : public ::testing::Test {
protected:
    void SetUp() override
    {
        Bytes pattern = (std::filesystem::temp_directory_path() / "pixdelta-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string path(const std::string& name) const { return dir + "/" + name; }
    void put(const std::string& name, const Bytes& bytes) const
    {
        std::ofstream(path(name), std::ios::binary | std::ios::trunc) << bytes;
    }
    std::optional<Bytes> get(const std::string& name) const { return read_file(path(name)); }
    Run_Result run(const std::vector<std::string>& args, const Run_Options& options = {}) const
    {
        return run_tool(args, dir, options);
    }

    std::string dir;
};

} // namespace tests
