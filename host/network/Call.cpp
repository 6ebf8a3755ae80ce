#include "host/network/Call.h"

#include <sys/random.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/Messages.h"
#include "engine/values/Aggregate.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"
#include "engine/vm/NetworkSource.h"
#include "engine/vm/VornVM.h"
#include "host/network/HTTPResponseStream.h"
#include "host/network/NetworkManager.h"
#include "host/network/NetworkMessages.h"

namespace vorn {

namespace {

constexpr uint32_t kDefaultBufferSize = 8192;
constexpr uint32_t kMaxBufferSize = 16 << 20;

// Kinds of '!' items.
constexpr int kComment = 0;
constexpr int kCData = 1;
constexpr int kDeclaration = 2;

constexpr char kUnexpectedEof[] = "Unexpected EOF in tag";
constexpr char kItemTooLarge[] = "Response item too large";

uint32_t BufferSizeSetting(VornApplication* application, uint32_t id) {
    Config* config = application ? application->GetConfig() : nullptr;
    int32_t value = config ? config->GetInteger(id) : static_cast<int32_t>(kDefaultBufferSize);
    if (value <= 0) return kDefaultBufferSize;
    return static_cast<uint32_t>(value) > kMaxBufferSize ? kMaxBufferSize : static_cast<uint32_t>(value);
}

String* OptionalCopy(const char* text, int32_t length) {
    return text ? new String(text, length) : nullptr;
}

const char* TextOrNull(const String* text) {
    return text ? text->Text() : nullptr;
}

// A form name in a multipart head: the quote and line breaks would end the
// name or the line, so they go as browsers send them.
void AppendPartName(ByteBuffer& out, const String& name) {
    for (int32_t i = 0; i < name.Length(); ++i) {
        char c = name.Text()[i];
        if (c == '"')
            out.Append("%22", 3);
        else if (c == '\r')
            out.Append("%0D", 3);
        else if (c == '\n')
            out.Append("%0A", 3);
        else
            out.AppendByte(c);
    }
}

// The last component of a path, either separator.
String FileNameOf(const String& path) {
    const char* text = path.Text();
    const char* name = text;
    for (const char* p = text; *p; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return String(name, static_cast<int32_t>(path.Length() - (name - text)));
}

void AppendEncoded(ByteBuffer& out, const char* text, int32_t length) {
    int32_t n = 0;
    char* encoded = AttributeEncode(text, length, &n, nullptr);
    if (encoded) {
        out.Append(encoded, n);
        std::free(encoded);
    }
}

} // namespace

// --- CallFile ------------------------------------------------------------------------------

CallFile::CallFile(const String& filePath, File* opened, const String& field)
    : path(filePath), file(opened), contentType("unknown"), fieldName(field) {}

CallFile::~CallFile() {
    delete file;
}

// --- CallBuffer ----------------------------------------------------------------------------

CallBuffer::CallBuffer(HTTPResponseStream* source, uint32_t bytes, VornApplication* app)
    : stream(source), application(app), data(static_cast<char*>(std::malloc(bytes ? bytes : 1))),
      size(data ? bytes : 0) {
    errorText.Assign("");
}

CallBuffer::~CallBuffer() {
    std::free(data);
}

void CallBuffer::SetError(const String& message) {
    if (!message.IsNull()) errorText.Assign(message);
}

String& CallBuffer::ErrorText() {
    return errorText;
}

int CallBuffer::Fill() {
    consumed += filled;
    position = filled = 0;
    if (!data || size == 0) {
        SetError(String(kOutOfMemory));
        return 0;
    }
    // A peer that never stops sending never makes a read wait, where the
    // network layer would notice the stop itself.
    if (application && application->StopRequested()) {
        SetError(String(kReadTimeout));
        return 0;
    }
    int32_t n = stream->Read(data, static_cast<int32_t>(size));
    if (n < 0) {
        SetError(stream->ErrorText());
        return 0;
    }
    filled = n;
    return 1;
}

int CallBuffer::NextChar(int* byte) {
    *byte = -1;
    if (pushBackCount > 0) {
        *byte = static_cast<unsigned char>(pushBack[--pushBackCount]);
        lastChar = *byte;
        return 1;
    }
    if (position >= filled) {
        if (!Fill()) return 0;
        if (filled == 0) {
            lastChar = -1;
            return 1;
        }
    }
    *byte = static_cast<unsigned char>(data[position++]);
    lastChar = *byte;
    return 1;
}

void CallBuffer::PushBack() {
    if (lastChar >= 0 && pushBackCount < static_cast<int32_t>(sizeof pushBack))
        pushBack[pushBackCount++] = static_cast<char>(lastChar);
}

int CallBuffer::ReadRun(ByteBuffer& out) {
    for (;;) {
        // Given-back bytes first, one at a time.
        while (pushBackCount > 0) {
            char c = pushBack[pushBackCount - 1];
            if (c == '<') return 1;
            --pushBackCount;
            lastChar = static_cast<unsigned char>(c);
            if (!out.AppendByte(c)) return 3;
        }
        if (position >= filled) {
            if (!Fill()) return 0;
            if (filled == 0) {
                lastChar = -1;
                return 2;
            }
        }
        const char* start = data + position;
        auto* open = static_cast<const char*>(std::memchr(start, '<', static_cast<size_t>(filled - position)));
        int32_t n = open ? static_cast<int32_t>(open - start) : filled - position;
        if (n > 0) {
            if (!out.Append(start, n)) return 3;
            position += n;
            lastChar = static_cast<unsigned char>(start[n - 1]);
        }
        if (open) return 1;
    }
}

// --- Call ----------------------------------------------------------------------------------

Call::Call(VornApplication* app, VornVM* program, VariableHash* scope, const CallOperands& operands,
           NetworkManager* networkManager)
    : HttpCall(app, program), systemScope(scope), manager(networkManager),
      url(operands.url, operands.urlLength), method(operands.method, operands.methodLength),
      files(operands.files, operands.filesLength), contentType(operands.contentType, operands.contentTypeLength),
      certificateFile(OptionalCopy(operands.certificateFile, operands.certificateFileLength)),
      certificateType(OptionalCopy(operands.certificateType, operands.certificateTypeLength)),
      passPhrase(OptionalCopy(operands.passPhrase, operands.passPhraseLength)),
      bufferSize(BufferSizeSetting(app, kConfigCallBufferSize)), fieldList(new VariableList()),
      logTraffic(operands.logTraffic ? 1 : 0), contentBufferSize(BufferSizeSetting(app, kConfigContentBufferSize)) {
    Config* config = app ? app->GetConfig() : nullptr;
    int32_t configured = config ? config->GetInteger(kConfigCallTimeout) : 30;
    if (configured < 0) configured = 0;
    // As an unsigned number a negative time-out would be nearly endless.
    int32_t tag = operands.timeout < 0 ? 0 : operands.timeout;
    timeout = (configured == 0 || (tag != 0 && tag < configured)) ? tag : configured;
}

Call::~Call() {
    delete buffer;
    delete response;
    delete connection;
    delete certificateFile;
    delete certificateType;
    delete passPhrase;
    delete fieldList;
}

void Call::SetError(const String& text) {
    if (!text.IsEmpty()) error.Assign(text);
}

int32_t Call::Fail(const char* message) {
    error.Assign(message);
    return kCallFailed;
}

bool Call::Start(const char* headers, int32_t headersLength) {
    method.ToUpper();
    if (!files.IsEmpty() && OpenFiles() != 0) return false;
    if (uploadFiles.Count() == 0) {
        if (method.Equals("HEAD")) {
            mode = ModeHead;
            requestMethod.Assign("HEAD");
        } else if (method.Equals("POST")) {
            mode = ModePostForm;
            requestMethod.Assign("POST");
        } else if (method.Equals("XML") || method.Equals("RAW")) {
            mode = ModeRaw;
            requestMethod.Assign("POST");
            if (contentType.IsEmpty()) contentType.Assign(method.Equals("XML") ? "text/xml" : "text/plain");
        } else if (method.Equals("OPTIONS") || method.Equals("PUT") || method.Equals("DELETE") ||
                   method.Equals("TRACE") || method.Equals("CONNECT")) {
            mode = ModeRaw;
            requestMethod.Assign(method);
            if (contentType.IsEmpty()) contentType.Assign("text/plain");
        } else {
            mode = ModeGet;
            requestMethod.Assign("GET");
        }
        if (SendForm(headers, headersLength) != 0) return false;
    } else {
        requestMethod.Assign("POST");
        if (SendMultipart(headers, headersLength) != 0) return false;
    }
    response = new HTTPResponseStream(connection, static_cast<uint32_t>(timeout), requestMethod.Text());
    if (ReadHeaders() != 0) return false;
    buffer = new CallBuffer(response, bufferSize, application);
    return true;
}

int32_t Call::OpenFiles() {
    uploadFiles.Clear();
    int32_t count = files.CountOccurrences(",") + 1;
    auto* parts = new String[count];
    int32_t n = files.Split(parts, count, ",");
    FileManager* fileManager = application ? application->GetFileManager() : nullptr;
    int32_t result = 0;
    for (int32_t i = 0; i < n && result == 0; ++i) {
        String name(parts[i]);
        name.Trim();
        Variable* variable = vm ? vm->LookupVariableOrFail(name.Text(), name.Length()) : nullptr;
        if (!variable || variable->Value().IsEmpty()) {
            error.Assign("Empty filename");
            result = kCallFailed;
            break;
        }
        String path(variable->Value());
        File* file = fileManager ? fileManager->Open(LocationData, path.Text(), OpenRead) : nullptr;
        if (!file) {
            error = String(kUnableToOpen) + path + "': " + (fileManager ? fileManager->ErrorText() : String(""));
            result = kCallFailed;
            break;
        }
        auto* upload = new CallFile(path, file, name);
        upload->length = file->Length();
        uploadFiles.Insert(upload, kListTail);
        if (upload->length < 0) {
            error = String("Unable to read '") + path + "': " + file->ErrorText();
            result = kCallFailed;
        }
    }
    delete[] parts;
    return result;
}

NetworkConnection* Call::Open(const char* body, int64_t bodyLength, const char* headers, int32_t headersLength) {
    // The request's texts go on as C strings: a NUL would cut them short.
    const char* refusal = nullptr;
    if (std::memchr(url.Text(), 0, static_cast<size_t>(url.Length())))
        refusal = kMalformedUrl;
    else if (std::memchr(contentType.Text(), 0, static_cast<size_t>(contentType.Length())))
        refusal = "Invalid character in content type";
    else if (!manager)
        refusal = kNoNetwork;
    NetworkConnection* opened = nullptr;
    if (!refusal) {
        if (logTraffic) {
            auto* context = new VornVMLogContext{vm, LogCall};
            opened = manager->OpenLoggedURL(requestMethod.Text(), url.Text(), body, contentType.Text(), bodyLength,
                                            TextOrNull(certificateFile), TextOrNull(certificateType),
                                            TextOrNull(passPhrase), headers, headersLength, 1.1,
                                            static_cast<uint32_t>(timeout), context);
        } else {
            opened = manager->OpenURL(requestMethod.Text(), url.Text(), body, contentType.Text(), bodyLength,
                                      TextOrNull(certificateFile), TextOrNull(certificateType),
                                      TextOrNull(passPhrase), headers, headersLength, 1.1,
                                      static_cast<uint32_t>(timeout));
        }
    }
    if (!opened)
        error = String("Unable to open URL '") + url + "': " + (refusal ? String(refusal) : manager->ErrorText());
    return opened;
}

int32_t Call::SendForm(const char* headers, int32_t headersLength) {
    ByteBuffer body;
    bool pairs = mode == ModeGet || mode == ModePostForm;
    bool first = true;
    for (Variable* field = fieldList->First(); field; field = fieldList->Next()) {
        const String& value = field->Value();
        if (pairs) {
            if (!first) body.AppendByte('&');
            AppendEncoded(body, field->Name().Text(), field->Name().Length());
            body.AppendByte('=');
            AppendEncoded(body, value.Text(), value.Length());
        } else if (mode == ModeRaw) {
            body.Append(value.Text(), value.Length());
        }
        first = false;
    }
    if (mode == ModeGet && fieldList->Count() > 0) {
        // A second '?' would end up in the last field's value.
        if (url.Find("?") < 0)
            url.Append("?");
        else if (!url.IsEmpty() && url.Text()[url.Length() - 1] != '?' && url.Text()[url.Length() - 1] != '&')
            url.Append("&");
        url.Append(body.Data(), static_cast<int32_t>(body.Length()));
        body.Clear();
    }
    if (mode == ModePostForm) contentType.Assign("application/x-www-form-urlencoded");
    if (mode == ModeHead) body.Clear();
    connection = Open(body.IsEmpty() ? nullptr : body.Data(), body.Length(), headers, headersLength);
    return connection ? 0 : kCallFailed;
}

void Call::WriteBody(ByteBuffer& pending, bool force, bool* writeFailed) {
    if (*writeFailed) {
        pending.Clear();
        return;
    }
    if (pending.IsEmpty() || (!force && pending.Length() < contentBufferSize)) return;
    int32_t n = static_cast<int32_t>(pending.Length());
    // Writing stops at the first failure; the response (often the reason)
    // is still read.
    if (connection->Write(pending.Data(), n, static_cast<uint32_t>(timeout)) != n) *writeFailed = true;
    pending.Clear();
}

int32_t Call::SendMultipart(const char* headers, int32_t headersLength) {
    uint32_t random[3] = {0, 0, 0};
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        for (uint32_t& word : random)
            word = static_cast<uint32_t>(std::rand());
    }
    char boundaryText[96];
    std::snprintf(boundaryText, sizeof boundaryText, "--------------------%u%u%u", random[0] & 0x7FFFFFFF,
                  random[1] & 0x7FFFFFFF, random[2] & 0x7FFFFFFF);
    String boundary(boundaryText);

