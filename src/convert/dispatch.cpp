// Each step of a conversion, handed to the format that does it.
#include "convert.h"

#include <unistd.h>

bool open_source(Source& source, Failure& failure)
{
    bool ok = false;
    switch (source.format) {
    case Format::velkin: ok = open_velkin_source(source, failure); break;
    case Format::fits: ok = open_fits_source(source, failure); break;
    case Format::tiff: ok = open_tiff_source(source, failure); break;
    case Format::png: ok = open_png_source(source, failure); break;
    case Format::unknown: break;
    }
    if (ok)
        source.file_row.resize(std::uint64_t{source.x} * bytes_per_value(source.type));
    return ok;
}

bool read_row(Source& source, std::uint32_t row_index, unsigned char* row, Failure& failure)
{
    switch (source.format) {
    case Format::velkin: return read_velkin_row(source, row, failure);
    case Format::fits: return read_fits_row(source, row_index, row, failure);
    case Format::tiff: return read_tiff_row(source, row_index, row, failure);
    case Format::png: return read_png_row(source, row, failure);
    case Format::unknown: break;
    }
    return false;
}

void close_source(Source& source)
{
    if (source.fd >= 0)
        close(source.fd);
    source.fd = -1;
    close_fits_source(source);
    close_tiff_source(source);
    close_png_source(source);
}

bool open_sink(Sink& sink, const Carried& carried, Failure& failure)
{
    sink.file_row.resize(std::uint64_t{sink.x} * bytes_per_value(sink.type));
    switch (sink.format) {
    case Format::velkin: return open_velkin_sink(sink, carried, failure);
    case Format::fits: return open_fits_sink(sink, carried, failure);
    case Format::tiff: return open_tiff_sink(sink, carried, failure);
    case Format::png: return open_png_sink(sink, &carried, 16, sink.x, sink.y, failure);
    case Format::unknown: break;
    }
    return false;
}

bool write_row(Sink& sink, std::uint32_t row_index, const unsigned char* row, Failure& failure)
{
    switch (sink.format) {
    case Format::velkin: return write_velkin_row(sink, row, failure);
    case Format::fits: return write_fits_row(sink, row_index, row, failure);
    case Format::tiff: return write_tiff_row(sink, row_index, row, failure);
    case Format::png: return write_png_row(sink, row, failure);
    case Format::unknown: break;
    }
    return false;
}

bool close_sink(Sink& sink, Failure& failure)
{
    switch (sink.format) {
    case Format::velkin: return close_velkin_sink(sink, failure);
    case Format::fits: return close_fits_sink(sink, failure);
    case Format::tiff: return close_tiff_sink(sink, failure);
    case Format::png: return close_png_sink(sink, failure);
    case Format::unknown: break;
    }
    return false;
}

// After a failure: release whatever the library holds; the caller removes
// the temporary file and its folder.
void abandon_sink(Sink& sink)
{
    int status = 0;
    if (sink.fits) // deleted, not closed: closing would pad the data unit
        fits_delete_file(sink.fits, &status);
    if (sink.tiff)
        TIFFClose(sink.tiff);
    else if (sink.fd >= 0)
        close(sink.fd);
    if (sink.png.png)
        png_destroy_write_struct(&sink.png.png, &sink.png.info);
    if (sink.png.file)
        std::fclose(sink.png.file);
    sink = Sink{};
}
