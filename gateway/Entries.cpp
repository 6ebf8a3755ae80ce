// The commerce entries and the transaction flow: a plain order, or a sale
// with address verification done as an authorisation and then a capture.
#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "gateway/Gateway.h"

namespace vorn::gateway {

namespace {

const char* const kTlsNames[kTlsCount] = {
#define VORN_GATEWAY_TLS_NAME(name) #name,
    VORN_GATEWAY_TLS_FUNCTIONS(VORN_GATEWAY_TLS_NAME)
#undef VORN_GATEWAY_TLS_NAME
};

// The error entry's answer when not even the record could be had.
constexpr char kNoRecord[] = "Unable to allocate memory for transaction";

// Results: the answer's element and the output it is copied to, in order.
struct Result {
    const char* element;
    const char* output;
};
constexpr Result kResults[] = {
    {"r_error", "ch_error"},
    {"r_time", "ch_time"},
    {"r_ref", "ch_ref"},
    {"r_approved", "ch_approved"},
    {"r_code", "ch_code"},
    {"r_ordernum", "ch_ordernum"},
    {"r_authresponse", "ch_authresponse"},
    {"r_message", "ch_message"},
};

void SetOutput(GatewayTransaction* t, const char* name, const char* text, int32_t length) {
    vrVariableHash_SetVariable(t->outputs, name, -1, text, length);
}

void CopyResult(GatewayTransaction* t, const Result& result) {
    int32_t length = 0;
    const char* text = FindElement(t, result.element, &length);
    if (length > 0) SetOutput(t, result.output, text, length);
}

void CopyResults(GatewayTransaction* t) {
    for (const Result& result : kResults)
        CopyResult(t, result);
}

void Decline(GatewayTransaction* t) {
    SetOutput(t, "ch_approved", "DECLINED", -1);
    SetOutput(t, "ch_error", "Declined: address verification failure", -1);
}

bool IsYes(char c) {
    return c == 'Y' || c == 'y';
}

// The address verification code of the latest answer: "r_avs", else the
// text between the first two colons of "r_code" (within that element).
bool AddressCheckPasses(GatewayTransaction* t) {
    if (!t->rejectAddress && !t->rejectZip) return true;
    int32_t length = 0;
    const char* code = FindElement(t, "r_avs", &length);
    if (length == 0) {
        int32_t codeLength = 0;
        const char* text = FindElement(t, "r_code", &codeLength);
        const char* end = text + codeLength;
        const char* first =
            codeLength > 0 ? static_cast<const char*>(std::memchr(text, ':', codeLength)) : nullptr;
        if (!first) return false;
        const char* second = static_cast<const char*>(std::memchr(first + 1, ':', end - first - 1));
        if (!second) return false;
        code = first + 1;
        length = static_cast<int32_t>(second - code);
    }
    if (length < 2) return false;
    if (t->rejectAddress && !IsYes(code[0])) return false;
    if (t->rejectZip && !IsYes(code[1])) return false;
    return true;
}

void SetInputFromAnswer(GatewayTransaction* t, const char* input, const char* element) {
    int32_t length = 0;
    const char* text = FindElement(t, element, &length);
    vrVariableList_SetVariable(t->inputs, input, -1, length > 0 ? text : nullptr, length);
}

// Authorisation, then, when it was approved and the address check passes,
// the capture carrying the gateway's reference number and order id.
int32_t SaleWithAddressVerification(GatewayTransaction* t) {
    t->chargeType = "PREAUTH";
    t->chargeTypeLength = 7;
    if (RunOrder(t) != 0) return 1;
    int32_t length = 0;
    const char* approved = FindElement(t, "r_approved", &length);
    if (length != 8 || std::memcmp(approved, "APPROVED", 8) != 0) {
        CopyResults(t);
        return 0;
    }
    CopyResult(t, kResults[4]); // "ch_code"
    if (!AddressCheckPasses(t)) {
        // The authorisation stays standing at the gateway: no reversal is sent.
        CopyResults(t);
        Decline(t);
        return 0;
    }
    t->chargeType = "POSTAUTH";
    t->chargeTypeLength = 8;
    SetInputFromAnswer(t, "req_referencenumber", "reference_number");
    SetInputFromAnswer(t, "order_oid", "oid");
    t->documentLength = 0;
    if (RunOrder(t) != 0) return 1;
    CopyResults(t);
    return 0;
}

bool LowestBit(GatewayTransaction* t, const char* name) {
    VornVariable* v = vrVariableList_Find(t->inputs, name, -1);
    return v && (vrVariable_Value_Integer(v) & 1) != 0;
}

int32_t Init(VornProgram* program, void** handle, const char*, const char*, VornVariableList* inputs,
             VornVariableHash* outputs) {
    auto* t = static_cast<GatewayTransaction*>(vrProgram_Allocate(program, sizeof(GatewayTransaction)));
    *handle = t;
    if (!t) return 1;
    std::memset(t, 0, sizeof *t);
    t->socket = -1;
    t->program = program;
    t->inputs = inputs;
    t->outputs = outputs;

    for (int32_t i = 0; i < kTlsCount; ++i) {
        t->tls[i] = vrProgram_SSL_Function(program, kTlsNames[i]);
        if (!t->tls[i]) return Fail(t, "Unable to load %s", kTlsNames[i]);
    }
    Input chargeType = FindInput(t, "req_chargetype");
    if (!chargeType.variable) return Fail(t, "variable req_chargetype not defined");
    t->chargeType = chargeType.text;
    t->chargeTypeLength = chargeType.length;
    t->rejectAddress = LowestBit(t, "req_avs_reject_addr");
    t->rejectZip = LowestBit(t, "req_avs_reject_zip");

    // No result of an earlier block may read as this one's.
    for (const Result& result : kResults)
        SetOutput(t, result.output, nullptr, 0);

    bool sale = chargeType.length == 4 && strncasecmp(chargeType.text, "sale", 4) == 0;
    if ((t->rejectAddress || t->rejectZip) && sale) return SaleWithAddressVerification(t);

    bool preauth = chargeType.length == 7 && strncasecmp(chargeType.text, "preauth", 7) == 0;
    if (RunOrder(t) != 0) return 1;
    CopyResults(t);
    if (preauth && !AddressCheckPasses(t)) Decline(t);
    return 0;
}

// The transaction is complete when init returns: the body runs once.
int32_t Loop(VornProgram*, void**, const char*, const char*, VornVariableList*, VornVariableHash*,
             int32_t pass) {
    return pass == 0 ? 0 : 2;
}

void Cleanup(VornProgram*, void** handle, const char*, const char*, VornVariableList*) {
    auto* t = handle ? static_cast<GatewayTransaction*>(*handle) : nullptr;
    if (!t) return;
    ReleaseConnection(t);
    FreeBlock(t, &t->answer, &t->answerCapacity, &t->answerLength);
    FreeBlock(t, &t->document, &t->documentCapacity, &t->documentLength);
    FreeBlock(t, &t->keyData, nullptr, &t->keyDataLength);
    vrProgram_Free(t->program, t);
    *handle = nullptr;
}

const char* Error(VornProgram*, void** handle, const char*, const char*, VornVariableList*) {
    auto* t = handle ? static_cast<GatewayTransaction*>(*handle) : nullptr;
    return t ? t->error : kNoRecord;
}

} // namespace

// The host's view of the descriptor: a version word and the four entries.
struct CommerceLibraryDescriptor {
    int32_t version;
    decltype(&Init) init;
    decltype(&Loop) loop;
    decltype(&Cleanup) cleanup;
    decltype(&Error) error;
};

CommerceLibraryDescriptor descriptor = {1, Init, Loop, Cleanup, Error};

int32_t Fail(GatewayTransaction* t, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(t->error, sizeof t->error, format, arguments);
    va_end(arguments);
    return 1;
}

Input FindInput(GatewayTransaction* t, const char* name) {
    VornVariable* v = vrVariableList_Find(t->inputs, name, -1);
    if (!v) return {nullptr, "", 0};
    int32_t length = 0;
    const char* text = vrVariable_Value(v, &length);
    if (!text) return {v, "", 0};
    return {v, text, length};
}

void FreeBlock(GatewayTransaction* t, char** block, int32_t* capacity, int32_t* length) {
    if (*block) {
        // Documents, answers and keys hold card data and secrets.
        int32_t size = capacity ? *capacity : *length;
        if (size > 0) explicit_bzero(*block, static_cast<size_t>(size));
        vrProgram_Free(t->program, *block);
    }
    *block = nullptr;
    if (capacity) *capacity = 0;
    *length = 0;
}

} // namespace vorn::gateway

extern "C" __attribute__((visibility("default"))) vorn::gateway::CommerceLibraryDescriptor*
vorn_commerce_library() {
    return &vorn::gateway::descriptor;
}
