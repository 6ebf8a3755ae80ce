// Instruction handlers: text operations, output, hidden form fields, the
// error prefix and source position, localisation.
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Number.h"
#include "engine/foundation/Output.h"
#include "engine/program/Dictionary.h"
#include "engine/values/Aggregate.h"
#include "engine/values/Localisation.h"
#include "engine/values/Scalar.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"
#include "engine/vm/ScriptOperators.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

constexpr char kSaltAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

char RandomSaltCharacter() {
    thread_local std::mt19937 generator{std::random_device{}()};
    return kSaltAlphabet[std::uniform_int_distribution<int>(0, 63)(generator)];
}

// Pushes a String's text as an owned entry (the empty text unowned).
void PushOwnedString(VornVM_Stack* stack, String& text) {
    int32_t length = text.Length();
    int32_t size = text.Capacity();
    char* buffer = length > 0 ? text.Detach() : nullptr;
    if (buffer)
        stack->PushString(buffer, length, size, true);
    else
        stack->PushString("", 0, 0, false);
}

} // namespace

// ---- Text operations ----------------------------------------------------------------

// The most a cat result is allocated beyond its length.
constexpr int64_t kCatSpareMax = 1 << 20;

namespace {

// The top of the stack as text: a number written into a buffer of its own
// (no allocation), anything else as PopText gives it.
struct PoppedText {
    StackText popped;
    const char* text = "";
    int32_t length = 0;
    char number[32];

    void Pop(VornVM_Stack* stack) {
        // A number, on the stack or in a local's slot. A variable's number
        // is read as PopText reads it: its text is built and kept.
        Scalar value;
        value.type = Scalar::kAbsent;
        if (const VornVMStackEntry* e = stack->Peek(0)) {
            switch (e->type) {
            case kStackInteger:
                value.type = Scalar::kInteger;
                value.integer = e->value.integer;
                break;
            case kStackDouble:
                value.type = Scalar::kDouble;
                value.number = e->value.number;
                break;
            case kStackSlot:
                if ((e->value.slot->type == Scalar::kInteger || e->value.slot->type == Scalar::kDouble) &&
                    !e->value.slot->IsNegativeZero())
                    value = *e->value.slot;
                break;
            default: break;
            }
        }
        if (value.type == Scalar::kInteger) {
            length = FormatIntegerTo(value.integer, number);
            text = number;
            stack->Discard();
            return;
        }
        if (value.type == Scalar::kDouble) {
            int32_t n = FormatDoubleTo(value.number, number, sizeof number);
            if (n >= 0) {
                length = n;
                text = number;
                stack->Discard();
                return;
            }
        }
        stack->PopText(popped);
        text = popped.text;
        length = popped.length;
    }
};

} // namespace

void VornVM::OpCat() {
    PoppedText b;
    b.Pop(stack);
    PoppedText a;
    a.Pop(stack);
    if (aborted) return;
    int64_t total = static_cast<int64_t>(a.length) + b.length;
    if (total >= INT32_MAX) {
        FatalError(kTextTooLong);
        return;
    }
    const int32_t length = static_cast<int32_t>(total);
    const int32_t left = a.length;
    char* buffer;
    int32_t size;
    if (a.text == a.popped.text && a.popped.owned && a.popped.size > length) {
        // The left text's own buffer has room: append in place.
        size = a.popped.size;
        buffer = a.popped.Release();
    } else {
        // Room to spare, so the next cat of a chain ("a" + b + ";") can
        // append in place instead of copying again.
        int64_t spare = length / 2;
        spare = spare < 16 ? 16 : (spare > kCatSpareMax ? kCatSpareMax : spare);
        int64_t room = static_cast<int64_t>(length) + 1 + spare;
        size = room > INT32_MAX ? INT32_MAX : static_cast<int32_t>(room);
        buffer = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
        if (!buffer) {
            FatalError(kOutOfMemory);
            return;
        }
        if (left > 0) std::memcpy(buffer, a.text, static_cast<size_t>(left));
    }
    if (b.length > 0) std::memcpy(buffer + left, b.text, static_cast<size_t>(b.length));
    buffer[length] = 0;
    stack->PushString(buffer, length, size, true);
}

