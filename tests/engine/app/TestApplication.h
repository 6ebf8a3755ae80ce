// A minimal concrete application for tests: every manager, the configuration
// and the output are plain pointers that a test sets (none is owned).
#pragma once

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "platform/Errors.h"
#include "platform/Time.h"

namespace vorn::test {

class TestApplication : public VornApplication {
  public:
    NetworkSource* GetNetworkManager() override { return networkManager; }
    FileManager* GetFileManager() override { return fileManager; }
    ExternalLibraryManager* GetExternalLibraryManager() override { return libraryManager; }
    Config* GetConfig() override { return config; }
    const char* InterfaceName() override { return "VornTest"; }
    const char* DefaultRemoteAddress() override { return "127.0.0.1"; }
    char* HTTPDate(int32_t* outLength) override { return Copy("Thu, 01 Jan 1970 00:00:00 -0000", outLength); }
    // The platform's text of this thread's last failure unless a test set one.
    const char* LastSystemErrorText() override {
        return systemError ? systemError : platform::LastErrorText();
    }
    Output* GetOutput() override { return output; }
    Output* SetOutput(Output* next) override {
        Output* previous = output;
        output = next;
        return previous;
    }
    char* Crypt(const char*, int32_t, const char* salt, int32_t* outLength, int32_t* outSize) override {
        char* result = Copy("xxxxxxxxxxxxx", outLength);
        if (result && salt && salt[0] && salt[1]) {
            result[0] = salt[0];
            result[1] = salt[1];
        }
        if (outSize) *outSize = 14;
        return result;
    }
    char* MakeSessionID(int32_t* outLength) override {
        return Copy("0123456789abcdef0123456789abcdef", outLength);
    }
    const char* ServerName() override { return serverName; }
    int32_t LockExpiration() override { return lockExpiration; }
    // Sleeps in short slices (without reading the clock, which a test may have
    // frozen) and returns early once the run is stopped.
    int32_t WaitForStop(int32_t milliseconds) override {
        waits.fetch_add(1);
        for (int64_t slept = 0; slept < milliseconds; slept += 2) {
            if (StopRequested()) return WaitStopSignalled;
            platform::SleepMilliseconds(2);
        }
        return StopRequested() ? WaitStopSignalled : WaitTimedOut;
    }
    bool LoadOpenSSL(String* error) override {
        if (error) error->Assign("TLS is not available in tests");
        return false;
    }
    void* SSLFunction(const char*) override { return nullptr; }

    void Log(uint32_t event, const LogField* fields) override {
        lastEvent = event;
        loggedFields = 0;
        while (fields && fields[loggedFields].kind != LogField::End)
            ++loggedFields;
        ++logCalls;
    }

    // Settable by tests.
    NetworkSource* networkManager = nullptr;
    FileManager* fileManager = nullptr;
    ExternalLibraryManager* libraryManager = nullptr;
    Config* config = nullptr;
    Output* output = nullptr;
    const char* systemError = nullptr;
    const char* serverName = "testhost";
    int32_t lockExpiration = 90;

    std::atomic<int32_t> waits{0};
    uint32_t lastEvent = 0;
    int32_t loggedFields = 0;
    int32_t logCalls = 0;

  private:
    static char* Copy(const char* text, int32_t* outLength) {
        size_t n = std::strlen(text);
        char* buffer = static_cast<char*>(std::malloc(n + 1));
        if (!buffer) return nullptr;
        std::memcpy(buffer, text, n + 1);
        if (outLength) *outLength = static_cast<int32_t>(n);
        return buffer;
    }
};

} // namespace vorn::test
