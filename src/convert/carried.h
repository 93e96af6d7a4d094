// The .img header and comment as they travel through another format's
// metadata, and the checks that keep a carried header honest. Shared by
// every format.
#pragma once

#include "format.h"

#include <string>

namespace convert {

// Lowercase hexadecimal, two digits a byte: any bytes survive any metadata.
std::string to_hex(const std::string& bytes);
std::string to_hex(const unsigned char* bytes, std::size_t size);
// False if `text` is not an even number of hexadecimal digits.
bool from_hex(const std::string& text, std::string& bytes);

// The .img image for a source: its carried header, checked against the
// image, or with `fresh` (or nothing carried) a new header with the
// readable comment. False, with the reason, if that cannot be.
bool settle_image(const Source& source, bool fresh, const std::string& file, Image& image,
                  Failure& failure);

// A width or height over 65535 does not fit an .img file.
bool check_size(std::uint64_t x, std::uint64_t y, const std::string& file, Failure& failure);

// The comment as text for other programs: control characters other than
// line feed left out.
std::string readable_text(const std::string& comment);
// Whether every byte is printable ASCII or one of `also`.
bool printable_ascii(const std::string& text, const char* also);

// "reason: strerror(error)", or just the reason for error 0.
std::string with_errno(const std::string& reason, int error);

} // namespace convert
