#include "platform/exceptions.h"

namespace btr {

void Abort() { throw EAbort(); }

} // namespace btr
