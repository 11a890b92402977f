// List creation and the export list as the other families run them (a node
// copy rebuilds every property list of a node): each writes the trace records
// of the kind's exported creation operation.
#pragma once

#include <cstdint>

#include "props/table.h"

namespace quor::props {

// The shape of an empty list: the maxima, the planned count and, for a hashed
// list (mode QUOR_LIST_HASHED), the expected tag and ID counts of the tagged
// kinds.
struct ListShape {
    uint64_t maxIdSize = 0;
    uint64_t maxVSize = 0;
    uint64_t maxCount = 0;
    uint64_t expectedTags = 0;
    uint64_t expectedIds = 0;
    uint32_t mode = QUOR_LIST_FLAT;
};

// quorCreate<K>PropertyList with no initial properties (K: R, V, IR, IV).
template <class K>
uint32_t createEmptyList(SNodeCB_t *node, const ListShape &shape, uint32_t inCriticalSection);

// quorCreateBase<K>Property (K: BaseR, BaseV).
template <class K>
uint32_t createBaseProperty(SNodeCB_t *node, const NewProperty &p, uint64_t maxVSize,
                            uint32_t inCriticalSection);

// quorExportListOfChangedProperties.
uint32_t exportChangedProperties(SNodeCB_t *node, const uint32_t *changes);

}  // namespace quor::props
