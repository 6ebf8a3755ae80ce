#include "host/plugin/HostInterface.h"

#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Config.h"
#include "engine/values/Variable.h"
#include "engine/vm/VornVM.h"

namespace vorn::hostapi {

bool TextArgument(const char*& text, int32_t& length) {
    if (length < -1) return false;
    if (!text) {
        if (length != 0) return false;
        text = "";
        return true;
    }
    if (length == -1) {
        size_t n = std::strlen(text);
        if (n > static_cast<size_t>(INT32_MAX - 1)) return false;
        length = static_cast<int32_t>(n);
    }
    return true;
}

char* HeapCopy(const char* text, int32_t length, int32_t* outLength) {
    if (length < 0) length = 0;
    auto* copy = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (!copy) return nullptr;
    if (length > 0) std::memcpy(copy, text, static_cast<size_t>(length));
    copy[length] = '\0';
    Put(outLength, length);
    return copy;
}

VornApplication* ApplicationOf(VornVM* program) {
    return program ? program->Application() : nullptr;
}

FileManager* FilesOf(VornVM* program) {
    VornApplication* application = ApplicationOf(program);
    return application ? application->GetFileManager() : nullptr;
}

bool LocatePath(VornVM* program, FileManager* files, int32_t location, const char* path, int32_t length,
                int32_t* kind, String* out) {
    if (!TextArgument(path, length)) return false;
    char separator = files->PathSeparator();
    bool rooted = length > 0 && (path[0] == '/' || path[0] == separator);
    if (location == kLocationScript) {
        *kind = LocationScript;
        if (rooted) {
            out->Assign(path, length);
        } else {
            out->Assign(program->ProgramDirectory());
            out->Append(path, length);
        }
        return true;
    }
    *kind = LocationData;
    if (location == kLocationCommerce) {
        Config* config = ApplicationOf(program)->GetConfig();
        const char* directory = config ? config->GetText(kConfigCommerceDir) : nullptr;
        if (directory && directory[0]) {
            size_t n = std::strlen(directory);
            char last = directory[n - 1];
            out->Assign(directory, static_cast<int32_t>(n));
            if (last != '/' && last != separator && length > 0 && path[0] != separator) out->Append("/", 1);
            out->Append(path, length);
            return true;
        }
    }
    out->Assign(path, length);
    return true;
}

int32_t OlderLocation(int32_t location) {
    return location == kLocationScript ? LocationScript : LocationData;
}

int32_t NewerAggregateType(int32_t kind) {
    switch (kind) {
    case kAggregateScalar:
        return 0;
    case kAggregateArray:
        return 1;
    case kAggregateStructure:
        return 2;
    default:
        return -1;
    }
}

} // namespace vorn::hostapi
