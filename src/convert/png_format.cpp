// PNG: 16-bit grayscale, width = x_size, height = y_size, the first value at
// the top-left of row 0; read, grayscale of 1 to 16 bits, all type 2 (each
// sample as stored). The 64 header bytes travel as lowercase hex in the
// zTXt chunk "IM header", the comment as hex in the zTXt chunk "IM comment",
// both before the image data; the comment as people read it (control
// characters other than line feed left out) is also written as the text
// chunk "Comment": tEXt, which is Latin-1, or iTXt for UTF-8 text beyond
// ASCII. A file without "IM header" gets a fresh header and its "Comment"
// text (before the image data) as comment.
//
// libpng reports errors by longjmp. Every libpng call that can fail runs in a
// small function here that sets the jump point and holds no object with a
// destructor, so the jump never skips one.
#include "carried.h"
#include "format.h"
#include "samples.h"
#include "image/file_io.h"
#include "image/limits.h"
#include "image/output_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <csetjmp>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <png.h>
#include <utility>
#include <zlib.h>
#include <unistd.h>
#include <vector>

namespace convert {

using namespace img;

namespace {

// The text chunks that carry the header and comment, and the comment as
// people read it.
constexpr char header_key[] = "IM header";
constexpr char comment_key[] = "IM comment";
constexpr char readable_key[] = "Comment";
const Carrier carrier = {"\"IM header\"", "\"IM comment\""};
// Text chunks kept: pixconvert needs three, but a valid file may hold
// many; libpng's own default count (it refuses the 999th), the budget
// above bounding their bytes.
constexpr png_uint_32 max_chunks = 1000;

// libpng reads and writes a file in pieces of a few bytes (a chunk's
// length, its type, its data, its CRC): they go through a buffer, so that
// each system call moves 256 KiB.
constexpr std::size_t io_buffer = 256 << 10;

struct Png_State {
    png_structp png = nullptr;
    png_infop info = nullptr;
    int fd = -1;
    int error = 0;          // errno of a failed read or write
    std::size_t used = 0;   // bytes libpng holds
    bool over_budget = false;
    char message[256] = ""; // libpng's last error
    std::vector<unsigned char> buffer;
    std::size_t at = 0, end = 0; // reading: the bytes of `buffer` not yet taken
    std::uint64_t counted = 0;   // written to no file, only counted
};

void keep_error(png_structp png, png_const_charp message)
{
    auto* s = static_cast<Png_State*>(png_get_error_ptr(png));
    std::snprintf(s->message, sizeof s->message, "%s", message);
    png_longjmp(png, 1);
}

void ignore_warning(png_structp, png_const_charp) {}

// Each block carries its size in front, so that freeing gives it back.
void* counted_malloc(png_structp png, png_alloc_size_t size)
{
    auto* s = static_cast<Png_State*>(png_get_mem_ptr(png));
    // Every allocation of libpng's counts against img::png_read, so no
    // number of chunks, however large they claim to be, makes the run grow.
    if (size > png_read - s->used) {
        s->over_budget = true;
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(std::malloc(size + alignof(std::max_align_t)));
    if (block == nullptr)
        return nullptr;
    std::memcpy(block, &size, sizeof size);
    s->used += size;
    return block + alignof(std::max_align_t);
}

void counted_free(png_structp png, png_voidp pointer)
{
    if (pointer == nullptr)
        return;
    auto* s = static_cast<Png_State*>(png_get_mem_ptr(png));
    unsigned char* block = static_cast<unsigned char*>(pointer) - alignof(std::max_align_t);
    png_alloc_size_t size;
    std::memcpy(&size, block, sizeof size);
    s->used -= size;
    std::free(block);
}

void read_data(png_structp png, png_bytep data, std::size_t length)
{
    auto* s = static_cast<Png_State*>(png_get_io_ptr(png));
    while (length > 0) {
        if (s->at == s->end) {
            s->buffer.resize(io_buffer);
            errno = 0;
            s->at = 0;
            s->end = read_fully(s->fd, s->buffer.data(), io_buffer);
            if (s->end == 0) {
                s->error = errno;
                png_error(png, s->error ? says::cannot_read : says::file_short);
            }
        }
        std::size_t part = std::min(length, s->end - s->at);
        std::memcpy(data, s->buffer.data() + s->at, part);
        s->at += part, data += part, length -= part;
    }
}

bool flush(Png_State& s)
{
    errno = 0;
    if (write_fully(s.fd, s.buffer.data(), s.end) != s.end) {
        s.error = errno;
        return false;
    }
    s.end = 0;
    return true;
}

void write_data(png_structp png, png_bytep data, std::size_t length)
{
    auto* s = static_cast<Png_State*>(png_get_io_ptr(png));
    s->buffer.resize(io_buffer);
    while (length > 0) {
        if (s->end == io_buffer && !flush(*s))
            png_error(png, says::cannot_write);
        std::size_t part = std::min(length, io_buffer - s->end);
        std::memcpy(s->buffer.data() + s->end, data, part);
        s->end += part, data += part, length -= part;
    }
}

void count_data(png_structp png, png_bytep, std::size_t length)
{
    static_cast<Png_State*>(png_get_io_ptr(png))->counted += length;
}

void flush_data(png_structp) {}

// libpng's words for what failed, then the system's.
Reason reason(const Png_State& s)
{
    std::string text = s.message[0] ? std::string(": ") + s.message : std::string();
    if (s.over_budget)
        text += words(says::png_budget, llu(png_read / mebibyte));
    return {text + because(s.error).words};
}

// Chunks other than the image's and the text are skipped unread, so that
// none of them (a compressed ICC profile, say) costs anything.
void skip_unused_chunks(png_structp png)
{
    static const png_byte unused[] = "bKGD\0cHRM\0eXIf\0gAMA\0hIST\0iCCP\0oFFs\0pCAL\0pHYs\0"
                                     "sBIT\0sCAL\0sPLT\0sRGB\0tIME\0tRNS";
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, unused, 15);
}

bool guarded_read_info(Png_State& s)
{
    if (setjmp(png_jmpbuf(s.png)))
        return false;
    png_set_read_fn(s.png, &s, read_data);
    skip_unused_chunks(s.png);
    png_set_chunk_cache_max(s.png, max_chunks);
    png_set_chunk_malloc_max(s.png, png_text_chunk);
    // A damaged text chunk (zlib data that does not inflate, one over the
    // limits) is an error, not a warning that drops it silently.
    png_set_benign_errors(s.png, 0);
    // So is a chunk whose CRC is wrong, which libpng would otherwise skip.
    png_set_crc_action(s.png, PNG_CRC_DEFAULT, PNG_CRC_ERROR_QUIT);
    png_read_info(s.png, s.info);
    // Samples of 1, 2 and 4 bits a byte each, as they are (not scaled to
    // 8 bits); 16-bit ones in the host's order.
    png_set_packing(s.png);
    if (std::endian::native == std::endian::little)
        png_set_swap(s.png);
    return true;
}

bool guarded_read_row(Png_State& s, unsigned char* row)
{
    if (setjmp(png_jmpbuf(s.png)))
        return false;
    png_read_row(s.png, row, nullptr);
    return true;
}

// The chunks after the image data, to its end: the text among them joins
// what png_get_text gives.
bool guarded_read_end(Png_State& s)
{
    if (setjmp(png_jmpbuf(s.png)))
        return false;
    png_read_end(s.png, s.info);
    return true;
}

// How many text chunks carry the header and the comment.
std::pair<int, int> carried_chunks(const Png_State& s)
{
    png_textp texts = nullptr;
    int count = png_get_text(s.png, s.info, &texts, nullptr), headers = 0, comments = 0;
    for (int i = 0; i < count; ++i) {
        headers += std::strcmp(texts[i].key, header_key) == 0;
        comments += std::strcmp(texts[i].key, comment_key) == 0;
    }
    return {headers, comments};
}

std::string text_value(const png_text& text)
{
    std::size_t size = text.compression > 0 ? text.itxt_length : text.text_length;
    return std::string(text.text, size);
}

// The carried header and comment, and the readable comment.
bool read_texts(const Png_State& s, const std::string& file, Source& source, Failure& failure)
{
    png_textp texts = nullptr;
    int count = png_get_text(s.png, s.info, &texts, nullptr);
    Carried found;
    for (int i = 0; i < count; ++i) {
        std::string key = texts[i].key;
        if (key == header_key) {
            ++found.headers;
            found.header_hex = text_value(texts[i]);
        } else if (key == comment_key) {
            ++found.comments;
            found.comment_hex = text_value(texts[i]);
        } else if (key == readable_key) { // several are joined a line each
            if (!source.readable.empty())
                source.readable += '\n';
            source.readable += text_value(texts[i]);
        }
    }
    return take_carried(carrier, found, file, source, failure);
}

struct Geometry {
    png_uint_32 width, height;
    int depth, color, interlace;
    bool operator==(const Geometry&) const = default;
};

Geometry geometry(const Png_State& s)
{
    return {png_get_image_width(s.png, s.info), png_get_image_height(s.png, s.info),
            png_get_bit_depth(s.png, s.info), png_get_color_type(s.png, s.info),
            png_get_interlace_type(s.png, s.info)};
}

// What an image other than grayscale is, in words.
const char* colour_words(int color)
{
    switch (color) {
    case PNG_COLOR_TYPE_PALETTE: return says::palette_image;
    case PNG_COLOR_TYPE_RGB: return says::rgb_image;
    case PNG_COLOR_TYPE_GRAY_ALPHA: return says::gray_alpha_image;
    default: return says::rgb_alpha_image;
    }
}

// Grayscale of any depth PNG has (1, 2, 4, 8, 16 bits): unsigned samples of
// 16 bits or fewer, type 2 (samples.h).
bool check_type(const Geometry& g, const std::string& file, Failure& failure)
{
    if (g.color != PNG_COLOR_TYPE_GRAY)
        return fail(failure, file, says::png_type, colour_words(g.color), g.depth);
    if (g.interlace != PNG_INTERLACE_NONE)
        return fail(failure, file, says::interlaced);
    return check_size(g.width, g.height, file, failure);
}

class Png_Reader : public Reader {
public:
    Png_Reader(int fd, std::string file) : file_(std::move(file)) { s_.fd = fd; }
    ~Png_Reader() override { destroy(); }

