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
    // for that name. The object must be open on a dictionary (EBtrieve
    // otherwise, before anything is asked). Every check runs before the
    // create call; a refused check tells the user and ends with EAbort.
    void CreateFile(const std::string& aFileName);

    // The current entry: the object's data buffer for every request.
    DictRec Buff{};
};

// Raises EBtrieve "Неверная структура словаря" unless the open `file` is laid
// out like a dictionary: 141-byte records and the dictionary's three keys
// (segment positions and lengths), which every keyed read of it relies on.
void CheckDictionaryLayout(const TBtrieveFile& file);

// The application's dictionary-file slot; the library never sets or reads it.
extern TDictFile* DFile;

} // namespace btr
