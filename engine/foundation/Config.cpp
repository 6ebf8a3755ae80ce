#include "engine/foundation/Config.h"

#include <cstdlib>
#include <cstring>

namespace vorn {

namespace {

void PutLittleEndian(unsigned char* out, uint32_t v) {
    out[0] = static_cast<unsigned char>(v);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v >> 16);
    out[3] = static_cast<unsigned char>(v >> 24);
}

int32_t AsSigned(uint32_t v) {
    return static_cast<int32_t>(v); // modular since C++20
}

int CompareSigned(int32_t a, int32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

} // namespace

ConfigValue::ConfigValue(uint32_t id, int32_t integer) : id_(id), integer_(integer) {
    PutLittleEndian(key_, id);
}

ConfigValue::ConfigValue(uint32_t id, const char* text, int32_t length, bool owned)
    : id_(id), text_(text), length_(HashKeyLength(text, length)), owned_(owned) {
    PutLittleEndian(key_, id);
}

ConfigValue::~ConfigValue() {
    if (owned_) std::free(const_cast<char*>(text_));
}

int ConfigValueTable::CompareKey(const ConfigValue* item, const char* key, int32_t length) const {
    int32_t n = HashKeyLength(key, length);
    if (n != 4) return n < 4 ? 1 : -1; // every id key is four bytes long
    auto b = reinterpret_cast<const unsigned char*>(key);
    uint32_t id = b[0] | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
    return CompareSigned(AsSigned(item->Id()), AsSigned(id));
}

int ConfigValueTable::CompareItems(const ConfigValue* a, const ConfigValue* b) const {
    return CompareSigned(AsSigned(a->Id()), AsSigned(b->Id()));
}

ConfigValue* ConfigValueTable::FindId(uint32_t id) const {
    unsigned char key[4];
    PutLittleEndian(key, id);
    return Find(reinterpret_cast<const char*>(key), 4);
}

ConfigValue* ConfigValueTable::RemoveId(uint32_t id) {
    unsigned char key[4];
    PutLittleEndian(key, id);
    return Remove(reinterpret_cast<const char*>(key), 4);
}

ConfigValue* Config::Lookup(uint32_t id) {
    ConfigValue* v = values_.FindId(id);
    if (v) return v;
    v = DefaultValue(id);
    if (v) values_.Insert(v);
    return v;
}

int32_t Config::GetInteger(uint32_t id) {
    if (!IsConfigIntegerItem(id)) return -1;
    ConfigValue* v = Lookup(id);
    return v ? v->Integer() : -1;
}

const char* Config::GetText(uint32_t id) {
    if (!IsConfigTextItem(id)) return nullptr;
    ConfigValue* v = Lookup(id);
    return v ? v->Text() : nullptr;
}

int Config::SetText(uint32_t id, const char* text, int32_t length, bool owned) {
    if (!IsConfigTextItem(id)) return 0;
    ConfigValue* old = values_.RemoveId(id);
    // Storing the very text again must not free it under the new value.
    if (old && old->text_ == text && text) {
        owned = owned || old->owned_;
        old->owned_ = false;
    }
    delete old;
    values_.Insert(new ConfigValue(id, text, length, owned));
    return 1;
}

int Config::SetInteger(uint32_t id, int32_t value) {
    if (!IsConfigIntegerItem(id)) return 0;
    delete values_.RemoveId(id);
    values_.Insert(new ConfigValue(id, value));
    return 1;
}

ConfigValue* Config::DefaultValue(uint32_t id) {
    const ConfigItemInfo* info = FindConfigItem(id);
    if (!info) return nullptr;
    if (IsConfigIntegerItem(id)) return new ConfigValue(id, info->defaultInteger);
    if (info->defaultText) return new ConfigValue(id, info->defaultText, -1, false);
    return nullptr;
}

} // namespace vorn
