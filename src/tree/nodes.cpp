// Node creation, initialisation, options and the per-node accessors (size, tag,
// ID, concurrency model, register size).
//
// A node is made in two steps that every kind of node memory shares: the
// memory is obtained (a block of a segment's tree pool, or private memory),
// then layOutNode writes its size, kinds, condition, latches and directory.
// quorInitNode then fills the control block and the initial areas.
#include <cstring>

#include "frame/export.h"
#include "frame/state.h"
#include "frame/trace.h"
#include "tree/access.h"
#include "tree/directory.h"
#include "tree/records.h"
#include "tree/sizing.h"

namespace quor::tree {

// Everything of a new node but its memory: size, kinds, condition 1, the
// latched concurrency model, both latch blocks and the whole directory, areas
// back to back behind the control block. The rest of the control block is left
// for initialisation.
uint32_t layOutNode(SNodeCB_t *node, uint64_t total, uint64_t areaFlags, const uint64_t *sizes,
                    uint32_t latchKey) {
    node->nodeSize = total;
    node->areaFlags = areaFlags;
    node->NodeCondition = QUOR_NODE_CREATED;
    node->concurrencyModel = QUOR_CONCURRENCY_MODEL_LATCHED;
    node->concurrencyReserved = 0;  // a block that held a fenced node starts unfenced
    if (uint32_t rc = initializeLatches(node, &node->nodeLatch, latchKey); rc != 0) return rc;
    if (uint32_t rc = initializeLatches(node, &node->spareLatch, latchKey); rc != 0) return rc;
    uint64_t offset = QUOR_NODE_CB_SIZE;
    for (unsigned k = 0; k < QUOR_AREA_DIRECTORY_SIZE; ++k) {
        node->areaDirectory[k] = PExport{sizes[k], 0, offset};
        offset += sizes[k];
    }
    return QUOR_RC_OK;
}

namespace {

constexpr uint32_t kDefaultInterval = QUOR_NODE_DEFAULT_INTERVAL;
constexpr uint64_t kRmxRecordSize = 1056;
constexpr uint64_t kExportListEntries = 58;

uint32_t createNodeInPM(Trace &t, SNodeCB_t **nodeOut, uint64_t areaFlags, const uint64_t *sizes,
                        uint64_t *totalOut, uint64_t *addressOut, uint32_t key, uint32_t latchKey) {
    if (nodeOut == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (sizes == nullptr) return t.failWith(20, QUOR_RC_NULL_SIZE_ARRAY, 0);
    if (totalOut == nullptr) return t.failWith(30, QUOR_RC_NULL_NODE_SIZE_OUTPUT, 0);
    if (addressOut == nullptr) return t.failWith(40, QUOR_RC_NULL_NODE_OFFSET_OUTPUT, 0);
    uint64_t total = 0;
    if (uint32_t rc = nodeTotalSize(sizes, &total); rc != 0) return t.fail(50, rc);
    if (key != QUOR_EYECATCHER) return t.failWith(60, QUOR_RC_BAD_EYECATCHER, key);
    *totalOut = total;
    void *block = nullptr;
    if (hostMemAlloc(&block, 0, total, 1, src::tree, __LINE__) != 0)
        return t.fail(70, QUOR_RC_NODE_ALLOC_FAILED);
    auto *node = static_cast<SNodeCB_t *>(block);
    if (uint32_t rc = layOutNode(node, total, areaFlags, sizes, latchKey); rc != 0) {
        (void)hostMemFree(&block, 0, 0, src::tree, __LINE__);
        return t.fail(80, rc);
    }
    *nodeOut = node;
    *addressOut = reinterpret_cast<uintptr_t>(node);
    return QUOR_RC_OK;
}

// The node options after their defaults and checks. Initialisation and a later
// change of options differ only in the default condition and in whether the
// concurrency model is range-checked.
struct ResolvedOptions {
    uint32_t word0 = 0, word1 = 0, word2 = 0;
    uint32_t condition = 0, updateMode = QUOR_NODE_UPDATE_COUNTED;
    uint32_t interval1 = kDefaultInterval, updateInterval = kDefaultInterval;
    uint32_t model = QUOR_NODE_DEFAULT_MODEL;
    uint64_t timeStamp = 0;
};

// Failures are recorded at probe, probe + 10 and probe + 20.
uint32_t resolveOptions(Trace &t, uint32_t probe, const SNodeOptions_t *options, uint32_t defaultCondition,
                        bool checkModel, ResolvedOptions *out) {
    SNodeOptions_t given{};
    if (options != nullptr) given = *options;
    out->word0 = given.optionWord0;
    out->word1 = given.optionWord1;
    out->word2 = given.optionWord2;
    switch (given.condition) {
        case 0:
            out->condition = defaultCondition;
            break;
        case 2:
        case 4:
        case 8:
        case 16:
        case 32:
            out->condition = given.condition;
            break;
        default:
            return t.failWith(probe, QUOR_RC_BAD_NODE_OPTION, given.condition);
    }
    if (given.updateMode == 0) {
        out->updateMode = QUOR_NODE_UPDATE_COUNTED;
    } else if (given.updateMode == QUOR_NODE_UPDATE_COUNTED || given.updateMode == QUOR_NODE_UPDATE_TIMED) {
        out->updateMode = given.updateMode;
    } else {
        return t.failWith(probe + 10, QUOR_RC_BAD_UPDATE_MODE, given.updateMode);
    }
    out->interval1 = given.interval1 != 0 ? given.interval1 : kDefaultInterval;
    out->updateInterval = given.updateInterval != 0 ? given.updateInterval : kDefaultInterval;
    out->model = given.concurrencyModel != 0 ? given.concurrencyModel : QUOR_NODE_DEFAULT_MODEL;
    if (checkModel && out->model >= kModelLimit)
        return t.failWith(probe + 20, QUOR_RC_BAD_CONCURRENCY_MODEL, out->model);
    out->timeStamp = given.timeStamp;
    return QUOR_RC_OK;
}

// The option fields of the control block. The caller holds the write section.
void writeOptions(SNodeCB_t *node, const ResolvedOptions &o) {
    node->optionFlags = o.word0;
    node->optionWord1 = o.word1;
    node->optionWord2 = o.word2;
    node->updateMode = o.updateMode;
    node->NodeCondition = o.condition;
    node->interval1 = o.interval1;
    node->updateInterval = o.updateInterval;
    node->concurrencyModel = o.model;
    node->lastUpdate = o.timeStamp != 0 ? o.timeStamp : hostClockValue();
}

// Writes the ID area: maximum ID size, ID length, ID bytes.
uint32_t writeIdArea(SNodeCB_t *node, uint64_t maxIdSize, const char *id, uint64_t idLength) {
    Area area;
    if (uint32_t rc = lookUpArea(node, QUOR_KIND_ID, &area); rc != 0) return rc;
    auto *head = area.at<uint64_t>(0, 2);
    unsigned char *bytes = area.at<unsigned char>(16, idLength);
    if (head == nullptr || bytes == nullptr) return QUOR_RC_AREA_OVERFULL;
    head[0] = maxIdSize;
    head[1] = idLength;
    if (idLength != 0) std::memcpy(bytes, id, idLength);
    area.record()->usedSize = 16 + idLength;
    return QUOR_RC_OK;
}

struct InitArguments {
    uint64_t nodeOffset, idLength;
    const char *id;
    const SNodeInfo_t *parentInfo;
    const char *parentId;
    uint64_t maxIdSize;
    const uint64_t *triple;
    const void *rmxRecord;
};

uint32_t writeInitialAreas(Trace &t, SNodeCB_t *node, const InitArguments &a) {
    const uint64_t flags = node->areaFlags;
    if ((flags & QUOR_KIND_ID) != 0) {
        if (uint32_t rc = writeIdArea(node, a.maxIdSize, a.id, a.idLength); rc != 0) return t.fail(150, rc);
    }
    if ((flags & QUOR_KIND_PARENT) != 0) {
        Area area;
        if (uint32_t rc = lookUpArea(node, QUOR_KIND_PARENT, &area); rc != 0) return t.fail(160, rc);
        const uint64_t idSize = a.parentInfo->idSize;
        auto *maxId = area.at<uint64_t>(0);
        auto *locator = area.at<SNodeInfo_t>(8);
        unsigned char *bytes = area.at<unsigned char>(8 + sizeof(SNodeInfo_t), idSize);
        if (maxId == nullptr || locator == nullptr || bytes == nullptr)
            return t.fail(170, QUOR_RC_AREA_OVERFULL);
        *maxId = a.maxIdSize;
        *locator = *a.parentInfo;
        // The stored locator finds its segment from its own position.
        locator->selfDisplacement = a.nodeOffset + area.offset() + 8;
        if (idSize != 0) std::memcpy(bytes, a.parentId, idSize);
        area.record()->usedSize = 8 + sizeof(SNodeInfo_t) + idSize;
    }
    if ((flags & QUOR_KIND_RMX) != 0) {
        Area area;
        if (uint32_t rc = lookUpArea(node, QUOR_KIND_RMX, &area); rc != 0) return t.fail(180, rc);
        unsigned char *bytes = area.at<unsigned char>(0, kRmxRecordSize);
        if (bytes == nullptr) return t.fail(190, QUOR_RC_AREA_OVERFULL);
        std::memcpy(bytes, a.rmxRecord, kRmxRecordSize);
        area.record()->usedSize = kRmxRecordSize;
    }
    if ((flags & QUOR_KIND_TRIPLE) != 0) {
        Area area;
        if (uint32_t rc = lookUpArea(node, QUOR_KIND_TRIPLE, &area); rc != 0) return t.fail(200, rc);
        auto *words = area.at<uint64_t>(0, 3);
        if (words == nullptr) return t.fail(210, QUOR_RC_AREA_OVERFULL);
        std::memcpy(words, a.triple, 3 * sizeof(uint64_t));
        area.record()->usedSize = QUOR_TRIPLE_AREA_SIZE;
    }
    if ((flags & QUOR_KIND_EXPORT_LIST) != 0) {
        Area area;
        if (uint32_t rc = lookUpArea(node, QUOR_KIND_EXPORT_LIST, &area); rc != 0) return t.fail(220, rc);
        auto *saved = area.at<uint64_t>(0);
        auto *entries = area.at<uint32_t>(8, kExportListEntries);
        if (saved == nullptr || entries == nullptr) return t.fail(230, QUOR_RC_AREA_OVERFULL);
        *saved = flags;
        std::memset(entries, 0, kExportListEntries * sizeof(uint32_t));
        area.record()->usedSize = QUOR_EXPORT_AREA_SIZE;
    }
    return QUOR_RC_OK;
}

uint32_t initNode(Trace &t, SNodeCB_t **ref, const InitArguments &args, const SNodeOptions_t *options) {
    SNodeCB_t *node = ref != nullptr ? *ref : nullptr;
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    InitArguments a = args;
    const uint64_t flags = node->areaFlags;
    if ((flags & (QUOR_KIND_ID | QUOR_KIND_PARENT)) != 0) {
        if (a.maxIdSize > QUOR_MAX_ID_SIZE) return t.failWith(20, QUOR_RC_MAX_ID_SIZE_TOO_LARGE, a.maxIdSize);
        a.maxIdSize = round8(a.maxIdSize);
    }
    if ((flags & QUOR_KIND_ID) != 0) {
        if (a.id == nullptr) return t.failWith(30, QUOR_RC_NULL_ID, 0);
        if (a.idLength > a.maxIdSize) return t.failWith(40, QUOR_RC_ID_SIZE_TOO_LARGE, a.idLength);
    }
    if ((flags & QUOR_KIND_PARENT) != 0) {
        if (a.parentInfo == nullptr) return t.failWith(50, QUOR_RC_NULL_NODE_INFO, 0);
        if (const uint64_t idSize = a.parentInfo->idSize; idSize != 0) {
            if (idSize > a.maxIdSize) return t.failWith(60, QUOR_RC_ID_SIZE_TOO_LARGE, idSize);
            if (a.parentId == nullptr) return t.failWith(70, QUOR_RC_NULL_ID, 0);
        }
    }
    if ((flags & QUOR_KIND_RMX) != 0 && a.rmxRecord == nullptr)
        return t.failWith(80, QUOR_RC_NULL_RMX_RECORD, 0);
    if ((flags & QUOR_KIND_TRIPLE) != 0 && a.triple == nullptr) return t.failWith(90, QUOR_RC_NULL_TRIPLE, 0);
    ResolvedOptions o;
    if (uint32_t rc = resolveOptions(t, 100, options, QUOR_NODE_INITIALIZED, true, &o); rc != 0) return rc;

    CriticalSection section(node, Access::Write);
    if (uint32_t rc = section.entered(); rc != 0) return t.fail(130, rc);
    writeOptions(node, o);
    node->tag = 0;
    node->selfOffset = a.nodeOffset;
    node->magic = QUOR_NODE_MAGIC;
    uint32_t rc = QUOR_RC_OK;
    for (void *counter :
         {node->ReconfigCounter, node->updateCounter, node->spareCounter1, node->spareCounter2}) {
        if (rc == 0 && hostAtomicInit(counter, 0, 1) != 0) rc = t.fail(140, QUOR_RC_ATOMIC_FAILED);
    }
    if (rc == 0) rc = writeInitialAreas(t, node, a);
    return section.close(rc);
}

uint32_t setNodeOptions(Trace &t, SNodeCB_t *node, const SNodeOptions_t *options) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    ResolvedOptions o;
    if (uint32_t rc = resolveOptions(t, 20, options, QUOR_NODE_ACTIVE, false, &o); rc != 0) return rc;
    return inSection(t, 50, node, Access::Write, 0, [&] {
        writeOptions(node, o);
        return QUOR_RC_OK;
    });
}

// Runs `body` on a node whose condition passes `mask`, inside the read or
// write section unless the caller holds it: the frame every accessor shares.
// A failed entry is recorded at `probe`, a refused condition at probe + 10.
template <class Body>
uint32_t accessNode(Trace &t, uint32_t probe, SNodeCB_t *node, Access access, uint32_t inCriticalSection,
                    uint32_t mask, Body body) {
    return inSection(t, probe, node, access, inCriticalSection, [&] {
        if (uint32_t rc = checkNodeCondition(node, mask); rc != 0) return t.fail(probe + 10, rc);
        return body();
    });
}

}  // namespace

uint32_t createPrivateNode(SNodeCB_t **node, uint64_t areaFlags, const uint64_t *sizes, uint64_t *totalOut,
                           uint64_t *addressOut, uint32_t key, uint32_t latchKey) {
    return traced(Fn::quorCreateNodeInPM, [&](Trace &t) {
        return createNodeInPM(t, node, areaFlags, sizes, totalOut, addressOut, key, latchKey);
    });
}

}  // namespace quor::tree

