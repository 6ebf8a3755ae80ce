// Fixtures of the web host's tests: an in-memory control block (server
// variables, a body in pieces, short or failing reads and writes; it records
// the status line, the header block, the body and the end of the session), a
// site of compiled scripts with its registry and data folder, and the run of
// one request through the request application.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/web/ISAPIApplication.h"
#include "platform/ISAPI.h"
#include "tests/host/base/HostServicesSupport.h"
#include "tests/tools/LoadedProgram.h"

namespace vorn::test {

class MemoryRequest {
  public:
    explicit MemoryRequest(std::map<std::string, std::string> serverVariables = {}, std::string requestBody = "",
                           size_t preRead = 0)
        : variables(std::move(serverVariables)), body(std::move(requestBody)) {
        block.size = sizeof block;
        block.connection = this;
        auto text = [this](const char* name) -> const char* {
            auto found = variables.find(name);
            return found == variables.end() ? nullptr : found->second.c_str();
        };
        block.method = text("REQUEST_METHOD");
        block.queryString = text("QUERY_STRING");
        block.pathInfo = text("PATH_INFO");
        block.pathTranslated = text("PATH_TRANSLATED");
        block.contentType = text("CONTENT_TYPE");
        // The announced length, as the server reads CONTENT_LENGTH (the
        // tests give digits or nothing).
        const char* length = text("CONTENT_LENGTH");
        block.totalBytes = length && length[0] ? std::stoull(length) : 0;
        block.availableBytes = preRead < body.size() ? preRead : body.size();
        block.data = reinterpret_cast<const uint8_t*>(body.data());
        read = block.availableBytes;
        block.getServerVariable = &GetServerVariable;
        block.readClient = &ReadClient;
        block.writeClient = &WriteClient;
        block.serverSupportFunction = &ServerSupportFunction;
    }
    MemoryRequest(const MemoryRequest&) = delete;
    MemoryRequest& operator=(const MemoryRequest&) = delete;

    // --- Behaviour -----------------------------------------------------------------
    size_t readPiece = SIZE_MAX;  // the most bytes one read returns
    int failReadsAfter = -1;      // reads after this many fail
    size_t writePiece = SIZE_MAX; // the most bytes one write takes
    int64_t writeLimit = -1;      // body bytes taken at all; then writes take 0 or fail
    bool failAtLimit = false;
    bool refuseHeader = false;
    std::function<void()> onRead; // called before each read

    // --- What the extension did ------------------------------------------------------
    std::string status;
    std::string headers;
    std::string response;
    int headerCalls = 0;
    int reads = 0;
    int writes = 0;
    std::atomic<int> done{0};

    platform::ISAPIControlBlock block{};
    std::map<std::string, std::string> variables;
    std::string body;
    size_t read = 0;

    // A header of the block ("" when absent).
    std::string Header(const std::string& name) const {
        std::string needle = name + ": ";
        for (size_t at = 0; at < headers.size();) {
            size_t end = headers.find("\r\n", at);
            if (end == std::string::npos) break;
            if (headers.compare(at, needle.size(), needle) == 0)
                return headers.substr(at + needle.size(), end - at - needle.size());
            at = end + 2;
        }
        return "";
    }

  private:
    static MemoryRequest* Of(platform::ISAPIConnection c) { return static_cast<MemoryRequest*>(c); }

    static bool GetServerVariable(platform::ISAPIConnection c, const char* name, void* buffer, size_t* size) {
        auto found = Of(c)->variables.find(name);
        if (found == Of(c)->variables.end()) {
            errno = ENOENT;
            return false;
        }
        size_t needed = found->second.size() + 1;
        if (!buffer || *size < needed) {
            *size = needed;
            errno = ERANGE;
            return false;
        }
        std::memcpy(buffer, found->second.c_str(), needed);
        *size = needed;
        return true;
    }

