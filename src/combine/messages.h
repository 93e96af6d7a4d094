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

} // namespace says

// Prints the message on standard error, removes the unfinished output, and
// ends the process with the message's status.
[[noreturn]] void fail(Message message, ...);

} // namespace combine
