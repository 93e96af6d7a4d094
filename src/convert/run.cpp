// The control function: read the command line, then open the input, create
// a temporary file in a private folder beside OUT, move the image row by
// row, and rename the result into place. Any failure, and SIGINT, SIGTERM or
// SIGHUP, removes the temporary file and folder.
#include "convert.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Options {
    bool preview = false, help = false, version = false;
    unsigned zoom = 1;
    const char* in = nullptr;
    const char* out = nullptr;
};

const char usage[] = "usage: pixconvert [--preview [--zoom N]] IN OUT\n"
                     "       pixconvert --help | --version\n";

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

bool parse_zoom(const char* text, unsigned& zoom)
{
    char* end = nullptr;
    errno = 0;
    long value = text ? std::strtol(text, &end, 10) : 0;
    if (!text || *end != '\0' || errno != 0 || value < 1 || value > 64)
        return false;
    zoom = static_cast<unsigned>(value);
    return true;
}

// Returns an empty string when the command line is good.
std::string parse(int argc, char** argv, Options& options)
{
    bool zoom_given = false, options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (options_done || a[0] != '-' || a[1] == '\0') {
            if (options.out)
                return "too many arguments";
            (options.in ? options.out : options.in) = a;
        } else if (std::strcmp(a, "--") == 0)
            options_done = true;
        else if (std::strcmp(a, "--help") == 0)
            options.help = true;
        else if (std::strcmp(a, "--version") == 0)
            options.version = true;
        else if (std::strcmp(a, "--preview") == 0)
            options.preview = true;
        else if (std::strcmp(a, "--zoom") == 0) {
            if (!parse_zoom(i + 1 < argc ? argv[++i] : nullptr, options.zoom))
                return "--zoom takes a whole number from 1 to 64";
            zoom_given = true;
        } else
            return std::string("unknown option ") + a;
    }
    if (zoom_given && !options.preview)
        return "--zoom goes with --preview";
    if (!options.help && !options.version && !options.out)
        return "IN and OUT are needed";
    return "";
}

// By extension, in any letter case.
Format format_of(const std::string& path)
{
    std::size_t dot = path.rfind('.'), slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return Format::unknown;
    const char* ext = path.c_str() + dot + 1;
    static const struct { const char* ext; Format format; } table[] = {
        {"img", Format::velkin}, {"fits", Format::fits}, {"fit", Format::fits},
        {"fts", Format::fits},   {"tif", Format::tiff},  {"tiff", Format::tiff},
        {"png", Format::png}};
    for (const auto& entry : table)
        if (strcasecmp(ext, entry.ext) == 0)
            return entry.format;
    return Format::unknown;
}

// Whether the extensions make a pair pixconvert converts.
bool pair_ok(const Options& o, Format in, Format out, Failure& failure)
{
    const char* known = "unknown extension; known: .img, .fits, .fit, .fts, .tif, .tiff, .png";
    if (in == Format::unknown)
        failure = {o.in, known};
    else if (out == Format::unknown)
        failure = {o.out, known};
    else if (o.preview && out != Format::png)
        failure = {o.out, "a preview is written as .png"};
    else if (!o.preview && (in == Format::velkin) == (out == Format::velkin))
        failure = {o.out, "converts .img to FITS, TIFF or PNG and back; one side must be .img"};
    else
        return true;
    return false;
}

bool same_file(const char* in, const char* out, Failure& failure)
{
    struct stat a, b;
    if (stat(in, &a) != 0 || stat(out, &b) != 0 || a.st_dev != b.st_dev || a.st_ino != b.st_ino)
        return false;
    failure = {out, std::string("is the same file as ") + in};
    return true;
}

// A PNG or TIFF cannot be 0 pixels wide or high, and PNG has no binary64.
bool target_holds(const Source& source, const Sink& sink, bool preview, Failure& failure)
{
    if (sink.format == Format::png && source.type == type_binary64 && !preview)
        failure = {sink.name, "PNG cannot hold binary64 values (type 10); use FITS or TIFF"};
    else if ((sink.format == Format::png || sink.format == Format::tiff) &&
             (source.x == 0 || source.y == 0))
        failure = {sink.name, std::string(sink.format == Format::png ? "PNG" : "TIFF") +
                                  " cannot hold an empty image (" + std::to_string(source.x) +
                                  "x" + std::to_string(source.y) + "); FITS can"};
    else
        return true;
    return false;
}

// The private folder beside OUT and the partial file in it, in static
// buffers so that the signal handler can remove them; temporary_made is set
// only while the folder exists.
char temporary_folder[PATH_MAX];
char temporary_file[PATH_MAX];
volatile std::sig_atomic_t temporary_made = 0;

// unlink and rmdir are async-signal-safe, so the handler calls this too.
void remove_temporary()
{
    if (!temporary_made)
        return;
    unlink(temporary_file);
    rmdir(temporary_folder);
    temporary_made = 0;
}

