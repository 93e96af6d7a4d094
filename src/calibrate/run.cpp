// pixcalibrate's run, from the command line to the last output put in
// place. The masters are opened and checked once, and the flat's mean is
// computed once; then each frame is calibrated a chunk at a time, the
// masters' values at the same positions read with pread, into an output
// with no name until it is complete (output_file.h). A frame that fails
// says why and leaves no output; the others are still made.
#include "run.h"

#include "calibrate.h"
#include "image/byte_order.h"
#include "image/command_line.h"
#include "image/file_io.h"
#include "image/exact_sum.h"
#include "image/output_file.h"
#include "image/pixel_block.h"
#include "image/team.h"
#include "image/velkin.h"
#include "messages.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace calibrate {

using namespace img;

namespace {

// Values calibrated at a time: the frame's and each master's, as binary64,
// 256 KiB each, stay in the second-level cache from their reads to the
// output's write.
constexpr std::uint64_t chunk_values = 32768;
static_assert(chunk_values >= sum_chunk_values);

// The progress shown on a terminal, which a message first clears.
struct Progress {
    bool on_terminal = false;
    bool showing = false;
    std::uint64_t done = 0, total = 0;
    timespec start{}, drawn{};
};
Progress progress;

void say_on(Message message, std::va_list args)
{
    if (progress.showing)
        std::fputs("\r\033[K", stderr);
    progress.showing = false;
    std::vfprintf(stderr, message.format, args);
}

void say(Message message, ...)
{
    std::va_list args;
    va_start(args, message);
    say_on(message, args);
    va_end(args);
}

// Says why a frame fails; returns false for the frame's result.
bool frame_fails(Message message, ...)
{
    std::va_list args;
    va_start(args, message);
    say_on(message, args);
    va_end(args);
    return false;
}

// Says why the run cannot go on, and ends it; the exit removes an
// unfinished output.
[[noreturn]] void fail(Message message, ...)
{
    std::va_list args;
    va_start(args, message);
    std::vfprintf(stderr, message.format, args);
    va_end(args);
    std::exit(message.status);
}

[[noreturn]] void usage_error(const char* what)
{
    std::fprintf(stderr, says::usage.format, what);
    std::fputs(usage_text, stderr);
    std::exit(says::usage.status);
}

double seconds_since(const timespec& then, const timespec& now)
{
    return static_cast<double>(now.tv_sec - then.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec - then.tv_nsec);
}

// After each frame; redrawn at most ten times a second, but always for the
// last frame, and where a message has cleared the line.
void show_progress()
{
    ++progress.done;
    if (!progress.on_terminal)
        return;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (progress.showing && progress.done != progress.total && seconds_since(progress.drawn, now) < 0.1)
        return;
    const double elapsed = seconds_since(progress.start, now);
    std::fprintf(stderr, says::progress.format, static_cast<unsigned long long>(progress.done),
                 static_cast<unsigned long long>(progress.total),
                 elapsed > 0 ? static_cast<double>(progress.done) / elapsed : 0.0);
    progress.showing = true;
    progress.drawn = now;
}

struct Options {
    bool help = false, version = false;
    Masters masters;
    Steps steps;
    std::uint16_t type = type_binary64;
    const char* out = nullptr;    // -o
    const char* outdir = nullptr; // -d
    const char* const* inputs = nullptr;
    std::uint64_t count = 0;
};

enum Option_Row {
    help_row, version_row, bias_row, dark_row, dark_scale_row, flat_row, flat_min_row,
    offset_row, type_row, out_row, outdir_row,
};
const Option option_table[] = {
    {"--help", false},
    {"--version", false},
    {"--bias", true, "--bias needs a file name"},
    {"--dark", true, "--dark needs a file name"},
    {"--dark-scale", true, "--dark-scale takes a finite number"},
    {"--flat", true, "--flat needs a file name"},
    {"--flat-min", true, "--flat-min takes a finite number"},
    {"--offset", true, "--offset takes a finite number"},
    {"--type", true, "--type takes binary64 or uint16"},
    {"-o", true, "-o needs a file name"},
    {"-d", true, "-d needs a folder name"},
};

// A finite number as strtod reads it in the C locale, the whole argument
// and nothing else.
bool read_number(const char* text, double& value)
{
    if (*text == '\0' || std::isspace(static_cast<unsigned char>(*text)))
        return false;
    char* end = nullptr;
    value = std::strtod(text, &end);
    return *end == '\0' && std::isfinite(value);
}

double number_option(const Command_Line& line, Option_Row row)
{
    double value = 0;
    if (!read_number(line.given[row], value))
        usage_error(option_table[row].wrong_value);
    return value;
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
    o.inputs = line.operands.data();
    o.count = line.operands.size();
    if (o.help || o.version)
        return o;
    o.masters = {line.given[bias_row], line.given[dark_row], line.given[flat_row]};
    o.steps.bias = o.masters.bias;
    o.steps.dark = o.masters.dark;
    o.steps.flat = o.masters.flat;
    if (line.given[dark_scale_row] && !o.steps.dark)
        usage_error("--dark-scale needs --dark");
    if (line.given[flat_min_row] && !o.steps.flat)
        usage_error("--flat-min needs --flat");
    if (line.given[dark_scale_row])
        o.steps.dark_scale = number_option(line, dark_scale_row);
    if (line.given[flat_min_row]) {
        o.steps.raise_flat = true;
        o.steps.flat_min = number_option(line, flat_min_row);
    }
    if (line.given[offset_row]) {
        o.steps.offset = true;
        o.steps.offset_value = number_option(line, offset_row);
    }
    if (const char* type = line.given[type_row]) {
        o.type = type_named(type);
        if (o.type == 0)
            usage_error(option_table[type_row].wrong_value);
    }
    o.out = line.given[out_row];
    o.outdir = line.given[outdir_row];
    if (o.out && o.outdir)
        usage_error("-o and -d exclude each other");
    if (!o.out && !o.outdir)
        usage_error("-o OUT or -d OUTDIR is needed");
    if (o.count == 0)
        usage_error("at least one IN is needed");
    if (o.out && o.count > 1)
        usage_error("-o takes one IN; for several, -d OUTDIR");
    return o;
}

[[noreturn]] void print_help_or_version(const Options& o)
{
    if (o.help)
        std::printf("%sCalibrates each IN: subtracts the bias B and the dark D times R, divides\n"
                    "by the flat F over the mean of its finite values, adds N. See pixcalibrate(1).\n",
                    usage_text);
    else
        std::printf("pixcalibrate " PIXDELTA_VERSION "\n");
    std::exit(std::fflush(stdout) == 0 ? exit_success : exit_failure);
}

const char* base_name(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

std::string output_path(const char* outdir, const char* in)
{
    return std::string(outdir) + "/" + base_name(in);
}

// Two frames of one name would take turns at one output: refused before
// anything is made. Sorted by name, so that any number of frames is checked
// at the cost of a sort.
void check_distinct_names(const Options& o)
{
    std::vector<std::uint64_t> order(o.count);
    for (std::uint64_t k = 0; k < o.count; ++k)
        order[k] = k;
    const auto name = [&](std::uint64_t k) { return base_name(o.inputs[k]); };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint64_t a, std::uint64_t b) { return std::strcmp(name(a), name(b)) < 0; });
    for (std::uint64_t k = 1; k < o.count; ++k)
        if (std::strcmp(name(order[k - 1]), name(order[k])) == 0)
            fail(says::same_output_name, o.inputs[order[k - 1]], o.inputs[order[k]],
                 output_path(o.outdir, o.inputs[order[k]]).c_str());
}

