#include "tools/btrconst.h"

#include "platform/messages.h"

namespace btr::btrconst {

std::string Text(int ident) { return LoadResString(ident); }

} // namespace btr::btrconst
