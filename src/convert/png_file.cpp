// PNG: 16-bit grayscale, width = x_size, height = y_size, the first value at
// the top-left of row 0. The 64 header bytes travel as lowercase hex in the
// zTXt chunk "IM header", the comment as hex in the zTXt chunk "IM comment",
// both before the image data; a comment without NUL bytes is also written as
// a tEXt "Comment" chunk. A file without "IM header" gets a fresh header and
// its "Comment" text chunk (before the image data) as comment.
//
// libpng reports errors by longjmp. Every libpng call that can fail runs in a
// small function here that sets the jump point and holds no object with a
// destructor, so the jump never skips one.
#include "convert.h"

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

void keep_error(png_structp png, png_const_charp message)
{
    auto* handle = static_cast<Png_Handle*>(png_get_error_ptr(png));
    std::snprintf(handle->message, sizeof handle->message, "%s", message);
    png_longjmp(png, 1);
}

void ignore_warning(png_structp, png_const_charp) {}

std::string png_reason(const Png_Handle& handle, const char* doing)
{
    return handle.message[0] ? std::string(doing) + ": " + handle.message : std::string(doing);
}

// A damaged chunk length makes libpng allocate that much, however short the
// file, and its chunk size limit does not cover every chunk. Nothing libpng
// needs here comes near 64 MiB (the largest is a row: 256 KiB), so anything
// larger is refused, which libpng reports as a read error.
void* limited_malloc(png_structp, png_alloc_size_t size)
{
    return size <= (png_alloc_size_t{64} << 20) ? std::malloc(size) : nullptr;
}

void plain_free(png_structp, png_voidp pointer)
{
    std::free(pointer);
}

bool guarded_read_info(Png_Handle& h)
{
    if (setjmp(png_jmpbuf(h.png)))
        return false;
    png_init_io(h.png, h.file);
    png_read_info(h.png, h.info);
    return true;
}

bool guarded_read_row(Png_Handle& h, unsigned char* row)
{
    if (setjmp(png_jmpbuf(h.png)))
        return false;
    png_read_row(h.png, row, nullptr);
    return true;
}

bool guarded_write_info(Png_Handle& h, std::uint32_t x, std::uint32_t y, int depth,
                        png_textp texts, int text_count)
{
    if (setjmp(png_jmpbuf(h.png)))
        return false;
    png_init_io(h.png, h.file);
    // zlib's fastest level: on 16-bit data with noise the default level
    // costs many times the time for a few percent of size.
    png_set_compression_level(h.png, 1);
    png_set_IHDR(h.png, h.info, x, y, depth, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (text_count > 0)
        png_set_text(h.png, h.info, texts, text_count);
    png_write_info(h.png, h.info);
    // libpng keeps 16-bit samples most significant byte first; rows here
    // are in host order.
    if (depth == 16 && std::endian::native == std::endian::little)
        png_set_swap(h.png);
    return true;
}

bool guarded_write_row(Png_Handle& h, const unsigned char* row)
{
    if (setjmp(png_jmpbuf(h.png)))
        return false;
    png_write_row(h.png, row);
    return true;
}

bool guarded_write_end(Png_Handle& h)
{
    if (setjmp(png_jmpbuf(h.png)))
        return false;
    png_write_end(h.png, nullptr);
    return true;
}

std::string text_value(png_const_textp text)
{
    std::size_t size = text->compression > 0 ? text->itxt_length : text->text_length;
    return std::string(text->text, size);
}

bool read_carried(Source& source, Failure& failure)
{
    png_textp texts = nullptr;
    int count = png_get_text(source.png.png, source.png.info, &texts, nullptr);
    const png_text *header = nullptr, *comment = nullptr, *plain = nullptr;
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(texts[i].key, "IM header") == 0)
            header = &texts[i];
        else if (std::strcmp(texts[i].key, "IM comment") == 0)
            comment = &texts[i];
        else if (std::strcmp(texts[i].key, "Comment") == 0)
            plain = &texts[i];
    }
    if (!header)
        return make_fresh(source, plain ? text_value(plain) : "", failure);
    return take_carried_hex(source, text_value(header), comment ? text_value(comment) : "",
                            "\"IM header\" or \"IM comment\"", failure);
}

