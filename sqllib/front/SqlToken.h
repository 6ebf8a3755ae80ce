// Token numbers of the SQL scanner. The grammar tests them and expression
// trees keep operator tokens, which code generation turns into instructions.
#pragma once

#include <cstdint>

namespace vorn {

inline constexpr int32_t kSqlEnd = -1;        // end of the text
inline constexpr int32_t kSqlIdentifier = -2; // a word that is not a keyword
inline constexpr int32_t kSqlLiteral = -3;    // a number, or a quoted string without its quotes
inline constexpr int32_t kSqlParameter = -4;  // ":" and digits; the text is what follows the ":"

// Keywords the grammar uses (the table holds 224; every one of them is reserved).
inline constexpr int32_t kSqlAdd = 2;
inline constexpr int32_t kSqlAll = 3;
inline constexpr int32_t kSqlAlter = 5;
inline constexpr int32_t kSqlAnd = 6;
inline constexpr int32_t kSqlAs = 9;
inline constexpr int32_t kSqlAsc = 10;
inline constexpr int32_t kSqlAvg = 14;
inline constexpr int32_t kSqlBetween = 16;
inline constexpr int32_t kSqlBy = 19;
inline constexpr int32_t kSqlChar = 25;
inline constexpr int32_t kSqlCharacter = 27;
inline constexpr int32_t kSqlColumn = 34;
inline constexpr int32_t kSqlCount = 43;
inline constexpr int32_t kSqlCreate = 44;
inline constexpr int32_t kSqlDecimal = 54;
inline constexpr int32_t kSqlDelete = 59;
inline constexpr int32_t kSqlDesc = 60;
inline constexpr int32_t kSqlDistinct = 67;
inline constexpr int32_t kSqlDrop = 70;
inline constexpr int32_t kSqlExists = 79;
inline constexpr int32_t kSqlFrom = 89;
inline constexpr int32_t kSqlGroup = 96;
inline constexpr int32_t kSqlIn = 102;
inline constexpr int32_t kSqlIndex = 104;
inline constexpr int32_t kSqlInsert = 110;
inline constexpr int32_t kSqlInteger = 112;
inline constexpr int32_t kSqlInto = 115;
inline constexpr int32_t kSqlIs = 116;
inline constexpr int32_t kSqlJoin = 118;
inline constexpr int32_t kSqlLeft = 122;
inline constexpr int32_t kSqlLike = 124;
inline constexpr int32_t kSqlLower = 126;
inline constexpr int32_t kSqlMax = 128;
inline constexpr int32_t kSqlMin = 129;
inline constexpr int32_t kSqlNot = 137;
inline constexpr int32_t kSqlNull = 138;
inline constexpr int32_t kSqlNumeric = 140;
inline constexpr int32_t kSqlOn = 144;
inline constexpr int32_t kSqlOr = 148;
inline constexpr int32_t kSqlOrder = 149;
inline constexpr int32_t kSqlOuter = 150;
inline constexpr int32_t kSqlSelect = 175;
inline constexpr int32_t kSqlSet = 176;
inline constexpr int32_t kSqlSmallint = 178;
inline constexpr int32_t kSqlSum = 187;
inline constexpr int32_t kSqlTable = 189;
inline constexpr int32_t kSqlUnion = 201;
inline constexpr int32_t kSqlUnique = 202;
inline constexpr int32_t kSqlUpdate = 204;
inline constexpr int32_t kSqlUpper = 205;
inline constexpr int32_t kSqlValues = 210;
inline constexpr int32_t kSqlVarchar = 211;
inline constexpr int32_t kSqlWhere = 216;
inline constexpr int32_t kSqlMemo = 222;
inline constexpr int32_t kSqlBool = 223;
inline constexpr int32_t kSqlBoolean = 224;

// Punctuation.
inline constexpr int32_t kSqlComma = 1000;
inline constexpr int32_t kSqlOpen = 1001;
inline constexpr int32_t kSqlClose = 1002;
inline constexpr int32_t kSqlLess = 1003;
inline constexpr int32_t kSqlGreater = 1004;
inline constexpr int32_t kSqlDot = 1005;
inline constexpr int32_t kSqlColon = 1006;
inline constexpr int32_t kSqlEqual = 1007;
inline constexpr int32_t kSqlStar = 1008;
inline constexpr int32_t kSqlPlus = 1009;
inline constexpr int32_t kSqlMinus = 1010;
inline constexpr int32_t kSqlQuestion = 1011;
inline constexpr int32_t kSqlSlash = 1012;
inline constexpr int32_t kSqlNotEqual = 1013;
inline constexpr int32_t kSqlGreaterEqual = 1014;
inline constexpr int32_t kSqlLessEqual = 1015;

// Operator tokens that only expression trees carry.
inline constexpr int32_t kSqlLength = -100;     // LENGTH(...)
inline constexpr int32_t kSqlComplexTest = 0;   // BETWEEN and IN, carried by their element

} // namespace vorn
