#include <gtest/gtest.h>

#include "tools/btrconst.h"

namespace btr {
namespace {

TEST(MessageConstants, NamesResolveToTheirTexts) {
    using namespace btrconst;
    const struct {
        int id;
        int expectedId;
        const char* text;
    } table[] = {
        {SWriteReadOnly, 65419, "Variable '%s' is read-only"},
        {SReadWriteOnly, 65420, "Variable '%s' is write-only"},
        {SDuplicateIdent, 65421, "'%s' is a duplicate identifier"},
        {SNotVariable, 65422, "'%s' is not a variable"},
        {SModNotFound, 65423, "Module '%s' is not registered"},
        {SParamsRequired, 65392, "Parameters missing when accessing index property '%s'"},
        {SInvalidParams, 65393, "Wrong number of parameters passed"},
        {SVarNotArray, 65394, "Variable is not an array"},
        {SVarArrayBounds, 65395, "Array bounds violation"},
        {SErrorAt, 65396, "Error at line %d: "},
        {SMacroError, 65397, "Error executing macro"},
        {SUnexpectedSymbol, 65398, "Unexpected symbol '%s'(#%d)"},
        {SOtherExpected, 65399, "'%s' expected, but '%s' found"},
        {SCloseBracesExpected, 65400, "']' or ')' expected, but '%s' found"},
        {SIdentifierExpected, 65401, "Identifier expected, but '%s' found"},
        {SUnexpectedEOF, 65402, "Unexpected end of macro"},
        {SStatementExpected, 65403, "Statement expected but '%s' found"},
        {SLValueExpected, 65404, "LValue expected"},
        {SWrongVarDef, 65405, "Variables definition is not allowed here"},
        {SUndefinedIdent, 65406, "Undeclared identifier: '%s'"},
        {SEOF, 65407, "(EOF)"},
        {SUnexpectedEOFRTF, 65376, "Unexpected end of RTF file"},
        {SVarsReadOnly, 65377, "Variables in TTagList are read-only"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(row.id, row.expectedId);
        EXPECT_EQ(Text(row.id), row.text) << row.id;
    }
}

} // namespace
} // namespace btr
