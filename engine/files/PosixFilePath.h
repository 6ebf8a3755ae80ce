// A path split into components, with the lexical normalisation ('.' and '..')
// the file layer uses to keep script paths inside their roots. Both '/' and
// '\\' separate components; components compare case-sensitively, as the file
// system does.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"

namespace vorn {

class PosixFilePath {
public:
    // A null text counts as empty.
    explicit PosixFilePath(const char* text);
    // base and rest joined by one '/'.
    PosixFilePath(const char* base, const char* rest);
    virtual ~PosixFilePath();
    PosixFilePath(const PosixFilePath&) = delete;
    PosixFilePath& operator=(const PosixFilePath&) = delete;

    // The text, separator runs at the end cut off.
    const char* Text() const { return text.Text(); }
    int32_t Length() const { return text.Length(); }
    bool IsAbsolute() const { return absolute; }
    int32_t ComponentCount() const { return count; }
    // Component i ("/" for the root of an absolute path); empty when out of range.
    String Component(int32_t i) const;
    // Components first to last joined by '/'.
    String SubPath(int32_t first, int32_t last) const;

    // Components left after normalisation, the root included.
    int32_t SurvivorCount();
    // True when every survivor of this path equals the survivor at the same
    // place in the other (byte for byte) and the other has at least as many.
    bool IsPrefixOf(PosixFilePath& other);
    // The last survivor; "." when there is none, or it is the root or "..".
    String LastName();
    // Replaces the text by the survivors joined by '/' ("." when none survive,
    // "/" for the root alone) and splits it again.
    void Rebuild();
    // A new malloc'ed text of the survivors joined by '/' (absolute paths
    // start with '/'; "/" or "." when nothing else survives), with its length
    // and allocated size.
    char* JoinedText(int32_t* outLength, int32_t* outSize);

private:
    // Paths of up to this many components keep their arrays in place.
    static constexpr int32_t kInlineComponents = 16;

    void Split(const char* source, int32_t length);
    void Normalise();
    void ReleaseArrays();
    // Room for count components' starts, lengths and survivors.
    void MakeArrays(int32_t n);
    bool SurvivorIsRoot(int32_t survivorIndex) const;
    bool ComponentIs(int32_t i, const char* what) const;
    // Whether the text is already the survivors joined by '/'.
    bool IsJoined();
    String Joined();

    String text;
    int32_t count = 0;
    int32_t* starts = nullptr;
    int32_t* lengths = nullptr;
    bool absolute = false;
    int32_t survivorCount = -1; // -1 until normalised
    int32_t* survivors = nullptr;
    int32_t* heapArrays = nullptr; // the three arrays, when they do not fit in place
    int32_t inlineArrays[3 * kInlineComponents];
};

} // namespace vorn
