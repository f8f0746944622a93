#pragma once
// The JSON text of a database, for the "dbdump" option.

#include "db/message_db.h"

#include <string>

namespace loglathe {

std::string dbDumpJson(const MessageDb& db);

} // namespace loglathe