    // Reads the file's start through its text chunks.
    bool start(Failure& failure)
    {
        destroy();
        s_.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &s_, keep_error, ignore_warning,
                                          &s_, counted_malloc, counted_free);
        s_.info = s_.png ? png_create_info_struct(s_.png) : nullptr;
        return (s_.info && guarded_read_info(s_)) || fail(failure, file_, reason(s_), says::not_png);
    }

    bool describe(Source& source, Failure& failure)
    {
        geometry_ = geometry(s_);
        if (!check_type(geometry_, file_, failure) || !read_texts(s_, file_, source, failure))
            return false;
        source.x = static_cast<std::uint16_t>(geometry_.width);
        source.y = static_cast<std::uint16_t>(geometry_.height);
        samples_ = map_samples(geometry_.depth == 16 ? Sample::uint16 : Sample::uint8);
        source.type = samples_.type;
        return true;
    }

    bool read_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                   Failure& failure) override
    {
        const std::size_t row = std::size_t{geometry_.width} * sample_bytes(samples_.sample);
        for (std::uint32_t k = 0; k < count; ++k)
            if (!guarded_read_row(s_, values + k * row))
                return fail(failure, file_, reason(s_), says::cannot_read_values);
        if (!convert_samples(samples_, values, std::uint64_t{count} * geometry_.width,
                             std::endian::native, {first, geometry_.width}, file_, failure))
            return false;
        if (first + count < geometry_.height)
            return true;
        // The file's end must be there too, and no carried chunk after the
        // image data, which came too late to be used.
        std::pair<int, int> before = carried_chunks(s_);
        if (!guarded_read_end(s_))
            return fail(failure, file_, reason(s_), says::cannot_read_end);
        return carried_chunks(s_) == before || fail(failure, file_, says::carried_too_late);
    }

