#pragma once
// Only for real_dbc_test.cpp, which has not moved to the shared helpers yet: the diagnostics capture
// of tests/support where it looks for it, and the file opening it still calls with a numeric kind.
// Every other test includes "support/diag_capture.h".

#include "platform/byte_stream.h"
#include "support/diag_capture.h"

namespace loglathe {
using test::DiagCapture;

inline std::unique_ptr<ByteStream> fileStreamOpen(const char* path, int kind) {
    return fileStreamOpen(path, static_cast<FileStreamKind>(kind));
}
} // namespace loglathe
