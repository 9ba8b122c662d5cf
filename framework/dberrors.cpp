#include "framework/dberrors.h"

#include "platform/component.h"

namespace btr {

void DatabaseError(std::string_view Message, const TComponent* Component) {
    if (Component && !Component->Name().empty())
        throw EDatabaseError(Component->Name() + ": " + std::string(Message));
    throw EDatabaseError(std::string(Message));
}

void DatabaseErrorFmt(std::string_view Message, std::initializer_list<FormatArg> Args,
                      const TComponent* Component) {
    DatabaseError(Format(Message, Args), Component);
}

} // namespace btr
