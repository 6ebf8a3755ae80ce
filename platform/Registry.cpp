#include "platform/Registry.h"
#include "platform/Files.h"

#include "platform/Errors.h"
#include "platform/Time.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn::platform {

namespace {

struct Value {
    std::string name;
    uint32_t type = kRegistryString;
    std::string text;                 // kRegistryString
    uint32_t number = 0;              // kRegistryNumber
    std::vector<std::string> entries; // kRegistryMultiString
};

struct Key {
    std::string name; // as first spelled
    std::vector<Value> values;
    std::vector<Key*> children; // in file order
};

struct Identity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = -1;
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    // The change time: a rewrite that sets the modification time back
    // still moves it.
    int64_t changedSeconds = 0;
    int64_t changedNanoseconds = 0;
    bool operator==(const Identity&) const = default;
};

static uint64_t NextSnapshotVersion() {
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

// One parse of the file. Immutable once shared.
struct Snapshot {
    std::deque<Key> keys; // stable addresses; keys[0] is the root
    std::unordered_map<std::string, Key*> byPath; // lower-case path, components joined with '\'
    std::vector<RegistryProblem> problems;
    Identity identity;
    // Every snapshot made gets a number of its own.
    uint64_t version = NextSnapshotVersion();

    Snapshot() { keys.emplace_back(); byPath.emplace("", &keys.front()); }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    Key* Root() { return &keys.front(); }

    static std::string Join(const std::string& path, const std::string& component) {
        std::string lower = path.empty() ? std::string() : path + '\\';
        for (char c : component) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        return lower;
    }
};

using SnapshotPtr = std::shared_ptr<const Snapshot>;

} // namespace

struct RegistryKeyObject {
    SnapshotPtr snapshot;
    const Key* node = nullptr;
    std::vector<std::string> path; // components as spelled by the caller
};

namespace {

RegistryKeyObject gRoot;

bool Fail(int error) {
    SetLastError(error);
    return false;
}

// The system's reason for the call that just failed (EIO if it gave none);
// read before anything else can change errno.
int Reason() { return errno != 0 ? errno : EIO; }

bool EqualNoCase(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// Splits a key path at '\', skipping empty components.
std::vector<std::string> SplitPath(const char* path) {
    std::vector<std::string> parts;
    std::string current;
    for (const char* p = path ? path : ""; *p; ++p) {
        if (*p == '\\') {
            if (!current.empty()) parts.push_back(current);
            current.clear();
        } else {
            current += *p;
        }
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

bool ValidComponent(const std::string& part) {
    if (part.empty() || IsBlank(part.front()) || IsBlank(part.back())) return false;
    for (char c : part)
        if (IsControl(static_cast<unsigned char>(c)) || c == '[' || c == ']') return false;
    return true;
}

bool ValidValueName(const char* name) {
    if (!name || !name[0] || IsBlank(name[0]) || name[0] == '#' || name[0] == ';') return false;
    size_t n = std::strlen(name);
    if (IsBlank(name[n - 1])) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = name[i];
        if (IsControl(static_cast<unsigned char>(c)) || c == '\\' || c == '[' || c == ']' || c == '=') return false;
    }
    return true;
}

// --- Parsing -------------------------------------------------------------------------

Key* EnsureKey(Snapshot& snapshot, const std::vector<std::string>& parts) {
    Key* key = snapshot.Root();
    std::string path;
    for (const std::string& part : parts) {
        path = Snapshot::Join(path, part);
        auto found = snapshot.byPath.find(path);
        if (found != snapshot.byPath.end()) {
            key = found->second;
            continue;
        }
        snapshot.keys.emplace_back();
        Key* child = &snapshot.keys.back();
        child->name = part;
        key->children.push_back(child);
        snapshot.byPath.emplace(path, child);
        key = child;
    }
    return key;
}

Value* FindValue(Key* key, const char* name) {
    for (Value& value : key->values)
        if (EqualNoCase(value.name, name)) return &value;
    return nullptr;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A quoted text, the whole of text; null reason on success.
const char* Unquote(const std::string& text, std::string& out) {
    if (text.size() < 2 || text.back() != '"') return "unterminated quoted text";
    out.clear();
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        char c = text[i];
        if (c == '"') return "text after a closing quote";
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i + 2 >= text.size()) return "unterminated quoted text";
        char e = text[++i];
        switch (e) {
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'x': {
            int high = i + 1 < text.size() - 1 ? HexDigit(text[i + 1]) : -1;
            int low = i + 2 < text.size() - 1 ? HexDigit(text[i + 2]) : -1;
            if (high < 0 || low < 0) return "bad \\x escape";
            if (high == 0 && low == 0) return "NUL in a text";
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default: return "unknown escape";
        }
    }
    return nullptr;
}

const char* ParseText(const std::string& raw, std::string& out) {
    if (!raw.empty() && raw.front() == '"') return Unquote(raw, out);
    out = raw;
    return nullptr;
}

const char* ParseNumber(const std::string& raw, uint32_t& out) {
    std::string text = Trim(raw);
    bool negative = !text.empty() && text[0] == '-';
    size_t i = negative ? 1 : 0;
    uint64_t value = 0;
    if (!negative && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 10) return "number out of range";
        for (i = 2; i < text.size(); ++i) {
            int d = HexDigit(text[i]);
            if (d < 0) return "bad number";
            value = value * 16 + static_cast<uint64_t>(d);
        }
        out = static_cast<uint32_t>(value);
        return nullptr;
    }
    if (i >= text.size()) return "bad number";
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return "bad number";
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > (negative ? 0x80000000ull : 0xffffffffull)) return "number out of range";
    }
    out = negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(value)) : static_cast<uint32_t>(value);
    return nullptr;
}

