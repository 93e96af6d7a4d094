// The one argument both fuzzing entries take: the file AFL++ wrote.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

inline std::string read_fuzz_input(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s fuzz-input\n", argv[0]);
        std::exit(2);
    }
    std::ifstream in(argv[1], std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