using namespace quor;
using namespace quor::tree;

QUOR_EXPORT uint32_t quorCreateNodeInPM(SNodeCB_t **node, uint64_t areaFlags, const uint64_t *sizes,
                                        uint64_t *totalOut, uint64_t *addressOut, uint32_t key,
                                        uint32_t latchKey) {
    return createPrivateNode(node, areaFlags, sizes, totalOut, addressOut, key, latchKey);
}

QUOR_EXPORT uint32_t quorInitNode(SNodeCB_t **node, uint64_t nodeOffset, uint64_t idLength, const char *id,
                                  SNodeInfo_t *parentInfo, const char *parentId, uint64_t maxIdSize,
                                  const uint64_t *triple, const RMXPathRec_t *rmxRecord,
                                  const SNodeOptions_t *options) {
    const InitArguments args{nodeOffset, idLength, id, parentInfo, parentId, maxIdSize, triple, rmxRecord};
    return traced(Fn::quorInitNode, [&](Trace &t) { return initNode(t, node, args, options); });
}

QUOR_EXPORT uint32_t quorSetNodeOptions(SNodeCB_t *node, const SNodeOptions_t *options) {
    return traced(Fn::quorSetNodeOptions, [&](Trace &t) { return setNodeOptions(t, node, options); });
}