    // From the file's start again, through the same descriptor: it must
    // still be the image the first pass saw.
    bool rewind(Failure& failure) override
    {
        if (lseek(s_.fd, 0, SEEK_SET) != 0)
            return fail(failure, file_, because(errno), says::cannot_read_again);
        s_.at = s_.end = 0;
        return start(failure) && (geometry(s_) == geometry_ || fail(failure, file_, says::changed));
    }

private:
    void destroy()
    {
        if (s_.png)
            png_destroy_read_struct(&s_.png, &s_.info, nullptr);
        s_.png = nullptr;
        s_.info = nullptr;
    }

    Png_State s_;
    std::string file_;
    Geometry geometry_{};
    Samples samples_;
};

std::unique_ptr<Reader> open_reader(int fd, const std::string& file, const Read_Options&,
                                    Source& source, Failure& failure)
{
    auto reader = std::make_unique<Png_Reader>(fd, file);
    if (!reader->start(failure) || !reader->describe(source, failure))
        return nullptr;
    return reader;
}

// How rows are filtered and deflated (at zlib's fastest level). Which is
// best depends on the image: noise, as in sky and dark frames, packs best
// unfiltered with Huffman coding alone, three times as fast as deflate; a
// smooth image with noise, a flat, needs the difference to the left; a
// smooth or repeating one, libpng's filter choice and deflate's matches.
struct Compression {
    int filter, strategy;
};
const Compression compressions[] = {
    {PNG_FILTER_NONE, Z_HUFFMAN_ONLY},
    {PNG_FILTER_SUB, Z_RLE},
    {PNG_ALL_FILTERS, Z_DEFAULT_STRATEGY},
};