// One value line into the current key; null reason on success.
const char* ParseValueLine(const std::string& line, Key* key) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) return "no '=' in a value line";
    if (!key) return "value outside a key";
    std::string name = Trim(line.substr(0, equals));
    std::string raw = Trim(line.substr(equals + 1));
    bool append = name.size() >= 2 && name.compare(name.size() - 2, 2, "[]") == 0;
    if (append) name = Trim(name.substr(0, name.size() - 2));
    if (!ValidValueName(name.c_str())) return "bad value name";
    for (char c : raw)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return "control byte in a value";

    Value parsed;
    parsed.name = name;
    if (append) {
        std::string entry;
        if (const char* reason = ParseText(raw, entry)) return reason;
        if (entry.empty()) return "empty list entry";
        Value* existing = FindValue(key, name.c_str());
        if (existing && existing->type == kRegistryMultiString) {
            existing->entries.push_back(entry);
            return nullptr;
        }
        parsed.type = kRegistryMultiString;
        parsed.entries.push_back(entry);
    } else if (raw == "[]") {
        parsed.type = kRegistryMultiString;
    } else if (raw.size() >= 6 && EqualNoCase(raw.substr(0, 6), "dword:")) {
        parsed.type = kRegistryNumber;
        if (const char* reason = ParseNumber(raw.substr(6), parsed.number)) return reason;
    } else {
        parsed.type = kRegistryString;
        if (const char* reason = ParseText(raw, parsed.text)) return reason;
    }
    if (Value* existing = FindValue(key, name.c_str())) {
        *existing = std::move(parsed);
    } else {
        key->values.push_back(std::move(parsed));
    }
    return nullptr;
}

std::unique_ptr<Snapshot> Parse(const std::string& text) {
    auto snapshot = std::make_unique<Snapshot>();
    Key* current = nullptr;
    int64_t number = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = Trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        const char* reason = nullptr;
        if (line[0] == '[') {
            current = nullptr;
            if (line.back() != ']') {
                reason = "unterminated key";
            } else {
                std::vector<std::string> parts = SplitPath(line.substr(1, line.size() - 2).c_str());
                if (parts.empty()) reason = "empty key";
                for (std::string& part : parts) {
                    if (!ValidComponent(part)) reason = "bad key name";
                }
                if (!reason) current = EnsureKey(*snapshot, parts);
            }
        } else {
            reason = ParseValueLine(line, current);
        }
        if (reason) snapshot->problems.push_back({number, reason});
    }
    return snapshot;
}

// --- Writing --------------------------------------------------------------------------

bool NeedsQuotes(const std::string& text) {
    if (text.empty() || IsBlank(text.front()) || IsBlank(text.back()) || text.front() == '"' || text == "[]")
        return true;
    if (text.size() >= 6 && EqualNoCase(text.substr(0, 6), "dword:")) return true;
    for (char c : text)
        if (IsControl(static_cast<unsigned char>(c))) return true;
    return false;
}

void AppendText(std::string& out, const std::string& text) {
    if (!NeedsQuotes(text)) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (IsControl(u)) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
}