// The folder and any missing folders above it, as mkdir -p makes them.
void prepare_outdir(const char* outdir)
{
    struct stat st;
    if (stat(outdir, &st) == 0 && !S_ISDIR(st.st_mode))
        fail(says::outdir_not_folder, outdir);
    const std::string path = outdir;
    for (std::size_t end = 1; end <= path.size(); ++end)
        if ((end == path.size() || path[end] == '/') && path[end - 1] != '/' &&
            mkdir(path.substr(0, end).c_str(), 0777) != 0 && errno != EEXIST)
            fail(says::cannot_make_outdir, outdir, std::strerror(errno));
    if (stat(outdir, &st) != 0 || !S_ISDIR(st.st_mode))
        fail(says::outdir_not_folder, outdir);
}

// Reads an image's header and comment, and opens its block (a pipe read in
// order); says what is wrong and returns false, holding nothing, otherwise.
bool open_image(int fd, const char* name, Velkin_Header& header, Pixel_Block& block)
{
    switch (read_header_and_comment(fd, header)) {
    case Header_Status::ok: break;
    case Header_Status::short_header: return frame_fails(says::short_header, name);
    case Header_Status::bad_magic: return frame_fails(says::not_image, name);
    case Header_Status::no_memory:
        return frame_fails(says::no_comment_memory, name, unsigned{comment_length(header)});
    case Header_Status::short_comment:
        return frame_fails(says::short_comment, name, unsigned{comment_length(header)});
    }
    std::uint64_t obtained = 0;
    const Block_Status status = open_pixel_block(fd, header, nullptr, block, obtained);
    if (status == Block_Status::ok)
        return true;
    release_comment(header);
    if (status == Block_Status::unknown_type)
        return frame_fails(says::unknown_type, name, unsigned{file_type(header)});
    // cannot_copy comes only for a block copied, which this is not.
    return frame_fails(says::short_values, name, static_cast<unsigned long long>(obtained),
                       static_cast<unsigned long long>(block.count));
}

