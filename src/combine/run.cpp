// pixcombine's run, from the command line to the result put in place: each
// step calls the image library and checks what it returns at once, failing
// with the step's message (messages.h). The result is written to a file
// with no name (output_file.h) that takes OUT's name only when complete, so
// a failed run leaves no OUT and no temporary.
#include "run.h"

#include "combine.h"
#include "image/byte_order.h"
#include "image/command_line.h"
#include "image/file_io.h"
#include "image/frame_statistics.h"
#include "image/output_file.h"
#include "image/pixel_block.h"
#include "image/team.h"
#include "image/to_uint16.h"
#include "image/velkin.h"
#include "messages.h"
#include "option_values.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
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

// Bytes of each input read at a time: a share of 2 MiB, so that a chunk
// holds a few groups (group_pixels) for every member of the team (4 and 8
// MiB ran no faster with 16 inputs); but with many inputs, up to 64 KiB
// each within 16 MiB in all, since each read costs a system call. At least
// one value.
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
    const char* rejected = nullptr; // --rejected FILE
    bool scale = false;
    Statistic scale_by = Statistic::median;
    Rejection rejection;
    std::uint16_t type = 0; // --type: OUT's pixel type, or 0 for the default
    const char* const* inputs = nullptr;
    std::uint64_t count = 0;
};

// OUT's pixel type: as asked, binary64 when scaled, else the inputs'.
std::uint16_t result_type(const Options& o, std::uint16_t input_type)
{
    return o.type != 0 ? o.type : o.scale ? type_binary64 : input_type;
}

// The combination's own type, before any --type uint16: binary64 for
// binary64 or scaled values.
std::uint16_t combined_type(const Options& o, std::uint16_t input_type)
{
    return o.scale || input_type == type_binary64 ? type_binary64 : result_type(o, input_type);
}

// Rejection or scaling: NaNs left out, a record in the comment.
bool rejecting(const Options& o)
{
    return o.scale || o.rejection.minmax || o.rejection.extrema || o.rejection.sigma;
}

struct Input {
    const char* name;
    int fd;
    Pixel_Block block;
    std::uint64_t obtained; // of the chunk last read
};

[[noreturn]] void usage_error(const char* what)
{
    std::fprintf(stderr, says::usage.format, what);
    std::fputs(usage_text, stderr);
    std::exit(says::usage.status);
}

enum Option_Row {
    help_row, version_row, median_row, mean_row, out_row, sigma_row, center_row, dev_row,
    iterations_row, minmax_row, extrema_row, scale_row, rejected_row, type_row,
};
const Option option_table[] = {
    {"--help", false},
    {"--version", false},
    {"--median", false},
    {"--mean", false},
    {"-o", true, "-o needs a file name"},
    {"--sigma-clip", true, takes::sigma_clip},
    {"--clip-center", true, takes::clip_center},
    {"--clip-dev", true, takes::clip_dev},
    {"--clip-iterations", true, takes::clip_iterations},
    {"--minmax", true, takes::minmax},
    {"--extrema", true, takes::extrema},
    {"--scale", true, takes::scale},
    {"--rejected", true, takes::rejected},
    {"--type", true, takes::type},
};

