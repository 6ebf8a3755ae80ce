// The extension as it ships: VornVMIIS loaded as the web server loads it, its
// own copy of every class, driven through its three entry points.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "host/network/Call.h"
#include "platform/ISAPI.h"
#include "tests/host/network/NetworkTestSupport.h"
#include "tests/host/web/WebHostSupport.h"

namespace vorn {
namespace {

// A reply's tag past the item cap ends the walk: the library's network
// buffers keep their own cap whatever else it links.
TEST(ShippedExtension, AReplyItemPastTheCapEndsTheWalk) {
    test::LoopbackServer& server = test::LoopbackServer::Get(test::LoopbackServer::Plain);
    ASSERT_TRUE(server.ok);
    // An attribute's value is taken a byte at a time.
    std::string huge = "<p a=\"" + std::string(kMaxCallItem, 'a') + "\">";
    server.Route("/huge", test::Raw("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(huge.size()) +
                                    "\r\n\r\n" + huge));

    test::Site site;
    site.Script("call.vrc", test::CallProgram({server.Url("/huge"), "GET", "", "", ""}));
    site.registry.Write("[SOFTWARE\\Vorn\\Vorn Tevrona NT]\nThreads = dword:1\n"
                        "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration]\nvornroot = " + site.root +
                        "\ndatadir = " + site.data +
                        // Only the cap may end the walk, however slow the build.
                        "\nglobaltimeout = dword:0\n");

    // Never closed: what the library keeps for the process stays reachable.
    void* library = dlopen(VORN_VORNVMIIS, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto start = reinterpret_cast<bool (*)(platform::ISAPIVersionInfo*)>(dlsym(library, "GetExtensionVersion"));
    auto serve = reinterpret_cast<uint32_t (*)(platform::ISAPIControlBlock*)>(dlsym(library, "HttpExtensionProc"));
    auto stop = reinterpret_cast<bool (*)(uint32_t)>(dlsym(library, "TerminateExtension"));
    ASSERT_TRUE(start && serve && stop);

    platform::ISAPIVersionInfo info{};
    ASSERT_TRUE(start(&info));
    test::MemoryRequest request(site.Request("/call.vrc"));
    ASSERT_EQ(serve(&request.block), platform::kISAPIStatusPending);
    while (request.done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(stop(0));
    server.Route("/huge", test::Raw(""));
    EXPECT_TRUE(std::regex_match(request.response,
                                 std::regex(R"(Runtime error in call\.vrc @ \[[0-9a-f:]+\]: )"
                                            "VrCALL: Response item too large\n")))
        << request.response.substr(0, 200);
}

} // namespace
} // namespace vorn
