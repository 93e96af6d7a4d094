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

const char usage[] =
    "usage: pixconvert [--fresh-header] [--hdu N|NAME] IN OUT\n"
    "       pixconvert --preview [--zoom N] [--stretch percentile|minmax] [--hdu N|NAME] IN "
    "OUT.png\n"
    "       pixconvert --help | --version\n";

const char help[] =
    "\n"
    "Converts an .img image to FITS, TIFF or PNG, or any of these back to .img.\n"
    "The extension picks each file's format, in any letter case:\n"
    "  .img              the image format of pixdelta\n"
    "  .fits .fit .fts   FITS; .fz: tile-compressed FITS, as fpack writes it\n"
    "  .tif .tiff        TIFF\n"
    "  .png              PNG (unsigned 16-bit images)\n"
    "\n"
    "  --fresh-header    ignore the .img header a file carries and make a new one\n"
    "  --hdu N|NAME      read FITS HDU number N (0 is the primary) or the one\n"
    "                    whose EXTNAME is NAME; default: the first with an image\n"
    "  --preview         write an 8-bit grayscale PNG that any viewer shows\n"
    "  --zoom N          repeat each pixel N times across and down (1 to 64)\n"
    "  --stretch KIND    percentile (0.5% to 99.5% of the values, the default)\n"
    "                    or minmax\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (OUT is left as it was), 2 wrong usage.\n"
    "See pixconvert(1) for the details.\n";

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
    std::fprintf(stderr, "pixconvert: %s\n%s", what.c_str(), usage);
    return 2;
}

int refuse(const Failure& failure)
{
    std::fprintf(stderr, "pixconvert: %s: %s\n", failure.file.c_str(), failure.what.c_str());
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
    {"--zoom", true, "--zoom takes a whole number from 1 to 64"},
    {"--stretch", true, "--stretch takes percentile or minmax"},
    {"--hdu", true, "--hdu takes an HDU number or an EXTNAME"},
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
        return "too many arguments";
    if (o.zoom != 0 && !o.preview)
        return "--zoom goes with --preview";
    if (o.stretch_given && !o.preview)
        return "--stretch goes with --preview";
    if (o.fresh_header && o.preview)
        return "--fresh-header goes with a conversion to .img, not with --preview";
    if (line.operands.size() < 2)
        return "IN and OUT are needed";
    o.in = line.operands[0];
    o.out = line.operands[1];
    return "";
}

struct Formats {
    Format_Choice in, out;
    const Format* reader = nullptr;
    const Format* writer = nullptr;
};

// Whether the extensions make a pair pixconvert converts; 0, or the exit
// status of the refusal.
int choose_formats(const Options& o, const char* modules, Formats& f)
{
    const std::string known = "unknown extension; known: " + known_extensions();
    if (!choose_format(o.in, f.in))
        return refuse({o.in, known});
    if (!choose_format(o.out, f.out))
        return refuse({o.out, known});
    bool in_img = f.in.module == nullptr, out_img = f.out.module == nullptr;
    if (o.hdu_given && !f.in.hdus)
        return refuse({o.in, "--hdu picks an HDU of a FITS file; this is none"});
    if (o.preview && !f.out.preview)
        return refuse({o.out, "a preview is written as .png"});
    if (!o.preview && in_img && out_img)
        return refuse({o.out, "IN and OUT are both .img files; one side must be FITS, TIFF or PNG"});
    if (!o.preview && !in_img && !out_img)
        return refuse({o.out, "neither side is an .img file; pixconvert converts .img to FITS, "
                              "TIFF or PNG and back"});
    if (o.fresh_header && !out_img)
        return refuse({o.out, "--fresh-header makes the header of an .img file; this is none"});
    std::string reason;
    if (!(f.reader = load_format(f.in, modules, reason)))
        return refuse({o.in, reason});
    if (!(f.writer = load_format(f.out, modules, reason)))
        return refuse({o.out, reason});
    return 0;
}

// Opens IN exactly as named, without waiting: a FIFO with no writer must not
// hang a run that is going to refuse it. A file the reader must seek in,
// or read twice, must be a regular file.
int open_input(const char* path, const Format& format, bool preview, Failure& failure)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        failure = {path, with_errno("cannot open", errno)};
        return -1;
    }
    if (S_ISDIR(st.st_mode))
        failure = {path, "is a folder"};
    else if (!S_ISREG(st.st_mode) && (format.reads_by_seeking || preview))
        failure = {path, preview ? "cannot preview a pipe or device: the preview reads its "
                                   "input twice; save it to a file first"
                                 : std::string("cannot read ") + format.name +
                                       " from a pipe or device; save it to a file first"};
    else
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
        if (ready < 0) {
            failure = {path, with_errno("cannot read", errno)};
            return false;
        }
    }
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        failure = {path, with_errno("cannot read", errno)};
        return false;
    }
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
        failure = {path, "exists and is not a regular file; pixconvert writes OUT anew and "
                         "renames it into place"};
    else if (target == Output_Target::file && fstat(in, &a) == 0 && same_file(a, b))
        failure = {path, std::string("is the same file as ") + in_path};
    else if (int error = create_output(path, out.file); error != 0)
        failure = {path, with_errno("cannot create", error)};
    else
        return true;
    return false;
}

bool copy_rows(Reader& reader, Writer& writer, const Image& image, Failure& failure)
{
    std::uint64_t row = std::uint64_t{image.x} * bytes_per_value(image.type);
    if (row == 0 || image.y == 0)
        return true;
    // About 256 KiB a chunk, unless a side asks for its own.
    std::uint64_t rows = writer.preferred_rows() ? writer.preferred_rows()
                         : reader.preferred_rows() ? reader.preferred_rows()
                         : std::max<std::uint64_t>(1, (256 << 10) / row);
    std::vector<unsigned char> chunk(rows * row);
    for (std::uint32_t first = 0; first < image.y; first += static_cast<std::uint32_t>(rows)) {
        auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(rows, image.y - first));
        if (!reader.read_rows(first, count, chunk.data(), failure) ||
            !writer.write_rows(first, count, chunk.data(), failure))
            return false;
    }
    return writer.finish(failure);
}

bool put_in_place(Output& out, const char* path, Failure& failure)
{
    int error = commit_output(out.file, After_Commit::signals_kept_blocked);
    if (error != 0)
        failure = {path, with_errno("cannot put the result in place", error)};
    return error == 0;
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
        return write_preview(*reader, source, *f.writer, out, o.out, o.zoom ? o.zoom : 1,
                             o.stretch, failure);
    Image image;
    if (!settle_image(source, o.fresh_header, o.in, image, failure))
        return false;
    std::unique_ptr<Writer> writer =
        f.writer->open_writer(out, o.out, image, f.out.tile_compressed, failure);
    return writer && copy_rows(*reader, *writer, image, failure);
}

bool convert(const Options& o, const Formats& f, Failure& failure)
{
    int fd = open_input(o.in, *f.reader, o.preview, failure);
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

int run_pixconvert(int argc, char** argv, const char* modules)
{
    Options o;
    std::string wrong = parse(argc, argv, o);
    if (!wrong.empty())
        return usage_error(wrong);
    if (o.help || o.version) {
        if (o.help)
            std::printf("%s%s", usage, help);
        else
            std::printf("pixconvert " PIXDELTA_VERSION "\n");
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    Formats formats;
    if (int status = choose_formats(o, modules, formats))
        return status;
    Failure failure;
    return convert(o, formats, failure) ? 0 : refuse(failure);
}

} // namespace convert
