#include "engine/files/PosixFilePath.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace vorn {

namespace {

inline bool IsSeparator(char c) { return c == '/' || c == '\\'; }

int32_t TextLength(const char* text) {
    if (!text) return 0;
    size_t n = std::strlen(text);
    return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

} // namespace

PosixFilePath::PosixFilePath(const char* source) { Split(source, TextLength(source)); }

PosixFilePath::PosixFilePath(const char* base, const char* rest) {
    int32_t baseLength = TextLength(base);
    int32_t restLength = TextLength(rest);
    String joined;
    joined.Reserve(baseLength + 1 + restLength);
    joined.Append(base ? base : "", baseLength);
    joined.AppendChar('/');
    joined.Append(rest ? rest : "", restLength);
    Split(joined.Text(), joined.Length());
}

PosixFilePath::~PosixFilePath() { ReleaseArrays(); }

void PosixFilePath::ReleaseArrays() {
    delete[] heapArrays;
    heapArrays = nullptr;
    starts = lengths = survivors = nullptr;
    survivorCount = -1;
    count = 0;
}

void PosixFilePath::MakeArrays(int32_t n) {
    int32_t* block = inlineArrays;
    if (n > kInlineComponents) block = heapArrays = new int32_t[3 * static_cast<size_t>(n)];
    starts = block;
    lengths = block + n;
    survivors = block + 2 * n;
}

void PosixFilePath::Split(const char* source, int32_t length) {
    ReleaseArrays();
    absolute = length > 0 && IsSeparator(source[0]);
    while (length > 0 && IsSeparator(source[length - 1])) --length;

    if (length == 0) {
        // Only separators (the root) or nothing at all: one empty component.
        if (absolute)
            text.Assign("/", 1);
        else
            text.Assign("", 0);
        count = 1;
        MakeArrays(1);
        starts[0] = 0;
        lengths[0] = 0;
        return;
    }

    // Copy first: the source may be our own text.
    String copy(source, length);
    text = std::move(copy);
    const char* p = text.Text();

    // One pass into the arrays in place; a path of more components than
    // they hold is counted by it and split again into arrays of its size.
    MakeArrays(kInlineComponents);
    int32_t capacity = kInlineComponents;
    for (;;) {
        int32_t component = 0;
        int32_t start = 0;
        for (int32_t i = 0; i < length;) {
            if (!IsSeparator(p[i])) {
                ++i;
                continue;
            }
            if (component < capacity) {
                starts[component] = start;
                lengths[component] = i - start;
            }
            ++component;
            do ++i;
            while (i < length && IsSeparator(p[i]));
            start = i;
        }
        count = component + 1;
        if (count <= capacity) {
            starts[component] = start;
            lengths[component] = length - start;
            return;
        }
        MakeArrays(count);
        capacity = count;
    }
}

bool PosixFilePath::ComponentIs(int32_t i, const char* what) const {
    int32_t n = static_cast<int32_t>(std::strlen(what));
    return lengths[i] == n && std::memcmp(text.Text() + starts[i], what, static_cast<size_t>(n)) == 0;
}

String PosixFilePath::Component(int32_t i) const {
    if (i < 0 || i >= count) return String("");
    if (i == 0 && absolute) return String("/");
    return String(text.Text() + starts[i], lengths[i]);
}

String PosixFilePath::SubPath(int32_t first, int32_t last) const {
    String out("");
    if (first < 0) first = 0;
    if (last >= count) last = count - 1;
    for (int32_t i = first; i <= last; ++i) {
        if (i == 0 && absolute) {
            out.AppendChar('/');
            continue;
        }
        if (i > first && !(i == 1 && absolute)) out.AppendChar('/');
        out.Append(text.Text() + starts[i], lengths[i]);
    }
    return out;
}

void PosixFilePath::Normalise() {
    if (survivorCount >= 0) return;
    int32_t n = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (i == 0 && absolute) {
            survivors[n++] = 0; // the root
        } else if (lengths[i] == 0 || ComponentIs(i, ".")) {
            // dropped ("" only arises for an empty relative text)
        } else if (ComponentIs(i, "..")) {
            if (absolute && n == 1) {
                // nothing climbs above the root
            } else if (n >= 1 && !ComponentIs(survivors[n - 1], "..")) {
                --n;
            } else {
                survivors[n++] = i;
            }
        } else {
            survivors[n++] = i;
        }
    }
    survivorCount = n;
}