// The options' values, each read by its own function; one it does not take
// is wrong usage, in the row's words.
void read_values(const Command_Line& line, Options& o)
{
    Rejection& r = o.rejection;
    auto value = [&](Option_Row row, auto parse) {
        const char* text = line.given[row];
        if (text && !parse(text))
            usage_error(option_table[row].wrong_value);
        return text != nullptr;
    };
    r.sigma = value(sigma_row, [&](const char* v) { return parse_sigma_pair(v, r.sigma_low, r.sigma_high); });
    bool center = value(center_row, [&](const char* v) { return parse_center(v, r.center); });
    bool deviation = value(dev_row, [&](const char* v) { return parse_deviation(v, r.deviation); });
    bool iterations = value(iterations_row, [&](const char* v) { return parse_count(v, r.iterations); });
    r.minmax = value(minmax_row, [&](const char* v) { return parse_bounds(v, r.min, r.max); });
    r.extrema = value(extrema_row, [&](const char* v) { return parse_count_pair(v, r.low, r.high); });
    o.scale = value(scale_row, [&](const char* v) { return parse_scale(v, o.scale_by); });
    o.rejected = line.given[rejected_row];
    value(type_row, [&](const char* v) { return parse_type(v, o.type); });
    // Settings of a clipping that is not asked for are more likely a
    // forgotten --sigma-clip than a choice.
    if (!r.sigma && (center || deviation || iterations))
        usage_error(center      ? "--clip-center needs --sigma-clip"
                    : deviation ? "--clip-dev needs --sigma-clip"
                                : "--clip-iterations needs --sigma-clip");
}

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
    read_values(line, o);
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
    if (o.rejected && o.count > UINT16_MAX) {
        static char what[128];
        std::snprintf(what, sizeof what, "--rejected counts up to 65535 values a pixel, but there are %llu inputs",
                      static_cast<unsigned long long>(o.count));
        usage_error(what);
    }
    return o;
}

