// Everything pixdelta says when it fails: the text, the stream it goes to
// and the exit status, in one table, in the order of the README's.
#pragma once

namespace delta {

// `none` where both console streams are files the run must not write.
enum class Stream { out, err, none };

struct Message {
    Stream stream;
    int status;
    const char* format;
};

inline constexpr int exit_failure = -1;
inline constexpr int exit_unknown_type = -9;

namespace says {

inline constexpr Message usage{Stream::out, exit_failure,
    "The usage is 'pixdelta file1 file2 file3 offset'\n file3 = (file1-file2) + offset\n"};
inline constexpr Message open_file1{Stream::out, exit_failure, "can not open file1 for input\n"};
inline constexpr Message open_file2{Stream::out, exit_failure, "can not open file2 for input\n"};
inline constexpr Message open_file3{Stream::out, exit_failure, "can not open file3 for output\n"};
inline constexpr Message file3_is_file1{Stream::err, exit_failure,
    "can not use %s as file3: it is the same file as file1 %s\n"};
inline constexpr Message file3_is_file2{Stream::err, exit_failure,
    "can not use %s as file3: it is the same file as file2 %s\n"};
inline constexpr Message file3_is_stdout{Stream::err, exit_failure,
    "can not use %s as file3: it is the same file as the standard output\n"};
inline constexpr Message file3_is_stderr{Stream::err, exit_failure,
    "can not use %s as file3: it is the same file as the standard error\n"};
// The stream is standard error unless standard error is that input.
inline constexpr Message stdout_is_input{Stream::err, exit_failure,
    "can not use the standard output: it is the same file as file%d %s\n"};
inline constexpr Message stderr_is_input{Stream::err, exit_failure,
    "can not use the standard error: it is the same file as file%d %s\n"};
inline constexpr Message eof_header{Stream::err, exit_failure, "EOF in %s (header)\n"};
inline constexpr Message not_image1{Stream::err, exit_failure, "This is not Velkin image file.\n"};
inline constexpr Message not_image2{Stream::err, exit_failure, "2This is not Velkin image file.\n"};
inline constexpr Message no_comment_memory{Stream::err, exit_failure,
    "Connot allocate memory (Velkin_Header.comment)\n"};
inline constexpr Message eof_comment{Stream::err, exit_failure, "EOF found (comment)\n"};
inline constexpr Message unknown_type1{Stream::out, exit_unknown_type, "Unknown file type in file1!"};
inline constexpr Message unknown_type2{Stream::out, exit_unknown_type, "Unknown file type in file2!"};
inline constexpr Message eof_block{Stream::err, exit_failure,
    "EOF found in the data of %s (%llu %llu) \n"};
inline constexpr Message cannot_copy_block{Stream::err, exit_failure,
    "can not copy the pixel block of %s into a temporary file in %s (%s)\n"};
inline constexpr Message types_differ{Stream::err, exit_failure,
    "file types differ: %s has type %u, %s has type %u\n"};
inline constexpr Message counts_differ{Stream::err, exit_failure,
    "pixel counts differ: %s has %llu values, %s has %llu values\n"};
inline constexpr Message write_header{Stream::err, exit_failure, "something wrong in %s (header)\n"};
inline constexpr Message write_comment{Stream::err, exit_failure,
    "something wrong in comment of %s (header)\n"};
inline constexpr Message write_data{Stream::err, exit_failure,
    "something wrong in data area %d  %llu\n"};
inline constexpr Message close_file3{Stream::err, exit_failure, "something wrong in closing %s\n"};
inline constexpr Message report_lost{Stream::err, exit_failure,
    "can not write the report to the standard output\n"};

} // namespace says

// Prints the message, then ends the process with its status; the exit
// flushes every open stream.
[[noreturn]] void fail(Message message, ...);

} // namespace delta