// A master: open for the whole run, its values read with pread wherever a
// frame needs them.
struct Master {
    const char* role = nullptr; // "bias", "dark", "flat"
    const char* name = nullptr;
    int fd = -1;
    struct stat st {};
    Velkin_Header header{};
    Pixel_Block block{};
};

// A pipe could be read only once, and a FIFO with no writer would hold the
// run at its open: a master must be a regular file, and is opened without
// waiting to find out.
void open_master(Master& m)
{
    m.fd = open(m.name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m.fd < 0 || fstat(m.fd, &m.st) != 0)
        fail(says::cannot_open, m.name, std::strerror(errno));
    if (S_ISDIR(m.st.st_mode))
        fail(says::cannot_open, m.name, std::strerror(EISDIR));
    if (!S_ISREG(m.st.st_mode))
        fail(says::master_not_regular, m.name);
    if (!open_image(m.fd, m.name, m.header, m.block))
        std::exit(exit_failure);
    // Only the frames' comments go to the outputs.
    release_comment(m.header);
}

// What one thread calibrates with: the frame's and each master's values
// as binary64, and values in the file's order, in and out.
struct Buffers {
    double* x;
    double* values[3];
    unsigned char* raw;
};

struct Run {
    Options o;
    Master masters[3]; // bias, dark, flat; those given have a name
    std::string record;
    Buffers buffers[2];
    Team team;
};

// The two halves of a frame's work (or of the flat's sum), taken by the
// run's team: two members share them where the system gives two threads,
// one does both otherwise. A frame is mostly copies between the page cache
// and the buffers, and two divisions a value: two processors do it in
// about half the time.
struct Halves {
    void* (*work)(void*);
    void* part[2];
    std::atomic<unsigned> next;
};

void take_halves(unsigned, void* context)
{
    auto& h = *static_cast<Halves*>(context);
    for (unsigned k = h.next++; k < 2; k = h.next++)
        h.work(h.part[k]);
}

void in_two_halves(Run& run, void* (*work)(void*), void* first, void* second)
{
    Halves halves{work, {first, second}, {0}};
    run_team(run.team, take_halves, &halves);
}

// Where two threads split a frame: at a chunk's start, near the middle;
// 0 for a frame too small to share.
std::uint64_t middle(std::uint64_t count)
{
    return count / 2 / chunk_values * chunk_values;
}

// One thread's share of the flat's sum.
struct Mean_Part {
    Pixel_Block* block;
    const double* floor;
    std::uint64_t first, n;
    double* buffer;
    Exact_Sum sum;
    Block_Status status;
    std::uint64_t obtained;
};

extern "C" void* add_mean_part(void* part)
{
    Mean_Part& p = *static_cast<Mean_Part*>(part);
    p.status = add_block_values(p.sum, *p.block, p.first, p.n, p.floor, p.buffer, p.obtained);
    return nullptr;
}