[[noreturn]] void print_help_or_version(const Options& o)
{
    if (o.help)
        std::printf("%sCombines images of one pixel type and size into OUT, value by value:\n"
                    "their median (the default) or their mean. See pixcombine(1).\n"
                    "\n"
                    "Scaling, then rejection, in this order, before the combination:\n"
                    "  --scale median|mean       multiply each input by 1 / its median or mean\n"
                    "                            (OUT is then binary64)\n"
                    "  --minmax MIN,MAX          reject values outside [MIN, MAX]\n"
                    "  --extrema NLOW,NHIGH      reject the NLOW lowest and NHIGH highest values\n"
                    "  --sigma-clip LOW,HIGH     reject values below center - LOW * dev or\n"
                    "                            above center + HIGH * dev\n"
                    "  --clip-center median|mean   (median)\n"
                    "  --clip-dev std|mad_std      (mad_std)\n"
                    "  --clip-iterations N         (1; 0: until nothing more is rejected)\n"
                    "  --rejected FILE           a uint16 image of how many values each pixel lost\n"
                    "\n"
                    "  --type binary64|uint16    OUT's pixel type: binary64 keeps the fraction of\n"
                    "                            uint16 inputs' means; uint16 rounds binary64 results\n"
                    "                            to nearest, ties to even, clamped to 0..65535\n",
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

// An output: OUT, or the --rejected FILE.
struct Target {
    const char* name;
    Output_File* file;
    bool exists; // `st` describes the file at the name
    struct stat st;
};

// An output is replaced by a new file; one that holds an input's bytes, or
// that is not a plain file (a device, a pipe, a folder), is refused before
// any work.
void create_output_file(Target& t)
{
    Output_Target target = output_target(t.name, t.st);
    if (target == Output_Target::other)
        fail(says::out_not_regular, t.name);
    t.exists = target == Output_Target::file;
    if (int error = create_output(t.name, *t.file); error != 0)
        fail(says::cannot_create, t.name, std::strerror(error));
}

// One file under two names, or the same name in the same folder.
bool same_output(const Target& a, const Target& b)
{
    struct stat x, y;
    if (a.exists && b.exists && same_file(a.st, b.st))
        return true;
    return std::strcmp(a.file->base, b.file->base) == 0 && fstat(a.file->folder, &x) == 0 &&
           fstat(b.file->folder, &y) == 0 && same_file(x, y);
}

void open_inputs(const Options& o, Input* inputs, std::uint64_t open_file_limit, const Target* outputs,
                 int n_outputs)
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
        for (int t = 0; t < n_outputs; ++t)
            if (outputs[t].exists && same_file(st, outputs[t].st))
                fail(says::out_is_input, outputs[t].name, in.name);
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

void write_start(const Target& t, const Velkin_Header& header)
{
    errno = 0;
    if (write_header_and_comment(t.file->fd, header) != Write_Status::ok)
        fail(says::cannot_write, t.name, write_error());
}

// An input's values [first, first + n) were all there, or the run ends: one
// that has shrunk since it was checked, or a pipe that ends early.
void check_obtained(const Input& in, std::uint64_t first, std::uint64_t n)
{
    if (in.obtained < n)
        fail(says::short_values, in.name, static_cast<unsigned long long>(first + in.obtained),
             static_cast<unsigned long long>(in.block.count));
}

const char* statistic_name(Statistic s)
{
    return s == Statistic::median ? "median" : "mean";
}

// Each input's scale factor, the inverse of its median or mean, from a pass
// (a few, for a binary64 median) over the input before the combination,
// read into `buffer`.
double* scale_factors(const Options& o, Input* inputs, unsigned char* buffer, std::uint64_t buffer_values)
{
    auto* factors = static_cast<double*>(std::malloc(o.count * sizeof(double)));
    if (factors == nullptr)
        fail(says::no_memory, static_cast<unsigned long long>(o.count));
    for (std::uint64_t k = 0; k < o.count; ++k)
        if (!inputs[k].block.sized)
            fail(says::scale_unsized, inputs[k].name);
    const char* what = statistic_name(o.scale_by);
    for (std::uint64_t k = 0; k < o.count; ++k) {
        Input& in = inputs[k];
        double m = 0;
        std::uint64_t obtained = 0;
        switch (frame_statistic(in.block, o.scale_by, buffer, buffer_values, m, obtained)) {
        case Statistic_Status::ok: break;
        case Statistic_Status::no_memory: fail(says::no_memory, static_cast<unsigned long long>(o.count));
        case Statistic_Status::short_block:
            fail(says::short_values, in.name, static_cast<unsigned long long>(obtained),
                 static_cast<unsigned long long>(in.block.count));
        }
        if (std::isnan(m))
            fail(says::no_finite_value, in.name, what);
        factors[k] = 1.0 / m;
        if (!std::isfinite(factors[k]))
            fail(says::no_inverse, in.name, what, m);
    }
    return factors;
}

// The line that records how OUT was made, after the first input's comment:
// the options that shaped the values, as they would be given again. Returns
// the new comment, which `header` now holds, or null where it would be too
// long.
unsigned char* add_record(const Options& o, Velkin_Header& header)
{
    char line[512];
    const Rejection& r = o.rejection;
    int n = std::snprintf(line, sizeof line, "pixcombine " PIXDELTA_VERSION ": %llu inputs, --%s",
                          static_cast<unsigned long long>(o.count),
                          o.method == Method::mean ? "mean" : "median");
    auto append = [&](const char* format, auto... values) {
        n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), format, values...);
    };
    if (o.scale)
        append(" --scale %s", statistic_name(o.scale_by));
    if (r.minmax)
        append(" --minmax %.17g,%.17g", r.min, r.max);
    if (r.extrema)
        append(" --extrema %llu,%llu", static_cast<unsigned long long>(r.low),
               static_cast<unsigned long long>(r.high));
    if (r.sigma)
        append(" --sigma-clip %.17g,%.17g --clip-center %s --clip-dev %s --clip-iterations %llu",
               r.sigma_low, r.sigma_high, r.center == Center::median ? "median" : "mean",
               r.deviation == Deviation::std ? "std" : "mad_std",
               static_cast<unsigned long long>(r.iterations));
    if (o.type != 0)
        append(" --type %s", o.type == type_binary64 ? "binary64" : "uint16");
    append("%s", "\n");
    std::uint64_t length = comment_length(header);
    bool separate = length > 0 && header.comment[length - 1] != '\n';
    std::uint64_t total = length + separate + static_cast<std::uint64_t>(n);
    if (total > UINT16_MAX) {
        note(says::record_left_out, o.out);
        return nullptr;
    }
    auto* comment = static_cast<unsigned char*>(std::malloc(total + 1));
    if (comment == nullptr)
        fail(says::no_memory, static_cast<unsigned long long>(o.count));
    std::memcpy(comment, header.comment, length);
    if (separate)
        comment[length] = '\n';
    std::memcpy(comment + length + separate, line, static_cast<std::size_t>(n));
    header.comment = comment;
    set_comment_length(header, static_cast<std::uint16_t>(total));
    return comment;
}

