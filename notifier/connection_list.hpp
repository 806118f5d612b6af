// Helpers that both sides of the notifier use over their connection lists and
// the select sets: an owning iterator handle (util/owned.hpp), a bounds-checked
// descriptor test, and element sizes that cannot wrap. Internal to notifier/; nothing
// here logs or fails on its own.
#pragma once

#include "util/list.hpp"
#include "util/owned.hpp"
#include "util/tlv_ez.hpp"

#include <sys/select.h>

#include <cstdint>

namespace notifier_detail {

using ::iterator_ptr;

// False for a closed (-1) descriptor and for one select cannot hold.
inline bool is_set(int fd, const fd_set *set)
{
    return fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, set);
}

// The element's total size as a 64-bit number: a length field near 2^32
// must not wrap into a small size.
inline uint64_t element_size(const uint8_t *element)
{
    return uint64_t{static_cast<uint32_t>(tlv_get_size(element) - TLV_HEADER_SIZE)} + TLV_HEADER_SIZE;
}

} // namespace notifier_detail
