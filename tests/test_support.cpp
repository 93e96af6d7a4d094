#include "test_support.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void put16(Bytes& b, std::size_t at, std::uint16_t v)
{
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
}

} // namespace

Bytes header_bytes(const Image& image)
{
    Bytes h(64, static_cast<char>(image.filler));
    h.replace(0, 2, image.magic.substr(0, 2));
    put16(h, 2, image.comment_length.value_or(static_cast<std::uint16_t>(image.comment.size())));
    put16(h, 4, image.x_size);
    put16(h, 6, image.y_size);
    put16(h, 12, image.file_type);
    return h;
}

Bytes file_bytes(const Image& image)
{
    return header_bytes(image) + image.comment + image.values;
}

Bytes le16(const std::vector<std::uint16_t>& values)
{
    Bytes b(values.size() * 2, '\0');
    for (std::size_t i = 0; i < values.size(); ++i)
        put16(b, 2 * i, values[i]);
    return b;
}

Bytes le64(const std::vector<double>& values)
{
    Bytes b;
    for (double v : values) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        for (int k = 0; k < 8; ++k)
            b += static_cast<char>((bits >> (8 * k)) & 0xFF);
    }
    return b;
}

std::vector<std::uint16_t> from_le16(const Bytes& bytes)
{
    std::vector<std::uint16_t> v;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        v.push_back(static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[i]) |
                                               static_cast<unsigned char>(bytes[i + 1]) << 8));
    return v;
}

std::vector<double> from_le64(const Bytes& bytes)
{
    std::vector<double> v;
    for (std::size_t i = 0; i + 7 < bytes.size(); i += 8) {
        std::uint64_t bits = 0;
        for (int k = 7; k >= 0; --k)
            bits = bits << 8 | static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
        double d;
        std::memcpy(&d, &bits, 8);
        v.push_back(d);
    }
    return v;
}

namespace {

// Standard output and error come back through pipes, not files, so that a
// file size limit on the run does not cut them short. Each is made large
// enough to hold all the run prints, so the run never waits on them.
Bytes drain(int fd)
{
    Bytes all;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        all.append(buffer, static_cast<std::size_t>(got));
    close(fd);
    return all;
}

void make_pipe(int fds[2])
{
    if (pipe(fds) != 0)
        std::abort();
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
}

} // namespace

Run_Result run_tool(const std::vector<std::string>& args, const std::string& dir,
                    const Run_Options& options)
{
    int in[2], out[2], err[2];
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);
    const Bytes input = options.stdin_bytes.value_or("");
    if (write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        std::abort();
    close(in[1]);

    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        if (options.file_size_limit) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit{*options.file_size_limit, *options.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(PIXDELTA_BINARY));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(PIXDELTA_BINARY, argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    Run_Result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.out = drain(out[0]);
    r.err = drain(err[0]);
    return r;
}

std::string make_temp_dir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base ? base : "/tmp") + "/pixdelta-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        std::abort();
    return pattern;
}

void remove_tree(const std::string& dir)
{
    std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0)
        std::abort();
}

void write_file(const std::string& path, const Bytes& bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::optional<Bytes> read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
