// Base64_internal.h -- the allocation seam of the decoding table.  Not
// installed: tests replace the allocator to make it fail.
#ifndef QOVAUTILS_SRC_BASE64_INTERNAL_H
#define QOVAUTILS_SRC_BASE64_INTERNAL_H

#include <cstddef>

namespace qovautils {
namespace detail {

// Allocates the 256-byte decoding table; std::malloc unless a test swaps it.
// The table is always released with std::free.
extern void* (*base64_table_alloc)(size_t size);

}  // namespace detail
}  // namespace qovautils

#endif  // QOVAUTILS_SRC_BASE64_INTERNAL_H