QUOR_EXPORT uint32_t quorGetNodeSize(SNodeCB_t *node, uint64_t *sizeOut, uint32_t inCriticalSection) {
    return traced(Fn::quorGetNodeSize, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (sizeOut == nullptr) return t.failWith(20, QUOR_RC_NULL_NODE_SIZE_OUTPUT, 0);
        return accessNode(t, 30, node, Access::Read, inCriticalSection, QUOR_COND_MASK_ACCESSORS, [&] {
            const uint64_t size = node->nodeSize;
            if (size == 0 || size > QUOR_NODE_MAX_SIZE) return t.failWith(50, QUOR_RC_BAD_NODE_SIZE, size);
            *sizeOut = size;
            return QUOR_RC_OK;
        });
    });
}

QUOR_EXPORT uint32_t quorGetNodeTag(SNodeCB_t *node, uint64_t *tagOut, uint32_t inCriticalSection) {
    return traced(Fn::quorGetNodeTag, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (tagOut == nullptr) return t.failWith(20, QUOR_RC_NULL_TAG_OUTPUT, 0);
        return accessNode(t, 30, node, Access::Read, inCriticalSection, QUOR_COND_MASK_ACCESSORS, [&] {
            const uint64_t tag = node->tag;
            if (tag > QUOR_MAX_TAG) return t.failWith(50, QUOR_RC_SIZE_TOO_LARGE, tag);
            *tagOut = tag;
            return QUOR_RC_OK;
        });
    });
}

