// Everything pixconvert says: each text once, named by what went wrong, as
// a printf format. A failure is said as "pixconvert: FILE: WHAT", and
// where the system or a library said why, its words follow WHAT after ": "
// (because()). Wrong usage is said as "pixconvert: WHAT" with the usage
// text after it. The format modules fill failures from the same table.
#pragma once

#include <cstdint>
#include <string>

namespace convert {

// Set by the step that failed; printed as "pixconvert: FILE: WHAT".
struct Failure {
    std::string file;
    std::string what;
};

// What the system or a library said about a failure, as it follows the
// row's words: ": " and the words, or nothing where none was said.
struct Reason {
    std::string words;
};
// The system's words for `error`; none for 0.
Reason because(int error);
// A library's words (none where empty), then the system's for `error`.
Reason because(const std::string& library, int error = 0);

// The words of a row, its format given the arguments as printf would.
[[gnu::format(printf, 1, 2)]] std::string words(const char* row, ...);
[[gnu::format(printf, 2, 3)]] std::string words(const Reason& reason, const char* row, ...);

// Fills `failure` with the words of a row for `file`, then the reason;
// returns false, so that a step can end with `return fail(...)`.
[[gnu::format(printf, 3, 4)]] bool fail(Failure& failure, const std::string& file,
                                        const char* row, ...);
[[gnu::format(printf, 4, 5)]] bool fail(Failure& failure, const std::string& file,
                                        const Reason& reason, const char* row, ...);

// Counts and sizes as the rows' %llu takes them.
constexpr unsigned long long llu(std::uint64_t n)
{
    return n;
}

namespace says {

// What run_pixconvert prints.
inline constexpr char refused[] = "pixconvert: %s: %s\n";
inline constexpr char wrong_usage[] = "pixconvert: %s\n%s";
inline constexpr char version[] = "pixconvert %s\n";
inline constexpr char usage[] =
    "usage: pixconvert [--fresh-header] [--hdu N|NAME] IN OUT\n"
    "       pixconvert --preview [--zoom N] [--stretch percentile|minmax] [--hdu N|NAME] IN "
    "OUT.png\n"
    "       pixconvert --help | --version\n";
inline constexpr char help[] =
    "\n"
    "Converts an .img image to FITS, TIFF or PNG, or any of these back to .img.\n"
    "The extension picks each file's format, in any letter case:\n"
    "  .img              the image format of pixdelta\n"
    "  .fits .fit .fts   FITS; .fz: tile-compressed FITS, as fpack writes it\n"
    "  .tif .tiff        TIFF\n"
    "  .png              PNG (written as 16-bit grayscale; read: 1- to 16-bit gray)\n"
    "Any sample type is read: unsigned of up to 16 bits as type 2 (unsigned\n"
    "16-bit), any other as type 10 (binary64), every value exactly.\n"
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

// Wrong usage (the option grammar's own words come from img::read_command_line).
inline constexpr char zoom_value[] = "--zoom takes a whole number from 1 to 64";
inline constexpr char stretch_value[] = "--stretch takes percentile or minmax";
inline constexpr char hdu_value[] = "--hdu takes an HDU number or an EXTNAME";
inline constexpr char too_many_arguments[] = "too many arguments";
inline constexpr char zoom_alone[] = "--zoom goes with --preview";
inline constexpr char stretch_alone[] = "--stretch goes with --preview";
inline constexpr char fresh_preview[] =
    "--fresh-header goes with a conversion to .img, not with --preview";
inline constexpr char in_and_out[] = "IN and OUT are needed";

// The pair of files.
inline constexpr char unknown_extension[] = "unknown extension; known: %s";
inline constexpr char hdu_not_fits[] = "--hdu picks an HDU of a FITS file; this is none";
inline constexpr char preview_not_png[] = "a preview is written as .png";
inline constexpr char both_img[] =
    "IN and OUT are both .img files; one side must be FITS, TIFF or PNG";
inline constexpr char neither_img[] =
    "neither side is an .img file; pixconvert converts .img to FITS, TIFF or PNG and back";
inline constexpr char fresh_not_img[] =
    "--fresh-header makes the header of an .img file; this is none";
inline constexpr char tile_compressed_format[] = "a tile-compressed %s";
inline constexpr char cannot_hold_binary64[] =
    "%s cannot hold binary64 values (type 10); use %s";
inline constexpr char cannot_hold_empty[] = "%s cannot hold an empty image (%ux%u); %s can";

// The format modules.
inline constexpr char cannot_load[] = "cannot load the %s module: %s";
inline constexpr char refuses_to_load[] = "refuses to load the %s module: %s";
inline constexpr char no_own_path[] = "the program's own path is unknown (is /proc mounted?)";
inline constexpr char no_entry[] = "no entry";
inline constexpr char another_users[] =
    "%s belongs to another user (uid %u); install pixconvert where only you or root can write";
inline constexpr char writable_by_all[] = "%s is writable by every user; chmod o-w %s";

// IN and OUT as files.
inline constexpr char cannot_open[] = "cannot open";
inline constexpr char is_folder[] = "is a folder";
inline constexpr char preview_of_pipe[] =
    "cannot preview a pipe or device: the preview reads its input twice; save it to a file first";
inline constexpr char format_from_pipe[] =
    "cannot read %s from a pipe or device; save it to a file first";
inline constexpr char cannot_read[] = "cannot read";
inline constexpr char out_not_regular[] =
    "exists and is not a regular file; pixconvert writes OUT anew and renames it into place";
inline constexpr char out_is_in[] = "is the same file as %s";
inline constexpr char cannot_create[] = "cannot create";
inline constexpr char cannot_write[] = "cannot write";
inline constexpr char cannot_commit[] = "cannot put the result in place";

// The conversion's child.
inline constexpr char cannot_cap_time[] = "cannot limit the conversion's processor time";
inline constexpr char no_statm[] =
    "cannot limit the conversion's memory: /proc/self/statm cannot be read (is /proc mounted?)";
inline constexpr char cannot_cap_memory[] =
    "cannot limit the conversion's memory; pixconvert reads no file without that limit";
inline constexpr char cannot_cap[] = "cannot limit the conversion";
inline constexpr char cannot_start[] = "cannot start the conversion";
inline constexpr char cannot_wait[] = "cannot learn how the conversion ended";
inline constexpr char too_much_time[] =
    "cannot convert it: the conversion was stopped after %.0f s of processor time, more than a "
    "file of its size needs (%llu s and 1 s more per %llu MiB of values); the file is damaged "
    "or crafted";
inline constexpr char library_crashed[] = "cannot convert it: the format's library crashed on it (%s)";
inline constexpr char caller_time_limit[] =
    "cannot convert it: the conversion was stopped after %.0f s of processor time, the limit "
    "its caller set (ulimit -t %llu)";
inline constexpr char ended_from_outside[] =
    "cannot convert it: the conversion was ended by a signal from outside pixconvert (%s)";
inline constexpr char library_exited[] =
    "cannot convert it: the format's library ended the conversion (exit status %d)";
inline constexpr char reader_asks_too_much[] =
    "cannot convert it: its reader asks for %llu bytes, more than pixconvert's limits allow";

// .img files, and the .img header a conversion settles.
inline constexpr char no_whole_header[] = "file is short: no complete 64-byte header";
inline constexpr char not_img[] = "not an .img file: it does not begin with \"IM\"";
inline constexpr char no_comment_memory[] = "no memory for the comment";
inline constexpr char comment_cut[] = "file is short: the comment is cut off";
inline constexpr char unknown_type[] =
    "unknown pixel type %u; accepted: 2 (unsigned 16-bit), 10 (binary64)";
inline constexpr char values_missing[] = "file is short: %llu of %llu values";
inline constexpr char too_large[] = "image is %llux%llu; at most 65535 on either axis fits an .img file";
inline constexpr char comment_too_long[] = "comment of %llu bytes; at most 65535 fit an .img file";
inline constexpr char header_not_64[] = "carried .img header is not 64 bytes";
inline constexpr char header_damaged[] = "carried .img header is damaged (magic or comment length)";
inline constexpr char header_disagrees[] =
    "carried .img header says %ux%u type %u but the image is %ux%u type %u; --fresh-header "
    "makes a new header";
// The carried header and comment as each format holds them (carried.h):
// "header" or "comment", and where the format carries it.
inline constexpr char carried_twice[] = "the .img %s is carried twice (%s)";
inline constexpr char comment_alone[] = "the carried .img comment (%s) is there without its header";
inline constexpr char not_hex[] = "the carried .img %s (%s) is not hexadecimal";

// Reading the values, in any format.
inline constexpr char integer_beyond_binary64[] =
    "64-bit integer %s at (x %llu, y %llu), counted from 0, is beyond 2^53 in magnitude; these "
    "samples go to type 10 (binary64), which holds every integer only up to 2^53, and "
    "pixconvert rounds no value";
inline constexpr char cannot_read_values[] = "cannot read the values";
inline constexpr char values_short[] = "cannot read the values: file is short";
inline constexpr char values_no_memory[] = "cannot read the values: out of memory";
inline constexpr char changed[] = "changed while it was read";
inline constexpr char cannot_read_again[] = "cannot read it again";

// FITS.
inline constexpr char compressed_file[] =
    "compressed with %s (%s it first; tile-compressed FITS, as fpack writes it, is read directly)";
inline constexpr char other_file_opened[] = "cfitsio opened another file than the one named";
inline constexpr char in_hdu[] = "%s: %s";
inline constexpr char hdu_number[] = "HDU %d";
inline constexpr char hdu_named[] = "HDU %d (%s)";
inline constexpr char asked_number[] = "HDU %s";
inline constexpr char asked_name[] = "HDU named %s";
inline constexpr char no_such_hdu[] = "has no %s (it has %d)";
inline constexpr char no_hdu_of_name[] = "has no %s";
inline constexpr char cannot_read_hdu[] = "cannot read %s";
inline constexpr char no_image_there[] = "holds no image";
inline constexpr char no_image_anywhere[] = "no HDU holds an image";
inline constexpr char not_a_plane[] =
    "image has %d axes (%s); only planes are accepted (axes past the second of length 1)";
inline constexpr char keyword_unreadable[] = "%s = %s cannot be read as %s";
inline constexpr char blank_into_uint16[] =
    "BITPIX %d%s and BLANK %lld: pixconvert reads these values as type 2 (unsigned 16-bit), "
    "which has no null for BLANK to become; BLANK becomes NaN where values go to type 10 "
    "(binary64), as those of any other BITPIX or scaling do";
inline constexpr char compressed_int64[] =
    "tile-compressed 64-bit integers (ZBITPIX 64), which cfitsio does not decode; accepted "
    "tile-compressed: BITPIX 8, 16, 32, -32 and -64";
inline constexpr char long_chain[] =
    "IMHEADER or IMCOMENT continues over more cards than any carried comment needs";
// FITS tiles.
inline constexpr char unknown_compression[] = "compression '%s' is not one cfitsio decodes";
inline constexpr char too_few_tiles[] = "the table has %lld tiles; the image needs %llu";
inline constexpr char no_compressed_column[] = "the table has no COMPRESSED_DATA column";
inline constexpr char column_not_array[] = "column %s is not an array of numbers of any length";
inline constexpr char tile_extent[] = "%s is %ld";
inline constexpr char tile_row_too_large[] =
    "the tiles across a row take more than %llu MiB; at most %llu MiB are decoded at a time";
inline constexpr char rice_parameters[] =
    "Rice BLOCKSIZE %ld BYTEPIX %ld; cfitsio decodes blocks of 1 to 65536 values of 1, 2 or 4 "
    "bytes";
inline constexpr char quantized_without_scale[] =
    "BITPIX %d values with %s and %s; quantized tiles need both (a column or a keyword each), "
    "and Rice, HCOMPRESS and PLIO tiles of floats are always quantized";
inline constexpr char dither_seed[] = "ZDITHER0 is %s; dithered tiles need a seed from 1 to 10000";
inline constexpr char tile_beyond_compression[] =
    "tile %llu claims %llu compressed bytes, more than any compression of its values makes";
inline constexpr char tile_beyond_file[] =
    "tile %llu claims %llu compressed bytes, more than the file holds";
inline constexpr char cannot_read_tile[] = "cannot read tile %llu";
inline constexpr char tile_short[] = "cannot read tile %llu: file is short";
inline constexpr char tile_descriptor[] = "tile %llu has a damaged descriptor";
inline constexpr char tile_raw_length[] =
    "tile %llu is stored uncompressed in %llu bytes; its %llu values take %llu";
inline constexpr char tile_empty[] = "tile %llu holds no data";
inline constexpr char tile_not_gzip[] = "tile %llu is damaged (its gzip data do not inflate)";
inline constexpr char tile_inflates_to[] = "tile %llu inflates to %lld bytes%s; its %llu values take %llu";
inline constexpr char rice_cut_short[] = "tile %llu is damaged: its Rice code ends before its %llu values";
inline constexpr char hcompress_header[] =
    "tile %llu has a damaged HCOMPRESS header (it must say the tile's %llu rows of %llu values, "
    "and a scale of 0 or more)";
inline constexpr char hcompress_damaged[] =
    "tile %llu is damaged: its HCOMPRESS code does not decode within the tile";
inline constexpr char plio_header[] =
    "tile %llu has a damaged PLIO header (it must give a line list of 7 words of header within "
    "the tile's %llu words)";
inline constexpr char not_uncompressed[] =
    "tile %llu is said to be stored uncompressed, yet holds compressed bytes";

// TIFF.
inline constexpr char not_tiff[] = "not a TIFF file";
inline constexpr char samples[] =
    "%u samples per pixel (%s); accepted: one grayscale sample";
inline constexpr char min_is_white[] =
    "min-is-white (inverted) grayscale; only min-is-black, where 0 is black, is accepted";
inline constexpr char colour[] =
    "%s (photometric interpretation %u); accepted: min-is-black grayscale";
inline constexpr char pages[] = "multi-page image; accepted: one page";
inline constexpr char sample_format[] =
    "%u-bit samples of format %u (%s); accepted: unsigned or signed integers of 8, 16, 32 or "
    "64 bits, IEEE floats of 32 or 64 bits";
inline constexpr char empty_image[] = "image is empty";
inline constexpr char text_tag_too_long[] = "%s holds %llu bytes; at most %llu MiB are read";
inline constexpr char text_tag_unreadable[] = "%s cannot be read: %s";
inline constexpr char dropped[] = "libtiff dropped it";
inline constexpr char xmp_tag[] = "the XMP packet (tag 700)";
inline constexpr char old_tag[] = "the carried .img header (tag 65117)";
inline constexpr char description_tag[] = "ImageDescription (tag 270)";
inline constexpr char carried_unreadable[] = "the carried .img header cannot be read: %s";
inline constexpr char xmp_malformed[] =
    "the XMP packet (tag 700) cannot be read as XML with the carried header";
inline constexpr char xmp_too_long[] =
    "the XMP packet (tag 700) carries a header or comment longer than any .img file holds";
inline constexpr char xmp_no_memory[] = "the XMP packet (tag 700) cannot be read: out of memory";
inline constexpr char old_tag_type[] = "carried .img header (tag 65117) is not of type UNDEFINED";
inline constexpr char orientation[] =
    "Orientation %u (rotated: rows and columns swapped) is not supported; accepted: 1 to 4";
inline constexpr char strip_table[] = "the strip table is damaged: %s";
inline constexpr char separate_planes[] = "separate sample planes are not supported";
inline constexpr char no_rows_per_strip[] = "RowsPerStrip is 0";
inline constexpr char strips_too_large[] =
    "compressed strips of %llu bytes each; at most %llu MiB are decoded at a time (tiffcp -c "
    "none or -r makes a file that is read)";
inline constexpr char beyond_compression[] =
    "%s %u claims %llu compressed bytes, more than any compression of its %llu bytes makes";
inline constexpr char too_few_strips[] = "fewer strips than rows need";
inline constexpr char strip_short[] = "strip %u holds fewer bytes than its rows";
inline constexpr char tile_layout[] = "tile layout is damaged";
inline constexpr char tile_row_beyond[] =
    "a row of tiles and a tile take %llu bytes; at most %llu MiB are read at a time";
inline constexpr char too_few_tiff_tiles[] = "fewer tiles than the image needs";
inline constexpr char tiff_tile_short[] = "tile %u holds fewer bytes than its values";
inline constexpr char does_not_inflate[] =
    "%s %u is damaged: it does not inflate to its %llu bytes, or fails its checksum";

// PNG.
inline constexpr char not_png[] = "not a readable PNG file";
inline constexpr char file_short[] = "file is short";
inline constexpr char png_budget[] = " (reading it needs more than %llu MiB)";
inline constexpr char png_type[] =
    "%s of %d-bit samples; accepted: grayscale of 1, 2, 4, 8 or 16 bits, without alpha";
inline constexpr char interlaced[] = "interlaced image; only non-interlaced PNG is accepted";
inline constexpr char cannot_read_end[] = "cannot read the end of the file";
inline constexpr char carried_too_late[] =
    "a carried chunk (\"IM header\" or \"IM comment\") after the image data";

// Words filled into the rows above.
inline constexpr char header[] = "header";
inline constexpr char comment[] = "comment";
inline constexpr char tag_twice[] = "a tag given twice";
inline constexpr char xmp_and_old_tag[] = "XMP and tag 65117";
inline constexpr char strip[] = "strip";
inline constexpr char tile[] = "tile";
inline constexpr char missing[] = "missing";
inline constexpr char or_more[] = " or more";
inline constexpr char a_number[] = "a number";
inline constexpr char an_integer[] = "an integer";
inline constexpr char with_bzero_32768[] = " with BZERO 32768";
// TIFF's sample formats (SampleFormat 1 to 6).
inline constexpr char unsigned_integers[] = "unsigned integers";
inline constexpr char signed_integers[] = "signed integers";
inline constexpr char ieee_floats[] = "IEEE floats";
inline constexpr char undefined_data[] = "undefined data";
inline constexpr char complex_integers[] = "complex integers";
inline constexpr char complex_floats[] = "complex IEEE floats";
inline constexpr char unknown_format[] = "unknown";
// What an image other than one grayscale sample a pixel is: PNG's colour
// types, TIFF's photometric interpretations.
inline constexpr char palette_image[] = "palette (indexed-colour) image";
inline constexpr char rgb_image[] = "RGB colour image";
inline constexpr char gray_alpha_image[] = "grayscale image with alpha";
inline constexpr char rgb_alpha_image[] = "RGB colour image with alpha";
inline constexpr char gray_extra_image[] = "grayscale with extra samples, such as alpha";
inline constexpr char mask_image[] = "transparency mask";
inline constexpr char cmyk_image[] = "CMYK (separated) colour image";
inline constexpr char ycbcr_image[] = "YCbCr colour image";
inline constexpr char lab_image[] = "L*a*b* colour image";
inline constexpr char colour_image[] = "colour image";

} // namespace says

} // namespace convert