void AppendKey(std::string& out, const Key& key, const std::string& path) {
    if (!path.empty() && (!key.values.empty() || key.children.empty())) {
        out += '[' + path + "]\n";
        for (const Value& value : key.values) {
            if (value.type == kRegistryNumber) {
                out += value.name + " = dword:" + std::to_string(value.number) + '\n';
            } else if (value.type == kRegistryMultiString) {
                if (value.entries.empty()) out += value.name + " = []\n";
                for (const std::string& entry : value.entries) {
                    out += value.name + "[] = ";
                    AppendText(out, entry);
                    out += '\n';
                }
            } else {
                out += value.name + " = ";
                AppendText(out, value.text);
                out += '\n';
            }
        }
        out += '\n';
    }
    for (const Key* child : key.children)
        AppendKey(out, *child, path.empty() ? child->name : path + '\\' + child->name);
}

// --- The file -------------------------------------------------------------------------------

Identity IdentityOf(const struct stat& info) {
    return {static_cast<uint64_t>(info.st_dev),         static_cast<uint64_t>(info.st_ino),
            static_cast<int64_t>(info.st_size),         static_cast<int64_t>(info.st_mtim.tv_sec),
            static_cast<int64_t>(info.st_mtim.tv_nsec), static_cast<int64_t>(info.st_ctim.tv_sec),
            static_cast<int64_t>(info.st_ctim.tv_nsec)};
}

// A file changed this recently may change again within the granularity of
// its change time without that time moving: until then its text is read
// again for every question and compared.
constexpr int64_t kSettleSeconds = 2;

bool Settled(const Identity& identity) { return NowSeconds() - identity.changedSeconds >= kSettleSeconds; }

bool ReadAll(int fd, std::string& out) {
    out.clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buffer, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    ~FileDescriptor() {
        if (fd >= 0) close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int fd;
};

// Reads the file's text and the identity it had before the read; a missing
// file is empty, of the default identity. 0 or the reason it failed.
int Read(const std::string& path, Identity* identity, std::string* text) {
    *identity = Identity{};
    text->clear();
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) return errno == ENOENT ? 0 : Reason();
    struct stat info {};
    if (fstat(file.fd, &info) != 0 || !ReadAll(file.fd, *text)) return Reason();
    *identity = IdentityOf(info);
    return 0;
}

std::unique_ptr<Snapshot> Parsed(const std::string& text, const Identity& identity) {
    std::unique_ptr<Snapshot> snapshot = Parse(text);
    snapshot->identity = identity;
    return snapshot;
}

struct Cache {
    std::mutex mutex;
    std::string path;
    SnapshotPtr snapshot;
    // Until the file settled, the text it was parsed from.
    bool settled = false;
    std::string text;
};

Cache& TheCache() {
    static Cache* cache = new Cache; // never destroyed: keys may be closed during exit
    return *cache;
}

void Remember(const std::string& path, const SnapshotPtr& snapshot, std::string&& text) {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.path = path;
    cache.snapshot = snapshot;
    cache.settled = Settled(snapshot->identity);
    cache.text = cache.settled ? std::string() : std::move(text);
}

// The current version of the file, parsed again only when it changed.
SnapshotPtr Current() {
    const char* path = RegistryFilePath();
    Identity identity;
    // Asked by every request, answered by the process's shared stat results:
    // a change made on this machine is seen by the next request.
    FileInfo info;
    if (StatPathShared(path, info)) {
        identity = {info.device,         info.inode,          info.size,
                    info.modifiedSeconds, info.modifiedNanoseconds, info.changedSeconds,
                    info.changedNanoseconds};
    } else if (int error = LastError(); error != ENOENT) {
        SetLastError(error != 0 ? error : EIO);
        return nullptr;
    }
    Cache& cache = TheCache();
    SnapshotPtr held;
    {
        std::lock_guard<std::mutex> lock(cache.mutex);
        if (cache.snapshot && cache.path == path && cache.snapshot->identity == identity) {
            if (cache.settled) return cache.snapshot;
            held = cache.snapshot;
        }
    }
    std::string text;
    if (int error = Read(path, &identity, &text)) {
        SetLastError(error);
        return nullptr;
    }
    if (held && held->identity == identity) {
        // Not settled yet: the same text keeps its version (and the walks
        // made on it).
        std::lock_guard<std::mutex> lock(cache.mutex);
        if (cache.snapshot == held && cache.text == text) {
            if (Settled(identity)) {
                cache.settled = true;
                cache.text = std::string();
            }
            return held;
        }
    }
    SnapshotPtr shared(Parsed(text, identity));
    Remember(path, shared, std::move(text));
    return shared;
}

