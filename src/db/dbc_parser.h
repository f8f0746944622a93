#pragma once
// Reads one DBC file into a MessageDb.

#include "db/message_db.h"
#include "platform/byte_stream.h"

#include <memory>

namespace loglathe {

// Parses the whole stream (which the caller opens and closes). Null when the file cannot be used:
// empty, unreadable, out of memory, or two messages with one key.
std::unique_ptr<MessageDb> dbcParse(ByteStream& stream);

} // namespace loglathe
