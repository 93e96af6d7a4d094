// pixconvert's run, from the command line to the rename that puts OUT in
// place: read the command line, pick both formats by extension, open IN
// exactly as named, let its format's reader say what the image is, settle
// the .img header, create OUT unnamed in its folder, move the rows a chunk
// at a time (or make the preview), and give OUT its name. Any failure
// leaves OUT as it was and nothing beside it.
#include "carried.h"
#include "child.h"
#include "format.h"
#include "image/command_line.h"
#include "image/file_io.h"
#include "image/output_file.h"
#include "preview.h"
#include "run.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace convert {

using namespace img;

namespace {

struct Options {
    bool preview = false, fresh_header = false, help = false, version = false;
    unsigned zoom = 0; // 0: not given
    Stretch stretch = Stretch::percentile;
    bool stretch_given = false;
    std::string hdu;
    bool hdu_given = false;
    const char* in = nullptr;
    const char* out = nullptr;
};

int usage_error(const std::string& what)
{
    std::fprintf(stderr, says::wrong_usage, what.c_str(), says::usage);
    return 2;
}

// Says what failed, on standard error; the exit status of a failure.
int report(const Failure& failure)
{
    std::fprintf(stderr, says::refused, failure.file.c_str(), failure.what.c_str());
    return 1;
}

// 1 to 64, in plain decimal digits: no sign, no spaces.
bool parse_zoom(const std::string& text, unsigned& zoom)
{
    if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    zoom = static_cast<unsigned>(std::stoul(text));
    return zoom >= 1 && zoom <= 64;
}

enum Option_Row { help_row, version_row, preview_row, fresh_row, zoom_row, stretch_row, hdu_row };
const Option option_table[] = {
    {"--help", false},
    {"--version", false},
    {"--preview", false},
    {"--fresh-header", false},
    {"--zoom", true, says::zoom_value},
    {"--stretch", true, says::stretch_value},
    {"--hdu", true, says::hdu_value},
};

// Returns an empty string when the command line is good.
std::string parse(int argc, char** argv, Options& o)
{
    Command_Line line;
    std::string wrong = read_command_line(argc, argv, option_table, line);
    if (!wrong.empty())
        return wrong;
    auto given = [&](Option_Row row) { return line.given[row]; };
    o.help = given(help_row);
    o.version = given(version_row);
    o.preview = given(preview_row);
    o.fresh_header = given(fresh_row);
    if (const char* zoom = given(zoom_row); zoom && !parse_zoom(zoom, o.zoom))
        return option_table[zoom_row].wrong_value;
    if (const char* stretch = given(stretch_row)) {
        if (std::strcmp(stretch, "percentile") != 0 && std::strcmp(stretch, "minmax") != 0)
            return option_table[stretch_row].wrong_value;
        o.stretch = std::strcmp(stretch, "minmax") == 0 ? Stretch::minmax : Stretch::percentile;
        o.stretch_given = true;
    }
    if (const char* hdu = given(hdu_row)) {
        if (*hdu == '\0')
            return option_table[hdu_row].wrong_value;
        o.hdu = hdu;
        o.hdu_given = true;
    }
    if (o.help || o.version)
        return "";
    if (line.operands.size() > 2)
        return says::too_many_arguments;
    if (o.zoom != 0 && !o.preview)
        return says::zoom_alone;
    if (o.stretch_given && !o.preview)
        return says::stretch_alone;
    if (o.fresh_header && o.preview)
        return says::fresh_preview;
    if (line.operands.size() < 2)
        return says::in_and_out;
    o.in = line.operands[0];
    o.out = line.operands[1];
    return "";
}

struct Formats {
    const Format_Row* in = nullptr;
    const Format_Row* out = nullptr;
    const Format* reader = nullptr;
    const Format* writer = nullptr;
};

// Whether the extensions make a pair pixconvert converts; 0, or the exit
// status of the refusal.
int choose_formats(const Options& o, const char* modules, Formats& f)
{
    Failure failure;
    f.in = choose_format(o.in);
    f.out = choose_format(o.out);
    if (!f.in || !f.out)
        fail(failure, f.in ? o.out : o.in, says::unknown_extension, known_extensions().c_str());
    else if (o.hdu_given && !f.in->hdus)
        fail(failure, o.in, says::hdu_not_fits);
    else if (o.preview && !f.out->preview)
        fail(failure, o.out, says::preview_not_png);
    else if (!o.preview && !f.in->module && !f.out->module)
        fail(failure, o.out, says::both_img);
    else if (!o.preview && f.in->module && f.out->module)
        fail(failure, o.out, says::neither_img);
    else if (o.fresh_header && f.out->module)
        fail(failure, o.out, says::fresh_not_img);
    else if ((f.reader = load_format(*f.in, modules, o.in, failure)) &&
             (f.writer = load_format(*f.out, modules, o.out, failure)))
        return 0;
    return report(failure);
}

// Opens IN exactly as named, without waiting: a FIFO with no writer must not
// hang a run that is going to refuse it. A file the reader must seek in,
// or read twice, must be a regular file.
int open_input(const char* path, const Format_Row& format, bool preview, Failure& failure)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fail(failure, path, because(errno), says::cannot_open);
        return -1;
    }
    if (S_ISDIR(st.st_mode))
        fail(failure, path, says::is_folder);
    else if (!S_ISREG(st.st_mode) && (format.reads_by_seeking || preview)) {
        if (preview)
            fail(failure, path, says::preview_of_pipe);
        else
            fail(failure, path, says::format_from_pipe, format.name);
    } else
        return fd;
    close(fd);
    return -1;
}

