// Everything pixcombine says when it stops early: the text and the exit
// status, in one table. Every message goes to standard error; each names
// the file as given on the command line, where there is one.
#pragma once

namespace combine {

struct Message {
    int status;
    const char* format;
};

inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

inline constexpr char usage_text[] = "usage: pixcombine [--median | --mean] -o OUT IN...\n"
                                     "       pixcombine --help | --version\n";

// What wrong usage says of an option's value, given or missing.
namespace takes {

inline constexpr char sigma_clip[] = "--sigma-clip takes LOW,HIGH: two finite numbers above 0, such as 5,5";
inline constexpr char minmax[] = "--minmax takes MIN,MAX: two numbers, MIN at most MAX, such as 0,60000";
inline constexpr char extrema[] = "--extrema takes NLOW,NHIGH: two whole numbers, such as 1,1";
inline constexpr char clip_iterations[] =
    "--clip-iterations takes a whole number: 0 for until nothing more is rejected";
inline constexpr char clip_center[] = "--clip-center takes median or mean";
inline constexpr char clip_dev[] = "--clip-dev takes std or mad_std";
inline constexpr char scale[] = "--scale takes median or mean";
inline constexpr char rejected[] = "--rejected needs a file name";
inline constexpr char type[] = "--type takes binary64 or uint16";

} // namespace takes

namespace says {

// Followed by the usage text.
inline constexpr Message usage{exit_usage, "pixcombine: %s\n"};

inline constexpr Message too_many{exit_failure,
    "pixcombine: %llu inputs, but at most %llu files can be combined (the open-file limit is %llu)\n"};
inline constexpr Message no_memory{exit_failure, "pixcombine: no memory for %llu inputs\n"};

inline constexpr Message cannot_open{exit_failure, "pixcombine: %s: cannot open: %s\n"};
inline constexpr Message same_pipe{exit_failure,
    "pixcombine: %s: is the same pipe or device as %s, which can be read only once\n"};
inline constexpr Message short_header{exit_failure,
    "pixcombine: %s: cut short in its 64-byte header\n"};
inline constexpr Message not_image{exit_failure,
    "pixcombine: %s: not an image: it does not begin with \"IM\"\n"};
inline constexpr Message no_comment_memory{exit_failure,
    "pixcombine: %s: no memory for its comment of %u bytes\n"};
inline constexpr Message short_comment{exit_failure,
    "pixcombine: %s: cut short in its comment of %u bytes\n"};
inline constexpr Message unknown_type{exit_failure,
    "pixcombine: %s: unknown pixel type %u (known: 2 for uint16, 10 for binary64)\n"};
inline constexpr Message differs{exit_failure,
    "pixcombine: %s: %ux%u type %u, but %s is %ux%u type %u\n"};
inline constexpr Message short_values{exit_failure,
    "pixcombine: %s: cut short: %llu of %llu values\n"};

inline constexpr Message out_is_input{exit_failure,
    "pixcombine: %s: is the same file as the input %s\n"};
inline constexpr Message out_not_regular{exit_failure,
    "pixcombine: %s: not a regular file, and the result would replace it\n"};
inline constexpr Message cannot_create{exit_failure, "pixcombine: %s: cannot create: %s\n"};
inline constexpr Message cannot_write{exit_failure, "pixcombine: %s: cannot write: %s\n"};
inline constexpr Message cannot_commit{exit_failure,
    "pixcombine: %s: cannot put the result in place: %s\n"};

inline constexpr Message rejected_is_out{exit_failure,
    "pixcombine: %s: is the same file as the output %s\n"};
inline constexpr Message scale_unsized{exit_failure,
    "pixcombine: %s: is a pipe or device, but --scale reads each input twice\n"};
inline constexpr Message no_finite_value{exit_failure,
    "pixcombine: %s: has no finite value to take the %s of, for --scale\n"};
inline constexpr Message no_inverse{exit_failure,
    "pixcombine: %s: its %s, %.17g, has no finite inverse to scale by\n"};

// Notes on a run that succeeds: the status is 0.
inline constexpr Message record_left_out{0,
    "pixcombine: %s: the line that records this run is left out of its comment, "
    "which would pass 65535 bytes\n"};
inline constexpr Message all_rejected_nan{0,
    "pixcombine: %s: every value of %llu pixels was rejected: they hold NaN\n"};
// As pixcalibrate says it, of OUT (--type uint16).
inline constexpr Message clamped{0,
    "pixcombine: %s: %llu values clamped to 0..65535 (%llu below 0, %llu above 65535, %llu NaN as 0)\n"};
inline constexpr Message all_rejected_plain{0,
    "pixcombine: %s: every value of %llu pixels was rejected: they hold the %s of all their values\n"};

} // namespace says

// Prints the message on standard error, removes the unfinished outputs, and
// ends the process with the message's status.
[[noreturn]] void fail(Message message, ...);
// Prints a note on standard error; the run goes on.
void note(Message message, ...);

} // namespace combine