    formParts.Clear();
    int64_t total = 0;
    for (Variable* field = fieldList->First(); field; field = fieldList->Next()) {
        ByteBuffer part;
        part.Append("--", 2);
        part.Append(boundary);
        part.Append("\r\nContent-Disposition: form-data; name=\"");
        AppendPartName(part, field->Name());
        part.Append("\"\r\n\r\n", 5);
        const String& value = field->Value();
        part.Append(value.Text(), static_cast<int64_t>(std::strlen(value.Text())));
        part.Append("\r\n", 2);
        total += part.Length();
        auto* text = new String;
        part.MoveTo(*text);
        formParts.Insert(text, kListTail);
    }
    // Each file's head, kept to be written as counted.
    List<String> fileHeads(true);
    for (CallFile* upload = uploadFiles.First(); upload; upload = uploadFiles.Next()) {
        ByteBuffer head;
        head.Append("--", 2);
        head.Append(boundary);
        head.Append("\r\nContent-Disposition: form-data; name=\"");
        AppendPartName(head, upload->fieldName);
        head.Append("\"; filename=\"");
        AppendPartName(head, FileNameOf(upload->path));
        head.Append("\"\r\nContent-Type: ");
        head.Append(upload->contentType);
        head.Append("\r\n\r\n", 4);
        total += head.Length() + upload->length + 2;
        auto* text = new String;
        head.MoveTo(*text);
        fileHeads.Insert(text, kListTail);
    }
    total += boundary.Length() + 6;
    contentType = String("multipart/form-data; boundary=") + boundary;

