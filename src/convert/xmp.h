// The carried .img header and comment in an XMP packet, the place where
// every TIFF reader expects custom metadata: two simple properties in a
// namespace of pixconvert's own, each as lowercase hexadecimal.
#pragma once

#include "carried.h"

#include <cstddef>
#include <string>

namespace convert {

inline constexpr char xmp_namespace[] = "urn:pixdelta:img:1.0/";

std::string make_xmp(const std::string& header_hex, const std::string& comment_hex);

enum class Xmp_Status { read, malformed, too_long, no_memory };

// Reads the packet with an XML parser, so that a packet another program
// rewrote (properties as attributes, other namespaces and properties around
// them, other white space) is still understood: how many header and comment
// properties it has, and their text. `too_long` when a property holds more
// than any carried comment; `no_memory` when the parser ran out of memory.
Xmp_Status read_xmp(const char* packet, std::size_t size, Carried& found);

} // namespace convert
