// Fixtures of the configuration, TLS and log tests: a registry file of the
// test's own, a request's control block with server variables, and an
// application with a configuration.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "engine/foundation/Config.h"
#include "platform/ISAPI.h"
#include "platform/Registry.h"
#include "tests/engine/app/TestApplication.h"
#include "tests/platform/PlatformTestSupport.h"

namespace vorn::test {

using platform::test::ReadText;
using platform::test::ScratchDir;
using platform::test::WriteText;

// A scratch directory whose "registry.conf" is the registry while it lives.
class RegistryScratch {
  public:
    RegistryScratch() : path(dir / "registry.conf") { setenv(platform::kRegistryPathVariable, path.c_str(), 1); }
    ~RegistryScratch() { unsetenv(platform::kRegistryPathVariable); }
    RegistryScratch(const RegistryScratch&) = delete;
    RegistryScratch& operator=(const RegistryScratch&) = delete;

    void Write(const std::string& text) const { WriteText(path, text); }

    ScratchDir dir;
    std::string path;
};

// A request: the server variables it has, behind a control block.
class FakeRequest {
  public:
    explicit FakeRequest(std::map<std::string, std::string> variables, const char* pathInfo = nullptr)
        : serverVariables(std::move(variables)) {
        block.size = sizeof block;
        block.connection = this;
        block.pathInfo = pathInfo;
        block.getServerVariable = &GetServerVariable;
    }
    FakeRequest(const FakeRequest&) = delete;
    FakeRequest& operator=(const FakeRequest&) = delete;

    platform::ISAPIControlBlock block{};
    std::map<std::string, std::string> serverVariables;

  private:
    static bool GetServerVariable(platform::ISAPIConnection connection, const char* name, void* buffer,
                                  size_t* size) {
        auto* request = static_cast<FakeRequest*>(connection);
        auto found = request->serverVariables.find(name);
        if (found == request->serverVariables.end()) {
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
};

// An application whose configuration is its own.
class ConfiguredApplication : public TestApplication {
  public:
    ConfiguredApplication() { config = &settings; }
    Config settings;
};

} // namespace vorn::test
