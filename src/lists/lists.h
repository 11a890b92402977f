// What the other families use of the segment and module lists besides the
// exported list operations.
#pragma once

#include <cstdint>

#include "quor/quor.h"

namespace quor::lists {

// The stored copy of a record in a segment's shared list, linked first when the
// list holds none. Find and insert run under one hold of the domain's heap
// latch, so that processes adding the same record at once all end with the one
// stored copy. Writes the records of the list's find operation and, when it
// inserts, of its insert operation.
uint32_t findOrInsertSegInfo(ShmPoolHandle_t *pool, const ShmSegInfo_t *record, AttachSegInfo_t **stored);
uint32_t findOrInsertRmx(ShmPoolHandle_t *pool, const RMXPathRec_t *record, RMXPathRec_t **stored);

// Empties this process's private segment and module lists, writing the records
// of their delete-all operations (library clean-up).
uint32_t deletePrivateLists();

}  // namespace quor::lists