    static bool ReadClient(platform::ISAPIConnection c, void* buffer, size_t* size) {
        MemoryRequest* r = Of(c);
        if (r->onRead) r->onRead();
        if (r->failReadsAfter >= 0 && r->reads >= r->failReadsAfter) {
            errno = EIO;
            return false;
        }
        ++r->reads;
        size_t n = std::min({*size, r->readPiece, r->body.size() - r->read});
        std::memcpy(buffer, r->body.data() + r->read, n);
        r->read += n;
        *size = n;
        return true;
    }

    static bool WriteClient(platform::ISAPIConnection c, const void* buffer, size_t* size, uint32_t) {
        MemoryRequest* r = Of(c);
        ++r->writes;
        size_t n = std::min(*size, r->writePiece);
        if (r->writeLimit >= 0) {
            size_t room = r->response.size() >= static_cast<size_t>(r->writeLimit)
                              ? 0
                              : static_cast<size_t>(r->writeLimit) - r->response.size();
            if (room == 0 && r->failAtLimit) {
                errno = EPIPE;
                return false;
            }
            n = std::min(n, room);
        }
        r->response.append(static_cast<const char*>(buffer), n);
        *size = n;
        return true;
    }

    static bool ServerSupportFunction(platform::ISAPIConnection c, uint32_t code, void* buffer, size_t*,
                                      void* dataType) {
        MemoryRequest* r = Of(c);
        if (code == platform::kISAPISendResponseHeader) {
            ++r->headerCalls;
            if (r->refuseHeader) return false;
            r->status = static_cast<const char*>(buffer);
            r->headers = static_cast<const char*>(dataType);
            return true;
        }
        if (code == platform::kISAPIDoneWithSession) {
            ++r->done;
            return true;
        }
        return false;
    }
};

// A folder of compiled scripts, a data folder and the registry naming both.
class Site {
  public:
    Site() {
        EXPECT_EQ(mkdir(root.c_str(), 0755), 0);
        EXPECT_EQ(mkdir(data.c_str(), 0755), 0);
    }

    // Assembles the source into ROOT/name (folders made as needed).
    void Script(const std::string& name, const std::string& source) const {
        Bytes bytes = Assembled(source);
        std::string path = root + "/" + name;
        for (size_t slash = path.find('/', root.size() + 1); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir(path.substr(0, slash).c_str(), 0755);
        WriteText(path, std::string(bytes.begin(), bytes.end()));
    }

    // The registry: vornroot and datadir, then the given lines under
    // "Configuration" and any further keys.
    void Registry(const std::string& settings = "", const std::string& moreKeys = "") const {
        registry.Write("[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration]\nvornroot = " + root +
                       "\ndatadir = " + data + "\n" + settings + moreKeys);
    }

    // The server variables of a GET of path (PATH_INFO), the query string and
    // any more variables.
    std::map<std::string, std::string> Request(const std::string& path, const std::string& query = "",
                                               std::map<std::string, std::string> more = {}) const {
        std::map<std::string, std::string> v = {{"PATH_INFO", path},
                                                {"PATH_TRANSLATED", root + path},
                                                {"QUERY_STRING", query},
                                                {"APPL_MD_PATH", "/LM/W3SVC/1/ROOT"},
                                                {"REQUEST_METHOD", "GET"},
                                                {"SERVER_NAME", "www.example.com"},
                                                {"SERVER_PORT", "80"},
                                                {"SERVER_PORT_SECURE", "0"},
                                                {"REMOTE_ADDR", "192.0.2.7"}};
        for (auto& [name, value] : more) v[name] = value;
        return v;
    }

    // Files in the data folder whose names begin with prefix.
    int DataFiles(const std::string& prefix) const;

    RegistryScratch registry;
    std::string root = registry.dir / "www";
    std::string data = registry.dir / "data";
};

inline int Site::DataFiles(const std::string& prefix) const {
    int n = 0;
    if (DIR* dir = opendir(data.c_str())) {
        while (dirent* entry = readdir(dir))
            if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) ++n;
        closedir(dir);
    }
    return n;
}

// Runs one request through a request application, as a worker does.
inline int32_t Serve(MemoryRequest& request) {
    ISAPIApplication application(platform::HostModule(), &request.block, nullptr);
    return application.Run();
}

} // namespace vorn::test