// Read-modify-write of the whole file under the lock file. change edits the
// fresh parse and returns 0, or an errno value to give up with.
template <class Change>
SnapshotPtr Rewrite(Change&& change) {
    std::string path = RegistryFilePath();
    std::string lockPath = path + ".lock";
    FileDescriptor lock(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lock.fd < 0) return Fail(Reason()), nullptr;
    struct flock request {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    while (fcntl(lock.fd, F_OFD_SETLKW, &request) != 0) {
        if (errno != EINTR) return Fail(Reason()), nullptr;
    }
    Identity identity;
    std::string text;
    if (int error = Read(path, &identity, &text)) return Fail(error), nullptr;
    std::unique_ptr<Snapshot> model = Parsed(text, identity);
    if (int refused = change(*model)) return Fail(refused), nullptr;

    text.clear();
    AppendKey(text, *model->Root(), "");
    std::string temporary = path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(gettid());
    struct stat old {};
    mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    FileDescriptor out(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (out.fd < 0 || fchmod(out.fd, mode) != 0 || !WriteAll(out.fd, text) || fsync(out.fd) != 0) {
        const int error = Reason();
        unlink(temporary.c_str());
        return Fail(error), nullptr;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = Reason();
        unlink(temporary.c_str());
        return Fail(error), nullptr;
    }
    // Taken after the rename, which may move the change time on; without
    // it, the next question parses the file again.
    struct stat written {};
    if (fstat(out.fd, &written) != 0) written = {};
    model->identity = IdentityOf(written);
    // The rename itself reaches the disk with its directory.
    std::string directory = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
    FileDescriptor folder(open(directory.empty() ? "/" : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd >= 0) fsync(folder.fd);
    model->problems.clear();
    SnapshotPtr shared(std::move(model));
    Remember(path, shared, std::move(text));
    return shared;
}

Key* Lookup(const Snapshot& snapshot, const std::vector<std::string>& parts) {
    std::string path;
    for (const std::string& part : parts) path = Snapshot::Join(path, part);
    auto found = snapshot.byPath.find(path);
    return found == snapshot.byPath.end() ? nullptr : found->second;
}

bool ValidKey(RegistryKey key) { return key == &gRoot || (key && key->snapshot && key->node); }

std::vector<std::string> ChildPath(RegistryKey parent, const char* subkey) {
    std::vector<std::string> parts = parent == &gRoot ? std::vector<std::string>() : parent->path;
    for (std::string& part : SplitPath(subkey)) parts.push_back(std::move(part));
    return parts;
}

// Points a key at its path in a newer version; false when the path is gone.
bool Rebind(RegistryKey key, const SnapshotPtr& snapshot) {
    const Key* node = Lookup(*snapshot, key->path);
    if (!node) return false;
    key->snapshot = snapshot;
    key->node = node;
    return true;
}

} // namespace

RegistryKey LocalMachineKey() { return &gRoot; }

const char* RegistryFilePath() {
    const char* configured = std::getenv(kRegistryPathVariable);
    return configured && configured[0] ? configured : kRegistryDefaultPath;
}

bool RegistryOpenKey(RegistryKey parent, const char* subkey, RegistryKey* key) {
    if (!ValidKey(parent) || !key) return Fail(EINVAL);
    *key = nullptr;
    SnapshotPtr snapshot = parent == &gRoot ? Current() : parent->snapshot;
    if (!snapshot) return false;
    auto opened = std::make_unique<RegistryKeyObject>();
    opened->path = ChildPath(parent, subkey);
    if (!Rebind(opened.get(), snapshot)) return Fail(ENOENT);
    *key = opened.release();
    return true;
}

bool RegistryCreateKey(RegistryKey parent, const char* subkey, RegistryKey* key) {
    if (!ValidKey(parent) || !key) return Fail(EINVAL);
    *key = nullptr;
    auto opened = std::make_unique<RegistryKeyObject>();
    opened->path = ChildPath(parent, subkey);
    if (opened->path.empty()) return Fail(EINVAL);
    for (const std::string& part : opened->path)
        if (!ValidComponent(part)) return Fail(EINVAL);
    SnapshotPtr snapshot = Current();
    if (!snapshot) return false;
    if (!Lookup(*snapshot, opened->path)) {
        snapshot = Rewrite([&](Snapshot& model) {
            EnsureKey(model, opened->path);
            return 0;
        });
        if (!snapshot) return false;
    }
    if (!Rebind(opened.get(), snapshot)) return Fail(ENOENT);
    *key = opened.release();
    return true;
}

uint64_t RegistryKeyVersion(RegistryKey key) {
    return key && key != &gRoot && key->snapshot ? key->snapshot->version : 0;
}

uint64_t RegistryVersion() {
    SnapshotPtr snapshot = Current();
    return snapshot ? snapshot->version : 0;
}

bool RegistryCloseKey(RegistryKey key) {
    if (key == &gRoot) return true;
    if (!key) return Fail(EINVAL);
    delete key;
    return true;
}

bool RegistryQueryValue(RegistryKey key, const char* name, uint32_t* type, void* data, size_t* size) {
    if (!ValidKey(key) || !name || !size) return Fail(EINVAL);
    if (key == &gRoot) return Fail(ENOENT);
    const Value* value = nullptr;
    for (const Value& candidate : key->node->values)
        if (EqualNoCase(candidate.name, name)) value = &candidate;
    if (!value) return Fail(ENOENT);

    std::string bytes;
    if (value->type == kRegistryNumber) {
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value->number >> (8 * i)) & 0xff);
    } else if (value->type == kRegistryMultiString) {
        for (const std::string& entry : value->entries) bytes.append(entry).push_back('\0');
        bytes.push_back('\0');
    } else {
        bytes.append(value->text).push_back('\0');
    }
    if (type) *type = value->type;
    if (data && *size < bytes.size()) {
        *size = bytes.size();
        return Fail(ERANGE);
    }
    *size = bytes.size();
    if (data) std::memcpy(data, bytes.data(), bytes.size());
    return true;
}

