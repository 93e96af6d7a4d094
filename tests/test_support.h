// Builds image files and runs the pixdelta binary for the tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::string;

struct Image {
    std::uint16_t file_type = 2;
    std::uint16_t x_size = 0;
    std::uint16_t y_size = 0;
    Bytes comment;
    Bytes values; // the pixel block as it goes to the file
    // Fills the 54 header bytes the tool does not interpret, so that a test
    // can tell whose header reached the output.
    unsigned char filler = 0;
    Bytes magic = "IM";
    std::optional<std::uint16_t> comment_length; // when it must lie
};

Bytes header_bytes(const Image& image);
Bytes file_bytes(const Image& image);
Bytes le16(const std::vector<std::uint16_t>& values);
Bytes le64(const std::vector<double>& values);
std::vector<std::uint16_t> from_le16(const Bytes& bytes);
std::vector<double> from_le64(const Bytes& bytes);

struct Run_Result {
    int status; // as a shell sees it, 0 to 255; -1 if killed by a signal
    std::string out;
    std::string err;
};

struct Run_Options {
    // RLIMIT_FSIZE for the run, so that writes past it fail as on a full disk.
    std::optional<std::uint64_t> file_size_limit;
    // Fed through a pipe on standard input (at most 1 MiB); empty if not set.
    std::optional<Bytes> stdin_bytes;
};

Run_Result run_tool(const std::vector<std::string>& args, const std::string& dir,
                    const Run_Options& options = {});

// A fresh folder per test, removed afterwards.
std::string make_temp_dir();
void remove_tree(const std::string& dir);

void write_file(const std::string& path, const Bytes& bytes);
std::optional<Bytes> read_file(const std::string& path);
