#include "run.h"

#include "difference.h"
#include "image/fail.h"
#include "image/velkin_io.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

std::int16_t parse_offset(const char* text)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10 + static_cast<std::uint32_t>(*text - '0');
    if (negative)
        value = 0 - value;
    return static_cast<std::int16_t>(value);
}

bool same_file(const struct stat& x, const struct stat& y)
{
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

namespace {

// A descriptor 0, 1 or 2 that the caller left closed would be taken by the
// next file opened, and console text would then land in the image.
void open_closed_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            std::exit(exit_failure);
}

// file3 must not be a file whose bytes come from elsewhere: an input, or the
// regular file or pipe that the console text goes to. Devices are fine.
void refuse_shared_output(const struct stat& out, const char* name3, int fd1, const char* name1,
                          int fd2, const char* name2)
{
    struct stat in1, in2, console;
    if (fstat(fd1, &in1) != 0 || fstat(fd2, &in2) != 0)
        fail(stdout, exit_failure, "can not open file3 for output\n");
    if (same_file(out, in1))
        fail(stderr, exit_failure, "can not use %s as file3: it is the same file as file1 %s\n",
             name3, name1);
    if (same_file(out, in2))
        fail(stderr, exit_failure, "can not use %s as file3: it is the same file as file2 %s\n",
             name3, name2);
    if (!S_ISREG(out.st_mode) && !S_ISFIFO(out.st_mode))
        return;
    if (fstat(1, &console) == 0 && same_file(out, console))
        fail(stderr, exit_failure, "can not use %s as file3: it is the same file as the standard output\n",
             name3);
    if (fstat(2, &console) == 0 && same_file(out, console))
        fail(stderr, exit_failure, "can not use %s as file3: it is the same file as the standard error\n",
             name3);
}

// Opens file3 without truncating it first, so that an output it must not
// overwrite is refused before anything changes.
int open_output(const char* name3, int fd1, const char* name1, int fd2, const char* name2)
{
    int fd3 = open(name3, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    struct stat out;
    if (fd3 < 0 || fstat(fd3, &out) != 0)
        fail(stdout, exit_failure, "can not open file3 for output\n");
    refuse_shared_output(out, name3, fd1, name1, fd2, name2);

    // Devices and pipes are not truncated, as opening them to write never
    // does; nor is an empty file, since some file systems flush a file at its
    // close once it has been truncated.
    if (S_ISREG(out.st_mode) && out.st_size != 0 && ftruncate(fd3, 0) != 0)
        fail(stdout, exit_failure, "can not open file3 for output\n");
    return fd3;
}

// The blocks are flat: the two inputs must agree in type and in number of
// values, not in shape. Checked before input 2's block is read, so that a
// pipe is not read in vain; a type the tool does not handle gets its own
// verdict when the block is read.
void check_inputs_agree(const Pixel_Block& a, const char* name2, const Velkin_Header& header2)
{
    std::uint16_t type = file_type(header2);
    std::uint64_t count = pixel_count(header2);
    if (bytes_per_value(type) == 0)
        return;
    if (a.file_type != type)
        fail(stderr, exit_failure, "file types differ: %s has type %u, %s has type %u\n", a.name,
             unsigned{a.file_type}, name2, unsigned{type});
    if (a.count != count)
        fail(stderr, exit_failure, "pixel counts differ: %s has %llu values, %s has %llu values\n",
             a.name, static_cast<unsigned long long>(a.count), name2,
             static_cast<unsigned long long>(count));
}

void report(int input, const Velkin_Header& header)
{
    std::printf("x_size%d         %u \n", input, unsigned{x_size(header)});
    std::printf("y_size%d         %u \n", input, unsigned{y_size(header)});
    std::printf("comment length%d %u \n\n", input, unsigned{comment_length(header)});
}

} // namespace

void run_pixdelta(int argc, char** argv)
{
    // A write past a file size limit, or into a pipe that nobody reads, then
    // fails like any other write, with its message, instead of killing the run.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    open_closed_standard_descriptors();

    if (argc < 5)
        fail(stdout, exit_failure,
             "The usage is 'pixdelta file1 file2 file3 offset'\n"
             " file3 = (file1-file2) + offset\n");
    const char* name1 = argv[1];
    const char* name2 = argv[2];
    const char* name3 = argv[3];

    int fd1 = open(name1, O_RDONLY | O_CLOEXEC);
    if (fd1 < 0)
        fail(stdout, exit_failure, "can not open file1 for input\n");
    int fd2 = open(name2, O_RDONLY | O_CLOEXEC);
    if (fd2 < 0)
        fail(stdout, exit_failure, "can not open file2 for input\n");
    int fd3 = open_output(name3, fd1, name1, fd2, name2);

    std::int16_t offset = parse_offset(argv[4]);

    Velkin_Header header{};
    read_header_and_comment(fd1, 1, name1, header);
    report(1, header);
    std::printf("%u\n", unsigned{file_type(header)});
    Pixel_Block a = read_pixel_block(fd1, 1, name1, header);

    write_header_and_comment(fd3, name3, header);
    const std::uint64_t output_start = header_size + comment_length(header);

    // Input 2's comment is read only to reach its pixel block.
    read_header_and_comment(fd2, 2, name2, header);
    report(2, header);
    check_inputs_agree(a, name2, header);
    Pixel_Block b = read_pixel_block(fd2, 2, name2, header);

    write_difference(fd3, a, b, offset, header, output_start);

    close(fd1);
    close(fd2);
    if (close(fd3) != 0)
        fail(stderr, exit_failure, "something wrong in closing %s\n", name3);
    // The report is part of the result; one that could not be written all
    // the way is a failure, found only now that the image is complete.
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        fail(stderr, exit_failure, "can not write the report to the standard output\n");
    std::exit(0);
}
