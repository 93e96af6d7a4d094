// What every libFuzzer entry needs: the input as a file the code under test
// can be handed (a regular file in memory, or a pipe filled up front), a
// private folder for outputs, and a check that no descriptor outlives an
// input.
#pragma once

#include "image/file_io.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

using img::write_fully;

// Abort with a reason: libFuzzer saves the input, fuzz/run fails.
[[noreturn]] inline void fail(const char* what, const std::string& detail = "")
{
    std::fprintf(stderr, "fuzz oracle: %s%s%s\n", what, detail.empty() ? "" : ": ",
                 detail.c_str());
    std::abort();
}

inline void check(bool condition, const char* what, const std::string& detail = "")
{
    if (!condition)
        fail(what, detail);
}

// A regular file holding `bytes`, positioned at its start, with no name in
// any folder: nothing is left behind whatever ends the process.
inline int memory_file(std::string_view bytes)
{
    int fd = memfd_create("fuzz-input", MFD_CLOEXEC);
    check(fd >= 0, "memfd_create failed");
    check(write_fully(fd, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) ==
              bytes.size(),
          "cannot fill the memory file");
    check(lseek(fd, 0, SEEK_SET) == 0, "cannot rewind the memory file");
    return fd;
}

// Gives the memory file other contents, as another program rewriting the
// file in place would.
inline void rewrite(int fd, std::string_view bytes)
{
    check(ftruncate(fd, 0) == 0 &&
              write_fully(fd, reinterpret_cast<const unsigned char*>(bytes.data()),
                          bytes.size()) == bytes.size(),
          "cannot rewrite the memory file");
}

// The read end of a pipe that already holds all of `bytes` and whose write
// end is closed, so that reading it neither blocks nor needs a thread; -1
// where the pipe cannot be made that large.
inline int filled_pipe(std::string_view bytes)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    bool fits = bytes.size() <= 65536 ||
                fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(bytes.size())) >= 0;
    bool written = fits && write_fully(ends[1], reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size()) == bytes.size();
    close(ends[1]);
    if (!written || fcntl(ends[0], F_SETFL, 0) != 0) {
        close(ends[0]);
        return -1;
    }
    return ends[0];
}

// The lowest free descriptor. One left open by an input takes the lowest
// number, so the lowest free one moves up: checked after every input.
inline int lowest_free_descriptor()
{
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    check(fd >= 0, "cannot open /dev/null");
    close(fd);
    return fd;
}

class Descriptor_Watch {
public:
    Descriptor_Watch() : lowest_(lowest_free_descriptor()) {}
    ~Descriptor_Watch()
    {
        int now = lowest_free_descriptor();
        if (now != lowest_)
            fail("a descriptor was left open",
                 "lowest free was " + std::to_string(lowest_) + ", now " + std::to_string(now));
    }
    Descriptor_Watch(const Descriptor_Watch&) = delete;
    Descriptor_Watch& operator=(const Descriptor_Watch&) = delete;

private:
    int lowest_;
};

// A folder of this process's own for outputs, removed when it ends (the
// outputs themselves never get a name in it). One that crashed leaves it
// empty; fuzz/run makes it in its own work folder.
inline const std::string& private_folder()
{
    static const std::string folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pixdelta-fuzz-outputs-XXXXXX";
        check(mkdtemp(pattern.data()) != nullptr, "mkdtemp failed");
        static std::string removed;
        removed = pattern;
        std::atexit([] { rmdir(removed.c_str()); });
        return pattern;
    }();
    return folder;
}

inline unsigned byte_at(const std::uint8_t* data, std::size_t size, std::size_t i)
{
    return i < size ? data[i] : 0u;
}

} // namespace fuzz
