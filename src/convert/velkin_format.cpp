// The .img side of every conversion, built in: the header and comment as
// they are, the values a chunk of rows at a time through the image
// library, which reads a regular file with pread (so a preview can read it
// twice) and a pipe in order.
#include "format.h"
#include "image/byte_order.h"
#include "image/file_io.h"
#include "image/output_file.h"
#include "image/pixel_block.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace convert {

using namespace img;

namespace {

class Velkin_Reader : public Reader {
public:
    Velkin_Reader(std::string file, Pixel_Block block, std::uint16_t x)
        : file_(std::move(file)), block_(block), x_(x)
    {
    }
    ~Velkin_Reader() override { release_pixel_block(block_); }

    bool read_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                   Failure& failure) override
    {
        std::uint64_t start = std::uint64_t{first} * x_, n = std::uint64_t{count} * x_, got = 0;
        errno = 0;
        block_values(block_, start, n, values, got);
        if (got < n)
            return fail(failure, file_, because(errno), says::values_missing, llu(start + got),
                        llu(block_.count));
        convert_byte_order(values, n, bytes_per_value(block_.file_type), std::endian::little);
        return true;
    }

private:
    std::string file_;
    Pixel_Block block_;
    std::uint16_t x_;
};

std::unique_ptr<Reader> open_reader(int fd, const std::string& file, const Read_Options&,
                                    Source& source, Failure& failure)
{
    Velkin_Header h;
    errno = 0;
    switch (read_header_and_comment(fd, h)) {
    case Header_Status::ok: break;
    case Header_Status::short_header:
        fail(failure, file, because(errno), says::no_whole_header);
        return nullptr;
    case Header_Status::bad_magic:
        fail(failure, file, says::not_img);
        return nullptr;
    case Header_Status::no_memory:
        fail(failure, file, says::no_comment_memory);
        return nullptr;
    case Header_Status::short_comment:
        fail(failure, file, because(errno), says::comment_cut);
        return nullptr;
    }
    source.x = x_size(h);
    source.y = y_size(h);
    source.type = file_type(h);
    source.carried = true;
    source.header.assign(reinterpret_cast<const char*>(h.bytes), header_size);
    source.comment.assign(reinterpret_cast<const char*>(h.comment), comment_length(h));
    release_comment(h);

    Pixel_Block block;
    std::uint64_t obtained = 0;
    switch (open_pixel_block(fd, h, nullptr, block, obtained)) {
    case Block_Status::ok: break;
    case Block_Status::unknown_type:
        fail(failure, file, says::unknown_type, unsigned{source.type});
        return nullptr;
    case Block_Status::short_block:
    case Block_Status::cannot_copy: // only for a block copied, which this is not
        fail(failure, file, says::values_missing, llu(obtained), llu(block.count));
        return nullptr;
    }
    return std::make_unique<Velkin_Reader>(file, block, source.x);
}

class Velkin_Writer : public Writer {
public:
    Velkin_Writer(Output_File& out, std::string file, const Image& image)
        : out_(out), file_(std::move(file)), x_(image.x), type_(image.type)
    {
    }

    bool write_start(const Image& image, Failure& failure)
    {
        Velkin_Header h{};
        std::memcpy(h.bytes, image.header, header_size);
        std::vector<unsigned char> comment(image.comment.begin(), image.comment.end());
        h.comment = comment.data();
        errno = 0;
        return write_header_and_comment(out_.fd, h) == Write_Status::ok ||
               fail(failure, file_, because(errno), says::cannot_write);
    }

    bool write_rows(std::uint32_t, std::uint32_t count, unsigned char* values,
                    Failure& failure) override
    {
        unsigned size = bytes_per_value(type_);
        std::uint64_t n = std::uint64_t{count} * x_;
        convert_byte_order(values, n, size, std::endian::little);
        errno = 0;
        return write_fully(out_.fd, values, n * size) == n * size ||
               fail(failure, file_, because(errno), says::cannot_write);
    }

    bool finish(Failure&) override { return true; }

private:
    Output_File& out_;
    std::string file_;
    std::uint16_t x_, type_;
};

std::unique_ptr<Writer> open_writer(Output_File& out, const std::string& file, const Image& image,
                                    bool, Failure& failure)
{
    auto writer = std::make_unique<Velkin_Writer>(out, file, image);
    if (!writer->write_start(image, failure))
        return nullptr;
    return writer;
}

} // namespace

const Format* velkin_format()
{
    static const Format format = {open_reader, open_writer, nullptr};
    return &format;
}

} // namespace convert
