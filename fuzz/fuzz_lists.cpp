// The shared sorted lists (segment descriptors and module paths) over a
// corrupted segment: find, insert, delete, print and delete-all. Any return
// code is fine; a crash, a hang or an access outside the segment is a fault.
#include "segment_image.h"

using namespace quor::fuzz;

namespace {

constexpr const char *kKeys[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot"};

ShmSegInfo_t segInfo(const char *key) {
    ShmSegInfo_t record{};
    record.eyecatcher = record.key1 = record.key2 = QUOR_EYECATCHER;
    record.kind = QUOR_SHM_MODE_CREATE;
    std::strncpy(record.segName.name, key, sizeof record.segName.name - 1);
    return record;
}
RMXPathRec_t rmx(const char *key) {
    RMXPathRec_t record{};
    std::strncpy(record.path, key, sizeof record.path - 1);
    return record;
}

// The segment images with four records in each list.
struct ListSegments : Segments {
    ListSegments() {
        for (SegmentImage &image : images) {
            std::memcpy(segment, image.pristine.data(), kSegmentSize);
            for (size_t i = 0; i < 4; ++i) {
                AttachSegInfo_t *stored = nullptr;
                RMXPathRec_t *path = nullptr;
                const ShmSegInfo_t s = segInfo(kKeys[i]);
                const RMXPathRec_t r = rmx(kKeys[i]);
                require(quorInsertAttachSegInfoNodeIntoLList(image.pool, &s, &stored) == 0, "insert");
                require(quorInsertRMXNodeIntoLList(image.pool, &r, &path) == 0, "insert");
            }
            image.pristine.assign(segment, segment + kSegmentSize);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static ListSegments segments;
    FuzzedDataProvider in(data, size);
    SegmentImage &image = segments.prepare(in);
    for (size_t i = 0; i < kMaxOperations && in.remaining_bytes() > 0; ++i) {
        const uint8_t op = in.ConsumeIntegralInRange<uint8_t>(0, 9);
        const char *key = kKeys[in.ConsumeIntegralInRange<size_t>(0, std::size(kKeys) - 1)];
        const ShmSegInfo_t s = segInfo(key);
        const RMXPathRec_t r = rmx(key);
        AttachSegInfo_t *stored = nullptr;
        RMXPathRec_t *path = nullptr;
        switch (op) {
            case 0:
                quorFindAttachSegInfoNodeInLList(image.pool, &s, &stored);
                break;
            case 1:
                quorInsertAttachSegInfoNodeIntoLList(image.pool, &s, &stored);
                break;
            case 2:
                quorDeleteAttachSegInfoNodeFromLList(image.pool, &s);
                break;
            case 3:
                quorPrintAttachSegInfoNodeLList(image.pool);
                break;
            case 4:
                quorDeleteAttachSegInfoLList(image.pool);
                break;
            case 5:
                quorFindRMXNodeInLList(image.pool, &r, &path);
                break;
            case 6:
                quorInsertRMXNodeIntoLList(image.pool, &r, &path);
                break;
            case 7:
                quorDeleteRMXNodeFromLList(image.pool, &r);
                break;
            case 8:
                quorPrintRMXNodeLList(image.pool);
                break;
            case 9:
                quorDeleteRMXLList(image.pool);
                break;
        }
    }
    return 0;
}