// IN as it is then read, in blocking mode. A FIFO is never opened a second
// time (its writer may have come and gone in between, and the second open
// would wait for ever): its reader waits, as `cat` does, until a writer has
// written or closed it, and only then reads in blocking mode, when a read
// without a writer is the end of the data.
bool wait_for_writer(int fd, const char* path, Failure& failure)
{
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
        struct pollfd wait = {fd, POLLIN, 0};
        int ready;
        while ((ready = poll(&wait, 1, -1)) < 0 && errno == EINTR) {
        }
        if (ready < 0)
            return fail(failure, path, because(errno), says::cannot_read);
    }
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        return fail(failure, path, because(errno), says::cannot_read);
    return true;
}

// OUT, until it has its name; abandoned (nothing left) unless committed.
struct Output {
    Output_File file;
    ~Output() { abandon_output(file); }
};

// OUT is made anew and renamed into place. That replaces a file or a
// symbolic link of its name, never what a link points to; a device, FIFO
// or folder of that name is refused rather than replaced.
bool create(const char* path, const char* in_path, int in, Output& out, Failure& failure)
{
    struct stat a, b;
    Output_Target target = output_target(path, b);
    if (target == Output_Target::other)
        return fail(failure, path, says::out_not_regular);
    if (target == Output_Target::file && fstat(in, &a) == 0 && same_file(a, b))
        return fail(failure, path, says::out_is_in, in_path);
    if (int error = create_output(path, out.file); error != 0)
        return fail(failure, path, because(error), says::cannot_create);
    return true;
}

bool put_in_place(Output& out, const char* path, Failure& failure)
{
    int error = commit_output(out.file, After_Commit::signals_kept_blocked);
    return error == 0 || fail(failure, path, because(error), says::cannot_commit);
}

// In the child: the reader says what IN holds, the header is settled, and
// the rows go to the writer (or to the preview).
bool convert_rows(const Options& o, const Formats& f, int fd, Output_File& out, Failure& failure)
{
    Source source;
    std::unique_ptr<Reader> reader =
        wait_for_writer(fd, o.in, failure) ? f.reader->open_reader(fd, o.in, {o.hdu}, source, failure)
                                           : nullptr;
    if (!reader)
        return false;
    // The values pass through twice (read, written), a preview's three
    // times, with its enlarged picture.
    std::uint64_t values = std::uint64_t{source.x} * source.y * bytes_per_value(source.type);
    std::uint64_t zoom = o.zoom ? o.zoom : 1;
    std::uint64_t moved = o.preview ? 3 * values + values * zoom * zoom : 2 * values;
    if (!allow_conversion(reader->memory(), moved, o.in, failure))
        return false;
    if (o.preview)
        return write_preview(*reader, source, *f.out, *f.writer, out, o.out,
                             static_cast<unsigned>(zoom), o.stretch, failure);
    Image image;
    if (!settle_image(source, o.fresh_header, o.in, image, failure) ||
        !holds(*f.out, o.out, image.x, image.y, image.type == type_binary64, failure))
        return false;
    std::unique_ptr<Writer> writer =
        f.writer->open_writer(out, o.out, image, f.out->tile_compressed, failure);
    return writer && copy_rows(*reader, *writer, image.x, image.y, image.type, failure);
}

bool convert(const Options& o, const Formats& f, Failure& failure)
{
    int fd = open_input(o.in, *f.in, o.preview, failure);
    if (fd < 0)
        return false;
    Output out;
    bool ok = create(o.out, o.in, fd, out, failure) &&
              run_in_child([&](Failure& in_child) {
                  return convert_rows(o, f, fd, out.file, in_child);
              }, o.in, failure) &&
              put_in_place(out, o.out, failure);
    close(fd);
    return ok;
}

} // namespace

bool copy_rows(Reader& reader, Writer& writer, std::uint16_t x, std::uint16_t y,
               std::uint16_t type, Failure& failure)
{
    std::uint64_t row = std::uint64_t{x} * bytes_per_value(type);
    if (row == 0 || y == 0)
        return true;
    // About 256 KiB a chunk, unless a side asks for its own.
    std::uint64_t rows = writer.preferred_rows() ? writer.preferred_rows()
                         : reader.preferred_rows() ? reader.preferred_rows()
                         : std::max<std::uint64_t>(1, (256 << 10) / row);
    std::vector<unsigned char> chunk(rows * row);
    for (std::uint32_t first = 0; first < y; first += static_cast<std::uint32_t>(rows)) {
        auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(rows, y - first));
        if (!reader.read_rows(first, count, chunk.data(), failure) ||
            !writer.write_rows(first, count, chunk.data(), failure))
            return false;
    }
    return writer.finish(failure);
}

int run_pixconvert(int argc, char** argv, const char* modules)
{
    Options o;
    std::string wrong = parse(argc, argv, o);
    if (!wrong.empty())
        return usage_error(wrong);
    if (o.help || o.version) {
        if (o.help)
            std::printf("%s%s", says::usage, says::help);
        else
            std::printf(says::version, PIXDELTA_VERSION);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    Formats formats;
    if (int status = choose_formats(o, modules, formats))
        return status;
    Failure failure;
    return convert(o, formats, failure) ? 0 : report(failure);
}

} // namespace convert
