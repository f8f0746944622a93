#pragma once
// Build-time version texts.

namespace loglathe {

extern const char* const kVersionText;      // YY.MM.DD.CCCCCCCC: build date, first 8 digits of the commit
extern const char* const kBuildDateText;    // "Mon DD YYYY hh:mm:ss"
extern const char* const kGitShaText;       // the commit, or zeros outside a git checkout
extern const char* const kGitShaSuffixText; // empty in ordinary builds

} // namespace loglathe