    connection = Open(nullptr, total, headers, headersLength);
    if (!connection) return kCallFailed;

    ByteBuffer pending;
    bool writeFailed = false;
    for (String* part = formParts.First(); part; part = formParts.Next()) {
        pending.Append(*part);
        WriteBody(pending, false, &writeFailed);
    }
    char* block = static_cast<char*>(std::malloc(contentBufferSize));
    if (!block) {
        error.Assign(kOutOfMemory);
        delete connection;
        connection = nullptr;
        return kCallFailed;
    }
    String* head = fileHeads.First();
    for (CallFile* upload = uploadFiles.First(); upload && head; upload = uploadFiles.Next(), head = fileHeads.Next()) {
        pending.Append(*head);
        WriteBody(pending, true, &writeFailed);
        // Exactly the announced bytes: a file that fails or changed its
        // length would leave the body at odds with its Content-Length.
        int64_t left = upload->length;
        while (left > 0) {
            int32_t want = left < contentBufferSize ? static_cast<int32_t>(left) : static_cast<int32_t>(contentBufferSize);
            int32_t n = upload->file->Read(block, want);
            if (n <= 0) {
                error = String("Unable to read '") + upload->path + "'" +
                        (n < 0 ? String(": ") + upload->file->ErrorText() : String(": The file ended early"));
                std::free(block);
                delete connection;
                connection = nullptr;
                return kCallFailed;
            }
            left -= n;
            if (!writeFailed && connection->Write(block, n, static_cast<uint32_t>(timeout)) != n) writeFailed = true;
        }
        pending.Append("\r\n", 2);
    }
    std::free(block);
    pending.Append("--", 2);
    pending.Append(boundary);
    pending.Append("--\r\n", 4);
    WriteBody(pending, true, &writeFailed);
    return 0;
}

// --- The reply's head ------------------------------------------------------------------------

Variable* Call::SystemVariable(const char* name) {
    int32_t n = static_cast<int32_t>(std::strlen(name));
    Variable* variable = nullptr;
    if (!systemScope->Find(&variable, name, n, true)) {
        variable = new Variable(name, n);
        if (systemScope->Insert(variable) < 0) return nullptr;
    }
    return variable;
}

void Call::SetText(const char* name, const char* text, int32_t length) {
    systemScope->SetVariable(name, -1, text, length);
}

void Call::SetIndexedVariable(const char* name, int32_t index, const char* text, int32_t length) {
    char plain[64];
    std::snprintf(plain, sizeof plain, "%s%d", name, index);
    SetText(plain, text, length);
    if (Variable* base = SystemVariable(name)) {
        if (Variable* element = base->Element(AggregateIndex::FromIndex(index), true))
            element->SetValue(text, length);
    }
}

int32_t Call::ReadHeaders() {
    if (!response->ReadHeaders()) {
        error.Assign(response->ErrorText());
        return kCallFailed;
    }
    int32_t index = 0;
    List<HTTPResponseStream_Header>& list = response->Headers();
    for (HTTPResponseStream_Header* header = list.First(); header; header = list.Next()) {
        ++index;
        SetIndexedVariable("callreturnheader", index, header->line.Text(), header->line.Length());
    }
    char count[16];
    int n = std::snprintf(count, sizeof count, "%d", index);
    SetText("callnumberofheaders", count, n);
    return 0;
}

// --- The walk ------------------------------------------------------------------------------

int32_t Call::ReadFailed() {
    error.Assign(buffer->ErrorText());
    return kCallFailed;
}

bool Call::TakeByte(char c) {
    return itemText.AppendByte(c);
}

int32_t Call::ReadText() {
    switch (buffer->ReadRun(itemText)) {
    case 1:
        return kCallItem;
    case 2:
        return itemText.IsEmpty() ? kCallEnd : kCallItem;
    case 3:
        return Fail(kItemTooLarge);
    default:
        return ReadFailed();
    }
}

int Call::SkipSpace() {
    for (;;) {
        int c;
        if (!buffer->NextChar(&c)) return 0;
        if (c < 0) return 2;
        if (!IsSpace(c)) {
            buffer->PushBack();
            return 1;
        }
        if (!TakeByte(static_cast<char>(c))) return 3;
    }
}

void Call::ClearAttributes() {
    for (int32_t i = 1; i <= attributeCount; ++i) {
        SetIndexedVariable("callobjectattribute", i, "", 0);
        SetIndexedVariable("callobjectvalue", i, "", 0);
    }
    SetText("callobjectattribute", "", 0);
    SetText("callobjectvalue", "", 0);
    attributeCount = 0;
}

void Call::Publish(const char* type) {
    SetText("callobjecttype", type, -1);
    if (Variable* value = SystemVariable("callvalue")) {
        int32_t length = 0, capacity = 0;
        if (char* text = itemText.Detach(&length, &capacity)) value->SetValueNocopy(text, length, capacity);
    }
    SetText("callobjectelement", element.Data(), static_cast<int32_t>(element.Length()));
}

int32_t Call::Next() {
    if (!buffer) return kCallEnd;
    itemText.Clear();
    element.Clear();
    int32_t result = ReadText();
    if (firstRound) {
        firstRound = 0;
        // An empty body still gives the loop one pass.
        if (result == kCallEnd) return kCallItem;
    }
    if (result != kCallItem) return result;
    if (!itemText.IsEmpty()) {
        ClearAttributes();
        Publish("text");
        SetText("callobjectnumattributes", "0", 1);
        return kCallItem;
    }

    int c;
    if (!buffer->NextChar(&c)) return ReadFailed();
    itemText.AppendByte('<');
    int skipped = SkipSpace();
    if (skipped == 3) return Fail(kItemTooLarge);
    if (skipped != 1) {
        // "<" and white space at the end: the item is what there is.
        Publish("tag");
        return kCallItem;
    }
    // The element word runs to white space or '>'.
    for (;;) {
        if (!buffer->NextChar(&c)) return ReadFailed();
        if (c < 0) return Fail(kUnexpectedEof);
        if (IsSpace(c) || c == '>') break;
        if (!TakeByte(static_cast<char>(c)) || !element.AppendByte(static_cast<char>(c))) return Fail(kItemTooLarge);
    }
    const char* word = element.Data();
    int64_t wordLength = element.Length();
    if (wordLength > 0 && word[0] == '!') {
        SetText("callobjectnumattributes", "0", 1);
        if (c == '>') {
            if (!TakeByte('>')) return Fail(kItemTooLarge);
        } else {
            int kind = kDeclaration;
            if (wordLength >= 3 && word[1] == '-' && word[2] == '-')
                kind = kComment;
            else if (wordLength >= 8 && std::memcmp(word + 1, "[CDATA[", 7) == 0)
                kind = kCData;
            buffer->PushBack();
            int32_t read = ReadDeclaration(kind);
            if (read != kCallItem) return read;
        }
    } else {
        buffer->PushBack();
        int32_t parsed = ParseAttributes();
        if (parsed != kCallItem) return parsed;
    }
    Publish("tag");
    return kCallItem;
}

int32_t Call::ReadDeclaration(int kind) {
    int dashes = 0;
    int brackets = 0;
    int depth = 1;
    for (;;) {
        int c;
        if (!buffer->NextChar(&c)) return ReadFailed();
        if (c < 0)
            return Fail(kind == kDeclaration ? "Unexpected EOF in DOCTYPE or other XML tag"
                                             : "Unexpected EOF in HTML comment or CDATA section");
        if (!TakeByte(static_cast<char>(c))) return Fail(kItemTooLarge);
        if (kind == kDeclaration) {
            if (c == '<') ++depth;
            if (c == '>' && --depth == 0) return kCallItem;
            continue;
        }
        if (c == '-') {
            ++dashes;
        } else if (c == ']') {
            ++brackets;
        } else if (c == '>') {
            if ((kind == kComment ? dashes : brackets) >= 2) return kCallItem;
        } else {
            dashes = brackets = 0;
        }
    }
}

int32_t Call::ParseAttributes() {
    ClearAttributes();
    int32_t result;
    while ((result = ParseAttribute()) == 1) {
        if (attributeCount == kMaxCallAttributes) {
            result = Fail("Too many attributes in tag");
            break;
        }
        ++attributeCount;
        SetIndexedVariable("callobjectattribute", attributeCount, attributeName.Data(),
                           static_cast<int32_t>(attributeName.Length()));
        SetIndexedVariable("callobjectvalue", attributeCount, attributeValue.Data(),
                           static_cast<int32_t>(attributeValue.Length()));
    }
    if (Variable* count = SystemVariable("callobjectnumattributes")) count->SetValueInteger(attributeCount);
    return result;
}

int32_t Call::ParseAttribute() {
    attributeName.Clear();
    attributeValue.Clear();
    int c;
    int skipped = SkipSpace();
    if (skipped == 0) return ReadFailed();
    if (skipped == 2) return Fail(kUnexpectedEof);
    if (skipped == 3) return Fail(kItemTooLarge);
    if (!buffer->NextChar(&c)) return ReadFailed();
    if (c < 0) return Fail(kUnexpectedEof);
    auto slashNotClosing = [this](int next) {
        // Quoted with the plain character: the tag error's encoding makes it &quot;.
        String text("Found \"");
        text.AppendChar(static_cast<char>(next));
        text.Append("\" in tag following /");
        error.Assign(text);
        return kCallFailed;
    };
    if (c == '/') {
        if (!buffer->NextChar(&c)) return ReadFailed();
        if (c < 0) return Fail(kUnexpectedEof);
        if (c != '>') return slashNotClosing(c);
        if (!TakeByte('/') || !TakeByte('>')) return Fail(kItemTooLarge);
        return kCallItem;
    }
    if (c == '>') return TakeByte('>') ? kCallItem : Fail(kItemTooLarge);

    // The name, to the end, '>', '=' or white space.
    for (;;) {
        if (!TakeByte(static_cast<char>(c)) || !attributeName.AppendByte(static_cast<char>(c)))
            return Fail(kItemTooLarge);
        if (!buffer->NextChar(&c)) return ReadFailed();
        if (c < 0 || c == '>' || c == '=' || IsSpace(c)) break;
    }
    if (c >= 0) buffer->PushBack();
    skipped = SkipSpace();
    if (skipped == 0) return ReadFailed();
    if (skipped == 2) return Fail(kUnexpectedEof);
    if (skipped == 3) return Fail(kItemTooLarge);
    if (!buffer->NextChar(&c)) return ReadFailed();
    if (c < 0) return Fail(kUnexpectedEof);
    if (c != '=') {
        if (c == '/') {
            if (!buffer->NextChar(&c)) return ReadFailed();
            if (c < 0) return Fail(kUnexpectedEof);
            if (c != '>') return slashNotClosing(c);
        }
        buffer->PushBack();
        if (!attributeValue.Append(attributeName.Data(), attributeName.Length())) return Fail(kItemTooLarge);
        return 1;
    }
    if (!TakeByte('=')) return Fail(kItemTooLarge);
    skipped = SkipSpace();
    if (skipped == 0) return ReadFailed();
    if (skipped == 2) return Fail(kUnexpectedEof);
    if (skipped == 3) return Fail(kItemTooLarge);

    // The value: its first byte is always taken; a quote there makes the
    // value end at the matching quote, a quote later opens a section in
    // which white space and '>' belong to the value.
    if (!buffer->NextChar(&c)) return ReadFailed();
    if (c < 0) return Fail(kUnexpectedEof);
    int quoted = (c == '"' || c == '\'') ? c : 0;
    int section = 0;
    if (!TakeByte(static_cast<char>(c)) || !attributeValue.AppendByte(static_cast<char>(c))) return Fail(kItemTooLarge);
    for (;;) {
        if (!buffer->NextChar(&c)) return ReadFailed();
        if (c < 0) return Fail(kUnexpectedEof);
        if (quoted) {
            if (!TakeByte(static_cast<char>(c)) || !attributeValue.AppendByte(static_cast<char>(c)))
                return Fail(kItemTooLarge);
            if (c == quoted) break;
            continue;
        }
        if (section) {
            if (c == section) section = 0;
        } else if (IsSpace(c) || c == '>') {
            if (c == '>')
                buffer->PushBack();
            else if (!TakeByte(static_cast<char>(c)))
                return Fail(kItemTooLarge);
            break;
        } else if (c == '"' || c == '\'') {
            section = c;
        }
        if (!TakeByte(static_cast<char>(c)) || !attributeValue.AppendByte(static_cast<char>(c)))
            return Fail(kItemTooLarge);
    }
    if (quoted && attributeValue.Length() >= 2) {
        String inner(attributeValue.Data() + 1, static_cast<int32_t>(attributeValue.Length() - 2));
        attributeValue.Clear();
        attributeValue.Append(inner);
    }
    return 1;
}

} // namespace vorn
