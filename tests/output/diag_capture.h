#pragma once
#include "support/diag_capture.h"

namespace loglathe::outputtest {
using testing::DiagCapture;
}
