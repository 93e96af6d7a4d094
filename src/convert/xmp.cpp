#include "xmp.h"

#include <algorithm>
#include <expat.h>

namespace convert {

namespace {

// Expat names elements and attributes "URI local" with this separator.
const std::string header_name = std::string(xmp_namespace) + " header";
const std::string comment_name = std::string(xmp_namespace) + " comment";
// Hex of the largest comment, with room for white space around it.
constexpr std::size_t max_text = 1 << 20;

struct Found {
    XML_Parser parser;
    Carried& carried;
    std::string* collecting = nullptr; // the property whose text this is
    bool too_long = false;
};

void take(Found& f, const std::string& name, const char* value, bool element)
{
    std::string* target = nullptr;
    if (name == header_name)
        target = &f.carried.header_hex, ++f.carried.headers;
    else if (name == comment_name)
        target = &f.carried.comment_hex, ++f.carried.comments;
    if (!target)
        return;
    target->clear();
    if (element)
        f.collecting = target;
    else
        *target = value;
}

void XMLCALL start(void* data, const XML_Char* name, const XML_Char** attributes)
{
    auto& f = *static_cast<Found*>(data);
    f.collecting = nullptr;
    take(f, name, nullptr, true);
    for (int i = 0; attributes[i]; i += 2)
        take(f, attributes[i], attributes[i + 1], false);
}

void XMLCALL end(void* data, const XML_Char*)
{
    static_cast<Found*>(data)->collecting = nullptr;
}

void XMLCALL text(void* data, const XML_Char* s, int length)
{
    auto& f = *static_cast<Found*>(data);
    if (!f.collecting)
        return;
    if (f.collecting->size() + static_cast<std::size_t>(length) > max_text) {
        f.too_long = true;
        XML_StopParser(f.parser, XML_FALSE);
        return;
    }
    f.collecting->append(s, static_cast<std::size_t>(length));
}

// An XMP packet has no document type; one with a DTD is not ours to expand.
void XMLCALL doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int)
{
    XML_StopParser(static_cast<Found*>(data)->parser, XML_FALSE);
}

std::string without_white_space(const std::string& s)
{
    std::string t;
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
            t += c;
    return t;
}

} // namespace

std::string make_xmp(const std::string& header_hex, const std::string& comment_hex)
{
    return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
           " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
           "  <rdf:Description rdf:about=\"\" xmlns:pixdelta=\"" +
           std::string(xmp_namespace) +
           "\">\n"
           "   <pixdelta:header>" +
           header_hex +
           "</pixdelta:header>\n"
           "   <pixdelta:comment>" +
           comment_hex +
           "</pixdelta:comment>\n"
           "  </rdf:Description>\n"
           " </rdf:RDF>\n"
           "</x:xmpmeta>\n"
           "<?xpacket end=\"w\"?>";
}

Xmp_Status read_xmp(const char* packet, std::size_t size, Carried& carried)
{
    XML_Parser parser = XML_ParserCreateNS(nullptr, ' ');
    if (!parser)
        return Xmp_Status::no_memory;
    Found found{parser, carried};
    XML_SetUserData(parser, &found);
    XML_SetElementHandler(parser, start, end);
    XML_SetCharacterDataHandler(parser, text);
    XML_SetStartDoctypeDeclHandler(parser, doctype);
    // The packet may end in NUL bytes of padding, which are no XML.
    size = static_cast<std::size_t>(std::find(packet, packet + size, '\0') - packet);
    bool parsed = size <= static_cast<std::size_t>(INT32_MAX) &&
                  XML_Parse(parser, packet, static_cast<int>(size), XML_TRUE) == XML_STATUS_OK;
    bool no_memory = XML_GetErrorCode(parser) == XML_ERROR_NO_MEMORY;
    XML_ParserFree(parser);
    if (found.too_long)
        return Xmp_Status::too_long;
    if (no_memory)
        return Xmp_Status::no_memory;
    if (!parsed)
        return Xmp_Status::malformed;
    carried.header_hex = without_white_space(carried.header_hex);
    carried.comment_hex = without_white_space(carried.comment_hex);
    return Xmp_Status::read;
}

} // namespace convert
