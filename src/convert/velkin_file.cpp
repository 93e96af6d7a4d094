// The .img side of every conversion: the header and comment are read and
// written as they are, the values one row at a time.
#include "convert.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string short_values(const Source& source)
{
    return "file is short: fewer values than " + std::to_string(pixel_count(source.carried.header));
}

// A short file is refused before anything is written: a FITS output would
// otherwise be padded to its full size while it is abandoned.
bool check_length(const Source& source, Failure& failure)
{
    std::uint64_t start = header_size + source.carried.comment.size();
    std::uint64_t need = pixel_count(source.carried.header) * bytes_per_value(source.type), there = 0;
    if (bytes_in_file(source.fd, start, need, there) && there < need) {
        failure = {source.path, short_values(source)};
        return false;
    }
    return true;
}

} // namespace

bool open_velkin_source(Source& source, Failure& failure)
{
    source.fd = open(source.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source.fd < 0) {
        failure = {source.path, with_errno("cannot open", errno)};
        return false;
    }
    Velkin_Header& h = source.carried.header;
    h.comment = nullptr;
    errno = 0;
    if (read_fully(source.fd, h.bytes, header_size) != header_size) {
        failure = {source.path, with_errno("file is short: no complete 64-byte header", errno)};
        return false;
    }
    if (!has_magic(h)) {
        failure = {source.path, "not an .img file: it does not begin with \"IM\""};
        return false;
    }
    if (bytes_per_value(file_type(h)) == 0) {
        failure = {source.path, "unknown pixel type " + std::to_string(file_type(h)) +
                                    "; accepted: 2 (unsigned 16-bit), 10 (binary64)"};
        return false;
    }
    std::string& comment = source.carried.comment;
    comment.assign(comment_length(h), '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(comment.data());
    if (read_fully(source.fd, bytes, comment.size()) != comment.size()) {
        failure = {source.path, with_errno("file is short: the comment is cut off", errno)};
        return false;
    }
    source.x = x_size(h);
    source.y = y_size(h);
    source.type = file_type(h);
    return check_length(source, failure);
}

bool read_velkin_row(Source& source, unsigned char* row, Failure& failure)
{
    std::uint64_t size = source.file_row.size();
    errno = 0;
    if (read_fully(source.fd, source.file_row.data(), size) != size) {
        failure = {source.path, with_errno(short_values(source), errno)};
        return false;
    }
    row_from_file(source.file_row.data(), row, source.x, source.type);
    return true;
}

bool open_velkin_sink(Sink& sink, const Carried& carried, Failure& failure)
{
    std::uint64_t size = carried.comment.size();
    const auto* comment = reinterpret_cast<const unsigned char*>(carried.comment.data());
    if (write_fully(sink.fd, carried.header.bytes, header_size) != header_size ||
        write_fully(sink.fd, comment, size) != size) {
        failure = {sink.name, with_errno("cannot write", errno)};
        return false;
    }
    return true;
}

bool write_velkin_row(Sink& sink, const unsigned char* row, Failure& failure)
{
    row_to_file(row, sink.file_row.data(), sink.x, sink.type);
    std::uint64_t size = sink.file_row.size();
    if (write_fully(sink.fd, sink.file_row.data(), size) != size) {
        failure = {sink.name, with_errno("cannot write", errno)};
        return false;
    }
    return true;
}

bool close_velkin_sink(Sink& sink, Failure& failure)
{
    int fd = sink.fd;
    sink.fd = -1;
    if (close(fd) != 0) {
        failure = {sink.name, with_errno("cannot write", errno)};
        return false;
    }
    return true;
}
