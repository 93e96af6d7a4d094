// The one table of extensions, and the loading of format modules. Adding a
// format is a module of its own and a row here.
#include "format.h"

#include <climits>
#include <cstring>
#include <dlfcn.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace convert {

using namespace img;

namespace {

// extension, module, name, tile-compressed, HDUs, reads by seeking, binary64,
// empty, preview
const Format_Row rows[] = {
    {"img", nullptr, ".img", false, false, false, true, true, false},
    {"fits", "fits", "FITS", false, true, true, true, true, false},
    {"fit", "fits", "FITS", false, true, true, true, true, false},
    {"fts", "fits", "FITS", false, true, true, true, true, false},
    {"fz", "fits", "FITS", true, true, true, true, false, false},
    {"tif", "tiff", "TIFF", false, false, true, true, false, false},
    {"tiff", "tiff", "TIFF", false, false, true, true, false, false},
    {"png", "png", "PNG", false, false, false, false, false, true},
};

// What holds what `row` cannot: another extension of its own format
// (".fits"), or else the other formats that do ("FITS or TIFF").
std::string alternatives(const Format_Row& row, bool Format_Row::*can)
{
    for (const Format_Row& r : rows)
        if (r.module && r.*can && row.module && std::strcmp(r.module, row.module) == 0)
            return std::string(".") + r.extension;
    std::string names;
    const char* last = nullptr; // a format's rows are next to each other
    for (const Format_Row& r : rows)
        if (r.module && r.*can && !(last && std::strcmp(last, r.name) == 0)) {
            names += (names.empty() ? "" : " or ") + std::string(r.name);
            last = r.name;
        }
    return names;
}

} // namespace

const Format_Row* choose_format(const std::string& path)
{
    std::size_t dot = path.rfind('.'), slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return nullptr;
    for (const Format_Row& r : rows)
        if (strcasecmp(path.c_str() + dot + 1, r.extension) == 0)
            return &r;
    return nullptr;
}

std::string known_extensions()
{
    std::string list;
    for (const Format_Row& r : rows)
        list += std::string(list.empty() ? "." : ", .") + r.extension;
    return list;
}

bool holds(const Format_Row& out, const std::string& file, std::uint32_t x, std::uint32_t y,
           bool binary64, Failure& failure)
{
    std::string name = out.tile_compressed ? words(says::tile_compressed_format, out.name) : out.name;
    if (binary64 && !out.binary64)
        return fail(failure, file, says::cannot_hold_binary64, name.c_str(),
                    alternatives(out, &Format_Row::binary64).c_str());
    if ((x == 0 || y == 0) && !out.empty)
        return fail(failure, file, says::cannot_hold_empty, name.c_str(), x, y,
                    alternatives(out, &Format_Row::empty).c_str());
    return true;
}

// The module's path: in `modules`, relative to the program's own path, not
// found through a run path, so that neither the current folder nor
// LD_LIBRARY_PATH can put another module in its place. Empty if the
// program's path is unknown.
std::string module_path(const char* modules, const std::string& library)
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) // no full path: no module rather than one found by search
        return "";
    std::string folder(self, static_cast<std::size_t>(length));
    folder.erase(folder.find_last_of('/') + 1);
    return folder + (*modules ? std::string(modules) + "/" : "") + library;
}

// Whether a user other than this one (or root) could have put `path`
// there or changed it: owned by another, or writable by every user.
std::string writable_by_others(const std::string& path, const struct stat& st)
{
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return words(says::another_users, path.c_str(), unsigned{st.st_uid});
    if (st.st_mode & S_IWOTH)
        return words(says::writable_by_all, path.c_str(), path.c_str());
    return "";
}

const Format* load_format(const Format_Row& row, const char* modules, const std::string& file,
                          Failure& failure)
{
    if (row.module == nullptr)
        return velkin_format();
    std::string library = std::string("pixconvert-") + row.module + ".so";
    std::string entry = std::string("pixconvert_") + row.module + "_format";
    std::string path = module_path(modules, library);
    if (path.empty()) {
        fail(failure, file, says::cannot_load, library.c_str(), says::no_own_path);
        return nullptr;
    }
    std::string folder = path.substr(0, path.find_last_of('/')), why;
    struct stat st;
    if (stat(folder.c_str(), &st) == 0 && (why = writable_by_others(folder, st)).empty() &&
        stat(path.c_str(), &st) == 0)
        why = writable_by_others(path, st);
    if (!why.empty()) {
        fail(failure, file, says::refuses_to_load, library.c_str(), why.c_str());
        return nullptr;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* function = handle ? dlsym(handle, entry.c_str()) : nullptr;
    if (function == nullptr) {
        const char* error = dlerror();
        fail(failure, file, says::cannot_load, library.c_str(), error ? error : says::no_entry);
        return nullptr;
    }
    return reinterpret_cast<const Format* (*)()>(function)();
}

} // namespace convert
