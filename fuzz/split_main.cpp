// Fuzzing entry: one input file holds both images and the offset, and the
// real run takes them from there.
//
//   byte 0      bit 0 set: the same file is given as file1 and file2
//   bytes 1-2   the offset, a little-endian signed 16-bit number
//   bytes 3-4   L, the length of file1, little-endian
//   then        L bytes of file1 (fewer if the input ends first); the rest
//               is file2
//
// The two images and the output go to fuzz-file1, fuzz-file2 and fuzz-file3
// in the current folder.
#include "fuzz_input.h"
#include "tool/run.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

void write_file(const char* name, const std::string& bytes)
{
    std::ofstream(name, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

unsigned byte_at(const std::string& s, std::size_t i)
{
    return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u;
}

} // namespace

int main(int argc, char** argv)
{
    std::string input = read_fuzz_input(argc, argv);

    bool same_file = (byte_at(input, 0) & 1) != 0;
    auto offset = static_cast<short>(byte_at(input, 1) | byte_at(input, 2) << 8);
    std::size_t length1 = byte_at(input, 3) | byte_at(input, 4) << 8;
    std::string rest = input.size() > 5 ? input.substr(5) : "";
    write_file("fuzz-file1", rest.substr(0, length1));
    write_file("fuzz-file2", length1 < rest.size() ? rest.substr(length1) : "");

    char offset_text[8];
    std::snprintf(offset_text, sizeof offset_text, "%d", offset);
    char program[] = "pixdelta", file1[] = "fuzz-file1", file2[] = "fuzz-file2",
         file3[] = "fuzz-file3";
    char* args[] = {program, file1, same_file ? file1 : file2, file3, offset_text, nullptr};
    run_pixdelta(5, args);
}
