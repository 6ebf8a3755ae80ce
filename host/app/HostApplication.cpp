#include "host/app/HostApplication.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "database/library/ExternalDatabaseLibraryManager.h"
#include "engine/app/PosixExternalLibrary.h"
#include "engine/files/BufferFile.h"
#include "engine/files/PosixFile.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/Md5.h"
#include "engine/foundation/Output.h"
#include "host/base/Crypt.h"
#include "host/base/LogLine.h"
#include "host/base/OpenSSL.h"
#include "host/network/PosixNetwork.h"
#include "host/plugin/CommerceLibrary.h"
#include "host/plugin/SystemLibrary.h"
#include "platform/Errors.h"
#include "platform/Process.h"
#include "platform/Random.h"
#include "platform/Time.h"

namespace vorn {

namespace {

char* CopyText(const char* text, int32_t length, int32_t* outLength) {
    auto* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (!buffer) return nullptr;
    std::memcpy(buffer, text, static_cast<size_t>(length));
    buffer[length] = '\0';
    if (outLength) *outLength = length;
    return buffer;
}

void PutBigEndian(unsigned char* at, uint32_t word) {
    at[0] = static_cast<unsigned char>(word >> 24);
    at[1] = static_cast<unsigned char>(word >> 16);
    at[2] = static_cast<unsigned char>(word >> 8);
    at[3] = static_cast<unsigned char>(word);
}

// 100-nanosecond units since 1601-01-01, the system time's native form.
constexpr int64_t kFileTimeEpochOffset = 11644473600LL;

} // namespace

// --- StopEvent ---------------------------------------------------------------------------

void StopEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        set = true;
    }
    changed.notify_all();
}

void StopEvent::Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    set = false;
}

bool StopEvent::Wait(int64_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex);
    if (milliseconds < 0) {
        changed.wait(lock, [this] { return set; });
        return true;
    }
    return changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return set; });
}

// --- HostApplication --------------------------------------------------------------------------

HostApplication::HostApplication(platform::ModuleHandle hostModule)
    : files(new PosixFileManager(this)), libraries(new PosixExternalLibraryManager(this, hostModule)),
      commerceLibraries(new CommerceLibraryManager(this)), systemLibraries(new SystemLibraryManager(this)),
      network(new PosixNetworkManager(this)) {}

HostApplication::~HostApplication() {
    delete network;
    FreeOpenSSLContext(sslFunctions, &sslContext);
    delete systemLibraries;
    delete commerceLibraries;
    delete files;
    // Last of the library objects: release calls made while the others were
    // destroyed still found their modules.
    delete libraries;
}

FileManager* HostApplication::GetFileManager() {
    return files;
}

ExternalLibraryManager* HostApplication::GetExternalLibraryManager() {
    return libraries;
}

CommerceLibraryManager* HostApplication::GetCommerceLibraryManager() {
    return commerceLibraries;
}

SystemLibraryManager* HostApplication::GetSystemLibraryManager() {
    return systemLibraries;
}

ConfiguredLibraries* HostApplication::ConfiguredLibrariesOf(int32_t family) {
    if (family == kLibraryFamilyCommerce) return commerceLibraries;
    if (family == kLibraryFamilySystem) return systemLibraries;
    if (family == kLibraryFamilyDatabase) return databaseLibraries;
    return nullptr;
}

char* HostApplication::HTTPDate(int32_t* outLength) {
    platform::CalendarTime local;
    if (!platform::ToLocalCalendar(platform::NowSeconds(), local)) return CopyText("", 0, outLength);
    struct tm fields {};
    fields.tm_sec = local.second;
    fields.tm_min = local.minute;
    fields.tm_hour = local.hour;
    fields.tm_mday = local.day;
    fields.tm_mon = local.month;
    fields.tm_year = local.year;
    fields.tm_wday = local.weekday;
    fields.tm_yday = local.yearDay;
    char buffer[128];
    size_t n = strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S ", &fields);
    int64_t east = local.utcOffset / 60; // minutes
    int64_t magnitude = east < 0 ? -east : east;
    int written = std::snprintf(buffer + n, sizeof buffer - n, east > 0 ? "+%04lld" : "-%04lld",
                                static_cast<long long>(magnitude / 60 * 100 + magnitude % 60));
    if (written > 0) n += static_cast<size_t>(written);
    return CopyText(buffer, static_cast<int32_t>(n), outLength);
}

const char* HostApplication::LastSystemErrorText() {
    const char* text = platform::LastErrorText();
    if (!text) return nullptr;
    std::snprintf(systemError, sizeof systemError, "%s", text);
    return systemError;
}

Output* HostApplication::SetOutput(Output* next) {
    Output* previous = output;
    if (next && previous) next->SetMode(previous->Mode());
    output = next;
    return previous;
}

char* HostApplication::Crypt(const char* key, int32_t keyLength, const char* salt, int32_t* outLength,
                             int32_t* outSize) {
    UFCrypt crypt;
    return crypt.Crypt(key, keyLength, salt, outLength, outSize);
}

char* HostApplication::MakeSessionID(int32_t* outLength) {
    unsigned char seed[323];
    const char* name = ServerName();
    size_t n = name ? std::strlen(name) : 0;
    if (n > 255) n = 255;
    std::memcpy(seed, name, n);
    platform::TimeValue now = platform::Now();
    uint64_t fileTime = static_cast<uint64_t>(now.seconds + kFileTimeEpochOffset) * 10000000u +
                        static_cast<uint64_t>(now.microseconds) * 10u;
    PutBigEndian(seed + n, static_cast<uint32_t>(platform::ProcessId()));
    PutBigEndian(seed + n + 4, static_cast<uint32_t>(platform::ThreadId()));
    PutBigEndian(seed + n + 8, static_cast<uint32_t>(fileTime >> 32));
    PutBigEndian(seed + n + 12, static_cast<uint32_t>(fileTime));
    n += 16;
    if (!platform::RandomBytes(seed + n, sizeof seed - n)) {
        std::random_device device;
        for (size_t i = n; i < sizeof seed; ++i) seed[i] = static_cast<unsigned char>(device());
    }
    unsigned char digest[16];
    MD5().Digest(seed, sizeof seed, digest);
    char hex[32];
    MD5::ToHex(digest, hex);
    return CopyText(hex, 32, outLength);
}

