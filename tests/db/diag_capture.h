#pragma once
#include "support/diag_capture.h"

namespace loglathe {
using testing::DiagCapture;
}
