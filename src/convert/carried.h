// The .img header and comment as they travel through another format's
// metadata, and the checks that keep a carried header honest. Every format
// carries them as hexadecimal in two places of its own (FITS keywords, PNG
// text chunks, XMP properties) and keeps the comment as people read it
// beside them, in the characters its text holds.
#pragma once

#include "format.h"

#include <string>

namespace convert {

// Lowercase hexadecimal, two digits a byte: any bytes survive any metadata.
std::string to_hex(const std::string& bytes);
std::string to_hex(const unsigned char* bytes, std::size_t size);
// False if `text` is not an even number of hexadecimal digits.
bool from_hex(const std::string& text, std::string& bytes);

// Where a format carries the header and the comment, in its messages'
// words: "IMHEADER" and "IMCOMENT", "\"IM header\" chunks", "XMP".
struct Carrier {
    const char* header;
    const char* comment;
};

// What a reader found there: how many of each, and the hexadecimal text
// of the one found (of the last, where there are more).
struct Carried {
    int headers = 0, comments = 0;
    std::string header_hex, comment_hex;
};

// The carried header and comment into `source`, where the reader found
// them: refused where either is found twice, the comment without the
// header, or either is not hexadecimal. Nothing carried is no failure.
bool take_carried(const Carrier& where, const Carried& found, const std::string& file,
                  Source& source, Failure& failure);

// The .img image for a source: its carried header, checked against the
// image, or with `fresh` (or nothing carried) a new header with the
// readable comment. False, with the reason, if that cannot be.
bool settle_image(const Source& source, bool fresh, const std::string& file, Image& image,
                  Failure& failure);

// The comment as a format's readable text shows it: `utf8` where the text
// is UTF-8 beyond ASCII, else Latin-1 or ASCII; empty where it shows none.
struct Readable {
    std::string text;
    bool utf8 = false;
};
// A format's character set: what its readable text makes of a comment.
using Character_Set = Readable (*)(const std::string& comment);
// The sets that show a comment whole or not at all: printable ASCII and
// line feeds (FITS cards, a line each), or also tab and carriage return
// (TIFF ImageDescription).
Readable ascii_lines(const std::string& comment);
Readable ascii_text(const std::string& comment);

// What a writer puts in its file for an image: the header and the comment
// as hexadecimal, and the comment in the format's character set.
struct Carried_Out {
    std::string header_hex, comment_hex;
    Readable readable;
};
Carried_Out carry(const Image& image, Character_Set set);

// Whether every byte is printable ASCII or one of `also`.
bool printable_ascii(const std::string& text, const char* also);

} // namespace convert