bool guarded_write_info(Png_State& s, png_uint_32 width, png_uint_32 height, int depth,
                        Compression c, png_rw_ptr write, png_textp texts, int text_count)
{
    if (setjmp(png_jmpbuf(s.png)))
        return false;
    png_set_write_fn(s.png, &s, write, flush_data);
    // A zoomed preview may be wider or higher than libpng's default limit
    // of a million pixels.
    png_set_user_limits(s.png, 0x7fffffff, 0x7fffffff);
    png_set_compression_level(s.png, 1);
    png_set_compression_strategy(s.png, c.strategy);
    png_set_filter(s.png, PNG_FILTER_TYPE_BASE, c.filter);
    png_set_compression_buffer_size(s.png, 64 << 10);
    png_set_IHDR(s.png, s.info, width, height, depth, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (text_count > 0)
        png_set_text(s.png, s.info, texts, text_count);
    png_write_info(s.png, s.info);
    // libpng keeps 16-bit samples most significant byte first; rows here
    // are in host order.
    if (depth == 16 && std::endian::native == std::endian::little)
        png_set_swap(s.png);
    return true;
}

bool guarded_write_rows(Png_State& s, unsigned char* rows, std::uint32_t count, std::size_t row)
{
    if (setjmp(png_jmpbuf(s.png)))
        return false;
    for (std::uint32_t k = 0; k < count; ++k)
        png_write_row(s.png, rows + k * row);
    return true;
}

bool guarded_write_end(Png_State& s)
{
    if (setjmp(png_jmpbuf(s.png)))
        return false;
    png_write_end(s.png, nullptr);
    return true;
}

bool valid_utf8(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        int more = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (more < 0 || text.size() - i <= static_cast<std::size_t>(more))
            return false;
        for (int k = 1; k <= more; ++k)
            if ((static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) >> 6) != 2)
                return false;
        i += static_cast<std::size_t>(more) + 1;
    }
    return true;
}

// The comment as people read it: control characters other than line feed
// left out.
std::string readable_text(const std::string& comment)
{
    std::string text;
    for (char c : comment) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte >= 0x20 && byte != 0x7F) || c == '\n')
            text += c;
    }
    return text;
}

// PNG's character set: tEXt holds Latin-1, iTXt UTF-8, for a comment that
// is UTF-8 beyond ASCII.
Readable png_characters(const std::string& comment)
{
    Readable r{readable_text(comment)};
    r.utf8 = !printable_ascii(r.text, "\n") && valid_utf8(r.text);
    if (!r.utf8) // C1 control characters are no text in Latin-1 either
        std::erase_if(r.text, [](char c) {
            return static_cast<unsigned char>(c) >= 0x80 && static_cast<unsigned char>(c) < 0xA0;
        });
    return r;
}

class Png_Writer : public Writer {
public:
    Png_Writer(Output_File& out, std::string file, std::uint32_t width, std::uint32_t height,
               int depth)
        : file_(std::move(file)), width_(width), height_(height), depth_(depth),
          row_(std::size_t{width} * static_cast<std::size_t>(depth / 8))
    {
        s_.fd = out.fd;
        // A sample of the first rows, an eighth of the image up to 1 MiB,
        // tells which compression fits.
        std::uint64_t all = std::uint64_t{row_} * height;
        sample_rows_ = static_cast<std::uint32_t>(
            std::clamp<std::uint64_t>(std::min<std::uint64_t>(all / 8, 1 << 20) / row_, 1, height));
    }
    ~Png_Writer() override { destroy(s_); }