namespace {

void Search(VornVM* vm, VornVM_Stack* stack, bool noCase, bool atEnd) {
    StackText searched;
    stack->PopText(searched);
    StackText sought;
    stack->PopText(sought);
    if (vm->Aborted()) return;
    stack->PushInteger(ScriptSearch(sought.text, sought.length, searched.text, searched.length, noCase, atEnd));
}

} // namespace

void VornVM::OpIn() {
    Search(this, stack, false, false);
}

void VornVM::OpCin() {
    Search(this, stack, true, false);
}

void VornVM::OpEin() {
    Search(this, stack, false, true);
}

void VornVM::OpEcin() {
    Search(this, stack, true, true);
}

void VornVM::OpCrypt() {
    StackText salt;
    stack->PopText(salt);
    StackText text;
    stack->PopText(text);
    if (aborted) return;
    char pair[3] = {0, 0, 0};
    if (salt.length == 0) {
        pair[0] = RandomSaltCharacter();
        pair[1] = RandomSaltCharacter();
    } else {
        pair[0] = salt.text[0];
        pair[1] = salt.length == 1 ? salt.text[0] : salt.text[1];
    }
    int32_t length = 0, size = 0;
    char* hash = application ? application->Crypt(text.text, text.length, pair, &length, &size) : nullptr;
    if (!hash) {
        stack->PushString("", 0, 0, false);
        return;
    }
    if (size <= length) size = length + 1;
    stack->PushString(hash, length, size, true);
}

// ---- Output ------------------------------------------------------------------------------

void VornVM::OpOut() {
    PoppedText text;
    text.Pop(stack);
    if (aborted) return;
    Output* output = application ? application->GetOutput() : nullptr;
    if (output && text.length > 0) output->Write(text.text, text.length);
}

void VornVM::OpOutComp() {
    StackText text;
    stack->PopText(text);
    if (aborted) return;
    Output* output = application ? application->GetOutput() : nullptr;
    if (output && text.length > 0) output->WriteFiltered(text.text, text.length);
}

void VornVM::OpStdoutput() {
    if (frame) frame->outputMode = static_cast<uint32_t>(immA);
    Output* output = application ? application->GetOutput() : nullptr;
    if (output) output->SetMode(immA);
}

namespace {

// take(first, n) for each comma-separated name of [text, end], spaces
// trimmed: every item before a comma counts, an empty one too; an empty last
// one does not.
template <typename Take> void ForEachListedName(const char* text, const char* end, Take take) {
    for (const char* item = text; item <= end;) {
        const char* comma = static_cast<const char*>(std::memchr(item, ',', static_cast<size_t>(end - item)));
        const char* first = item;
        const char* last = comma ? comma : end;
        while (first < last && Output::IsSpace(static_cast<unsigned char>(*first)))
            ++first;
        while (last > first && Output::IsSpace(static_cast<unsigned char>(last[-1])))
            --last;
        const int32_t n = static_cast<int32_t>(last - first);
        if (n > 0 || comma) take(first, n);
        if (!comma) break;
        item = comma + 1;
    }
}

} // namespace

int32_t VornVM::BuildVariableList(VariableList* list, const char* text, int32_t length) {
    if (!list) return 0;
    list->Clear();
    if (!text) return 0;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    ForEachListedName(text, text + length, [&](const char* first, int32_t n) {
        // An empty name stands for the NULL variable like a name that finds
        // nothing.
        Variable* target = n > 0 ? LookupVariableOrFail(first, n) : nullptr;
        if (!target) target = NullVariable();
        list->InsertItem(new ReferenceVariable(first, n, target), kListTail, false);
    });
    return list->Count();
}

namespace {

// Gathers a field's pieces so that it goes to the output in one write.
class FieldWriter {
  public:
    explicit FieldWriter(Output* output) : output(output) {}
    ~FieldWriter() { Flush(); }
    FieldWriter(const FieldWriter&) = delete;
    FieldWriter& operator=(const FieldWriter&) = delete;

