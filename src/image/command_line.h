// What every tool does before its own work: the start of the process, and
// the reading of a command line against a table of options. The tools that
// take options share one grammar:
//
//   - options and operands may come in any order; after "--" every argument
//     is an operand, and so is a lone "-";
//   - each option is given at most once: a second --zoom would silently
//     override the first, and a second --mean says nothing new;
//   - an option's value is the next argument ("--hdu 1", "-o out") or, for a
//     long option, follows "=" ("--hdu=1"); an argument that begins with
//     "--" is no value but a forgotten one ("--hdu --preview"), while one
//     that begins with a single "-" is ("--minmax -5,100");
//   - --help and --version, where a tool has them, go alone.
//
// Nothing here prints or exits: the reading returns what is wrong in words
// that fit after "TOOL: ", and each tool prints them with its usage text.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace img {

// Prepares the process for a tool's run. A write past a file size limit or
// into a pipe nobody reads then fails like any other write, with its
// message, instead of ending the run by SIGXFSZ or SIGPIPE; a child the tool
// starts can be waited for even when the caller ignored SIGCHLD; and each of
// the standard descriptors 0, 1 and 2 that the caller left closed is opened
// on /dev/null, so that no file the run opens takes its number and receives
// console text. False if one of them cannot be opened.
bool start_tool();

struct Option {
    const char* name;    // "--mean", "-o"
    bool takes_value;
    // Said when the value is missing, and by the tool when it is not one it
    // takes: "-o needs a file name", "--zoom takes a whole number from 1 to 64".
    const char* wrong_value = nullptr;
};

struct Command_Line {
    // One per row of the table: the value given, "" for a flag given, or
    // null for an option not given.
    std::vector<const char*> given;
    std::vector<const char*> operands;
};

// Reads argv[1..argc) against `options`. Returns "" when the command line
// follows the grammar, or what is wrong with it ("--zoom is given twice",
// "unknown option -x", the row's wrong_value, "--help goes alone").
std::string read_command_line(int argc, char** argv, std::span<const Option> options,
                              Command_Line& line);

} // namespace img