bool RegistrySetValue(RegistryKey key, const char* name, uint32_t type, const void* data, size_t size) {
    if (!ValidKey(key) || key == &gRoot || !ValidValueName(name) || (!data && size > 0)) return Fail(EINVAL);
    Value value;
    value.name = name;
    value.type = type;
    const char* bytes = static_cast<const char*>(data);
    if (type == kRegistryNumber) {
        if (size != 4) return Fail(EINVAL);
        for (int i = 0; i < 4; ++i) value.number |= uint32_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
    } else if (type == kRegistryString) {
        value.text.assign(bytes, strnlen(bytes ? bytes : "", size));
    } else if (type == kRegistryMultiString) {
        size_t at = 0;
        while (at < size) {
            size_t n = strnlen(bytes + at, size - at);
            if (n == 0) break;
            value.entries.emplace_back(bytes + at, n);
            at += n + 1;
        }
    } else {
        return Fail(EINVAL);
    }
    SnapshotPtr snapshot = Rewrite([&](Snapshot& model) {
        Key* target = EnsureKey(model, key->path);
        for (Value& existing : target->values) {
            if (EqualNoCase(existing.name, name)) {
                value.name = existing.name;
                existing = value;
                return 0;
            }
        }
        target->values.push_back(value);
        return 0;
    });
    return snapshot && Rebind(key, snapshot);
}

bool RegistryDeleteValue(RegistryKey key, const char* name) {
    if (!ValidKey(key) || key == &gRoot || !name) return Fail(EINVAL);
    SnapshotPtr snapshot = Rewrite([&](Snapshot& model) {
        Key* target = Lookup(model, key->path);
        if (!target) return ENOENT;
        for (auto it = target->values.begin(); it != target->values.end(); ++it) {
            if (EqualNoCase(it->name, name)) {
                target->values.erase(it);
                return 0;
            }
        }
        return ENOENT;
    });
    return snapshot && Rebind(key, snapshot);
}

bool RegistryEnumerateSubkey(RegistryKey key, uint32_t index, char* name, size_t* size) {
    if (!ValidKey(key) || !size) return Fail(EINVAL);
    SnapshotPtr current;
    const Key* node = key->node;
    if (key == &gRoot) {
        current = Current();
        if (!current) return false;
        node = &current->keys.front();
    }
    if (!node || index >= node->children.size()) return Fail(ENOENT);
    const std::string& child = node->children[index]->name;
    if (!name || *size < child.size() + 1) {
        *size = child.size() + 1;
        return Fail(ERANGE);
    }
    std::memcpy(name, child.c_str(), child.size() + 1);
    *size = child.size();
    return true;
}

bool RegistryCheck(std::vector<RegistryProblem>& problems) {
    problems.clear();
    SnapshotPtr snapshot = Current();
    if (!snapshot) return false;
    problems = snapshot->problems;
    return true;
}

} // namespace vorn::platform
