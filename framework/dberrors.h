// Database errors of the data-access framework and its English messages.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/exceptions.h"
#include "platform/format.h"

namespace btr {

class TComponent;

class EDatabaseError : public Exception {
public:
    using Exception::Exception;
};

// Raise EDatabaseError; with a named component the message reads
// "Name: message".
[[noreturn]] void DatabaseError(std::string_view Message, const TComponent* Component = nullptr);
[[noreturn]] void DatabaseErrorFmt(std::string_view Message, std::initializer_list<FormatArg> Args,
                                   const TComponent* Component = nullptr);

// The framework's messages (patterns for Format where they take arguments).
inline constexpr const char* SNotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* SDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* SDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* SDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* SDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* SFieldNotFound = "Field '%s' not found";
inline constexpr const char* SNoIndexForFields = "No index for fields '%s'";
inline constexpr const char* SRecordNotFound = "Record not found";
inline constexpr const char* SFieldReadOnly = "Field '%s' cannot be modified";
inline constexpr const char* SFieldRequired = "Field '%s' must have a value";
inline constexpr const char* SFieldAccessError = "Cannot access field '%s' as type %s";
inline constexpr const char* SFieldTypeMismatch = "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr const char* SFieldSizeMismatch = "Size mismatch for field '%s', expecting: %d actual: %d";
inline constexpr const char* SFieldRangeError =
    "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr const char* SInvalidIntegerValue = "'%s' is not a valid integer value for field '%s'";
inline constexpr const char* SInvalidFloatValue = "'%s' is not a valid floating point value for field '%s'";
inline constexpr const char* SInvalidBoolValue = "'%s' is not a valid boolean value for field '%s'";
inline constexpr const char* SInvalidDateTimeValue = "'%s' is not a valid date and time value for field '%s'";
inline constexpr const char* SDataSetMissing = "Field '%s' has no dataset";
inline constexpr const char* SDuplicateFieldName = "Duplicate field name '%s'";
inline constexpr const char* SFieldNameMissing = "Field name missing";
inline constexpr const char* SInvalidFieldSize = "Invalid field size";
inline constexpr const char* SFieldIndexError = "Field index out of range";
inline constexpr const char* SLookupInfoError = "Lookup information for field '%s' is incomplete";
inline constexpr const char* SCircularLookup = "Field '%s' cannot look up values in its own dataset";
inline constexpr const char* SBlobNotSupported = "Field '%s' has no BLOB stream in this dataset";
inline constexpr const char* SNotBlobField = "Field '%s' is not a BLOB field";
inline constexpr const char* SCircularDataLink = "Circular datalinks are not allowed";
inline constexpr const char* SBookmarkInvalid = "Invalid bookmark";
inline constexpr const char* SUnknownFieldType = "Field '%s' is of an unknown type";
inline constexpr const char* SKeyValuesMismatch = "%d key values given for %d key fields";
inline constexpr const char* SFieldNotCalculated = "Field '%s' is no calculated field";
inline constexpr const char* STextTrue = "True";
inline constexpr const char* STextFalse = "False";

} // namespace btr
