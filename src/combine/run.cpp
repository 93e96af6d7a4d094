// pixcombine's run, from the command line to the result put in place: each
// step calls the image library and checks what it returns at once, failing
// with the step's message (messages.h). The result is written to a file
// with no name (output_file.h) that takes OUT's name only when complete, so
// a failed run leaves no OUT and no temporary.
#include "run.h"

#include "combine.h"
#include "image/command_line.h"
#include "image/file_io.h"
#include "image/output_file.h"
#include "image/pixel_block.h"
#include "image/velkin.h"
#include "messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace combine {

using namespace img;

namespace {

// Bytes of each input read at a time: a share of 2 MiB, which keeps a
// chunk of every input in the processor's caches between its read and the
// arithmetic (2 MiB ran faster than 1 MiB with 16 inputs, fewer reads
// outweighing a second-level cache of 1 MiB); but with many inputs, up to
// 64 KiB each within 16 MiB in all, since each read costs a system call.
// At least one value.
std::uint64_t chunk_values(std::uint64_t inputs, unsigned value_bytes)
{
    // Each input also takes some 90 bytes besides its chunk (its record,
    // its pointer, its key for the median): they come out of the 16 MiB,
    // so that hundreds of thousands of inputs stay within it too.
    constexpr std::uint64_t per_input = 128, budget = 16 << 20;
    std::uint64_t spare = inputs * per_input < budget ? budget - inputs * per_input : 0;
    std::uint64_t cached = (2 << 20) / inputs, within = spare / inputs;
    std::uint64_t bytes = std::max(cached, std::min<std::uint64_t>(64 << 10, within));
    return std::max<std::uint64_t>(1, bytes / value_bytes);
}

struct Options {
    Method method = Method::median;
    bool help = false, version = false;
    const char* out = nullptr;
    const char* const* inputs = nullptr;
    std::uint64_t count = 0;
};

struct Input {
    const char* name;
    int fd;
    Pixel_Block block;
};

[[noreturn]] void usage_error(const char* what)
{
    std::fprintf(stderr, says::usage.format, what);
    std::fputs(usage_text, stderr);
    std::exit(says::usage.status);
}

enum Option_Row { help_row, version_row, median_row, mean_row, out_row };
const Option option_table[] = {
    {"--help", false},
    {"--version", false},
    {"--median", false},
    {"--mean", false},
    {"-o", true, "-o needs a file name"},
};

// The operands stay in `line`, which outlives the run.
Options parse(int argc, char** argv, Command_Line& line)
{
    Options o;
    std::string wrong = read_command_line(argc, argv, option_table, line);
    if (!wrong.empty())
        usage_error(wrong.c_str());
    o.help = line.given[help_row];
    o.version = line.given[version_row];
    // The two give different results; a command line that names both is
    // more likely a mistake than a choice.
    if (line.given[median_row] && line.given[mean_row])
        usage_error("--median and --mean exclude each other");
    o.method = line.given[mean_row] ? Method::mean : Method::median;
    o.out = line.given[out_row];
    o.inputs = line.operands.data();
    o.count = line.operands.size();
    if (o.help || o.version)
        return o;
    if (!o.out)
        usage_error("-o OUT is needed");
    if (o.count == 0)
        usage_error("at least one IN is needed");
    return o;
}

[[noreturn]] void print_help_or_version(const Options& o)
{
    if (o.help)
        std::printf("%sCombines images of one pixel type and size into OUT, value by value:\n"
                    "their median (the default) or their mean. See pixcombine(1).\n",
                    usage_text);
    else
        std::printf("pixcombine " PIXDELTA_VERSION "\n");
    std::exit(std::fflush(stdout) == 0 ? 0 : exit_failure);
}

// Every input stays open for the whole run, so the soft limit on open files
// is raised as far as the hard one allows. Returns the limit in force.
std::uint64_t raise_open_file_limit()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlim_t before = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            limit.rlim_cur = before;
    }
    return limit.rlim_cur;
}