    void Put(const char* bytes, int32_t n) {
        if (n > kRoom - used) {
            Flush();
            if (n > kRoom) {
                output->Write(bytes, n);
                return;
            }
        }
        std::memcpy(buffer + used, bytes, static_cast<size_t>(n));
        used += n;
    }
    // The text as EntityEncode gives it, in stretches that fit the buffer
    // even were every byte to become the longest entity.
    void PutEncoded(const char* text, int32_t n) {
        int32_t i = 0;
        while (i < n) {
            const int32_t fits = (kRoom - used) / kLongestEntity;
            if (fits == 0) {
                Flush();
                continue;
            }
            const int32_t end = n - i < fits ? n : i + fits;
            char* out = buffer + used;
            for (; i < end; ++i) {
                int32_t entityLength = 0;
                if (const char* entity = EncodedEntity(text[i], &entityLength)) {
                    std::memcpy(out, entity, static_cast<size_t>(entityLength));
                    out += entityLength;
                } else {
                    *out++ = text[i];
                }
            }
            used = static_cast<int32_t>(out - buffer);
        }
    }
    void Flush() {
        if (used > 0) output->Write(buffer, used);
        used = 0;
    }

  private:
    static constexpr int32_t kLongestEntity = 6;
    static constexpr int32_t kRoom = 1024;
    Output* output;
    int32_t used = 0;
    char buffer[kRoom];
};

void WriteHiddenField(Output* output, const char* name, int32_t nameLength, Variable* value) {
    static constexpr char kOpen[] = "<input type=\"hidden\" name=\"";
    static constexpr char kMiddle[] = "\" value=\"";
    static constexpr char kClose[] = "\">";
    FieldWriter field(output);
    field.Put(kOpen, sizeof kOpen - 1);
    field.PutEncoded(name, nameLength);
    field.Put(kMiddle, sizeof kMiddle - 1);
    // Read once the name is copied: the name may be a text the read changes.
    const String& text = value->Value();
    field.PutEncoded(text.Text(), text.Length());
    field.Put(kClose, sizeof kClose - 1);
}

// One field per scalar leaf of the variable, named by its path: ":member"
// and "[index]" appended to the name. Walked with an explicit stack, so a
// deeply nested value cannot exhaust the machine stack.
void WriteHiddenFields(Output* output, const char* name, int32_t nameLength, Variable* variable) {
    Variable* top = variable->RealIdentity();
    if (top->AggregateType() == kAggregateScalar || !top->Tree()) {
        WriteHiddenField(output, name, nameLength, top);
        return;
    }
    struct Pending {
        Variable* variable;
        String path;
    };
    std::vector<Pending> pending;
    pending.push_back({variable, String(name, nameLength)});
    List<AggregateElement> elements(false);
    while (!pending.empty()) {
        Pending item = std::move(pending.back());
        pending.pop_back();
        Variable* real = item.variable->RealIdentity();
        AggregateElementTree* tree = real->AggregateType() == kAggregateScalar ? nullptr : real->Tree();
        if (!tree) {
            WriteHiddenField(output, item.path.Text(), item.path.Length(), real);
            continue;
        }
        elements.RemoveAll();
        tree->Walk(elements);
        // Pushed last to first so that they come off in key order.
        for (AggregateElement* e = elements.Last(); e; e = elements.Previous()) {
            String path = item.path;
            const AggregateIndex& key = e->Key();
            if (key.IsMember()) {
                path.AppendChar(':');
                path.AppendString(key.Name());
            } else {
                path.AppendChar('[');
                path.AppendInteger(key.Index());
                path.AppendChar(']');
            }
            if (e->Value()) pending.push_back({e->Value(), std::move(path)});
        }
    }
}

} // namespace

