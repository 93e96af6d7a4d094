// Everything pixcalibrate says: the text and, for what ends a run or a
// frame, the exit status, in one table. Every message goes to standard
// error; each names the file as given on the command line, where there is
// one, and a frame's failure names the frame or its output.
#pragma once

namespace calibrate {

struct Message {
    int status;
    const char* format;
};

inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

inline constexpr char usage_text[] =
    "usage: pixcalibrate [--bias B] [--dark D [--dark-scale R]] [--flat F [--flat-min V]]\n"
    "                    [--offset N] [--type binary64|uint16] -o OUT IN\n"
    "       pixcalibrate ... -d OUTDIR IN...\n"
    "       pixcalibrate --help | --version\n";

namespace says {

// Followed by the usage text.
inline constexpr Message usage{exit_usage, "pixcalibrate: %s\n"};

// Before any frame: nothing is made.
inline constexpr Message same_output_name{exit_failure,
    "pixcalibrate: %s and %s: both would be written to %s\n"};
inline constexpr Message cannot_open{exit_failure, "pixcalibrate: %s: cannot open: %s\n"};
inline constexpr Message master_not_regular{exit_failure,
    "pixcalibrate: %s: not a regular file: a master is read again for every frame\n"};
inline constexpr Message short_header{exit_failure,
    "pixcalibrate: %s: cut short in its 64-byte header\n"};
inline constexpr Message not_image{exit_failure,
    "pixcalibrate: %s: not an image: it does not begin with \"IM\"\n"};
inline constexpr Message no_comment_memory{exit_failure,
    "pixcalibrate: %s: no memory for its comment of %u bytes\n"};
inline constexpr Message short_comment{exit_failure,
    "pixcalibrate: %s: cut short in its comment of %u bytes\n"};
inline constexpr Message unknown_type{exit_failure,
    "pixcalibrate: %s: unknown pixel type %u (known: 2 for uint16, 10 for binary64)\n"};
inline constexpr Message short_values{exit_failure,
    "pixcalibrate: %s: cut short: %llu of %llu values\n"};
inline constexpr Message flat_without_mean{exit_failure,
    "pixcalibrate: %s: no finite value to normalize the flat by\n"};
inline constexpr Message flat_mean_not_positive{exit_failure,
    "pixcalibrate: %s: the mean of its finite values is %s, not above 0: it cannot normalize a flat\n"};
inline constexpr Message no_memory{exit_failure, "pixcalibrate: no memory for the run's buffers\n"};
inline constexpr Message outdir_not_folder{exit_failure, "pixcalibrate: %s: not a folder\n"};
inline constexpr Message cannot_make_outdir{exit_failure, "pixcalibrate: %s: cannot create: %s\n"};

// A frame that fails; the others are still made. cannot_open, short_header,
// not_image, short_comment, unknown_type and short_values above serve here
// too, naming the frame.
inline constexpr Message differs{exit_failure, "pixcalibrate: %s: %ux%u, but the %s %s is %ux%u\n"};
inline constexpr Message master_cut{exit_failure,
    "pixcalibrate: %s: cut short: %llu of %llu values, calibrating %s\n"};
inline constexpr Message out_is_input{exit_failure,
    "pixcalibrate: %s: is the same file as the %s %s\n"};
inline constexpr Message out_not_regular{exit_failure,
    "pixcalibrate: %s: not a regular file, and the result would replace it\n"};
inline constexpr Message cannot_create{exit_failure, "pixcalibrate: %s: cannot create: %s\n"};
inline constexpr Message cannot_write{exit_failure, "pixcalibrate: %s: cannot write: %s\n"};
inline constexpr Message cannot_commit{exit_failure,
    "pixcalibrate: %s: cannot put the result in place: %s\n"};
inline constexpr Message frames_failed{exit_failure,
    "pixcalibrate: %llu of %llu frames failed; the others are made\n"};

// Said of a frame that is made all the same.
inline constexpr Message clamped{exit_success,
    "pixcalibrate: %s: %llu values clamped to 0..65535 (%llu below 0, %llu above 65535, %llu NaN as 0)\n"};
inline constexpr Message record_left_out{exit_success,
    "pixcalibrate: %s: the record line is left out: the comment would pass 65535 bytes\n"};

// On a terminal only, rewritten in place.
inline constexpr Message progress{exit_success, "\rpixcalibrate: %llu of %llu frames, %.1f frames/s"};

} // namespace says

} // namespace calibrate