// OUT is replaced by a new file; one that holds an input's bytes, or that
// is not a plain file (a device, a pipe, a folder), is refused before any
// work. `exists` tells whether `st` describes OUT.
void create_output_file(const char* name, Output_File& output, bool& exists, struct stat& st)
{
    Output_Target target = output_target(name, st);
    if (target == Output_Target::other)
        fail(says::out_not_regular, name);
    exists = target == Output_Target::file;
    if (int error = create_output(name, output); error != 0)
        fail(says::cannot_create, name, std::strerror(error));
}

void open_inputs(const Options& o, Input* inputs, std::uint64_t open_file_limit, bool out_exists,
                 const struct stat& out)
{
    for (std::uint64_t k = 0; k < o.count; ++k) {
        Input& in = inputs[k];
        in.name = o.inputs[k];
        in.fd = open(in.name, O_RDONLY | O_CLOEXEC);
        // Every descriptor this run needs besides the inputs is open by now.
        // The inputs go before the exit, which may need a descriptor too.
        if (in.fd < 0 && errno == EMFILE) {
            for (std::uint64_t j = 0; j < k; ++j)
                close(inputs[j].fd);
            fail(says::too_many, static_cast<unsigned long long>(o.count),
                 static_cast<unsigned long long>(k), static_cast<unsigned long long>(open_file_limit));
        }
        if (in.fd < 0)
            fail(says::cannot_open, in.name, std::strerror(errno));
        struct stat st;
        if (fstat(in.fd, &st) != 0)
            fail(says::cannot_open, in.name, std::strerror(errno));
        if (S_ISDIR(st.st_mode))
            fail(says::cannot_open, in.name, std::strerror(EISDIR));
        if (out_exists && same_file(st, out))
            fail(says::out_is_input, o.out, in.name);
        // Two names of one pipe would take turns at its bytes.
        for (std::uint64_t j = 0; !S_ISREG(st.st_mode) && j < k; ++j) {
            struct stat earlier;
            if (fstat(inputs[j].fd, &earlier) == 0 && same_file(st, earlier))
                fail(says::same_pipe, in.name, inputs[j].name);
        }
    }
}

void read_header(const Input& in, Velkin_Header& header)
{
    switch (read_header_and_comment(in.fd, header)) {
    case Header_Status::ok: return;
    case Header_Status::short_header: fail(says::short_header, in.name);
    case Header_Status::bad_magic: fail(says::not_image, in.name);
    case Header_Status::no_memory:
        fail(says::no_comment_memory, in.name, unsigned{comment_length(header)});
    case Header_Status::short_comment:
        fail(says::short_comment, in.name, unsigned{comment_length(header)});
    }
}

// Every input must have the first's pixel type, width and height.
void check_like_first(const Input& in, const Velkin_Header& header, const Input& first_input,
                      const Velkin_Header& first)
{
    if (bytes_per_value(file_type(header)) == 0)
        fail(says::unknown_type, in.name, unsigned{file_type(header)});
    if (file_type(header) != file_type(first) || x_size(header) != x_size(first) ||
        y_size(header) != y_size(first))
        fail(says::differs, in.name, unsigned{x_size(header)}, unsigned{y_size(header)},
             unsigned{file_type(header)}, first_input.name, unsigned{x_size(first)},
             unsigned{y_size(first)}, unsigned{file_type(first)});
}

// Pipes are read in order, a chunk at a time, never whole; a regular
// file's size tells at once whether its values are all there.
void open_block(Input& in, const Velkin_Header& header)
{
    std::uint64_t obtained = 0;
    switch (open_pixel_block(in.fd, header, nullptr, in.block, obtained)) {
    case Block_Status::ok: return;
    case Block_Status::unknown_type:
        fail(says::unknown_type, in.name, unsigned{file_type(header)});
    case Block_Status::short_block:
    case Block_Status::cannot_copy: // only for a block copied, which this is not
        fail(says::short_values, in.name, static_cast<unsigned long long>(obtained),
             static_cast<unsigned long long>(in.block.count));
    }
}

// The first input's header and comment are kept for the output; the
// others' comments go at once, so that memory does not grow with them.
void read_headers(Input* inputs, std::uint64_t count, Velkin_Header& first)
{
    read_header(inputs[0], first);
    check_like_first(inputs[0], first, inputs[0], first);
    open_block(inputs[0], first);
    for (std::uint64_t k = 1; k < count; ++k) {
        Velkin_Header header;
        read_header(inputs[k], header);
        release_comment(header);
        check_like_first(inputs[k], header, inputs[0], first);
        open_block(inputs[k], header);
    }
}

