#include "app/version.h"

#include <cstdio>

int main() {
    std::printf("Version: %s\n", loglathe::kVersionText);
    return 129;
}