const int fatal_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_fatal_signal(int signal_number)
{
    remove_temporary();
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
    raise(signal_number); // delivered, by default, when the handler returns
}

void catch_fatal_signals()
{
    struct sigaction action = {};
    action.sa_handler = on_fatal_signal;
    sigemptyset(&action.sa_mask);
    for (int s : fatal_signals)
        sigaddset(&action.sa_mask, s);
    for (int s : fatal_signals) {
        struct sigaction old = {};
        // One ignored on entry (nohup, a background job's SIGINT) stays so.
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(s, &action, nullptr);
    }
}

// A folder of mode 0700 beside OUT (on its file system, for the rename) that
// nobody else can write in: the partial file inside it is created fresh, by
// pixconvert or by cfitsio, and a symbolic link planted in a shared folder
// cannot redirect it. Signals wait while the folder is made and recorded.
bool create_temporary(Sink& sink, Failure& failure)
{
    std::string out = sink.name;
    std::size_t slash = out.rfind('/');
    std::string pattern =
        (slash == std::string::npos ? "./" : out.substr(0, slash + 1)) + ".pixconvert-XXXXXX";
    if (pattern.size() + sizeof "/partial" > sizeof temporary_file) {
        failure = {sink.name, with_errno("cannot create a file beside it", ENAMETOOLONG)};
        return false;
    }
    sigset_t fatal, old;
    sigemptyset(&fatal);
    for (int s : fatal_signals)
        sigaddset(&fatal, s);
    sigprocmask(SIG_BLOCK, &fatal, &old);
    std::memcpy(temporary_folder, pattern.c_str(), pattern.size() + 1);
    bool made = mkdtemp(temporary_folder) != nullptr;
    int error = errno;
    if (made) {
        std::memcpy(temporary_file, temporary_folder, pattern.size());
        std::memcpy(temporary_file + pattern.size(), "/partial", sizeof "/partial");
        temporary_made = 1;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (!made) {
        failure = {sink.name, with_errno("cannot create a file beside it", error)};
        return false;
    }
    sink.path = temporary_file;
    if (sink.format == Format::fits) // cfitsio creates its file itself
        return true;
    sink.fd = open(temporary_file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (sink.fd < 0) {
        failure = {sink.name, with_errno("cannot create a file beside it", errno)};
        return false;
    }
    return true;
}

// The file is 0600 or 0666 less umask by who created it; a plain create of
// OUT would give the latter.
bool put_in_place(Sink& sink, Failure& failure)
{
    mode_t mask = umask(0);
    umask(mask);
    if (chmod(sink.path.c_str(), 0666 & ~mask) != 0 ||
        rename(sink.path.c_str(), sink.name.c_str()) != 0) {
        failure = {sink.name, with_errno("cannot put the result in place", errno)};
        return false;
    }
    remove_temporary(); // the file is OUT now: only the empty folder goes
    return true;
}

bool copy_rows(Source& source, Sink& sink, Failure& failure)
{
    Row row(std::uint64_t{source.x} * bytes_per_value(source.type));
    for (std::uint32_t r = 0; r < source.y; ++r)
        if (!read_row(source, r, row.data(), failure) || !write_row(sink, r, row.data(), failure))
            return false;
    return true;
}

bool convert(const Options& o, Source& source, Sink& sink, Failure& failure)
{
    if (!open_source(source, failure) || !target_holds(source, sink, o.preview, failure))
        return false;
    sink.x = source.x;
    sink.y = source.y;
    sink.type = source.type;
    if (o.preview)
        return create_temporary(sink, failure) && write_preview(source, sink, o.zoom, failure);
    return create_temporary(sink, failure) && open_sink(sink, source.carried, failure) &&
           copy_rows(source, sink, failure) && close_sink(sink, failure);
}

} // namespace

int run_pixconvert(int argc, char** argv)
{
    // A write past a file size limit or to a closed pipe becomes an error
    // that gets its message.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    catch_fatal_signals();
    Options o;
    std::string wrong = parse(argc, argv, o);
    if (!wrong.empty())
        return usage_error(wrong);
    if (o.help || o.version) {
        std::printf(o.help ? usage : "pixconvert " PIXCONVERT_VERSION "\n");
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    Failure failure;
    Source source;
    source.format = format_of(o.in);
    source.path = o.in;
    Sink sink;
    sink.format = format_of(o.out);
    sink.name = o.out;
    if (!pair_ok(o, source.format, sink.format, failure) || same_file(o.in, o.out, failure))
        return refuse(failure);
    bool ok = convert(o, source, sink, failure) && put_in_place(sink, failure);
    close_source(source);
    if (!ok) {
        abandon_sink(sink);
        remove_temporary();
        return refuse(failure);
    }
    return 0;
}