    // The carried and readable text chunks of an image that has them.
    void carry(const Image& image)
    {
        carried_ = convert::carry(image, png_characters);
        texts_[count_++] = {PNG_TEXT_COMPRESSION_zTXt, const_cast<char*>(header_key),
                            carried_.header_hex.data(), carried_.header_hex.size(), 0, nullptr,
                            nullptr};
        texts_[count_++] = {PNG_TEXT_COMPRESSION_zTXt, const_cast<char*>(comment_key),
                            carried_.comment_hex.data(), carried_.comment_hex.size(), 0, nullptr,
                            nullptr};
        std::string& text = carried_.readable.text;
        bool utf8 = carried_.readable.utf8;
        if (!text.empty())
            texts_[count_++] = {utf8 ? PNG_ITXT_COMPRESSION_NONE : PNG_TEXT_COMPRESSION_NONE,
                                const_cast<char*>(readable_key), text.data(),
                                utf8 ? 0 : text.size(), utf8 ? text.size() : 0, nullptr, nullptr};
    }

    bool write_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                    Failure& failure) override
    {
        if (!s_.png) {
            sample_.insert(sample_.end(), values, values + std::size_t{count} * row_);
            return first + count < sample_rows_ || begin(failure);
        }
        return guarded_write_rows(s_, values, count, row_) || cannot_write(failure);
    }

    bool finish(Failure& failure) override
    {
        return guarded_write_end(s_) && flush(s_) ? true : cannot_write(failure);
    }

private:
    // The compression that makes the sample smallest, or one within 2% of
    // that which comes first in the table (the faster); then the file's
    // start and the sample's rows.
    bool begin(Failure& failure)
    {
        auto rows = static_cast<std::uint32_t>(sample_.size() / row_);
        std::uint64_t best = UINT64_MAX;
        Compression chosen = compressions[0];
        std::uint64_t sizes[std::size(compressions)];
        for (std::size_t k = 0; k < std::size(compressions); ++k) {
            Png_State trial;
            sizes[k] = UINT64_MAX;
            if (create(trial) && guarded_write_info(trial, width_, rows, depth_, compressions[k],
                                                    count_data, nullptr, 0) &&
                guarded_write_rows(trial, sample_.data(), rows, row_) &&
                guarded_write_end(trial))
                sizes[k] = trial.counted;
            destroy(trial);
            best = std::min(best, sizes[k]);
        }
        for (std::size_t k = std::size(compressions); k-- > 0;)
            if (sizes[k] <= best + best / 50)
                chosen = compressions[k];
        bool ok = create(s_) &&
                  guarded_write_info(s_, width_, height_, depth_, chosen, write_data, texts_,
                                     count_) &&
                  guarded_write_rows(s_, sample_.data(), rows, row_);
        std::vector<unsigned char>().swap(sample_);
        return ok || cannot_write(failure);
    }

    bool create(Png_State& s)
    {
        s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, keep_error, ignore_warning);
        s.info = s.png ? png_create_info_struct(s.png) : nullptr;
        return s.info != nullptr;
    }

    static void destroy(Png_State& s)
    {
        if (s.png)
            png_destroy_write_struct(&s.png, &s.info);
    }

    bool cannot_write(Failure& failure)
    {
        return fail(failure, file_, reason(s_), says::cannot_write);
    }

    Png_State s_;
    std::string file_;
    std::uint32_t width_, height_;
    int depth_;
    std::size_t row_;
    std::uint32_t sample_rows_;
    std::vector<unsigned char> sample_;
    Carried_Out carried_;
    png_text texts_[3] = {};
    int count_ = 0;
};

std::unique_ptr<Writer> open_writer(Output_File& out, const std::string& file, const Image& image,
                                    bool, Failure&)
{
    auto writer = std::make_unique<Png_Writer>(out, file, image.x, image.y, 16);
    writer->carry(image);
    return writer;
}

std::unique_ptr<Writer> open_preview(Output_File& out, const std::string& file,
                                     std::uint32_t width, std::uint32_t height, Failure&)
{
    return std::make_unique<Png_Writer>(out, file, width, height, 8);
}

} // namespace

extern "C" const Format* pixconvert_png_format()
{
    static const Format format = {open_reader, open_writer, open_preview};
    return &format;
}

} // namespace convert