int32_t PosixFilePath::SurvivorCount() {
    Normalise();
    return survivorCount;
}

bool PosixFilePath::SurvivorIsRoot(int32_t survivorIndex) const {
    return absolute && survivors[survivorIndex] == 0;
}

bool PosixFilePath::IsPrefixOf(PosixFilePath& other) {
    Normalise();
    other.Normalise();
    if (other.survivorCount < survivorCount) return false;
    for (int32_t k = 0; k < survivorCount; ++k) {
        bool rootHere = SurvivorIsRoot(k);
        bool rootThere = other.SurvivorIsRoot(k);
        if (rootHere || rootThere) {
            if (rootHere != rootThere) return false;
            continue;
        }
        int32_t a = survivors[k];
        int32_t b = other.survivors[k];
        if (lengths[a] != other.lengths[b]) return false;
        if (std::memcmp(text.Text() + starts[a], other.text.Text() + other.starts[b],
                        static_cast<size_t>(lengths[a])) != 0)
            return false;
    }
    return true;
}

String PosixFilePath::LastName() {
    Normalise();
    if (survivorCount == 0) return String(".");
    int32_t last = survivors[survivorCount - 1];
    if (SurvivorIsRoot(survivorCount - 1) || ComponentIs(last, "..")) return String(".");
    return String(text.Text() + starts[last], lengths[last]);
}

String PosixFilePath::Joined() {
    Normalise();
    if (survivorCount == 0) return String(absolute ? "/" : ".");
    int32_t size = 0;
    for (int32_t k = 0; k < survivorCount; ++k) size += lengths[survivors[k]] + 1;
    String out("");
    out.Reserve(size);
    bool separate = false;
    for (int32_t k = 0; k < survivorCount; ++k) {
        if (SurvivorIsRoot(k)) {
            out.AppendChar('/');
            continue;
        }
        if (separate) out.AppendChar('/');
        int32_t i = survivors[k];
        out.Append(text.Text() + starts[i], lengths[i]);
        separate = true;
    }
    return out;
}

bool PosixFilePath::IsJoined() {
    Normalise();
    if (survivorCount != count || count == 0) return false;
    const char* p = text.Text();
    for (int32_t k = 0; k < count; ++k) {
        if (survivors[k] != k) return false;
        if (k == 0) {
            // The root is the text's first byte, a relative path's first
            // component starts the text.
            if (starts[0] != 0 || (absolute && (lengths[0] != 0 || p[0] != '/'))) return false;
            continue;
        }
        int32_t previousEnd = absolute && k == 1 ? 0 : starts[k - 1] + lengths[k - 1];
        if (starts[k] != previousEnd + 1 || p[previousEnd] != '/') return false;
    }
    return starts[count - 1] + lengths[count - 1] == text.Length();
}

void PosixFilePath::Rebuild() {
    // Splitting the joined text again would give the same components.
    if (IsJoined()) return;
    String joined = Joined();
    Split(joined.Text(), joined.Length());
}

char* PosixFilePath::JoinedText(int32_t* outLength, int32_t* outSize) {
    String joined = Joined();
    int32_t size = joined.Length() + 1;
    if (text.Length() + 1 > size) size = text.Length() + 1;
    if (size < 2) size = 2;
    char* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    if (!buffer) return nullptr;
    std::memcpy(buffer, joined.Text(), static_cast<size_t>(joined.Length()) + 1);
    if (outLength) *outLength = joined.Length();
    if (outSize) *outSize = size;
    return buffer;
}

} // namespace vorn
