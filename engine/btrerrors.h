// Engine errors: the operation and status texts, EBtrieve, the set of
// statuses a file object raises, and BError.
#pragma once

#include <cstdint>
#include <string>

#include "platform/exceptions.h"

namespace btr {

// "Открытие файла(0)": the operation's text and its code. Unknown codes (and
// codes carrying a lock bias) read "Неизвестная операция".
std::string OperationText(int32_t Op);
// "Ключ не найден(4)"; unknown statuses read "Неизвестная ошибка".
std::string StatusText(int32_t Status);

class EBtrieve : public Exception {
public:
    // The message names the status, the operation and the file.
    EBtrieve(int32_t Status, int32_t Op, const std::string& FileName);
    // A ready message: Error, OpCode and FileName stay 0, 0 and empty.
    explicit EBtrieve(const std::string& Message) : Exception(Message) {}

    int32_t Error() const { return FError; }
    int32_t OpCode() const { return FOpCode; }
    const std::string& FileName() const { return FFileName; }

private:
    int32_t FError = 0;
    int32_t FOpCode = 0;
    std::string FFileName;
};

// A set of the statuses 1..103, stored as the 13-byte bit set (bit n of the
// set is bit n mod 8 of byte n div 8).
class TErrorSet {
public:
    static constexpr int kMax = 103;

    // The default: every status from 1 to 102 but 4, 9 and 60.
    static TErrorSet Default();

    bool Contains(int32_t status) const {
        return status >= 1 && status <= kMax && (FBits[status / 8] >> (status % 8)) & 1;
    }
    TErrorSet& Include(int32_t status);
    TErrorSet& Exclude(int32_t status);
    const uint8_t* Bytes() const { return FBits; }
    bool operator==(const TErrorSet&) const = default;

private:
    uint8_t FBits[13] = {};
};
using ErrorSet = TErrorSet;

// Shows the error's message in a modal box, caption "Ошибка Btrieve".
void BError(const EBtrieve& E);

} // namespace btr
