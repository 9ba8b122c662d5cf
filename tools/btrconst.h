// Message constants exported for the macro interpreter and the RTF reader of
// other modules: each name is a message-table identifier.
#pragma once

#include <string>

namespace btr::btrconst {

constexpr int SWriteReadOnly = 65419;       // "Variable '%s' is read-only"
constexpr int SReadWriteOnly = 65420;       // "Variable '%s' is write-only"
constexpr int SDuplicateIdent = 65421;
constexpr int SNotVariable = 65422;
constexpr int SModNotFound = 65423;
constexpr int SParamsRequired = 65392;
constexpr int SInvalidParams = 65393;
constexpr int SVarNotArray = 65394;
constexpr int SVarArrayBounds = 65395;
constexpr int SErrorAt = 65396;
constexpr int SMacroError = 65397;
constexpr int SUnexpectedSymbol = 65398;
constexpr int SOtherExpected = 65399;
constexpr int SCloseBracesExpected = 65400;
constexpr int SIdentifierExpected = 65401;
constexpr int SUnexpectedEOF = 65402;
constexpr int SStatementExpected = 65403;
constexpr int SLValueExpected = 65404;
constexpr int SWrongVarDef = 65405;
constexpr int SUndefinedIdent = 65406;
constexpr int SEOF = 65407;
constexpr int SUnexpectedEOFRTF = 65376;
constexpr int SVarsReadOnly = 65377;

// The text of a constant, through the message table.
std::string Text(int ident);

} // namespace btr::btrconst
