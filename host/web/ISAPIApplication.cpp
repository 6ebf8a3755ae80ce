#include "host/web/ISAPIApplication.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/files/PosixFile.h"
#include "engine/files/PosixFilePath.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/KeptBlocks.h"
#include "engine/foundation/Hash.h"
#include "engine/vm/VornVM.h"
#include "host/web/ContentParsers.h"
#include "host/web/ScriptCache.h"
#include "platform/Files.h"
#include "platform/Time.h"

namespace vorn {

namespace {

// A request text made safe to stand in an HTML response.
String Encoded(const char* text, int32_t length = -1) {
    if (!text) return String("");
    int32_t n = 0;
    char* encoded = EntityEncode(text, length, &n, nullptr);
    if (!encoded) return String("");
    String result(encoded, n);
    std::free(encoded);
    return result;
}

constexpr int32_t kReadPiece = 8192;

std::atomic<int64_t> gSeededSecond{-1};

bool TypeIs(const char* type, const char* known) {
    size_t n = std::strlen(known);
    return std::strlen(type) >= n && CompareTextNoCase(type, known, static_cast<int32_t>(n)) == 0;
}

} // namespace

ISAPIApplication::ISAPIApplication(platform::ModuleHandle module, platform::ISAPIControlBlock* block, void*)
    : HostApplication(module), controlBlock(block), response(this, block), databaseManager(this),
      program(this, files),
      config(this, block, &program.externalCalls, commerceLibraries, &databaseManager, systemLibraries) {
    output = &response;
    databaseLibraries = &databaseManager;
    response.SetConfig(&config);
}

namespace {

// The worker's last application block, kept for its next request.
using KeptApplication = KeptBlocks<sizeof(ISAPIApplication), 1>;

} // namespace

void* ISAPIApplication::operator new(size_t size) {
    if (void* block = operator new(size, std::nothrow)) return block;
    throw std::bad_alloc();
}

void* ISAPIApplication::operator new(size_t size, const std::nothrow_t&) noexcept {
    return size == sizeof(ISAPIApplication) ? KeptApplication::Take() : ::operator new(size, std::nothrow);
}

void ISAPIApplication::operator delete(void* block, size_t size) noexcept {
    if (size == sizeof(ISAPIApplication))
        KeptApplication::Give(block);
    else
        ::operator delete(block);
}

ISAPIApplication::~ISAPIApplication() {
    // What the system table still defers is this object's: nothing settles
    // it once the object is going.
    program.system.Defer(nullptr);
}

ServerText ISAPIApplication::ServerVariable(const char* name) {
    return ReadServerVariable(controlBlock, name);
}

void ISAPIApplication::CheckTimeouts() {
    HostApplication::CheckTimeouts();
}

int32_t ISAPIApplication::Write(const char* bytes, int32_t length) {
    AddDefaultHeaders();
    if (output) output->WriteAndFlush(bytes, length);
    return 0;
}

int32_t ISAPIApplication::ConfigurationErrorPage(const String* message) {
    String page("Configuration Error: ");
    if (message) page.AppendString(*message);
    page.Append("<br>");
    const char* admin = config.GetText(kConfigServerAdmin);
    if (admin && admin[0]) {
        page.Append("Please contact the server administrator: ");
        page.Append(admin);
    }
    return Write(page.Text(), page.Length());
}

bool ISAPIApplication::Fail(const String& message) {
    Write(message.Text(), message.Length());
    return false;
}

bool ISAPIApplication::FailConfiguration(const String& message) {
    ConfigurationErrorPage(&message);
    return false;
}

// The script lies inside the root, component by component with letter case
// counting (as the file system counts it): a root "data" never takes "DATA".
bool ISAPIApplication::CheckScriptPath(String* scriptName) {
    const char* rootText = config.GetText(kConfigVornRoot);
    if (!rootText || !rootText[0]) return FailConfiguration(String("vornroot is not defined"));
    PosixFilePath root(rootText);
    PosixFilePath translated(controlBlock->pathTranslated);
    root.Rebuild();
    translated.Rebuild();
    if (!root.IsAbsolute())
        return FailConfiguration(String("The configured Vorn root directory must be an absolute path"));
    if (!files->CheckScriptDirectory(root.Text())) return FailConfiguration(files->ErrorText());
    if (!translated.IsAbsolute() || translated.ComponentCount() < 2)
        return FailConfiguration(String("Invalid PATH_TRANSLATED"));
    if (!root.IsPrefixOf(translated))
        return FailConfiguration(String("'") + Encoded(PathInfo()) +
                                 "' is not contained in the configured script directory");
    int32_t first = root.ComponentCount();
    int32_t last = translated.ComponentCount() - 1;
    scriptName->Assign(first <= last ? translated.SubPath(first, last) : String(""));
    return true;
}

bool ISAPIApplication::LoadScript(const String& scriptName) {
    std::shared_ptr<const LoadedProgram> loaded;
    File* file = OpenScript(files, LocationScript, scriptName.Text(), &loaded);
    if (!file)
        return Fail(String(kUnableToExecute) + Encoded(PathInfo()) + "': " +
                    Encoded(files->ErrorText().Text(), files->ErrorText().Length()));
    String reason;
    if (!program.Open(scriptName.Text(), file, &reason)) {
        delete file;
        return Fail(String(kUnableToExecute) + Encoded(scriptName.Text()) + "': " + reason);
    }
    if (!(loaded ? program.Share(std::move(loaded)) : program.Load()))
        return Fail(String(kUnableToExecute) + Encoded(scriptName.Text()) + "': " + kProgramNotLoadable);
    return true;
}

bool ISAPIApplication::CheckDataDirectory() {
    const char* data = config.GetText(kConfigDataDir);
    if (!data || !data[0]) return FailConfiguration(String("No data directory is defined"));
    if (!files->CheckDataDirectory(data)) return FailConfiguration(files->ErrorText());
    const char* temporary = config.GetText(kConfigTempDir);
    if (temporary && temporary[0]) files->CheckTemporaryDirectory(temporary);
    const char* filter = config.GetText(kConfigLogFilter);
    if (filter && filter[0]) ParseLogFilter(filter);
    const char* cookie = config.GetText(kConfigLogCookie);
    if (cookie && cookie[0]) CheckLogCookie(cookie);
    response.SetSizes(config.GetInteger(kConfigOutputBufferSize), config.GetInteger(kConfigOutputFlushSize));
    return true;
}

int32_t ISAPIApplication::Run() {
    // Seeded with the time in seconds, once a second: the generator is the
    // process's, so no request ever had a sequence of its own, and seeding
    // again within the same second would only start the same one over.
    int64_t now = platform::NowSeconds();
    if (gSeededSecond.exchange(now, std::memory_order_relaxed) != now) std::srand(static_cast<unsigned>(now));
    // The registry, the roots and the script are looked at as of this moment:
    // every change made before the request began is seen.
    platform::BeginSharedStatBatch();
    config.LoadForRequest();

    String scriptName;
    bool checked = CheckScriptPath(&scriptName) && LoadScript(scriptName) && CheckDataDirectory();
    platform::EndSharedStatBatch();
    if (!checked) return 1;

    std::unique_ptr<VornVM> machine(new VornVM(
        scriptName.Text(), scriptName.Length(), this, &program.pool, &program.system, &program.globals,
        &program.segments, &program.functions, &program.externalCalls, commerceLibraries, &databaseManager,
        &program.languages, &program.texts, TickCounterPlace(), TimedOutPlace(), ExitRequestedPlace(), nullptr,
        config.TagErrors()));
    vm = machine.get();
    program.reader.ReleaseFile();

    bool ready = AddServerVariables() && AddSystemVariables() && AddArguments() && AddQueryVariables() &&
                 AddDocumentURL();
    if (ready) {
        AddDefaultHeaders();
        ready = ReadPostData();
    }
    if (ready) {
        ResetTimeLimit();
        vm->Execute();
    }
    // The machine goes first: features it still holds give the output back.
    machine.reset();
    vm = nullptr;
    if (!ready) return 1;
    response.Commit(1);
    return 0;
}

// --- The request body -----------------------------------------------------------------------

bool ISAPIApplication::RunParser(HTTPContentParser& parser, int64_t length) {
    ResetPostTimeLimit();
    int64_t remaining = length;
    // Bytes the server read with the request come first; never more than
    // announced reaches the parser.
    if (controlBlock->availableBytes > 0 && controlBlock->data) {
        int64_t n = static_cast<int64_t>(controlBlock->availableBytes) < remaining
                        ? static_cast<int64_t>(controlBlock->availableBytes)
                        : remaining;
        if (!parser.Parse(reinterpret_cast<const char*>(controlBlock->data), static_cast<int32_t>(n)))
            return Fail(Encoded(parser.ErrorText().Text(), parser.ErrorText().Length()));
        remaining -= n;
    }
    const String timedOut("Timeout processing POST data");
    if (PostTimedOut()) return Fail(timedOut);
    char piece[kReadPiece];
    while (remaining > 0 && controlBlock->readClient) {
        size_t wanted = remaining < kReadPiece ? static_cast<size_t>(remaining) : kReadPiece;
        size_t n = wanted;
        if (!controlBlock->readClient(controlBlock->connection, piece, &n) || n == 0) break;
        if (n > wanted) n = wanted;
        if (PostTimedOut()) return Fail(timedOut);
        if (!parser.Parse(piece, static_cast<int32_t>(n)))
            return Fail(Encoded(parser.ErrorText().Text(), parser.ErrorText().Length()));
        remaining -= static_cast<int64_t>(n);
    }
    if (remaining > 0) return Fail(String("Incomplete POST data"));
    if (!parser.Finish()) return Fail(Encoded(parser.ErrorText().Text(), parser.ErrorText().Length()));
    ClearPostTimeLimit();
    return true;
}

bool ISAPIApplication::ReadPostData() {
    // The server read CONTENT_LENGTH, refusing a request whose length is no
    // number; a length past what the parsers count is none either.
    const char* contentType = controlBlock->contentType;
    if (!contentType || controlBlock->totalBytes == 0) return true;
    if (controlBlock->totalBytes > INT32_MAX) return Fail(String("Invalid CONTENT_LENGTH"));
    auto length = static_cast<int64_t>(controlBlock->totalBytes);

    int32_t maxVariables = config.GetInteger(kConfigMaxPostVars);
    if (TypeIs(contentType, "application/x-www-form-urlencoded")) {
        URLEncodedParser parser(&program.globals, maxVariables);
        return RunParser(parser, length);
    }
    if (TypeIs(contentType, "multipart/form-data")) {
        MultipartFormParser parser(vm, files, &program.globals, contentType, maxVariables);
        return RunParser(parser, length);
    }
    int32_t maximum = config.GetInteger(kConfigMaxUnknownContentLength);
    if (maximum < 0) return Fail(String("Unknown POST content type"));
    if (maximum > 0 && length > maximum)
        return Fail(String("POST content length exceeds configured maximum for unknown content types"));
    UnknownContentHandler parser(&program.system, static_cast<int32_t>(length));
    return RunParser(parser, length);
}

} // namespace vorn
