// The message table: every user-visible text of the library, keyed by its
// string-table identifier and read with LoadResString (UTF-8).
#pragma once

#include <string>

namespace btr {

// An identifier that the table does not hold gives the empty text.
std::string LoadResString(int ident);

// Identifiers that code refers to by name. The operation and status texts
// are reached through their own tables (engine/btrerrors.h), the exported
// constants through tools/btrconst.h.
namespace res {
constexpr int SNameTooLong = 65370;       // a dictionary name over 20 bytes in 1251
constexpr int SBadFieldType = 65371;      // a field type code outside the type table
constexpr int SNoDataBuffer = 65372;      // a record operation on a file object without a data buffer
constexpr int SBadExtendedAnswer = 65373; // an extended answer shorter than it claims
constexpr int SBadFieldLength = 65374;    // a field length no record can hold
constexpr int STransactionError = 65378;  // "Ошибка транзакции. Код ошибки %d"
constexpr int SBadDictStructure = 65379;
constexpr int SFileNotInDict = 65380;
constexpr int SDictMismatch = 65381;
constexpr int SPositionChanged = 65382;
constexpr int SIncorrectKeyValues = 65383;
constexpr int SPartialCompare = 65384;
constexpr int SMasterFieldsMismatch = 65385;
constexpr int SFileExists = 65386;
constexpr int SConfirmation = 65387;
constexpr int SRecordTooLong = 65388;
constexpr int SErrorCaption = 65389;
constexpr int SNoIndexes = 65390;
constexpr int SIndexFieldNotFound = 65391;
constexpr int SUnknownStatus = 65501;
constexpr int SBtrieveErrorCaption = 65520;
constexpr int SBtrieveErrorPattern = 65521;
constexpr int STooManyXConditions = 65522;
constexpr int SUnknownOperation = 65523;
} // namespace res

} // namespace btr