// Raises the flat's values below V first, as the frames' calibration does;
// each half of the flat summed by a thread of its own.
void find_flat_mean(Run& run)
{
    Master& flat = run.masters[2];
    Steps& steps = run.o.steps;
    const double* floor = steps.raise_flat ? &steps.flat_min : nullptr;
    const std::uint64_t count = flat.block.count, half = middle(count);
    Mean_Part parts[2] = {{&flat.block, floor, 0, half, run.buffers[0].x, {}, Block_Status::ok, 0},
                          {&flat.block, floor, half, count - half, run.buffers[1].x, {}, Block_Status::ok, 0}};
    if (!prepare_exact_sum(parts[0].sum) || !prepare_exact_sum(parts[1].sum))
        fail(says::no_memory);
    in_two_halves(run, add_mean_part, &parts[0], &parts[1]);
    for (const Mean_Part& p : parts)
        if (p.status != Block_Status::ok)
            fail(says::short_values, flat.name, static_cast<unsigned long long>(p.obtained),
                 static_cast<unsigned long long>(count));
    merge_exact_sums(parts[0].sum, parts[1].sum);
    const double mean = finite_mean(parts[0].sum);
    const std::uint64_t finite = parts[0].sum.values - parts[0].sum.others;
    release_exact_sum(parts[0].sum);
    release_exact_sum(parts[1].sum);
    if (finite == 0)
        fail(says::flat_without_mean, flat.name);
    if (!(mean > 0)) {
        char text[64] = "";
        std::to_chars(text, text + sizeof text - 1, mean);
        fail(says::flat_mean_not_positive, flat.name, text);
    }
    steps.flat_mean = mean;
}

// Values [first, first + n) of a block as binary64 in the host's order.
// False if fewer were there: `got` says how many.
bool read_values(Pixel_Block& block, std::uint64_t first, std::uint64_t n, double* to,
                 unsigned char* raw, std::uint64_t& got)
{
    if (block.file_type == type_binary64) {
        auto* bytes = reinterpret_cast<unsigned char*>(to);
        const unsigned char* values = block_values(block, first, n, bytes, got);
        if (got < n)
            return false;
        if (values != bytes)
            std::memcpy(bytes, values, n * 8);
        convert_byte_order(bytes, n, 8, std::endian::little);
        return true;
    }
    const unsigned char* values = block_values(block, first, n, raw, got);
    if (got < n)
        return false;
    for (std::uint64_t i = 0; i < n; ++i)
        to[i] = load_value<std::uint16_t>(values, i);
    return true;
}

// Everything one frame holds while it is calibrated; end_frame lets it go.
struct Frame {
    const char* name = nullptr;
    std::string out;
    int fd = -1;
    bool has_header = false;
    Velkin_Header header{};
    Pixel_Block block{};
    Output_File output;
    bool output_open = false;
    std::uint64_t values_at = 0; // the output's first value
};

void end_frame(Frame& frame)
{
    if (frame.output_open)
        abandon_output(frame.output);
    frame.output_open = false;
    if (frame.has_header) {
        release_comment(frame.header);
        release_pixel_block(frame.block);
    }
    frame.has_header = false;
    if (frame.fd >= 0)
        close(frame.fd);
    frame.fd = -1;
}

// Every master must have the frame's width and height; the types may
// differ.
bool check_sizes(const Run& run, const Frame& frame)
{
    for (const Master& m : run.masters)
        if (m.name && (x_size(m.header) != x_size(frame.header) || y_size(m.header) != y_size(frame.header)))
            return frame_fails(says::differs, frame.name, unsigned{x_size(frame.header)},
                               unsigned{y_size(frame.header)}, m.role, m.name, unsigned{x_size(m.header)},
                               unsigned{y_size(m.header)});
    return true;
}

// The output replaces whatever file has its name, but never an input's, nor
// anything that is not a plain file.
bool check_output(const Run& run, const Frame& frame, const struct stat& in)
{
    struct stat target;
    switch (output_target(frame.out.c_str(), target)) {
    case Output_Target::absent: return true;
    case Output_Target::other: return frame_fails(says::out_not_regular, frame.out.c_str());
    case Output_Target::file: break;
    }
    if (same_file(target, in))
        return frame_fails(says::out_is_input, frame.out.c_str(), "input", frame.name);
    for (const Master& m : run.masters)
        if (m.name && same_file(target, m.st))
            return frame_fails(says::out_is_input, frame.out.c_str(), m.role, m.name);
    return true;
}

const char* write_error()
{
    return std::strerror(errno != 0 ? errno : EIO);
}

