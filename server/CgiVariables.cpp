#include "server/CgiVariables.h"

#include <strings.h>

#include <cstring>

#include "server/FastCgi.h"

namespace vorn::server {

namespace {

bool HasValue(const char* value) {
    return value && value[0];
}

} // namespace

void CgiVariables::Index() {
    entries.clear();
    AppendParamEntries(params, &entries);
    environment.clear();
    index.clear();
    allHttpMade = false;
    for (size_t at = 0; at < entries.size();) {
        char* entry = entries.data() + at;
        size_t length = std::strlen(entry);
        environment.push_back(entry);
        const char* equals = static_cast<const char*>(std::memchr(entry, '=', length));
        if (equals) index.push_back({static_cast<size_t>(equals - entry), entry, equals + 1});
        at += length + 1;
    }
    environment.push_back(nullptr);
}

const char* CgiVariables::Find(const char* name) const {
    size_t length = std::strlen(name);
    for (const Param& p : index)
        if (p.length == length && std::memcmp(p.name, name, length) == 0) return p.value;
    return nullptr;
}

const char* CgiVariables::FindEntry(const char* name) const {
    size_t length = std::strlen(name);
    for (char* const* entry = environment.data(); *entry; ++entry)
        if (std::strncmp(name, *entry, length) == 0 && (*entry)[length] == '=') return *entry + length + 1;
    return nullptr;
}

void CgiVariables::Derive() {
    const char* metabase = Find("APPL_MD_PATH");
    metabasePath = HasValue(metabase) ? metabase : "/LM/W3SVC/1/ROOT";
    const char* translated = Find("PATH_TRANSLATED");
    if (HasValue(translated)) {
        pathTranslated = translated;
    } else {
        const char* root = Find("DOCUMENT_ROOT");
        const char* info = Find("PATH_INFO");
        pathTranslated.assign(root ? root : "");
        pathTranslated.append(info ? info : "");
    }
    const char* https = Find("HTTPS");
    portSecure = https && strcasecmp(https, "on") == 0 ? "1" : "0";
    const char* host = Find("REMOTE_HOST");
    const char* address = Find("REMOTE_ADDR");
    remoteHost = HasValue(host) ? host : (address ? address : "");
}

const char* CgiVariables::Value(const char* name) {
    if (std::strcmp(name, "ALL_HTTP") == 0) {
        if (!allHttpMade) AllHttp(environment.data(), &allHttp);
        allHttpMade = true;
        return allHttp.c_str();
    }
    if (std::strcmp(name, "APPL_MD_PATH") == 0) return metabasePath.c_str();
    if (std::strcmp(name, "PATH_TRANSLATED") == 0) return pathTranslated.c_str();
    if (std::strcmp(name, "SERVER_PORT_SECURE") == 0) return portSecure.c_str();
    if (std::strcmp(name, "REMOTE_HOST") == 0) return remoteHost.c_str();
    if (const char* value = Find(name)) return value;
    return std::strchr(name, '=') ? FindEntry(name) : nullptr;
}

void CgiVariables::Fill(platform::ISAPIControlBlock* block, size_t contentLength) const {
    block->method = Find("REQUEST_METHOD");
    block->queryString = Find("QUERY_STRING");
    block->pathInfo = Find("PATH_INFO");
    block->pathTranslated = pathTranslated.c_str();
    block->contentType = Find("CONTENT_TYPE");
    block->totalBytes = contentLength;
}

void AllHttp(char** environment, std::string* out) {
    std::string& all = *out;
    all.clear();
    for (char** entry = environment; entry && *entry; ++entry) {
        const char* text = *entry;
        if (std::strncmp(text, "HTTP_", 5) != 0) continue;
        const char* equals = std::strchr(text, '=');
        if (!equals) continue;
        all.append(text, static_cast<size_t>(equals - text));
        all += ':';
        for (const char* v = equals + 1; *v; ++v)
            if (*v != '\r' && *v != '\n') all += *v;
        all += '\n';
    }
}

} // namespace vorn::server