const char* write_error()
{
    return std::strerror(errno != 0 ? errno : EIO);
}

void write_start(const Output_File& output, const char* name, const Velkin_Header& header)
{
    errno = 0;
    if (write_header_and_comment(output.fd, header) != Write_Status::ok)
        fail(says::cannot_write, name, write_error());
}

// Values [first, first + n) of an input; one that has shrunk since it was
// checked, or a pipe that ends early, ends the run.
const unsigned char* input_values(Input& in, std::uint64_t first, std::uint64_t n,
                                  unsigned char* buffer)
{
    std::uint64_t obtained = 0;
    const unsigned char* values = block_values(in.block, first, n, buffer, obtained);
    if (obtained < n)
        fail(says::short_values, in.name, static_cast<unsigned long long>(first + obtained),
             static_cast<unsigned long long>(in.block.count));
    return values;
}

// All inputs are read in step, a chunk of each at a time, so memory stays
// within the budget whatever their count and size.
void write_combination(const Output_File& output, const Options& o, Input* inputs,
                       const Velkin_Header& first)
{
    const std::uint64_t n_inputs = o.count, count = pixel_count(first);
    const unsigned size = bytes_per_value(file_type(first));
    const std::uint64_t chunk = std::min(chunk_values(n_inputs, size), count);
    const std::uint64_t stride = chunk * size;

    auto* buffers = static_cast<unsigned char*>(std::malloc(n_inputs * stride + 1));
    auto* result = static_cast<unsigned char*>(std::malloc(stride + 1));
    auto* values = static_cast<const unsigned char**>(std::malloc(n_inputs * sizeof(char*)));
    Combiner combiner;
    if (!buffers || !result || !values ||
        !prepare_combiner(combiner, n_inputs, file_type(first), o.method))
        fail(says::no_memory, static_cast<unsigned long long>(n_inputs));

    for (std::uint64_t start = 0; start < count; start += chunk) {
        std::uint64_t n = count - start < chunk ? count - start : chunk;
        for (std::uint64_t k = 0; k < n_inputs; ++k)
            values[k] = input_values(inputs[k], start, n, buffers + k * stride);
        combine_values(combiner, result, values, n);
        errno = 0;
        if (write_fully(output.fd, result, n * size) < n * size)
            fail(says::cannot_write, o.out, write_error());
    }
    release_combiner(combiner);
    std::free(values);
    std::free(result);
    std::free(buffers);
}

} // namespace

void fail(Message message, ...)
{
    std::va_list args;
    va_start(args, message);
    std::vfprintf(stderr, message.format, args);
    va_end(args);
    std::exit(message.status);
}

void run_pixcombine(int argc, char** argv)
{
    Command_Line line;
    Options o = parse(argc, argv, line);
    if (o.help || o.version)
        print_help_or_version(o);
    std::uint64_t open_file_limit = raise_open_file_limit();

    // Lives until the process ends: the exit removes it if unfinished.
    Output_File output;
    bool out_exists = false;
    struct stat out;
    create_output_file(o.out, output, out_exists, out);

    auto* inputs = static_cast<Input*>(std::calloc(o.count, sizeof(Input)));
    if (inputs == nullptr)
        fail(says::no_memory, static_cast<unsigned long long>(o.count));
    open_inputs(o, inputs, open_file_limit, out_exists, out);

    Velkin_Header first;
    read_headers(inputs, o.count, first);
    write_start(output, o.out, first);
    write_combination(output, o, inputs, first);

    // The inputs' descriptors go first: putting the result in place needs
    // one more, even when the inputs took all the others.
    for (std::uint64_t k = 0; k < o.count; ++k)
        close(inputs[k].fd);
    std::free(inputs);
    release_comment(first);
    if (int error = commit_output(output, After_Commit::signals_kept_blocked); error != 0)
        fail(says::cannot_commit, o.out, std::strerror(error));
    std::exit(0);
}

} // namespace combine
