// How a file's samples become .img values. A format stores samples of one
// kind (8-bit unsigned integers, 32-bit floats, ...); each kind goes to the
// .img type that holds every value the kind can hold, by the kind the file
// declares, never by the values it happens to hold, so that a folder of
// frames converts to one type:
//
//   type 2 (uint16)    unsigned integers of 16 bits or fewer, and FITS's
//                      unsigned 16-bit convention (BITPIX 16, BZERO 32768);
//   type 10 (binary64) everything else: signed integers, 32- and 64-bit
//                      integers, floats, and FITS data with any other
//                      BSCALE and BZERO.
//
// FITS scales its samples: the physical value is BZERO + BSCALE x stored,
// computed in binary64 as numpy and astropy compute it (the product
// rounded, then the sum), and BLANK names the stored integer that marks a
// null. Every unscaled sample converts exactly. A 64-bit integer beyond
// 2^53 in magnitude, where binary64 no longer holds every integer, is
// refused (convert_samples says where), never rounded: the whole value
// BZERO + stored where BSCALE is 1 and BZERO whole (the unsigned 64-bit
// convention), the stored one otherwise.
#pragma once

#include "messages.h"

#include <bit>
#include <cstdint>

namespace convert {

enum class Sample : std::uint8_t {
    uint8, int8, uint16, int16, uint32, int32, uint64, int64, float32, float64
};

enum class Number : std::uint8_t { unsigned_integer, signed_integer, floating };

// The kind of `bits`-bit samples of `number`; false where pixconvert takes
// none (4-bit integers, 16-bit floats).
bool sample_kind(unsigned bits, Number number, Sample& sample);
unsigned sample_bytes(Sample sample);

// FITS's BSCALE, BZERO and BLANK; unscaled, with no null, elsewhere.
struct Scaling {
    double scale = 1, zero = 0;
    bool blank = false;     // integer samples equal to `null` are nulls: NaN
    std::int64_t null = 0;
};

// A file's samples and the .img type they go to.
struct Samples {
    Sample sample = Sample::uint16;
    Scaling scaling;
    std::uint16_t type = 0;
};
// The type is chosen by the kind and the scaling alone. A BLANK does not
// change it: where it would be type 2, which holds no null, the reader
// refuses the file.
Samples map_samples(Sample sample, const Scaling& scaling = {});

// The first row of a chunk and the image's width: where a value is.
struct Place {
    std::uint64_t first_row, width;
};

// Turns `n` samples at the start of `values`, in `order`, into `samples.type`
// values in host order, in place (`values` holds n values of that type).
// A 64-bit integer beyond 2^53 is refused with its value and place.
bool convert_samples(const Samples& samples, unsigned char* values, std::uint64_t n,
                     std::endian order, Place place, const std::string& file, Failure& failure);

} // namespace convert
