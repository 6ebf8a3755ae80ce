#include "host/web/ISAPIExtension.h"

#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "host/base/OpenSSL.h"
#include "host/base/ProductVersion.h"
#include "host/web/ISAPIApplication.h"
#include "host/web/ISAPIBaseConfig.h"
#include "host/web/RequestPool.h"
#include "platform/Modules.h"

namespace vorn {

namespace {

// Shared by the server's threads posting requests, exclusive to start and stop.
std::shared_mutex gStateMutex;
RequestPool* gPool = nullptr;
platform::ModuleHandle gModule = nullptr; // the extension's own, found at start-up

ServedRequest* MakeApplication(void*, platform::ISAPIControlBlock* controlBlock) {
    return new (std::nothrow) ISAPIApplication(gModule, controlBlock, nullptr);
}

} // namespace

bool ExtensionGetVersion(platform::ISAPIVersionInfo* info) {
    if (info) {
        info->extensionVersion = kExtensionVersion;
        std::memcpy(info->description, kProductName, sizeof kProductName);
    }
    try {
        std::lock_guard<std::shared_mutex> lock(gStateMutex);
        if (gPool) return true;
        gModule = platform::HostModule();
        ProductSettings settings;
        ReadProductSettings(settings);
        StartProcessOpenSSL();
        // Loaded again after a stop unloaded them.
        ProcessOpenSSL().Load(settings.sslLibrary.Text(), settings.cryptoLibrary.Text());
        auto* pool = new RequestPool(settings.threads, &MakeApplication, nullptr);
        if (!pool->Start()) {
            delete pool;
            return false;
        }
        gPool = pool;
        return true;
    } catch (...) {
        return false;
    }
}

uint32_t ExtensionHttpProc(platform::ISAPIControlBlock* controlBlock) {
    try {
        std::shared_lock<std::shared_mutex> lock(gStateMutex);
        if (!gPool || !controlBlock) return platform::kISAPIStatusError;
        gPool->Post(controlBlock);
        return platform::kISAPIStatusPending;
    } catch (...) {
        return platform::kISAPIStatusError;
    }
}

bool ExtensionTerminate(uint32_t) {
    try {
        RequestPool* pool = nullptr;
        {
            std::lock_guard<std::shared_mutex> lock(gStateMutex);
            pool = gPool;
            gPool = nullptr;
        }
        if (!pool) return true;
        if (!pool->Stop()) return false; // left alone: a worker still runs in it
        delete pool;
        ProcessOpenSSL().Unload();
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace vorn
