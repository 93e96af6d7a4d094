// pixdelta's run, from the command line to the last write: each step calls
// the image library and checks what it returns at once, failing with the
// step's message (messages.h).
#include "run.h"

#include "difference.h"
#include "image/file_io.h"
#include "image/pixel_block.h"
#include "image/velkin.h"
#include "messages.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace delta {

using namespace img;

void fail(Message message, ...)
{
    std::va_list args;
    va_start(args, message);
    if (message.stream != Stream::none)
        std::vfprintf(message.stream == Stream::out ? stdout : stderr, message.format, args);
    va_end(args);
    std::exit(message.status);
}

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

bool console_is(int console, const struct stat& file)
{
    struct stat st;
    return fstat(console, &st) == 0 && S_ISREG(st.st_mode) && same_file(st, file);
}

// Console text must never land in an input: `pixdelta in1 ... 1<>in1` would
// otherwise write the report over in1's header. Checked as soon as the input
// is open, before anything is written anywhere.
void refuse_console_on_input(int fd, int input, const char* name)
{
    struct stat in;
    if (fstat(fd, &in) != 0)
        return;
    bool out_is_input = console_is(1, in), err_is_input = console_is(2, in);
    if (!out_is_input && !err_is_input)
        return;
    Message message = out_is_input ? says::stdout_is_input : says::stderr_is_input;
    if (err_is_input)
        message.stream = out_is_input ? Stream::none : Stream::out;
    fail(message, input, name);
}

// file3 must not be a file whose bytes come from elsewhere: an input, or the
// regular file or pipe that the console text goes to. Devices are fine.
void refuse_shared_output(int fd3, const char* name3, int fd1, const char* name1, int fd2,
                          const char* name2)
{
    struct stat out, in1, in2, console;
    if (fstat(fd3, &out) != 0 || fstat(fd1, &in1) != 0 || fstat(fd2, &in2) != 0)
        fail(says::open_file3);
    if (same_file(out, in1))
        fail(says::file3_is_file1, name3, name1);
    if (same_file(out, in2))
        fail(says::file3_is_file2, name3, name2);
    if (!S_ISREG(out.st_mode) && !S_ISFIFO(out.st_mode))
        return;
    if (fstat(1, &console) == 0 && same_file(out, console))
        fail(says::file3_is_stdout, name3);
    if (fstat(2, &console) == 0 && same_file(out, console))
        fail(says::file3_is_stderr, name3);
}

// Opens file3 without truncating it first, so that an output it must not
// overwrite is refused before anything changes.
int open_output(const char* name3, int fd1, const char* name1, int fd2, const char* name2)
{
    int fd3 = open(name3, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd3 < 0)
        fail(says::open_file3);
    refuse_shared_output(fd3, name3, fd1, name1, fd2, name2);

    // Devices and pipes are not truncated, as opening them to write never
    // does; nor is an empty file, since some file systems flush a file at its
    // close once it has been truncated.
    struct stat out;
    if (fstat(fd3, &out) != 0 ||
        (S_ISREG(out.st_mode) && out.st_size != 0 && ftruncate(fd3, 0) != 0))
        fail(says::open_file3);
    return fd3;
}

int open_input(const char* name, int input)
{
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail(input == 1 ? says::open_file1 : says::open_file2);
    refuse_console_on_input(fd, input, name);
    return fd;
}

void read_header(int fd, int input, const char* name, Velkin_Header& header)
{
    switch (read_header_and_comment(fd, header)) {
    case Header_Status::ok: return;
    case Header_Status::short_header: fail(says::eof_header, name);
    case Header_Status::bad_magic: fail(input == 1 ? says::not_image1 : says::not_image2);
    case Header_Status::no_memory: fail(says::no_comment_memory);
    case Header_Status::short_comment: fail(says::eof_comment);
    }
}

// Where a pipe's block is copied before any value is written, so that a
// short one is found first: TMPDIR, as for any program's temporary files.
const char* temporary_folder()
{
    const char* folder = std::getenv("TMPDIR");
    return folder && *folder ? folder : "/tmp";
}

Pixel_Block read_block(int fd, int input, const char* name, const Velkin_Header& header)
{
    Pixel_Block block;
    std::uint64_t obtained = 0;
    errno = 0;
    switch (open_pixel_block(fd, header, temporary_folder(), block, obtained)) {
    case Block_Status::ok: return block;
    case Block_Status::unknown_type: fail(input == 1 ? says::unknown_type1 : says::unknown_type2);
    case Block_Status::short_block:
        fail(says::eof_block, name, static_cast<unsigned long long>(obtained),
             static_cast<unsigned long long>(block.count));
    case Block_Status::cannot_copy:
        fail(says::cannot_copy_block, name, temporary_folder(), std::strerror(errno));
    }
    std::abort();
}

void write_start(int fd3, const char* name3, const Velkin_Header& header)
{
    switch (write_header_and_comment(fd3, header)) {
    case Write_Status::ok: return;
    case Write_Status::header_short: fail(says::write_header, name3);
    case Write_Status::comment_short: fail(says::write_comment, name3);
    }
}

// The blocks are flat: the two inputs must agree in type and in number of
// values, not in shape. Checked before input 2's block is read, so that a
// pipe is not read in vain; a type the tool does not handle gets its own
// verdict when the block is read.
void check_inputs_agree(const Pixel_Block& a, const char* name1, const char* name2,
                        const Velkin_Header& header2)
{
    std::uint16_t type = file_type(header2);
    std::uint64_t count = pixel_count(header2);
    if (bytes_per_value(type) == 0)
        return;
    if (a.file_type != type)
        fail(says::types_differ, name1, unsigned{a.file_type}, name2, unsigned{type});
    if (a.count != count)
        fail(says::counts_differ, name1, static_cast<unsigned long long>(a.count), name2,
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
    if (argc < 5)
        fail(says::usage);
    const char* name1 = argv[1];
    const char* name2 = argv[2];
    const char* name3 = argv[3];

    int fd1 = open_input(name1, 1);
    int fd2 = open_input(name2, 2);
    int fd3 = open_output(name3, fd1, name1, fd2, name2);

    std::int16_t offset = parse_offset(argv[4]);

    Velkin_Header header1;
    read_header(fd1, 1, name1, header1);
    report(1, header1);
    std::printf("%u\n", unsigned{file_type(header1)});
    Pixel_Block a = read_block(fd1, 1, name1, header1);

    write_start(fd3, name3, header1);
    const std::uint64_t output_start = header_size + comment_length(header1);

    // Input 2's comment is read only to reach its pixel block.
    Velkin_Header header2;
    read_header(fd2, 2, name2, header2);
    report(2, header2);
    check_inputs_agree(a, name1, name2, header2);
    Pixel_Block b = read_block(fd2, 2, name2, header2);

    Inputs inputs{a, name1, b, name2};
    write_difference(fd3, inputs, offset, output_start);

    close(fd1);
    close(fd2);
    if (close(fd3) != 0)
        fail(says::close_file3, name3);
    // The report is part of the result; one that could not be written all
    // the way is a failure, found only now that the image is complete.
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        fail(says::report_lost);
    std::exit(0);
}

} // namespace delta
