// The conversion proper runs in a child process. FITS, TIFF and PNG files
// are parsed by their libraries, which trust what a file declares: a
// crafted file can make one crash, allocate without bound, or loop. In a
// child, with its address space and its processor time capped, that ends
// the child, and pixconvert reports it and leaves OUT as it was.
#pragma once

#include "format.h"

#include <cstdint>
#include <functional>

namespace convert {

// Runs `work` in a child process whose memory may grow by
// img::conversion_base (no cap under the address sanitizer, whose shadow
// memory needs more) and whose processor time is img::cpu_seconds_base;
// true if it succeeded. A child that cannot be capped converts nothing. Its
// failure, or the signal that ended it, is reported as being about `file`.
bool run_in_child(const std::function<bool(Failure&)>& work, const std::string& file,
                  Failure& failure);

// In the child, once the reader has said what the file is: lets its memory
// grow by `memory` more (what the reader's library holds for this file's
// layout, at most img::largest_reader_need) and its processor time by the
// share of `bytes`, the values read and written.
bool allow_conversion(std::uint64_t memory, std::uint64_t bytes, const std::string& file,
                      Failure& failure);

} // namespace convert