const char* HostApplication::ServerName() {
    Config* config = GetConfig();
    const char* configured = config ? config->GetText(kConfigLockHostname) : nullptr;
    if (configured && configured[0]) return configured;
    if (serverName.IsEmpty()) {
        char buffer[256];
        serverName.Assign(platform::HostName(buffer, sizeof buffer) ? buffer : "localhost");
    }
    return serverName.Text();
}

int32_t HostApplication::LockExpiration() {
    Config* config = GetConfig();
    return config ? config->GetInteger(kConfigLockExpiration) : 0;
}

void HostApplication::ResetTimeLimit() {
    VornApplication::ResetTimeLimit();
    stopEvent.Reset();
}

void HostApplication::CheckTimeouts() {
    VornApplication::CheckTimeouts();
    if (timedOut.load(std::memory_order_acquire)) stopEvent.Set();
}

void HostApplication::RequestStop() {
    VornApplication::RequestStop();
    stopEvent.Set();
}

int32_t HostApplication::WaitForStop(int32_t milliseconds) {
    if (StopRequested()) return WaitStopSignalled;
    return stopEvent.Wait(milliseconds) || StopRequested() ? WaitStopSignalled : WaitTimedOut;
}

bool HostApplication::LoadOpenSSL(String* error) {
    StartProcessOpenSSL();
    Config* config = GetConfig();
    return BindOpenSSL(ProcessOpenSSL(), sslFunctions, &sslContext,
                       config ? config->GetText(kConfigCaDir) : nullptr,
                       config ? config->GetInteger(kConfigSecurityOptions) : 0, error);
}

void* HostApplication::SSLFunction(const char* name) {
    return EnsureOpenSSL(nullptr) ? ProcessOpenSSL().Find(name) : nullptr;
}

void HostApplication::Log(uint32_t event, const LogField* fields) {
    WriteLogEvent(this, event, fields);
}

// --- ProgramTables ----------------------------------------------------------------------------

namespace {

// The sections of a program's file in their order: "dict", "syst", "glbl",
// "locl", "locd", "segs", "func"; false at the first that fails.
template <class Tables>
bool LoadSections(Tables& tables, TaggedFile& reader, LocalizedLanguages& languages, LocalizedDictionary& texts) {
    return tables.pool.ReadChunk(reader) && tables.system.LoadSection(reader, kSectionSyst) &&
           tables.globals.LoadSection(reader, kSectionGlbl) && languages.Load() && texts.Load(reader) &&
           tables.segments.Load(reader) && tables.functions.ReadChunk(reader);
}

} // namespace

// The scope and language tables start empty and small: Load replaces each
// with the stored one, sized as the file says, and a program that cannot be
// loaded never uses them.
ProgramTables::ProgramTables(VornApplication* application, FileManager* files)
    : reader(files), system(&pool, 0, 0), globals(&pool, 0, 0), functions(&pool, 8), externalCalls(application),
      languages(application, &pool, &reader, 0, 8) {}

bool ProgramTables::Open(const char* name, File* file, String* reason) {
    if (reader.OpenRead(name, file)) return true;
    if (reason) reason->Assign(reader.ErrorText());
    return false;
}

bool ProgramTables::Share(std::shared_ptr<const LoadedProgram> loaded) {
    if (!loaded) return false;
    shared = std::move(loaded);
    pool.ShareFrom(shared->pool);
    system.CopyLayoutFrom(shared->system);
    system.UseNames(&pool);
    globals.CopyLayoutFrom(shared->globals);
    globals.UseNames(&pool);
    // A program without languages reads none: its table stays empty, as
    // loading an empty one leaves it.
    if ((shared->languageCount > 0 && !languages.Load()) || !texts.Load(reader)) return false;
    segments.ShareFrom(shared->segments);
    functions.CopyFrom(shared->functions);
    return true;
}

bool ProgramTables::Load() { return LoadSections(*this, reader, languages, texts); }

// --- LoadedProgram -----------------------------------------------------------------------------

namespace {

constexpr int32_t kRequestSystemNames = 128;
constexpr int32_t kRequestGlobalNames = 32;

} // namespace

LoadedProgram::LoadedProgram() : system(&pool, 0, 0), globals(&pool, 0, 0), functions(&pool, 8) {}

bool LoadedProgram::Load(FileManager* files, const char* name, const uint8_t* bytes, int32_t length) {
    TaggedFile reader(files);
    auto* file = new BufferFile(name, bytes, length);
    if (!reader.OpenRead(name, file)) {
        delete file;
        return false;
    }
    // The languages and texts are checked here as every run reads them.
    LocalizedLanguages languages(nullptr, &pool, &reader, 0, 8);
    LocalizedDictionary texts;
    if (!LoadSections(*this, reader, languages, texts)) return false;
    languageCount = languages.Count();
    // Every web request adds its fields and the host's system variables (some
    // 60 names, more with many headers) and a few query or form fields: the
    // copies start with room for them.
    system.Reserve(system.EntryCount() + kRequestSystemNames);
    globals.Reserve(globals.EntryCount() + kRequestGlobalNames);
    segments.CurrentSegment();
    segments.MarkShared(&pool);
    return true;
}

} // namespace vorn
