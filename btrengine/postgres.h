// The server store: Btrieve files kept in a PostgreSQL database, reached
// through libpq by a path `postgresql://[user@]host[:port]/DATABASE/NAME[?params]`
// (or `postgres://`). Every client has its own connection to each database
// it uses; what clients hold against each other lives on the server, so
// clients on any number of machines share the files.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "btrengine/locks.h"
#include "btrengine/store.h"
#include "platform/serverpath.h"

namespace btr::engine {

// A server path taken apart: the connection URI (the path without the file's
// name; parameters after `?` kept) and the file's name.
struct ServerPath {
    std::string uri, name;
};
// False for a path that names no file (no database, no name, a password in it).
bool SplitServerPath(const std::string& path, ServerPath& out);

class ServerConnection;

// A file on a server as a client finds it: its id (0 when the database holds
// no file of that name) and the client's connection, kept while it is used.
struct ServerFile {
    FileId id;
    std::shared_ptr<ServerConnection> connection;
};
ServerFile FindServerFile(const ServerPath& path, ClientTag client);

std::shared_ptr<LockSpace> ServerLockSpace(const FileId& id);
// The client's store of the file, on its lock session there.
std::unique_ptr<Store> ServerStore(const FileId& id, LockSession& locks);

// Creates (replace: or replaces) a file. A client's transaction open on the
// database takes the create in: the file appears when it ends, or never;
// `joined` then receives what ends it with the client's transaction
// (commit true or false), to be called once.
void CreateServerFile(const ServerPath& path, ClientTag client, const Spec& spec, bool replace, bool inTransaction,
                      std::function<void(bool commit)>& joined);

} // namespace btr::engine
