// The one table of extensions, and the loading of format modules. Adding a
// format is a module of its own and a row here.
#include "format.h"

#include <climits>
#include <dlfcn.h>
#include <strings.h>
#include <sys/stat.h>
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

// The module's path: in `modules`, relative to the program's own path, not
// found through a run path, so that neither the current folder nor
// LD_LIBRARY_PATH can put another module in its place. Empty, with the
// reason, if the program's path is unknown.
std::string module_path(const char* modules, const std::string& library, std::string& reason)
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) { // no full path: no module rather than one found by search
        reason = "the program's own path is unknown (is /proc mounted?)";
        return "";
    }
    std::string folder(self, static_cast<std::size_t>(length));
    folder.erase(folder.find_last_of('/') + 1);
    return folder + (*modules ? std::string(modules) + "/" : "") + library;
}

// Whether a user other than this one (or root) could have put `path`
// there or changed it: owned by another, or writable by every user.
std::string writable_by_others(const std::string& path, const struct stat& st)
{
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return path + " belongs to another user (uid " + std::to_string(st.st_uid) +
               "); install pixconvert where only you or root can write";
    if (st.st_mode & S_IWOTH)
        return path + " is writable by every user; chmod o-w " + path;
    return "";
}

const Format* load_format(const Format_Choice& choice, const char* modules, std::string& reason)
{
    if (choice.module == nullptr)
        return velkin_format();
    std::string library = std::string("pixconvert-") + choice.module + ".so";
    std::string entry = std::string("pixconvert_") + choice.module + "_format";
    std::string why;
    std::string path = module_path(modules, library, why);
    if (path.empty()) {
        reason = "cannot load the " + library + " module: " + why;
        return nullptr;
    }
    std::string folder = path.substr(0, path.find_last_of('/'));
    struct stat st;
    if (stat(folder.c_str(), &st) == 0 && (why = writable_by_others(folder, st)).empty() &&
        stat(path.c_str(), &st) == 0)
        why = writable_by_others(path, st);
    if (!why.empty()) {
        reason = "refuses to load the " + library + " module: " + why;
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
