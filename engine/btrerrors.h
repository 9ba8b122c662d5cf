// Engine errors: the operation and status texts, EBtrieve, the set of
// statuses a file object raises, and BError.
#pragma once

#include <cstdint>
#include <string>

#include "platform/exceptions.h"

namespace btr {

// Engine operation codes.
enum TBtrOperation : int32_t {
    bOpen = 0, bClose = 1, bInsert = 2, bUpdate = 3, bDelete = 4,
    bGetEqual = 5, bGetNext = 6, bGetPrevious = 7, bGetGreater = 8, bGetGreaterOrEqual = 9,
    bGetLess = 10, bGetLessOrEqual = 11, bGetFirst = 12, bGetLast = 13,
    bCreate = 14, bStat = 15, bBeginTransaction = 19, bEndTransaction = 20, bAbortTransaction = 21,
    bGetPosition = 22, bGetDirect = 23, bStepNext = 24, bStop = 25, bVersion = 26, bUnlock = 27, bReset = 28,
    bSetOwner = 29, bClearOwner = 30, bStepFirst = 33, bStepLast = 34, bStepPrevious = 35,
    bGetNextExtended = 36, bGetPreviousExtended = 37, bStepNextExtended = 38, bStepPreviousExtended = 39,
    bGetByPercentage = 44, bFindPercentage = 45, bUpdateChunk = 53,
};
// Added to an operation code: a get of the key alone; a concurrent transaction.
constexpr int32_t bKeyOnly = 50;
constexpr int32_t bConcurrent = 1000;

// Engine statuses the library acts on.
enum TBtrStatus : int32_t {
    bsOk = 0, bsIOError = 2, bsNotOpen = 3, bsKeyNotFound = 4, bsDuplicateKey = 5, bsInvalidKeyNumber = 6,
    bsNoCurrency = 8, bsEndOfFile = 9, bsInvalidFileName = 11, bsFileNotFound = 12, bsKeyBufferShort = 21, bsDataBufferShort = 22,
    bsTransactionActive = 37, bsNoTransaction = 39, bsInvalidPosition = 43, bsInvalidOwner = 51, bsFileExists = 59,
    bsConflict = 80, bsRecordLocked = 84, bsFileLocked = 85, bsChunkOutOfRange = 103,
};

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
