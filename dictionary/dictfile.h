// The dictionary file as a Btrieve file object, and file creation from it.
#pragma once

#include <string>

#include "dictionary/dictrec.h"
#include "engine/btrfile.h"

namespace btr {

class TDictFile : public TBtrieveFile {
public:
    explicit TDictFile(const std::string& FileName);

    using TBtrieveFile::CreateFile;
    // Creates the dictionary file itself: 141-byte records, its three keys.
    // An existing file is replaced only when the user agrees; otherwise
    // EBtrieve status 59.
    void CreateFile();
    // Creates an empty data file `aFileName` from this dictionary's entries
    // for that name (the object must be open). Every check runs before the
    // create call; a refused check tells the user and ends with EAbort.
    void CreateFile(const std::string& aFileName);

    // The current entry: the object's data buffer for every request.
    DictRec Buff{};
};

// The application's dictionary-file slot; the library never sets or reads it.
extern TDictFile* DFile;

} // namespace btr
