#include "tp/tp_session.h"

#include <new>

namespace loglathe {

bool tpReservePayload(std::vector<uint8_t>& payload, std::size_t bytes) {
    // std::vector reports a failed allocation only by throwing; turn it into a result here, the one
    // place where a size taken from the input reaches the allocator.
    try {
        payload.reserve(bytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

} // namespace loglathe