// IN's header with the output's type and comment length; IN's comment with
// the record line after it, on a line of its own, where it fits.
bool write_start(const Run& run, Frame& frame)
{
    std::string comment(reinterpret_cast<const char*>(frame.header.comment), comment_length(frame.header));
    const bool new_line = !comment.empty() && comment.back() != '\n';
    if (comment.size() + new_line + run.record.size() <= 65535)
        comment += (new_line ? "\n" : "") + run.record;
    else
        say(says::record_left_out, frame.name);
    Velkin_Header header = frame.header;
    set_comment_length(header, static_cast<std::uint16_t>(comment.size()));
    set_file_type(header, run.o.type);
    header.comment = reinterpret_cast<unsigned char*>(comment.data());
    errno = 0;
    if (write_header_and_comment(frame.output.fd, header) != Write_Status::ok)
        return frame_fails(says::cannot_write, frame.out.c_str(), write_error());
    frame.values_at = header_size + comment.size();
    return true;
}

// One thread's share of a frame, and what became of it, for the main
// thread to say.
enum class Part_Status { ok, frame_short, master_short, write_failed };
struct Part {
    Run* run;
    Frame* frame;
    std::uint64_t first, last;
    Buffers buffers;
    Part_Status status = Part_Status::ok;
    std::uint64_t obtained = 0; // of a block cut short
    int master = 0;             // the master cut short
    int error = 0;              // of a failed write
    Clamped clamped;
};

// The share a chunk at a time: the frame's values and the masters' at the
// same positions, calibrated, converted and written where they belong.
extern "C" void* calibrate_part(void* share)
{
    Part& p = *static_cast<Part*>(share);
    Frame& frame = *p.frame;
    const Options& o = p.run->o;
    double* const x = p.buffers.x;
    const unsigned size = bytes_per_value(o.type);
    for (std::uint64_t first = p.first; first < p.last; first += chunk_values) {
        const std::uint64_t n = p.last - first < chunk_values ? p.last - first : chunk_values;
        std::uint64_t got = 0;
        if (!read_values(frame.block, first, n, x, p.buffers.raw, got)) {
            p.status = Part_Status::frame_short;
            p.obtained = first + got;
            return nullptr;
        }
        for (int k = 0; k < 3; ++k) {
            Master& m = p.run->masters[k];
            if (m.name && !read_values(m.block, first, n, p.buffers.values[k], p.buffers.raw, got)) {
                p.status = Part_Status::master_short;
                p.master = k;
                p.obtained = first + got;
                return nullptr;
            }
        }
        calibrate_values(o.steps, x, p.buffers.values[0], p.buffers.values[1], p.buffers.values[2], n);
        const unsigned char* bytes = p.buffers.raw;
        if (o.type == type_uint16) {
            to_uint16(x, n, p.buffers.raw, p.clamped);
        } else {
            bytes = reinterpret_cast<unsigned char*>(x);
            convert_byte_order(reinterpret_cast<unsigned char*>(x), n, 8, std::endian::little);
        }
        errno = 0;
        if (write_fully_at(frame.output.fd, bytes, n * size, frame.values_at + first * size) < n * size) {
            p.status = Part_Status::write_failed;
            p.error = errno != 0 ? errno : EIO;
            return nullptr;
        }
    }
    return nullptr;
}

// Says what stopped a share; false if nothing did.
bool part_failed(const Part& p)
{
    const Frame& frame = *p.frame;
    switch (p.status) {
    case Part_Status::ok: return false;
    case Part_Status::frame_short:
        frame_fails(says::short_values, frame.name, static_cast<unsigned long long>(p.obtained),
                    static_cast<unsigned long long>(frame.block.count));
        break;
    case Part_Status::master_short:
        frame_fails(says::master_cut, p.run->masters[p.master].name, static_cast<unsigned long long>(p.obtained),
                    static_cast<unsigned long long>(frame.block.count), frame.name);
        break;
    case Part_Status::write_failed:
        frame_fails(says::cannot_write, frame.out.c_str(), std::strerror(p.error));
        break;
    }
    return true;
}

// A frame from a regular file in two halves, one a thread; from a pipe, in
// order. The first failure in the frame's order is said.
bool write_values(Run& run, Frame& frame, Clamped& clamped)
{
    const std::uint64_t count = frame.block.count, half = frame.block.sized ? middle(count) : 0;
    Part parts[2] = {{&run, &frame, 0, half, run.buffers[0], Part_Status::ok, 0, 0, 0, {}},
                     {&run, &frame, half, count, run.buffers[1], Part_Status::ok, 0, 0, 0, {}}};
    in_two_halves(run, calibrate_part, &parts[0], &parts[1]);
    if (part_failed(parts[0]) || part_failed(parts[1]))
        return false;
    for (const Part& p : parts) {
        clamped.below += p.clamped.below;
        clamped.above += p.clamped.above;
        clamped.nan += p.clamped.nan;
    }
    return true;
}

