// The one table of extensions, and the loading of format modules. Adding a
// format is a module of its own and a row here.
#include "format.h"

#include <climits>
#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

namespace convert {

using namespace img;

namespace {

struct Extension {
    const char* extension;
    const char* module; // pixconvert-MODULE.so, exporting pixconvert_MODULE_format
    bool tile_compressed;
    bool hdus = false;    // has HDUs that --hdu picks
    bool preview = false; // what --preview writes
};

const Extension extensions[] = {
    {"img", nullptr, false},
    {"fits", "fits", false, true},
    {"fit", "fits", false, true},
    {"fts", "fits", false, true},
    {"fz", "fits", true, true}, // tile-compressed, as fpack names its files
    {"tif", "tiff", false},
    {"tiff", "tiff", false},
    {"png", "png", false, false, true},
};

} // namespace

bool choose_format(const std::string& path, Format_Choice& choice)
{
    std::size_t dot = path.rfind('.'), slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return false;
    for (const Extension& e : extensions)
        if (strcasecmp(path.c_str() + dot + 1, e.extension) == 0) {
            choice = {e.module, e.tile_compressed, e.hdus, e.preview};
            return true;
        }
    return false;
}

std::string known_extensions()
{
    std::string list;
    for (const Extension& e : extensions)
        list += std::string(list.empty() ? "." : ", .") + e.extension;
    return list;
}

// Where the modules are: beside the program in the build tree, and in the
// folder they are installed to, relative to the installed program. Found
// from the program's own path, not through a run path, so that neither the
// current folder nor LD_LIBRARY_PATH can put another module in its place.
std::string module_path(const std::string& library)
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) // no full path: no module rather than one found by search
        return "";
    std::string folder(self, static_cast<std::size_t>(length));
    folder.erase(folder.find_last_of('/') + 1);
    for (const char* relative : {PIXCONVERT_MODULES "/", ""}) {
        std::string path = folder + relative + library;
        if (access(path.c_str(), R_OK) == 0)
            return path;
    }
    return folder + library;
}

const Format* load_format(const Format_Choice& choice, std::string& reason)
{
    if (choice.module == nullptr)
        return velkin_format();
    std::string library = std::string("pixconvert-") + choice.module + ".so";
    std::string entry = std::string("pixconvert_") + choice.module + "_format";
    std::string path = module_path(library);
    if (path.empty()) {
        reason = "cannot load the " + library + " module: the program's own path is unknown (is "
                 "/proc mounted?)";
        return nullptr;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* function = handle ? dlsym(handle, entry.c_str()) : nullptr;
    if (function == nullptr) {
        const char* error = dlerror();
        reason = "cannot load the " + library + " module: " + (error ? error : "no entry");
        return nullptr;
    }
    return reinterpret_cast<const Format* (*)()>(function)();
}

} // namespace convert