// Past this many inputs, the arithmetic is not shared (team_size).
constexpr std::uint64_t team_inputs = 4096;

struct Buffers {
    std::uint64_t chunk;     // values of each input read at a time
    unsigned char* inputs;   // a chunk of each input
    // Two of each, one written while the other is filled.
    unsigned char* result;   // a chunk of OUT's values
    unsigned char* rejected; // and of FILE's
    unsigned char* converted; // OUT's values, where --type uint16 converts them
    const unsigned char** values;
};

// Room for a chunk of every input, and of the results.
Buffers make_buffers(const Options& o, const Velkin_Header& first)
{
    const unsigned size = bytes_per_value(file_type(first));
    // At most 2^18 values a chunk, so that the results' two halves (of up to
    // 8 bytes a value, and 2 more for FILE and for a conversion) stay
    // within 6 MiB however few the inputs.
    const std::uint64_t chunk = std::max<std::uint64_t>(
        1, std::min({chunk_values(o.count, size), pixel_count(first), std::uint64_t{1} << 18}));
    Buffers b{chunk, static_cast<unsigned char*>(std::malloc(o.count * chunk * size + 1)),
              static_cast<unsigned char*>(std::malloc(2 * chunk * 8 + 1)),
              static_cast<unsigned char*>(std::malloc(2 * chunk * 2 + 1)),
              static_cast<unsigned char*>(std::malloc(2 * chunk * 2 + 1)),
              // the chunk's pointers, and the team members' to their parts
              static_cast<const unsigned char**>(
                  std::malloc((o.count > team_inputs ? 2 : max_members + 1) * o.count * sizeof(char*)))};
    if (!b.inputs || !b.result || !b.rejected || !b.converted || !b.values)
        fail(says::no_memory, static_cast<unsigned long long>(o.count));
    return b;
}

void release_buffers(Buffers& b)
{
    std::free(b.values);
    std::free(b.converted);
    std::free(b.rejected);
    std::free(b.result);
    std::free(b.inputs);
}

// A chunk's reading and arithmetic, shared by the team: each member takes
// the next group of pixels left, reads that part of every regular file
// (pread, in any order) and combines it at once, with a combiner of its
// own. The group's values are then still in the member's own caches, and
// one member's reading overlaps another's arithmetic.
struct Chunk_Job {
    bool rejecting, counts;
    Input* files;
    unsigned char* buffers; // a chunk of each input
    std::uint64_t start, chunk;
    std::uint64_t inputs, n;
    std::uint64_t group; // pixels a member takes at a time: whole tiles
    unsigned size, result_size, members;
    std::atomic<std::uint64_t> next; // the next group of pixels
    Combiner* combiners;
    const unsigned char** values; // the chunk's, then `inputs` more for each member
    unsigned char* result;
    unsigned char* rejected;
    std::uint64_t emptied[max_members];
    bool convert;             // binary64 results into a uint16 OUT
    unsigned char* converted; // there
    Clamped clamped[max_members];
    // The first input a member found cut short in this chunk, and how many
    // of its values there were; `inputs` for none.
    std::uint64_t short_input[max_members], short_at[max_members];
    // The chunk before, which the caller's member writes while the others
    // read and combine this one; what failed (0: nothing, 1: OUT, 2: FILE)
    // and errno then.
    int out_fd, rejected_fd;
    const unsigned char* pending_out;
    const unsigned char* pending_rejected; // or null
    std::uint64_t pending_out_bytes, pending_rejected_bytes;
    int write_failed, write_errno;
};

