#pragma once

namespace calibrate {

// The whole run of `pixcalibrate [options] -o OUT IN` or `... -d OUTDIR
// IN...`. Ends the process on every path: 0 when every frame is made, 1 on
// a failure, 2 on wrong usage.
[[noreturn]] void run_pixcalibrate(int argc, char** argv);

} // namespace calibrate