QUOR_EXPORT uint32_t quorSetNodeTag(SNodeCB_t *node, uint64_t tag, uint32_t inCriticalSection) {
    return traced(Fn::quorSetNodeTag, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        return accessNode(t, 20, node, Access::Write, inCriticalSection, QUOR_COND_MASK_ACCESSORS, [&] {
            if (tag > QUOR_MAX_TAG) return t.failWith(40, QUOR_RC_SIZE_TOO_LARGE, tag);
            node->tag = tag;
            return QUOR_RC_OK;
        });
    });
}

QUOR_EXPORT uint32_t quorGetNodeID(SNodeCB_t *node, char **idOut, uint64_t *idLengthOut,
                                   uint32_t inCriticalSection) {
    return traced(Fn::quorGetNodeID, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (idOut == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        if (idLengthOut == nullptr) return t.failWith(30, QUOR_RC_NULL_ID_SIZES, 0);
        return accessNode(t, 40, node, Access::Read, inCriticalSection, QUOR_COND_MASK_READ_ID, [&] {
            Area area;
            if (!hasArea(node, QUOR_KIND_ID)) return t.fail(60, QUOR_RC_NO_ID_AREA);
            if (uint32_t rc = openArea(node, QUOR_KIND_ID, &area); rc != 0) return t.fail(60, rc);
            auto *head = area.at<uint64_t>(0, 2);
            if (head == nullptr) return t.fail(70, QUOR_RC_AREA_OVERFULL);
            const uint64_t length = head[1];
            unsigned char *bytes = area.at<unsigned char>(16, length);
            if (length > QUOR_MAX_ID_SIZE || bytes == nullptr)
                return t.failWith(80, QUOR_RC_BAD_ID_LENGTH, length);
            *idOut = reinterpret_cast<char *>(bytes);
            *idLengthOut = length;
            return QUOR_RC_OK;
        });
    });
}

