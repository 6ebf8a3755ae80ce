// One run of an order: the client key and the gateway endpoint, then the XML
// order document built from the inputs, then the exchange.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "gateway/Gateway.h"

namespace vorn::gateway {

namespace {

constexpr int32_t kDocumentStep = 2048;
constexpr int32_t kOptionChoiceLimit = 128;
constexpr int32_t kOptionsPerItem = 10;
constexpr int32_t kStreetNumberDigits = 32;

// The document grows geometrically; false with the error set when it cannot.
bool MakeRoom(GatewayTransaction* t, int64_t n) {
    int64_t needed = static_cast<int64_t>(t->documentLength) + n;
    if (needed <= t->documentCapacity) return true;
    int64_t capacity = static_cast<int64_t>(t->documentCapacity) * 2;
    if (capacity < needed) capacity = needed;
    if (capacity < kDocumentStep) capacity = kDocumentStep;
    if (capacity > INT32_MAX - 1) capacity = INT32_MAX - 1;
    char* grown = capacity >= needed ? static_cast<char*>(vrProgram_Allocate(t->program, capacity)) : nullptr;
    if (!grown) {
        Fail(t, "Unable to allocate memory for order document");
        return false;
    }
    if (t->documentLength > 0) std::memcpy(grown, t->document, static_cast<size_t>(t->documentLength));
    int32_t length = t->documentLength;
    FreeBlock(t, &t->document, &t->documentCapacity, &t->documentLength);
    t->document = grown;
    t->documentCapacity = static_cast<int32_t>(capacity);
    t->documentLength = length;
    return true;
}

bool Append(GatewayTransaction* t, const char* text, int32_t length = -1) {
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    if (!MakeRoom(t, length)) return false;
    std::memcpy(t->document + t->documentLength, text, static_cast<size_t>(length));
    t->documentLength += length;
    return true;
}

bool Tag(GatewayTransaction* t, const char* name, bool closing) {
    return Append(t, closing ? "</" : "<") && Append(t, name) && Append(t, ">");
}

// XML carries no NUL and no control byte but TAB, LF and CR: such a value
// could not reach the gateway intact.
bool CheckCharacters(GatewayTransaction* t, const char* variable, const char* text, int32_t length) {
    for (int32_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            Fail(t, "Invalid character in %s", variable);
            return false;
        }
    }
    return true;
}

// "<name>" + the value entity-encoded + "</name>".
bool Element(GatewayTransaction* t, const char* name, const char* variable, const char* text,
             int32_t length) {
    if (!CheckCharacters(t, variable, text, length)) return false;
    int32_t encodedLength = 0;
    int32_t encodedSize = 0;
    char* encoded = vrProgram_Entity_Encode(t->program, text, length, &encodedLength, &encodedSize);
    if (!encoded) {
        Fail(t, "Unable to allocate memory for order document");
        return false;
    }
    bool written =
        MakeRoom(t, static_cast<int64_t>(encodedLength) + 2 * static_cast<int64_t>(std::strlen(name)) + 5) &&
        Tag(t, name, false) && Append(t, encoded, encodedLength) && Tag(t, name, true);
    vrProgram_Free(t->program, encoded);
    return written;
}

// Written only when the variable exists and is not empty.
bool ElementFrom(GatewayTransaction* t, const char* name, const char* variable, int32_t limit = -1) {
    Input input = FindInput(t, variable);
    if (input.length == 0) return true;
    if (limit >= 0 && input.length > limit) input.length = limit;
    return Element(t, name, variable, input.text, input.length);
}

// The card verification indicator in the gateway's words.
struct CvmRow {
    const char* script;
    const char* gateway;
};
constexpr CvmRow kCvmIndicators[] = {
    {"NOTPROVIDED", "not_provided"}, {"PROVIDED", "provided"},      {"ILLEGIBLE", "illegible"},
    {"NOIMPRINT", "no_imprint"},     {"NOTPRESENT", "not_present"},
};

bool CvmIndicator(GatewayTransaction* t, const char* name, const char* variable) {
    Input input = FindInput(t, variable);
    for (const CvmRow& row : kCvmIndicators) {
        if (static_cast<size_t>(input.length) == std::strlen(row.script) &&
            strncasecmp(input.text, row.script, static_cast<size_t>(input.length)) == 0)
            return Element(t, name, variable, row.gateway, static_cast<int32_t>(std::strlen(row.gateway)));
    }
    return true;
}

// The street number: "req_addrnum" when given, else the first run of digits
// of the first address line.
bool StreetNumber(GatewayTransaction* t, const char* name, const char* variable) {
    Input given = FindInput(t, variable);
    if (given.variable) {
        if (vrVariable_Value_Integer(given.variable) == 0) {
            Fail(t, "Invalid billing address information");
            return false;
        }
        return Element(t, name, variable, given.text, given.length);
    }
    Input line = FindInput(t, "order_baddr1");
    if (line.length == 0) return true;
    int32_t start = 0;
    while (start < line.length && (line.text[start] < '0' || line.text[start] > '9'))
        ++start;
    int32_t end = start;
    while (end < line.length && end - start < kStreetNumberDigits && line.text[end] >= '0' &&
           line.text[end] <= '9')
        ++end;
    if (end == start) {
        Fail(t, "Invalid billing address information");
        return false;
    }
    return Element(t, name, "order_baddr1", line.text + start, end - start);
}

enum FieldKind { kPlain, kStreetNumber, kCvmIndicator };

struct Field {
    const char* element;
    const char* variable;
    FieldKind kind = kPlain;
};

struct Group {
    const char* element;
    const Field* fields;
    int32_t count;
};

constexpr Field kBilling[] = {
    {"addrnum", "req_addrnum", kStreetNumber},
    {"userid", "order_userid"},
    {"company", "order_bcompany"},
    {"country", "order_bcountry"},
    {"name", "order_bname"},
    {"address1", "order_baddr1"},
    {"address2", "order_baddr2"},
    {"city", "order_bcity"},
    {"state", "order_bstate"},
    {"zip", "order_bzip"},
    {"phone", "order_phone"},
    {"fax", "order_fax"},
    {"email", "req_email"},
};
constexpr Field kShipping[] = {
    {"country", "order_scountry"}, {"name", "order_sname"}, {"address1", "order_saddr1"},
    {"address2", "order_saddr2"},  {"city", "order_scity"}, {"state", "order_sstate"},
    {"zip", "order_szip"},
};
constexpr Field kPayment[] = {
    {"shipping", "order_shipping"},     {"tax", "order_tax"},
    {"subtotal", "order_subtotal"},     {"vattax", "order_vattax"},
    {"chargetotal", "req_chargetotal"},
};
constexpr Field kNotes[] = {{"referred", "order_refer"}, {"comments", "order_comments"}};
constexpr Field kTransactionDetails[] = {
    {"oid", "order_oid"},
    {"ponumber", "order_ponumber"},
    {"taxexempt", "order_taxexempt"},
    {"ip", "req_ip"},
    {"reference_number", "req_referencenumber"},
    {"transactionorigin", "req_mototransaction"},
    {"recurring", "req_recurringtransaction"},
    {"terminaltype", "req_terminaltype"},
    {"tdate", "req_tdate"},
};
constexpr Field kMerchantInfo[] = {{"configfile", "req_configfile"}};
constexpr Field kCreditCard[] = {
    {"cardnumber", "req_cardnumber"}, {"cardexpmonth", "req_expmonth"},
    {"cardexpyear", "req_expyear"},   {"cvmindicator", "req_cvmindicator", kCvmIndicator},
    {"cvmvalue", "req_cvm"},          {"track", "req_track"},
};

template <size_t N> constexpr Group GroupOf(const char* element, const Field (&fields)[N]) {
    return {element, fields, static_cast<int32_t>(N)};
}
constexpr Group kGroups[] = {
    GroupOf("billing", kBilling),
    GroupOf("shipping", kShipping),
    GroupOf("payment", kPayment),
    GroupOf("notes", kNotes),
    GroupOf("transactiondetails", kTransactionDetails),
    GroupOf("merchantinfo", kMerchantInfo),
    GroupOf("creditcard", kCreditCard),
};

// A group is written when one of its variables is not empty.
bool WriteGroup(GatewayTransaction* t, const Group& group) {
    bool any = false;
    for (int32_t i = 0; i < group.count && !any; ++i)
        any = FindInput(t, group.fields[i].variable).length > 0;
    if (!any) return true;
    if (!Tag(t, group.element, false)) return false;
    for (int32_t i = 0; i < group.count; ++i) {
        const Field& field = group.fields[i];
        bool written = true;
        switch (field.kind) {
        case kPlain:
            written = ElementFrom(t, field.element, field.variable);
            break;
        case kStreetNumber:
            // Sent only for the address check.
            written = !t->rejectAddress || StreetNumber(t, field.element, field.variable);
            break;
        case kCvmIndicator:
            written = CvmIndicator(t, field.element, field.variable);
            break;
        }
        if (!written) return false;
    }
    return Tag(t, group.element, true);
}

bool Exists(GatewayTransaction* t, const char* name) {
    return vrVariableList_Find(t->inputs, name, -1) != nullptr;
}

bool WriteItem(GatewayTransaction* t, int32_t item) {
    static const char* const kItemFields[][2] = {
        {"id", "itemid"},         {"description", "description"}, {"price", "price"},
        {"quantity", "quantity"}, {"softfile", "softfile"},       {"esdtype", "esdtype"},
        {"serial", "serial"},
    };
    char name[96];
    if (!Tag(t, "item", false)) return false;
    for (const auto& field : kItemFields) {
        std::snprintf(name, sizeof name, "order_item%d_%s", item, field[1]);
        if (!ElementFrom(t, field[0], name)) return false;
    }
    if (!Tag(t, "options", false)) return false;
    for (int32_t option = 0; option < kOptionsPerItem; ++option) {
        std::snprintf(name, sizeof name, "order_item%d_option%d_option", item, option);
        if (!Exists(t, name)) break;
        if (!Tag(t, "option", false) || !ElementFrom(t, "name", name)) return false;
        std::snprintf(name, sizeof name, "order_item%d_option%d_choice", item, option);
        if (!ElementFrom(t, "value", name, kOptionChoiceLimit) || !Tag(t, "option", true)) return false;
    }
    return Tag(t, "options", true) && Tag(t, "item", true);
}

bool WriteBody(GatewayTransaction* t) {
    for (const Group& group : kGroups)
        if (!WriteGroup(t, group)) return false;
    // The order type is always sent, even when empty.
    if (!Tag(t, "orderoptions", false) || !ElementFrom(t, "result", "req_result") ||
        !Element(t, "ordertype", "req_chargetype", t->chargeType, t->chargeTypeLength) ||
        !Tag(t, "orderoptions", true))
        return false;
    if (FindInput(t, "order_item0_itemid").length == 0) return true;
    if (!Tag(t, "items", false)) return false;
    char name[48];
    for (int32_t item = 0; item < INT32_MAX; ++item) {
        std::snprintf(name, sizeof name, "order_item%d_itemid", item);
        if (!Exists(t, name)) break;
        if (!WriteItem(t, item)) return false;
    }
    return Tag(t, "items", true);
}

// Reads the whole client key file from "LinkPoint/" in the commerce directory.
bool LoadKey(GatewayTransaction* t) {
    FreeBlock(t, &t->keyData, nullptr, &t->keyDataLength);
    Input keyFile = FindInput(t, "req_keyfile");
    char path[4096];
    int pathLength =
        std::snprintf(path, sizeof path, "LinkPoint/%.*s", static_cast<int>(keyFile.length), keyFile.text);
    if (pathLength >= static_cast<int>(sizeof path)) {
        // Cut, it could name another file.
        Fail(t, "%s", std::strerror(ENAMETOOLONG));
        return false;
    }
    VornFile* file = vrFile_Open(t->program, 3, path, -1, 1);
    if (!file) {
        const char* reason = vrFile_Error(t->program, nullptr, nullptr);
        Fail(t, "%s", reason && reason[0] ? reason : "Unable to open key file");
        return false;
    }
    bool loaded = false;
    int64_t length = vrFile_Length(file);
    if (length < 0 || length > INT32_MAX - 1) {
        Fail(t, "Error reading key data");
    } else if (!(t->keyData = static_cast<char*>(vrProgram_Allocate(t->program, length > 0 ? length : 1)))) {
        Fail(t, "Unable to allocate memory for key data");
    } else {
        t->keyDataLength = static_cast<int32_t>(length);
        loaded = vrFile_Read(file, t->keyData, t->keyDataLength) == t->keyDataLength;
        if (!loaded) Fail(t, "Error reading key data");
    }
    vrFile_Close(file);
    return loaded;
}

bool LoadEndpoint(GatewayTransaction* t) {
    Input host = FindInput(t, "req_host");
    if (!host.variable) {
        Fail(t, "variable req_host not defined");
        return false;
    }
    t->host = host.text;
    t->hostLength = host.length;
    VornVariable* port = vrVariableList_Find(t->inputs, "req_port", -1);
    if (!port) {
        Fail(t, "variable req_port not defined");
        return false;
    }
    t->port = vrVariable_Value_Integer(port);
    VornVariable* timeout = vrVariableList_Find(t->inputs, "req_read_timeout", -1);
    t->readTimeout = timeout ? vrVariable_Value_Integer(timeout) : 90;
    if (t->readTimeout < 0) t->readTimeout = 0;
    return true;
}

} // namespace

int32_t RunOrder(GatewayTransaction* t) {
    bool built = Append(t, "<order>") && LoadKey(t) && LoadEndpoint(t) && WriteBody(t);
    if (!built) return 1;
    // The terminator is not counted in the length.
    if (!Append(t, "</order>") || !MakeRoom(t, 1)) return 1;
    t->document[t->documentLength] = '\0';
    if (Exchange(t) == 0) return 0;
    vrVariableHash_SetVariable(t->outputs, "ch_error", -1, t->error, -1);
    return 1;
}

} // namespace vorn::gateway
