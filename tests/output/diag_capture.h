#pragma once
#include "support/diag_capture.h"