void VornVM::OpHide() {
    StackText names;
    stack->PopText(names);
    if (aborted) return;
    // The names are looked up as BuildVariableList does, all of them before
    // anything is written; a few are held in place instead of in a list.
    struct Named {
        const char* name;
        int32_t length;
        Variable* variable; // one reference held
    };
    constexpr int32_t kInPlace = 8;
    Named named[kInPlace];
    int32_t count = 0;
    struct Release {
        Named* named;
        int32_t* count;
        ~Release() {
            for (int32_t i = 0; i < *count; ++i) named[i].variable->Release();
        }
    } release{named, &count};
    const char* text = names.text ? names.text : "";
    const char* end = text + (names.text && names.length > 0 ? names.length : 0);
    int32_t commas = 0;
    for (const char* p = text; p < end && commas < kInPlace; ++p)
        if (*p == ',') ++commas;
    if (commas >= kInPlace) {
        // Many names: a list of them.
        VariableList list;
        BuildVariableList(&list, names.text, names.length);
        if (aborted) return;
        Output* output = application ? application->GetOutput() : nullptr;
        if (!output) return;
        for (Variable* v = list.First(); v; v = list.Next())
            WriteHiddenFields(output, v->Name().Text(), v->Name().Length(), v);
        return;
    }
    // A lent text of several names is copied: a value read for one field
    // may change it before the next field's name is written.
    String kept;
    if (!names.owned && commas > 0) {
        kept.Assign(text, static_cast<int32_t>(end - text));
        text = kept.Text();
        end = text + kept.Length();
    }
    ForEachListedName(text, end, [&](const char* first, int32_t n) {
        Variable* target = n > 0 ? LookupVariableOrFail(first, n) : nullptr;
        if (!target) target = NullVariable();
        target->AddReference();
        named[count++] = {first, n, target};
    });
    if (aborted) return;
    Output* output = application ? application->GetOutput() : nullptr;
    if (!output) return;
    for (int32_t i = 0; i < count; ++i)
        WriteHiddenFields(output, named[i].name, named[i].length, named[i].variable);
}

// ---- Errors and source position ----------------------------------------------------------

void VornVM::OpPrefix() {
    StackText text;
    stack->PopText(text);
    if (aborted) return;
    SetMessagePrefix(text.text, text.length);
}

void VornVM::OpLineno() {
    line = immA;
    if ((traceFlags & LogTrace) && line != lastTracedLine) {
        lastTracedLine = line;
        if (TraceAccepts()) LogEvent(LogTrace);
    }
}

void VornVM::OpSourcefile() {
    if (immA == sourceFile) return;
    lastTracedLine = 0;
    sourceFile = immA;
    sourceFileName = nullptr;
    sourceFileNameLength = 0;
}

void VornVM::OpErroutput() {
    if (frame) frame->flags = static_cast<uint32_t>(immA);
}

void VornVM::OpTagerror() {
    if (TagErrorEntry* row = TagErrorRow(immA)) row->setting = static_cast<uint32_t>(immB);
}

// ---- Localisation -------------------------------------------------------------------------

void VornVM::OpPoplvnc() {
    StackText text;
    stack->PopText(text);
    int32_t nameLength = 0;
    if (!PoolText(immA, &nameLength) || aborted || !tokens) return;
    int32_t index = tokens->FindIndex(immA, nullptr, 0, nullptr);
    if (index < 0) index = tokens->AddName(immA);
    Variable* token = index >= 0 ? tokens->Index(index, true) : nullptr;
    if (!token) return;
    // An owned text with room for its terminator is handed over as it is.
    if (text.owned && text.size > text.length) {
        int32_t length = text.length, size = text.size;
        token->SetValueNocopy(text.Release(), length, size);
    } else {
        token->SetValue(text.text, text.length);
    }
}

namespace {

// Assembles the localised text of message key into out. Returns 0 after a
// bad key (reported), 1 when every piece resolved, 2 when a piece's pool
// index did not (the caller reports it once it has used the other pieces).
int AssembleLocalized(VornVM* vm, int32_t key, String& out) {
    int32_t keyLength = 0;
    if (!vm->PoolText(key, &keyLength)) return 0;
    LocalizedLanguages* languages = vm->Languages();
    LocalizedDictionary* texts = vm->LocalizedTexts();
    const LocalizedMessage* message = languages ? languages->Lookup(key) : nullptr;
    bool ok = true;
    if (message && texts && vm->Pool()) ok = texts->AppendText(message->firstPiece, *vm->Pool(), vm->Tokens(), out);
    // Tokens hold only for the one text they were defined for.
    if (vm->Tokens()) vm->Tokens()->ReleaseAll();
    return ok ? 1 : 2;
}

} // namespace

void VornVM::OpLocalize() {
    String text;
    int result = AssembleLocalized(this, immA, text);
    Output* output = application ? application->GetOutput() : nullptr;
    if (output && text.Length() > 0) output->Write(text.Text(), text.Length());
    if (result == 2) FatalError(kErrorInvalidDictionary);
}

void VornVM::OpLocalizev() {
    String text;
    int result = AssembleLocalized(this, immA, text);
    if (result == 2) FatalError(kErrorInvalidDictionary);
    if (result != 1) return;
    PushOwnedString(stack, text);
}

} // namespace vorn