void write_pending(Chunk_Job& j)
{
    errno = 0;
    if (j.pending_out_bytes > 0 && write_fully(j.out_fd, j.pending_out, j.pending_out_bytes) < j.pending_out_bytes)
        j.write_failed = 1;
    else if (j.pending_rejected &&
             write_fully(j.rejected_fd, j.pending_rejected, j.pending_rejected_bytes) < j.pending_rejected_bytes)
        j.write_failed = 2;
    j.write_errno = errno;
    j.pending_out_bytes = 0;
    j.pending_rejected = nullptr;
}

void read_and_combine_part(unsigned member, void* context)
{
    auto& j = *static_cast<Chunk_Job*>(context);
    if (member == 0) // on the caller's thread, in order
        write_pending(j);
    const unsigned char** part = j.values + (member + 1) * j.inputs;
    for (std::uint64_t g = j.next++; g * j.group < j.n; g = j.next++) {
        std::uint64_t begin = g * j.group, end = std::min(j.n, begin + j.group);
        for (std::uint64_t k = 0; k < j.inputs; ++k) {
            part[k] = j.values[k] + begin * j.size;
            Pixel_Block& block = j.files[k].block;
            if (!block.sized)
                continue;
            std::uint64_t obtained = 0;
            block_values(block, j.start + begin, end - begin, j.buffers + (k * j.chunk + begin) * j.size, obtained);
            if (obtained < end - begin) {
                // Combined all the same, from defined bytes; the run then fails.
                std::memset(j.buffers + (k * j.chunk + begin + obtained) * j.size, 0, (end - begin - obtained) * j.size);
                if (k < j.short_input[member] || (k == j.short_input[member] && j.start + begin + obtained < j.short_at[member])) {
                    j.short_input[member] = k;
                    j.short_at[member] = j.start + begin + obtained;
                }
            }
        }
        if (j.rejecting)
            j.emptied[member] += combine_rejecting(j.combiners[member], j.result + begin * j.result_size,
                                                   j.counts ? j.rejected + begin * 2 : nullptr, part, end - begin);
        else
            combine_values(j.combiners[member], j.result + begin * j.result_size, part, end - begin);
        if (j.convert) { // the binary64 results, in the file's order, into the host's first
            convert_byte_order(j.result + begin * 8, end - begin, 8, std::endian::little);
            to_uint16(reinterpret_cast<double*>(j.result + begin * 8), end - begin, j.converted + begin * 2,
                      j.clamped[member]);
        }
    }
}

// Pixels a member reads and combines at a time: whole groups of 16 of the
// combiner's tiles, whose values stay in the second-level cache: 512 KiB
// of all inputs, 32 KiB of each at most (twice that ran no faster with 16
// inputs), and at most a share of the chunk for each member, so that a
// member the system does not run soon leaves its groups to the others.
std::uint64_t group_pixels(std::uint64_t chunk, std::uint64_t inputs, unsigned value_bytes, unsigned members)
{
    constexpr std::uint64_t tiles = 16 * 256;
    std::uint64_t wanted = std::min<std::uint64_t>((32 << 10) / value_bytes, (512 << 10) / value_bytes / inputs);
    std::uint64_t share = chunk / members;
    return std::max<std::uint64_t>(tiles, std::min(wanted, share) / tiles * tiles);
}

// As many members as the team takes; one alone for many inputs, whose
// reading outweighs the arithmetic (and each member's pointers to the
// inputs would grow with them).
unsigned team_size(std::uint64_t inputs)
{
    return inputs > team_inputs ? 1 : max_members;
}

