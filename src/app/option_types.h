#pragma once
// Option kinds of our own on top of argtable2's entry header: a switch pair (a literal that stores a
// fixed value into a flag), a wildcard long option whose value is the whole option text, and a
// collector that copies every value into a list. All three do their work in the check step that
// argtable2 runs after parsing, in table order, so that later entries win over earlier ones.
//
// Entries are allocated with malloc as one block, so arg_freetable releases them like the library's
// own. Destinations must outlive the parse.

#include <argtable2.h>

#include <string>
#include <vector>

namespace loglathe {

// The option table being built, in order; the last entry is the end marker.
struct OptionTable {
    std::vector<void*> entries;
};

// Error code an entry reports when its list cannot grow (argtable2's "no match" code).
constexpr int kOptionCollectFailed = 3;

// Literal `--longName` that stores `value` into `*dest` when it occurred exactly once.
arg_hdr* argSwitchPair(const char* longName, const char* glossary, bool* dest, bool value);

// `--PREFIX*` long option: matches --NAMEVALUE=... when NAME starts with the declared name up to the
// "*". The command line hands it the text after "--" as its value (see the command-line pre-pass);
// each value is appended to `dest`.
arg_hdr* argWildcard(const char* longName, const char* datatype, const char* glossary, int maxCount,
                     std::vector<std::string>* dest);

// File option (or, with neither short nor long name, positional arguments) whose values are
// normalised as paths and appended to `dest`.
arg_hdr* argFileCollector(const char* shortName, const char* longName, const char* datatype,
                          const char* glossary, int minCount, int maxCount, std::vector<std::string>* dest);

} // namespace loglathe
