// The conversion proper runs in a child process. FITS, TIFF and PNG files
// are parsed by their libraries, which trust what a file declares: a
// crafted file can make one crash, or allocate without bound. In a child,
// with its address space capped, that ends the child, and pixconvert
// reports it and leaves OUT as it was.
#pragma once

#include "format.h"

#include <cstdint>
#include <functional>

namespace convert {

// Runs `work` in a child process whose memory may grow by at most 24 MiB
// (no cap under the address sanitizer, whose shadow memory needs more);
// true if it succeeded. Its failure, or the signal that ended it, is
// reported as being about `file`.
bool run_in_child(const std::function<bool(Failure&)>& work, const std::string& file,
                  Failure& failure);

// Lets the child grow by `bytes` more, for a buffer the format documents
// (a tiled TIFF's row of tiles). Nothing outside a child.
void allow_memory(std::uint64_t bytes);

} // namespace convert