// All inputs are read in step, a chunk of each at a time, so memory stays
// within the budget whatever their count and size. Returns how many pixels
// lost every value to the rejection; adds the values --type uint16 clamped
// to `clamped`.
std::uint64_t write_combination(const Options& o, const Target* outputs, Input* inputs,
                                const Velkin_Header& first, const Buffers& b, const double* factors,
                                Clamped& clamped)
{
    const std::uint64_t n_inputs = o.count, count = pixel_count(first), chunk = b.chunk;
    const std::uint16_t type = file_type(first), combined = combined_type(o, type);
    const unsigned size = bytes_per_value(type);
    const bool convert = result_type(o, type) != combined;
    Team team;
    start_team(team, team_size(n_inputs));
    Combiner combiners[max_members];
    Chunk_Job job{rejecting(o), o.rejected != nullptr, inputs, b.inputs, 0, chunk, n_inputs, 0,
                  group_pixels(chunk, n_inputs, size, team.members), size, bytes_per_value(combined), team.members, {0},
                  combiners, b.values, b.result, b.rejected, {}, convert, b.converted, {}, {}, {},
                  outputs[0].file->fd, o.rejected ? outputs[1].file->fd : -1, nullptr, nullptr, 0, 0, 0, 0};
    for (unsigned m = 0; m < team.members; ++m) {
        bool prepared = job.rejecting ? prepare_rejecting_combiner(combiners[m], n_inputs, type, o.method,
                                                                   o.rejection, factors, combined, convert)
                                      : prepare_combiner(combiners[m], n_inputs, type, o.method, combined);
        if (!prepared)
            fail(says::no_memory, static_cast<unsigned long long>(n_inputs));
    }

    std::uint64_t emptied = 0;
    std::memset(b.rejected, 0, 2 * chunk * 2); // without rejection, nothing is
    // Each chunk's values go into one half of the buffers and are written
    // during the next chunk's round, while the other half is filled.
    auto check_written = [&] {
        errno = job.write_errno;
        if (job.write_failed)
            fail(says::cannot_write, job.write_failed == 1 ? o.out : o.rejected, write_error());
    };
    for (std::uint64_t start = 0, half = 0; start < count; start += chunk, half ^= 1) {
        std::uint64_t n = count - start < chunk ? count - start : chunk;
        // Pipes first, in order, and on this thread alone: each can be read
        // only in order, and a file another program cuts meanwhile is then
        // read after it, as it would be one input after the other.
        for (std::uint64_t k = 0; k < n_inputs; ++k) {
            b.values[k] = b.inputs + k * chunk * size;
            if (!inputs[k].block.sized) {
                b.values[k] = block_values(inputs[k].block, start, n, b.inputs + k * chunk * size,
                                           inputs[k].obtained);
                if (inputs[k].obtained < n) // combined all the same, from defined bytes; the run then fails
                    std::memset(b.inputs + (k * chunk + inputs[k].obtained) * size, 0,
                                (n - inputs[k].obtained) * size);
            }
        }
        job.start = start;
        job.n = n;
        job.next = 0;
        job.result = b.result + half * chunk * 8;
        job.rejected = b.rejected + half * chunk * 2;
        job.converted = b.converted + half * chunk * 2;
        std::fill(job.short_input, job.short_input + max_members, n_inputs);
        run_team(team, read_and_combine_part, &job);
        check_written();
        // The first input cut short, of the pipes and the files.
        const std::uint64_t cut = *std::min_element(job.short_input, job.short_input + team.members);
        for (std::uint64_t k = 0; k < std::min(cut, n_inputs); ++k)
            if (!inputs[k].block.sized)
                check_obtained(inputs[k], start, n);
        if (cut < n_inputs) {
            std::uint64_t at = UINT64_MAX;
            for (unsigned m = 0; m < team.members; ++m)
                if (job.short_input[m] == cut)
                    at = std::min(at, job.short_at[m]);
            fail(says::short_values, inputs[cut].name, static_cast<unsigned long long>(at),
                 static_cast<unsigned long long>(inputs[cut].block.count));
        }
        job.pending_out = convert ? job.converted : job.result;
        job.pending_out_bytes = n * (convert ? 2 : job.result_size);
        job.pending_rejected = o.rejected ? job.rejected : nullptr;
        job.pending_rejected_bytes = n * 2;
    }
    write_pending(job);
    check_written();
    for (unsigned m = 0; m < team.members; ++m) { // each member's count of the whole run
        emptied += job.emptied[m];
        clamped += job.clamped[m];
    }
    stop_team(team);
    for (unsigned m = 0; m < team.members; ++m)
        release_combiner(combiners[m]);
    return emptied;
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

void note(Message message, ...)
{
    std::va_list args;
    va_start(args, message);
    std::vfprintf(stderr, message.format, args);
    va_end(args);
}

void run_pixcombine(int argc, char** argv)
{
    Command_Line line;
    Options o = parse(argc, argv, line);
    if (o.help || o.version)
        print_help_or_version(o);
    std::uint64_t open_file_limit = raise_open_file_limit();

    // They live until the process ends: the exit removes them if unfinished.
    Output_File output, rejected_output;
    Target outputs[2] = {{o.out, &output, false, {}}, {o.rejected, &rejected_output, false, {}}};
    const int n_outputs = o.rejected ? 2 : 1;
    create_output_file(outputs[0]);
    if (o.rejected) {
        create_output_file(outputs[1]);
        if (same_output(outputs[0], outputs[1]))
            fail(says::rejected_is_out, o.rejected, o.out);
    }

    auto* inputs = static_cast<Input*>(std::calloc(o.count, sizeof(Input)));
    if (inputs == nullptr)
        fail(says::no_memory, static_cast<unsigned long long>(o.count));
    open_inputs(o, inputs, open_file_limit, outputs, n_outputs);

    Velkin_Header first;
    read_headers(inputs, o.count, first);
    Buffers buffers = make_buffers(o, first);
    double* factors = nullptr;
    if (o.scale)
        factors = scale_factors(o, inputs, buffers.inputs,
                                o.count * buffers.chunk);
    // OUT's header: the first input's, with the record and its own type.
    const std::uint16_t out_type = result_type(o, file_type(first));
    Velkin_Header head = first;
    set_file_type(head, out_type);
    unsigned char* record = rejecting(o) ? add_record(o, head) : nullptr;
    write_start(outputs[0], head);
    if (o.rejected) {
        set_file_type(head, type_uint16);
        errno = 0;
        if (write_header_and_comment(rejected_output.fd, head) != Write_Status::ok)
            fail(says::cannot_write, o.rejected, write_error());
    }
    Clamped clamped;
    std::uint64_t emptied = write_combination(o, outputs, inputs, first, buffers, factors, clamped);
    const bool nan_result = out_type == type_binary64;

    // The inputs' descriptors go first: putting the result in place needs
    // one more, even when the inputs took all the others.
    for (std::uint64_t k = 0; k < o.count; ++k)
        close(inputs[k].fd);
    std::free(inputs);
    std::free(factors);
    std::free(record);
    release_buffers(buffers);
    release_comment(first);
    if (o.rejected) {
        int error = commit_output(rejected_output, After_Commit::signals_kept_blocked);
        if (error != 0)
            fail(says::cannot_commit, o.rejected, std::strerror(error));
    }
    if (int error = commit_output(output, After_Commit::signals_kept_blocked); error != 0) {
        if (o.rejected) // already in place, and of no use without OUT
            unlink(o.rejected);
        fail(says::cannot_commit, o.out, std::strerror(error));
    }
    if (emptied > 0 && nan_result)
        note(says::all_rejected_nan, o.out, static_cast<unsigned long long>(emptied));
    else if (emptied > 0)
        note(says::all_rejected_plain, o.out, static_cast<unsigned long long>(emptied),
             o.method == Method::mean ? "mean" : "median");
    if (clamped.total() > 0)
        note(says::clamped, o.out, static_cast<unsigned long long>(clamped.total()),
             static_cast<unsigned long long>(clamped.below), static_cast<unsigned long long>(clamped.above),
             static_cast<unsigned long long>(clamped.nan));
    std::exit(0);
}

} // namespace combine
