// Field variables: what each kind of field accepts, how it reads and what it
// writes into the field, the pseudo-fields, and variables kept past their view.
#include <cmath>

#include "database/xbase3/XBaseVariable.h"
#include "tests/database/format/XBaseTestSupport.h"

namespace vorn::test {
namespace {

class XBaseVariableTest : public XBaseTest {
protected:
    void SetUp() override {
        XBaseTest::SetUp();
        Create(table, "v.dbf",
               {{"NAME", 'C', 10, 0}, {"PRICE", 'N', 5, 2}, {"QTY", 'N', 3, 0}, {"BORN", 'D', 8, 0},
                {"OK", 'L', 1, 0}, {"NOTES", 'M', 10, 0}});
        Append(table, {{"NAME", "first"}, {"PRICE", "12.50"}, {"QTY", "7"}, {"BORN", "19991231"}, {"OK", "y"},
                       {"NOTES", "memo one"}});
        Append(table, {{"NAME", "second"}, {"PRICE", "1.25"}, {"QTY", "8"}, {"BORN", "20000101"}, {"OK", "F"}});
        ASSERT_TRUE(table.ReadRecord(1));
    }

    // A variable of the class a view binds to the field.
    XBaseVariable* Bind(const char* name) {
        XBaseField* field = table.FindField(name);
        switch (field->Kind()) {
        case kXBaseNumeric: return new XBaseNumberVariable(name, -1, field);
        case kXBaseDate: return new XBaseDateVariable(name, -1, field);
        case kXBaseLogical: return new XBaseBooleanVariable(name, -1, field);
        case kXBaseMemo: return new XBaseStringVariable(name, -1, field, -1);
        default: return new XBaseStringVariable(name, -1, field, field->Length());
        }
    }

