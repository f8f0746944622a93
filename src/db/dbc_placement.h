#pragma once
// Placement of the signal records of a DBC file into the messages of its database, and the report
// of what could not be placed.

#include "db/dbc_records.h"
#include "db/message_db.h"

namespace loglathe {

// Places every signal record into its message or into the multiplex group named for it (a copy in
// the group of each range when its SG_MUL_VAL_ record lists several; MuxRecordLookup tells which
// record applies), reports signals that overrun their message or whose written start bit or bit
// length does not fit its stored width ("Failed to add signal %s to message %s") and finally those
// that found no place ("Failed to load signal %s", "Failed to load message %s").
//
// The result is that of repeating passes over the records in file order until a pass places
// nothing, where a multiplexed signal is placed once its multiplexor is; but each record is only
// looked at again when its multiplexor has just been placed, so a long chain of multiplexors listed
// in reverse costs time linear in the records, not quadratic. `db` holds the messages of
// `state.messages`; the records must already carry their resolved flags and value types.
void dbcPlaceSignals(MessageDb& db, const DbcParseState& state);

} // namespace loglathe
