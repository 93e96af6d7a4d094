// Stand-ins for the six libcurl functions that cfitsio's static library
// refers to, for its network drivers (http://, ftp://, https://). pixconvert
// hands cfitsio only its own open files, by their /proc/self/fd names, so
// those drivers are never reached; should one be, it fails as if the
// network were down. Without them the FITS module would load libcurl and
// its thirty libraries, which take longer than converting a small frame.
extern "C" {

struct CURL;

CURL* curl_easy_init()
{
    return nullptr;
}

int curl_easy_setopt(CURL*, int, ...)
{
    return 1;
}

int curl_easy_perform(CURL*)
{
    return 1;
}

void curl_easy_cleanup(CURL*) {}

int curl_global_init(long)
{
    return 1;
}

void curl_global_cleanup() {}
}
