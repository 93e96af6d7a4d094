#include "run.h"

#include "difference.h"
#include "image/fail.h"
#include "image/velkin.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
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

namespace {

bool same_file(const struct stat& x, const struct stat& y)
{
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

// Opens file3 without truncating it first, so that an output naming one of
// the inputs (by any path or link) is refused before anything changes. A
// file created here is new and so cannot be an input.
int open_output(const char* name3, int fd1, const char* name1, int fd2, const char* name2)
{
    int fd3 = open(name3, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd3 < 0)
        fail(stdout, exit_failure, "can not open file3 for output\n");

    struct stat in1, in2, out;
    if (fstat(fd1, &in1) != 0 || fstat(fd2, &in2) != 0 || fstat(fd3, &out) != 0)
        fail(stdout, exit_failure, "can not open file3 for output\n");
    if (same_file(out, in1))
        fail(stderr, exit_failure, "can not use %s as file3: it is the same file as file1 %s\n",
             name3, name1);
    if (same_file(out, in2))
        fail(stderr, exit_failure, "can not use %s as file3: it is the same file as file2 %s\n",
             name3, name2);

    // Devices and pipes are not truncated, as opening them to write never
    // does; nor is an empty file, since some file systems flush a file at its
    // close once it has been truncated.
    if (S_ISREG(out.st_mode) && out.st_size != 0 && ftruncate(fd3, 0) != 0)
        fail(stdout, exit_failure, "can not open file3 for output\n");
    return fd3;
}

// The arithmetic takes input 2's count and type; input 1 must hold at least
// that many values of that same type.
void check_inputs_agree(const Pixel_Block& a, const char* name1, const Pixel_Block& b,
                        const char* name2)
{
    if (a.file_type != b.file_type)
        fail(stderr, exit_failure, "file types differ: %s has type %u, %s has type %u\n", name1,
             unsigned{a.file_type}, name2, unsigned{b.file_type});
    if (a.count < b.count)
        fail(stderr, exit_failure, "%s has fewer values than %s (%llu %llu)\n", name1, name2,
             static_cast<unsigned long long>(a.count), static_cast<unsigned long long>(b.count));
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

    // Input 2's comment is read only to reach its pixel block.
    read_header_and_comment(fd2, 2, name2, header);
    report(2, header);
    Pixel_Block b = read_pixel_block(fd2, 2, name2, header);

    check_inputs_agree(a, name1, b, name2);
    write_difference(fd3, a, b, offset, header);

    close(fd1);
    close(fd2);
    if (close(fd3) != 0)
        fail(stderr, exit_failure, "something wrong in closing %s\n", name3);
    std::exit(0);
}
