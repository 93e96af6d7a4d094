// Fuzzing entry for pixconvert: byte 0 picks what the rest of the input is.
//
//   byte 0 % 4 == 0   an .img file: converted to FITS, TIFF and PNG, each
//                      result back to .img, and previewed
//   byte 0 % 4 == 1   a FITS file, converted to .img
//   byte 0 % 4 == 2   a TIFF file, converted to .img
//   byte 0 % 4 == 3   a PNG file, converted to .img
//
// Each run happens in-process in a fresh folder in the current one, removed
// afterwards.
#include "convert.h"
#include "fuzz_input.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

int convert(const std::string& in, const std::string& out, bool preview = false)
{
    std::string program = "pixconvert", flag = "--preview", a = in, b = out;
    char* args[] = {program.data(), preview ? flag.data() : a.data(),
                    preview ? a.data() : b.data(), preview ? b.data() : nullptr, nullptr};
    return run_pixconvert(preview ? 4 : 3, args);
}

} // namespace

int main(int argc, char** argv)
{
    std::string input = read_fuzz_input(argc, argv);
    // In the current folder (fuzz/run's work folder), so that a run the
    // fuzzer kills leaves nothing behind once fuzz/run ends.
    std::string pattern = "pixconvert-fuzz-XXXXXX";
    if (input.empty() || !mkdtemp(pattern.data()))
        return 0;
    const std::string dir = pattern + "/";
    static const char* const names[] = {"in.img", "in.fits", "in.tif", "in.png"};
    unsigned mode = static_cast<unsigned char>(input[0]) % 4;
    std::ofstream(dir + names[mode], std::ios::binary) << input.substr(1);
    if (mode != 0)
        convert(dir + names[mode], dir + "out.img");
    else {
        for (const char* ext : {"fits", "tif", "png"}) {
            std::string middle = dir + "mid." + ext;
            if (convert(dir + "in.img", middle) == 0)
                convert(middle, dir + "back-" + ext + ".img");
        }
        convert(dir + "in.img", dir + "preview.png", true);
    }
    std::filesystem::remove_all(pattern);
    return 0;
}
