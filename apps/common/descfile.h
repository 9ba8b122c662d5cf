// The vendor's description files (what its maintenance utility creates files
// from): `keyword=value` elements in a fixed order, file elements first, then
// the elements of every key segment, optionally a collating sequence.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "apps/common/layout.h"

namespace btr::apps {

struct TDescription {
    TFileLayout layout;
    std::optional<bool> replace; // replace=, when given
    // Elements accepted that btrkit's engine does not honour, "line 2:
    // compress=y: ...", in file order.
    std::vector<std::string> notes;
};

// Reads the 265 bytes of the collating sequence file a `name=` element
// names; raises std::runtime_error saying why it cannot.
using TAcsReader = std::function<std::vector<uint8_t>(const std::string& name)>;

// Raises std::runtime_error "line N: ELEMENT: why" for a description that
// is malformed, out of order, inconsistent or asks for what cannot be made.
TDescription ParseDescriptionFile(const std::string& text, const TAcsReader& readAcs);

// The description of a layout, which ParseDescriptionFile reads back to the
// same layout. `acsName` is the file name written for its collating
// sequence. What a description cannot carry is added to `notes`.
std::string WriteDescriptionFile(const TFileLayout& layout, const std::string& title, const std::string& acsName,
                                 std::vector<std::string>& notes);

// A file name for a collating sequence: its own name, lower case, ".alt".
std::string AcsFileName(const std::vector<uint8_t>& acs);

} // namespace btr::apps
