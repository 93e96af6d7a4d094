// The one table of extensions, and the loading of format modules. Adding a
// format is a module of its own and a row here.
#include "format.h"

#include <dlfcn.h>
#include <strings.h>

namespace {

struct Extension {
    const char* extension;
    const char* module; // pixconvert-MODULE.so, exporting pixconvert_MODULE_format
    int variant;
};

const Extension extensions[] = {
    {"img", nullptr, 0},
    {"fits", "fits", 0},
    {"fit", "fits", 0},
    {"fts", "fits", 0},
    {"fz", "fits", 1}, // tile-compressed, as fpack names its files
    {"tif", "tiff", 0},
    {"tiff", "tiff", 0},
    {"png", "png", 0},
};

} // namespace

bool choose_format(const std::string& path, Format_Choice& choice)
{
    std::size_t dot = path.rfind('.'), slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return false;
    for (const Extension& e : extensions)
        if (strcasecmp(path.c_str() + dot + 1, e.extension) == 0) {
            choice = {e.module, e.variant};
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

const Format* load_format(const Format_Choice& choice, std::string& reason)
{
    if (choice.module == nullptr)
        return velkin_format();
    // Found beside the program through its run path (see CMakeLists.txt).
    std::string library = std::string("pixconvert-") + choice.module + ".so";
    std::string entry = std::string("pixconvert_") + choice.module + "_format";
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* function = handle ? dlsym(handle, entry.c_str()) : nullptr;
    if (function == nullptr) {
        const char* error = dlerror();
        reason = "cannot load the " + library + " module: " + (error ? error : "no entry");
        return nullptr;
    }
    return reinterpret_cast<const Format* (*)()>(function)();
}