bool calibrate_frame(Run& run, Frame& frame, After_Commit after)
{
    frame.fd = open(frame.name, O_RDONLY | O_CLOEXEC);
    struct stat in;
    if (frame.fd < 0 || fstat(frame.fd, &in) != 0)
        return frame_fails(says::cannot_open, frame.name, std::strerror(errno));
    if (S_ISDIR(in.st_mode))
        return frame_fails(says::cannot_open, frame.name, std::strerror(EISDIR));
    frame.has_header = open_image(frame.fd, frame.name, frame.header, frame.block);
    if (!frame.has_header || !check_sizes(run, frame) || !check_output(run, frame, in))
        return false;
    if (int error = create_output(frame.out.c_str(), frame.output); error != 0)
        return frame_fails(says::cannot_create, frame.out.c_str(), std::strerror(error));
    frame.output_open = true;
    Clamped c;
    if (!write_start(run, frame) || !write_values(run, frame, c))
        return false;
    frame.output_open = false; // a failed commit abandons it too
    if (int error = commit_output(frame.output, after); error != 0)
        return frame_fails(says::cannot_commit, frame.out.c_str(), std::strerror(error));
    if (c.below + c.above + c.nan != 0)
        say(says::clamped, frame.name, static_cast<unsigned long long>(c.below + c.above + c.nan),
            static_cast<unsigned long long>(c.below), static_cast<unsigned long long>(c.above),
            static_cast<unsigned long long>(c.nan));
    return true;
}

void prepare_run(Run& run)
{
    const char* names[3] = {run.o.masters.bias, run.o.masters.dark, run.o.masters.flat};
    const char* roles[3] = {"bias", "dark", "flat"};
    for (int k = 0; k < 3; ++k) {
        run.masters[k].role = roles[k];
        run.masters[k].name = names[k];
        if (names[k])
            open_master(run.masters[k]);
    }
    bool allocated = true;
    const auto values = [&](bool wanted) {
        auto* v = wanted ? static_cast<double*>(std::malloc(chunk_values * sizeof(double))) : nullptr;
        allocated = allocated && (v || !wanted);
        return v;
    };
    for (Buffers& b : run.buffers) {
        b.x = values(true);
        for (int k = 0; k < 3; ++k)
            b.values[k] = values(names[k]);
        b.raw = reinterpret_cast<unsigned char*>(values(true));
    }
    if (!allocated)
        fail(says::no_memory);
    if (run.o.steps.flat)
        find_flat_mean(run);
    run.record = record_line(run.o.steps, run.o.masters, run.o.type);
}

} // namespace

void run_pixcalibrate(int argc, char** argv)
{
    Command_Line line;
    Run run{};
    run.o = parse(argc, argv, line);
    if (run.o.help || run.o.version)
        print_help_or_version(run.o);
    start_team(run.team, 2);
    if (run.o.outdir)
        check_distinct_names(run.o);
    prepare_run(run);
    if (run.o.outdir)
        prepare_outdir(run.o.outdir);

    progress.on_terminal = run.o.outdir && isatty(2);
    progress.total = run.o.count;
    clock_gettime(CLOCK_MONOTONIC, &progress.start);
    std::uint64_t failed = 0;
    for (std::uint64_t k = 0; k < run.o.count; ++k) {
        Frame frame;
        frame.name = run.o.inputs[k];
        frame.out = run.o.out ? run.o.out : output_path(run.o.outdir, frame.name);
        // Signals are let in again between outputs, and kept out after the
        // last, whose run is then done.
        const bool last = k + 1 == run.o.count;
        failed += !calibrate_frame(run, frame, last ? After_Commit::signals_kept_blocked
                                                    : After_Commit::signals_restored);
        end_frame(frame);
        show_progress();
    }
    stop_team(run.team);
    if (progress.showing)
        std::fputs("\n", stderr);
    progress.showing = false;
    if (failed != 0 && run.o.outdir)
        fail(says::frames_failed, static_cast<unsigned long long>(failed),
             static_cast<unsigned long long>(run.o.count));
    std::exit(failed != 0 ? exit_failure : exit_success);
}

} // namespace calibrate