bool check_png_type(Source& source, Failure& failure)
{
    png_structp png = source.png.png;
    png_infop info = source.png.info;
    std::uint32_t width = png_get_image_width(png, info), height = png_get_image_height(png, info);
    if (png_get_color_type(png, info) != PNG_COLOR_TYPE_GRAY ||
        png_get_bit_depth(png, info) != 16) {
        failure = {source.path, "colour or " + std::to_string(png_get_bit_depth(png, info)) +
                                    "-bit image; accepted: 16-bit grayscale without alpha"};
        return false;
    }
    if (png_get_interlace_type(png, info) != PNG_INTERLACE_NONE) {
        failure = {source.path, "interlaced image; only non-interlaced PNG is accepted"};
        return false;
    }
    if (!check_size(source, width, height, failure))
        return false;
    source.x = static_cast<std::uint16_t>(width);
    source.y = static_cast<std::uint16_t>(height);
    source.type = type_uint16;
    if (std::endian::native == std::endian::little)
        png_set_swap(png);
    return true;
}

void destroy(Png_Handle& h, bool writing)
{
    if (writing)
        png_destroy_write_struct(&h.png, &h.info);
    else
        png_destroy_read_struct(&h.png, &h.info, nullptr);
    h.png = nullptr;
    h.info = nullptr;
}

} // namespace

bool open_png_source(Source& source, Failure& failure)
{
    Png_Handle& h = source.png;
    h.file = std::fopen(source.path.c_str(), "rb");
    if (!h.file) {
        failure = {source.path, with_errno("cannot open", errno)};
        return false;
    }
    h.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &h, keep_error, ignore_warning,
                                     nullptr, limited_malloc, plain_free);
    h.info = h.png ? png_create_info_struct(h.png) : nullptr;
    if (!h.info || !guarded_read_info(h)) {
        failure = {source.path, png_reason(h, "not a readable PNG file")};
        return false;
    }
    return check_png_type(source, failure) && read_carried(source, failure);
}

bool read_png_row(Source& source, unsigned char* row, Failure& failure)
{
    if (!guarded_read_row(source.png, row)) {
        failure = {source.path, png_reason(source.png, "cannot read the values")};
        return false;
    }
    return true;
}

void close_png_source(Source& source)
{
    destroy(source.png, false);
    if (source.png.file)
        std::fclose(source.png.file);
    source.png.file = nullptr;
}

bool open_png_sink(Sink& sink, const Carried* carried, int bit_depth, std::uint64_t width,
                   std::uint64_t height, Failure& failure)
{
    Png_Handle& h = sink.png;
    h.file = fdopen(sink.fd, "wb");
    if (!h.file) {
        failure = {sink.name, with_errno("cannot write", errno)};
        return false;
    }
    sink.fd = -1; // the stream owns it now
    h.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &h, keep_error, ignore_warning);
    // libpng's default limit of 1,000,000 pixels across and down also
    // applies when writing; a zoomed preview may exceed it.
    if (h.png)
        png_set_user_limits(h.png, 0x7fffffff, 0x7fffffff);
    h.info = h.png ? png_create_info_struct(h.png) : nullptr;
    std::string header, comment;
    png_text texts[3] = {};
    int count = 0;
    if (carried) {
        header = to_hex(carried->header.bytes, header_size);
        comment = to_hex(reinterpret_cast<const unsigned char*>(carried->comment.data()),
                         carried->comment.size());
        texts[count++] = {PNG_TEXT_COMPRESSION_zTXt, const_cast<char*>("IM header"),
                          header.data(), header.size(), 0, nullptr, nullptr};
        texts[count++] = {PNG_TEXT_COMPRESSION_zTXt, const_cast<char*>("IM comment"),
                          comment.data(), comment.size(), 0, nullptr, nullptr};
        const std::string& plain = carried->comment;
        if (!plain.empty() && plain.find('\0') == std::string::npos)
            texts[count++] = {PNG_TEXT_COMPRESSION_NONE, const_cast<char*>("Comment"),
                              const_cast<char*>(plain.data()), plain.size(), 0, nullptr,
                              nullptr};
    }
    if (!h.info || !guarded_write_info(h, static_cast<std::uint32_t>(width),
                                          static_cast<std::uint32_t>(height), bit_depth, texts,
                                          count)) {
        failure = {sink.name, with_errno(png_reason(h, "cannot write"), errno)};
        return false;
    }
    return true;
}

bool write_png_row(Sink& sink, const unsigned char* row, Failure& failure)
{
    errno = 0;
    if (!guarded_write_row(sink.png, row)) {
        failure = {sink.name, with_errno(png_reason(sink.png, "cannot write"), errno)};
        return false;
    }
    return true;
}

bool close_png_sink(Sink& sink, Failure& failure)
{
    Png_Handle& h = sink.png;
    errno = 0;
    bool ok = guarded_write_end(h) && std::fflush(h.file) == 0;
    int error = errno;
    destroy(h, true);
    ok = std::fclose(h.file) == 0 && ok;
    h.file = nullptr;
    if (!ok)
        failure = {sink.name, with_errno(png_reason(h, "cannot write"), error ? error : errno)};
    return ok;
}