    XBaseTable table{&opener};
};

enum class Form { Text, Integer, Double, FromText, FromDouble, Nocopy };

int Assign(Variable* v, Form form, const char* text) {
    switch (form) {
    case Form::Text: return v->SetValue(text, -1);
    case Form::Integer: return v->SetValueInteger(std::atoi(text));
    case Form::Double: return v->SetValueDouble(std::atof(text));
    case Form::FromText: {
        Variable source("s", 1, text, -1);
        return v->SetValueVariable(&source);
    }
    case Form::FromDouble: {
        Variable source("s", 1, std::atof(text));
        return v->SetValueVariable(&source);
    }
    case Form::Nocopy: {
        size_t n = std::strlen(text);
        char* buffer = static_cast<char*>(std::malloc(n + 1));
        std::memcpy(buffer, text, n + 1);
        return v->SetValueNocopy(buffer, static_cast<int32_t>(n), static_cast<int32_t>(n + 1));
    }
    }
    return 0;
}

TEST_F(XBaseVariableTest, EachKindAcceptsReadsAndStoresItsFormat) {
    struct Case {
        const char* field;
        Form form;
        const char* input;
        bool accepted;
        const char* read;   // Value() after the assignment
        const char* stored; // the field's text after StoreToField
    };
    const Case cases[] = {
        {"NAME", Form::Text, "abc   ", true, "abc", "abc"},
        {"NAME", Form::Text, "abcdefghijklmno", true, "abcdefghij", "abcdefghij"},
        {"NAME", Form::Integer, "42", true, "42", "42"},
        {"NAME", Form::Double, "2.5", true, "2.5", "2.5"},
        {"NAME", Form::Nocopy, "tab\t\n", true, "tab", "tab"},
        {"PRICE", Form::Text, "12x", false, "12.50", "12.50"},
        {"PRICE", Form::Text, "7", true, "7.00", "7.00"},
        {"PRICE", Form::Text, "5.", true, "5.00", "5.00"},
        {"PRICE", Form::Text, "5.129", true, "5.12", "5.12"},
        {"PRICE", Form::FromText, "1234.5", false, "12.50", "12.50"},
        {"PRICE", Form::FromText, "12.5", true, "12.50", "12.50"},
        {"PRICE", Form::Double, "1.239", true, "1.23", "1.23"},
        {"PRICE", Form::Double, "-1.239", true, "-1.23", "-1.23"},
        {"PRICE", Form::Nocopy, "3.1", true, "3.10", "3.10"},
        {"QTY", Form::Double, "3.99", true, "3", "3"},
        {"QTY", Form::Text, "5.9", true, "5", "5"},
        {"QTY", Form::FromDouble, "12.75", true, "12", "12"},
        {"OK", Form::Text, "yes", true, "1", "T"},
        {"OK", Form::Integer, "1", true, "1", "T"},
        {"OK", Form::Text, "", true, "0", "F"},
        {"OK", Form::Integer, "0", true, "0", "F"},
        {"OK", Form::Double, "0", true, "0", "F"},
        {"OK", Form::FromText, "0.0", true, "0", "F"},
        {"BORN", Form::Text, "2024-01-31", false, "19991231", "19991231"},
        {"BORN", Form::Text, "2024013", false, "19991231", "19991231"},
        {"BORN", Form::Text, "20241301", false, "19991231", "19991231"},
        {"BORN", Form::Text, "20240131", true, "20240131", "20240131"},
        {"BORN", Form::Text, "20240000", true, "20240000", "20240000"},
        {"BORN", Form::Integer, "20240131", true, "20240131", "20240131"},
        {"BORN", Form::Double, "20240131", true, "20240131", "20240131"},
        {"BORN", Form::Nocopy, "2024-1-31", false, "19991231", "19991231"},
        {"BORN", Form::FromText, "20240229", true, "20240229", "20240229"},
        {"NOTES", Form::Text, "a longer memo text than ten", true, "a longer memo text than ten",
         "a longer memo text than ten"},
        {"NOTES", Form::Integer, "12", true, "12", "12"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.field) + " <- '" + c.input + "'");
        ASSERT_TRUE(table.ReadRecord(1));
        XBaseVariable* v = Bind(c.field);
        EXPECT_EQ(Assign(v, static_cast<Form>(c.form), c.input), c.accepted ? 1 : 0);
        EXPECT_EQ(v->Dirty(), c.accepted);
        EXPECT_EQ(std::string(v->Value().Text()), c.read);
        ASSERT_TRUE(v->StoreToField());
        EXPECT_FALSE(v->Dirty());
        EXPECT_EQ(Value(table, c.field), c.stored);
        v->Release();
    }
}

TEST_F(XBaseVariableTest, ReadsFollowTheRecordAndItsKind) {
    struct Case {
        const char* field;
        const char* text;
        int32_t integer;
        double number;
        int32_t preferred;
    };
    const Case cases[] = {
        {"NAME", "first", 0, 0.0, kTypeText},        {"PRICE", "12.50", 12, 12.5, kTypeText},
        {"QTY", "7", 7, 7.0, kTypeText},             {"BORN", "19991231", 19991231, 19991231.0, kTypeText},
        {"OK", "1", 1, 1.0, kTypeText},              {"NOTES", "memo one", 0, 0.0, kTypeText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        // Each form read first, on a fresh variable.
        XBaseVariable* byText = Bind(c.field);
        XBaseVariable* byInteger = Bind(c.field);
        XBaseVariable* byDouble = Bind(c.field);
        EXPECT_EQ(std::string(byText->Value().Text()), c.text);
        EXPECT_EQ(byInteger->ValueInteger(), c.integer);
        EXPECT_DOUBLE_EQ(byDouble->ValueDouble(), c.number);
        EXPECT_EQ(byText->StorageKind(), kStorageDatabaseField);
        EXPECT_EQ(byText->PreferredType(), c.preferred);
        EXPECT_FALSE(byText->IsEmpty());
        // A plain variable assigned from a field variable takes its value.
        Variable copy("copy", 4);
        copy.SetValueVariable(byInteger);
        EXPECT_EQ(std::string(copy.Value().Text()), c.text);
        byText->Release();
        byInteger->Release();
        byDouble->Release();
    }
    // A lower-case y reads true; checked doubles flag texts that are not numbers.
    XBaseVariable* name = Bind("NAME");
    int32_t invalid = 0;
    name->ValueDoubleChecked(&invalid);
    EXPECT_EQ(invalid, 1);
    XBaseVariable* price = Bind("PRICE");
    EXPECT_DOUBLE_EQ(price->ValueDoubleChecked(&invalid), 12.5);
    EXPECT_EQ(invalid, 0);
    // A move invalidates: the next read sees record 2.
    ASSERT_TRUE(table.ReadRecord(2));
    EXPECT_EQ(std::string(price->Value().Text()), "12.50");
    price->Invalidate();
    name->Invalidate();
    EXPECT_EQ(std::string(price->Value().Text()), "1.25");
    EXPECT_EQ(std::string(name->Value().Text()), "second");
    name->Release();
    price->Release();
}

TEST_F(XBaseVariableTest, PseudoFieldsReadTheTableAndRefuseEveryAssignment) {
    XBasePseudoVariable* pseudo[] = {new XBaseTotalRecordsVariable(&table), new XBaseRecordNumberVariable(&table),
                                     new XBaseDeletedVariable(&table), new XBaseEOFVariable()};
    const char* names[] = {"totrec", "recno", "deleted", "eof"};
    const int32_t values[] = {2, 1, 0, 0};
    for (int i = 0; i < 4; ++i) {
        XBasePseudoVariable* v = pseudo[i];
        EXPECT_STREQ(v->Name().Text(), names[i]);
        EXPECT_EQ(v->ValueInteger(), values[i]);
        EXPECT_EQ(std::string(v->Value().Text()), std::to_string(values[i]));
        EXPECT_EQ(v->PreferredType(), kTypeInteger);
        for (Form form : {Form::Text, Form::Integer, Form::Double, Form::FromText, Form::Nocopy})
            EXPECT_EQ(Assign(v, form, "5"), 0) << names[i];
        EXPECT_EQ(v->ValueInteger(), values[i]);
    }
    // recno and deleted read the new record once the move invalidated them.
    ASSERT_TRUE(table.ReadRecord(2));
    ASSERT_TRUE(table.SetDeleted(1));
    for (XBasePseudoVariable* v : pseudo) v->Invalidate();
    EXPECT_EQ(pseudo[1]->ValueInteger(), 2);
    EXPECT_EQ(pseudo[2]->ValueDouble(), 1.0);
    static_cast<XBaseEOFVariable*>(pseudo[3])->SetEOF(7);
    EXPECT_EQ(std::string(pseudo[3]->Value().Text()), "1");
    for (XBasePseudoVariable* v : pseudo) v->Release();
}

TEST_F(XBaseVariableTest, WidthsDecimalsAndDatesAreKeptByTheStores) {
    // Numbers wider than the field are refused at the store: nothing of the
    // value reaches the field and it stays to be stored again.
    XBaseVariable* qty = Bind("QTY");
    ASSERT_TRUE(qty->SetValue("123456", -1));
    EXPECT_FALSE(qty->StoreToField());
    EXPECT_STREQ(table.ErrorText().Text(), "The value '123456' is too wide for the numeric field 'QTY' (width 3)");
    EXPECT_TRUE(qty->Dirty());
    EXPECT_EQ(Value(table, "QTY"), "7");
    ASSERT_TRUE(qty->SetValueInteger(1000));
    EXPECT_FALSE(qty->StoreToField());
    ASSERT_TRUE(qty->SetValueInteger(999));
    EXPECT_TRUE(qty->StoreToField());
    EXPECT_EQ(Value(table, "QTY"), "999");
    // An integer read of a number with decimals truncates.
    XBaseVariable* price = Bind("PRICE");
    EXPECT_EQ(price->ValueInteger(), 12);
    price->Invalidate();
    EXPECT_EQ(price->ValueDouble(), 12.5);
    EXPECT_EQ(price->ValueInteger(), 12);
    // A record move leaves dirty set; with nothing cached, the stores write
    // nothing (character), an empty value (date) or the record now current.
    const std::pair<const char*, const char*> afterMove[] = {
        {"NAME", "second"}, {"BORN", "        "}, {"PRICE", "1.25"}, {"OK", "F"}};
    for (const auto& [name, stored] : afterMove) {
        ASSERT_TRUE(table.ReadRecord(1));
        XBaseVariable* v = Bind(name);
        ASSERT_TRUE(Assign(v, Form::Text, name[0] == 'B' ? "20010101" : "1"));
        ASSERT_TRUE(table.ReadRecord(2));
        v->Invalidate();
        EXPECT_TRUE(v->Dirty());
        ASSERT_TRUE(v->StoreToField());
        EXPECT_EQ(Value(table, name), name[0] == 'B' ? "" : stored) << name;
        v->Release();
    }
    // SaveState keeps the value aside; RestoreState brings it back.
    ASSERT_TRUE(price->SetValue("3.3", -1));
    price->SaveState();
    EXPECT_FALSE(price->Dirty());
    EXPECT_EQ(std::string(price->Value().Text()), "1.25");
    price->RestoreState();
    EXPECT_EQ(std::string(price->Value().Text()), "3.30");
    qty->Release();
    price->Release();
}

TEST_F(XBaseVariableTest, VariablesKeptPastTheirViewReadNull) {
    DatabaseVariableHash scope;
    XBaseVariable* name = Bind("NAME");
    XBaseVariable* recno = new XBaseRecordNumberVariable(&table);
    scope.Insert(name);
    scope.Insert(recno);
    name->AddReference(); // a script keeps both
    recno->AddReference();
    EXPECT_EQ(std::string(name->Value().Text()), "first");
    scope.Clear();
    for (XBaseVariable* v : {name, recno}) {
        EXPECT_TRUE(v->Unbound());
        EXPECT_EQ(v->StorageKind(), kStorageNull);
        EXPECT_EQ(std::string(v->Value().Text()), "");
        EXPECT_EQ(v->ValueInteger(), 0);
        EXPECT_TRUE(v->IsEmpty());
        EXPECT_FALSE(v->Boolean());
        v->Invalidate();
        EXPECT_EQ(std::string(v->Value().Text()), "");
        Variable copy("copy", 4, "old", 3);
        copy.SetValueVariable(v);
        EXPECT_TRUE(copy.IsEmpty());
    }
    EXPECT_EQ(name->SetValue("ignored", -1), 1);
    EXPECT_EQ(std::string(name->Value().Text()), "");
    EXPECT_TRUE(name->StoreToField());
    name->Release();
    recno->Release();
}

TEST_F(XBaseVariableTest, TextChecksAndDecimalsFollowTheirRules) {
    struct NumberCase {
        const char* text;
        bool number;
        int32_t whole;
        int32_t fraction;
    };
    const NumberCase numbers[] = {{"", true, 0, 0},      {"-", true, 0, 0},        {"12.50", true, 2, 2},
                                  {"-0.5", true, 1, 1},  {"1.2.3", false, 0, 0},   {"+1", false, 0, 0},
                                  {" 1", false, 0, 0},   {"1e5", false, 0, 0},     {".5", true, 0, 1}};
    for (const NumberCase& c : numbers) {
        int32_t whole = -1, fraction = -1;
        EXPECT_EQ(IsNumberText(c.text, -1, &whole, &fraction), c.number) << c.text;
        if (c.number) {
            EXPECT_EQ(whole * 100 + fraction, c.whole * 100 + c.fraction) << c.text;
        }
    }
    const std::pair<const char*, bool> dates[] = {{"20240131", true}, {"20240000", true}, {"20241231", true},
                                                  {"20241301", false}, {"20240132", false}, {"2024013", false},
                                                  {"2024013a", false}, {"202401311", false}};
    for (const auto& [text, date] : dates) EXPECT_EQ(IsDateText(text, -1), date) << text;
    XBaseNumberVariable* price = static_cast<XBaseNumberVariable*>(Bind("PRICE"));
    XBaseNumberVariable* qty = static_cast<XBaseNumberVariable*>(Bind("QTY"));
    EXPECT_DOUBLE_EQ(price->TruncateToDecimals(1.239), 1.23);
    EXPECT_DOUBLE_EQ(price->TruncateToDecimals(-1.239), -1.23);
    EXPECT_DOUBLE_EQ(qty->TruncateToDecimals(-3.99), -3.0);
    EXPECT_EQ(qty->TruncateToDecimals(1e300), 1e300);
    EXPECT_TRUE(std::isinf(price->TruncateToDecimals(INFINITY)));
    price->Release();
    qty->Release();
}

} // namespace
} // namespace vorn::test