QUOR_EXPORT uint32_t quorSetNodeID(SNodeCB_t *node, const char *id, uint64_t idLength, uint64_t maxIdSize,
                                   uint32_t inCriticalSection) {
    return traced(Fn::quorSetNodeID, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (id == nullptr) return t.failWith(20, QUOR_RC_NULL_ID, 0);
        return accessNode(t, 30, node, Access::Write, inCriticalSection, QUOR_COND_MASK_ACCESSORS, [&] {
            if (!hasArea(node, QUOR_KIND_ID)) return t.fail(50, QUOR_RC_NO_ID_AREA_TO_SET);
            if (maxIdSize > QUOR_MAX_ID_SIZE) return t.failWith(60, QUOR_RC_BAD_MAX_NODE_ID_SIZE, maxIdSize);
            const uint64_t maximum = round8(maxIdSize);
            if (idLength > maximum) return t.failWith(70, QUOR_RC_NODE_ID_TOO_LONG, idLength);
            if (uint32_t rc = writeIdArea(node, maximum, id, idLength); rc != 0) return t.fail(80, rc);
            return QUOR_RC_OK;
        });
    });
}

QUOR_EXPORT uint32_t quorGetMaxIDSizeForStatusNode(SNodeCB_t *node, uint32_t kind, uint64_t *maxIdSizeOut) {
    return traced(Fn::quorGetMaxIDSizeForStatusNode, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (maxIdSizeOut == nullptr) return t.failWith(20, QUOR_RC_NULL_MAX_ID_OUTPUT, 0);
        if (kind != QUOR_KIND_ID) return t.failWith(30, QUOR_RC_BAD_PROPERTY_KIND, kind);
        Area area;
        if (!hasArea(node, QUOR_KIND_ID)) {
            *maxIdSizeOut = 0;
            return QUOR_RC_OK;
        }
        if (uint32_t rc = openArea(node, QUOR_KIND_ID, &area); rc != 0) return t.fail(40, rc);
        auto *maximum = area.at<uint64_t>(0);
        if (maximum == nullptr) return t.fail(50, QUOR_RC_AREA_OVERFULL);
        if (*maximum > QUOR_MAX_ID_SIZE) return t.failWith(60, QUOR_RC_MAX_ID_SIZE_TOO_LARGE, *maximum);
        *maxIdSizeOut = *maximum;
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorReturnConcurrencyModel(SNodeCB_t *node, uint32_t *model) {
    return traced(Fn::quorReturnConcurrencyModel, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (model == nullptr) return t.failWith(20, QUOR_RC_NULL_CONCURRENCY_MODEL_OUTPUT, 0);
        *model = node->concurrencyModel;
        if (*model >= kModelLimit) return t.failWith(30, QUOR_RC_BAD_CONCURRENCY_MODEL, *model);
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorSetConcurrencyModel(SNodeCB_t *node, uint32_t model) {
    return traced(Fn::quorSetConcurrencyModel, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (model >= kModelLimit) return t.failWith(20, QUOR_RC_BAD_CONCURRENCY_MODEL, model);
        node->concurrencyModel = model;
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorReturnRegisterSize(SNodeCB_t *node, uint64_t *sizeOut) {
    return traced(Fn::quorReturnRegisterSize, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (sizeOut == nullptr) return t.failWith(20, QUOR_RC_NULL_REGISTER_SIZE_OUTPUT, 0);
        return tree::inSection(t, 30, node, tree::Access::Read, 0, [&] {
            if (uint32_t rc = tree::checkNodeCondition(node, QUOR_COND_MASK_ACCESSORS); rc != 0) {
                return t.fail(40, rc);
            }
            *sizeOut = QUOR_REGISTER_SIZE;
            return QUOR_RC_OK;
        });
    });
}
