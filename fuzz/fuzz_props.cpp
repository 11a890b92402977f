// A status node with every kind of property area, corrupted: adding, deleting,
// locating and finding properties, list and Base creation, the size and stack
// queries, the flat walks, values and RCs by key and through records, counts,
// listings and the export list. Two images take turns: one with the R and IR
// lists hashed and the V and IV lists flat, one the other way round. The node
// lies in its own heap allocation of exactly its size, so an access past it is
// caught. Any return code is fine; a crash, a hang or an access outside the
// node is a fault.
#include <array>
#include <string>

#include "fuzz_support.h"

using namespace quor::fuzz;

namespace {

constexpr uint32_t K = QUOR_EYECATCHER;
constexpr uint64_t kKinds =
    QUOR_KIND_BASER | QUOR_KIND_BASEV | QUOR_KIND_R | QUOR_KIND_V | QUOR_KIND_IR | QUOR_KIND_IV;
constexpr uint64_t kMaxKey = 24;

std::string idOf(uint64_t key) { return std::string(key % 3 + 1, static_cast<char>('a' + key % 7)); }

struct NodeImage {
    std::vector<unsigned char> pristine;
    Ranges kept;

    explicit NodeImage(bool rHashed) {
        silenceStdout();
        const uint32_t even = rHashed ? QUOR_LIST_HASHED : QUOR_LIST_FLAT;
        const uint32_t odd = rHashed ? QUOR_LIST_FLAT : QUOR_LIST_HASHED;
        std::array<uint64_t, 64> sizes{};
        uint64_t total = 0, address = 0;
        require(quorCreateMaxSpaceArray(kKinds, 6, 6, 6, 6, 0, 0, 9, 9, 8, 8, 9, even, odd, even, odd, 3, 6,
                                        3, 6, sizes.data(), &total) == 0,
                "sizes");
        SNodeCB_t *node = nullptr;
        require(quorCreateNodeInPM(&node, kKinds, sizes.data(), &total, &address, K, K) == 0, "node");
        require(quorInitNode(&node, 0x2000, 0, "", nullptr, nullptr, 0, nullptr, nullptr, nullptr) == 0,
                "init");
        require(quorCreateRPropertyList(node, nullptr, nullptr, 0, 6, even, 0) == 0, "R");
        require(quorCreateVPropertyList(node, nullptr, nullptr, nullptr, 9, 0, 6, odd, 0) == 0, "V");
        require(
            quorCreateIRPropertyList(node, nullptr, nullptr, nullptr, nullptr, 8, 0, 3, 6, 6, even, 0) == 0,
            "IR");
        require(quorCreateIVPropertyList(node, nullptr, nullptr, nullptr, 8, nullptr, nullptr, 9, 0, 3, 6, 6,
                                         odd, 0) == 0,
                "IV");
        require(quorCreateBaseRProperty(node, 3, 30, 0) == 0, "BaseR");
        require(quorCreateBaseVProperty(node, 4, "base", 4, 9, 0) == 0, "BaseV");
        require(quorActivateNode(&node) == 0, "activate");
        for (uint64_t key = 1; key <= 4; ++key) {
            const std::string id = idOf(key);
            require(quorAddRProperty(node, key, 1, 0) == 0, "add R");
            require(quorAddVProperty(node, key, 3, "abc", 0) == 0, "add V");
            require(quorAddIRProperty(node, key % 2 + 1, id.size(), id.data(), 1, 0) == 0, "add IR");
            require(quorAddIVProperty(node, key % 2 + 1, id.size(), id.data(), 2, "xy", 0) == 0, "add IV");
        }
        require(quorDeleteRProperty(node, 2, 0) == 0 && quorDeleteIRProperty(node, 1, 3, "ccc", 0) == 0,
                "delete");
        const auto *bytes = reinterpret_cast<const unsigned char *>(node);
        pristine.assign(bytes, bytes + node->nodeSize);
        keepNodeWords(kept);
        void *block = node;
        require(hostMemFree(&block, 0, 0, "fuzz", __LINE__) == 0, "release");
    }
};

// Reads every byte of what an operation handed out as lying inside the node.
void touch(const void *p, uint64_t length) {
    volatile unsigned char sink = 0;
    for (uint64_t i = 0; i < length; ++i) sink = sink + static_cast<const unsigned char *>(p)[i];
}

struct Run {
    SNodeCB_t *node;

    void step(FuzzedDataProvider &in) {
        const uint8_t op = in.ConsumeIntegralInRange<uint8_t>(0, 26);
        const uint64_t key = in.ConsumeIntegralInRange<uint64_t>(0, kMaxKey);
        const uint64_t tag = key % 2 + 1;
        const std::string id = in.ConsumeBool() ? idOf(key) : in.ConsumeRandomLengthString(12);
        const std::string value = in.ConsumeRandomLengthString(12);
        const auto size = static_cast<uint64_t>(value.size());
        const void *bytes = value.data();
        switch (op) {
            case 0:
                quorAddRProperty(node, key, 5, 0);
                break;
            case 1:
                quorAddVProperty(node, key, size, bytes, 0);
                break;
            case 2:
                quorAddIRProperty(node, tag, id.size(), id.data(), 5, 0);
                break;
            case 3:
                quorAddIVProperty(node, tag, id.size(), id.data(), size, bytes, 0);
                break;
            case 4:
                quorDeleteRProperty(node, key, 0);
                quorDeleteVProperty(node, key, 0);
                break;
            case 5:
                quorDeleteIRProperty(node, tag, id.size(), id.data(), 0);
                quorDeleteIVProperty(node, tag, id.size(), id.data(), 0);
                break;
            case 6: {
                RPropertyRec_t *r = nullptr;
                VPropertyRec_t *v = nullptr;
                if (quorGetAddressForRProperty(node, key, &r) == 0) touch(r, sizeof *r);
                if (quorGetAddressForVProperty(node, key, &v) == 0) touch(v, sizeof *v);
                break;
            }
            case 7: {
                IRPropertyRec_t *ir = nullptr;
                IVPropertyRec_t *iv = nullptr;
                if (quorGetAddressForIRProperty(node, tag, id.size(), id.data(), &ir) == 0)
                    touch(ir, sizeof *ir);
                if (quorGetAddressForIVProperty(node, tag, id.size(), id.data(), &iv) == 0)
                    touch(iv, sizeof *iv);
                break;
            }
            case 8: {
                RPropertyRec_t *r = nullptr;
                IRPropertyRec_t *ir = nullptr;
                if (quorFindRPropertyInHashTable(node, key, &r) == 0) touch(r, sizeof *r);
                if (quorFindIRPropertyInHashTable(node, tag, id.size(), id.data(), &ir) == 0)
                    touch(ir, sizeof *ir);
                break;
            }
            case 9:
                quorDeleteRPropertyFromHashTable(node, key);
                quorDeleteIVPropertyFromHashTable(node, tag, id.size(), id.data());
                break;
            case 10:
                quorAddVPropertyToHashTable(node, key, size, bytes, 0);
                quorAddIRPropertyToHashTable(node, tag, id.size(), id.data(), 1, 0);
                break;
            case 11: {
                const uint32_t kind = QUOR_KIND_R << in.ConsumeIntegralInRange<unsigned>(0, 3);
                uint64_t out = 0;
                quorGetNumberOfFreedLListNodes(node, kind, &out);
                quorGetMemoryStackSizeForHashTable(node, kind, &out);
                if (in.ConsumeBool()) {
                    quorGetFreeSpaceOffsetForProperty(node, kind, &out);
                    quorUpdateListOfFreedLLNodes(node, kind, &out);
                }
                break;
            }
            case 12: {
                uint64_t a = 0, b = 0, c = 0;
                quorGetHashTableSizeForRVProperties(node, in.ConsumeBool() ? QUOR_KIND_R : QUOR_KIND_V, &a);
                quorGetHashTableSizeForIRVProperties(node, in.ConsumeBool() ? QUOR_KIND_IR : QUOR_KIND_IV, &a,
                                                     &b, &c);
                quorGetMaxIDSizeForIRProperties(node, &a);
                quorGetMaxVSizeForVProperties(node, &a);
                quorGetMaxIDVSizeForIVProperties(node, &a, &b);
                quorCheckInputParameters(QUOR_KIND_IV, node, key, id.size(), id.data(), size, &a, &b);
                break;
            }
            case 13: {
                // A flat walk, as callers do it: first, then next while inside.
                RPropertyRec_t *r = nullptr;
                uint64_t count = 0, capacity = 0;
                if (quorGetFirstRPropertyLocation(node, &r, &count, &capacity) == 0) {
                    for (uint64_t i = 0;
                         i < 64 && quorGetNextRPropertyLocation(node, &node->areaDirectory[6], &r) == 0;
                         ++i) {
                    }
                }
                IVPropertyRec_t *iv = nullptr;
                if (quorGetFirstIVPropertyLocation(node, &iv, &count, &capacity) == 0) {
                    for (uint64_t i = 0;
                         i < 64 && quorGetNextIVPropertyLocation(node, &node->areaDirectory[9], &iv) == 0;
                         ++i) {
                    }
                }
                break;
            }
            case 14: {
                RPropertyRec_t *r = nullptr;
                VPropertyRec_t *v = nullptr;
                quorGetBaseRPropertyLocation(node, &r);
                quorGetBaseVPropertyLocation(node, &v);
                quorDeleteBaseRProperty(node, key % 5, 0);
                quorDeleteBaseVProperty(node, key % 5, 0);
                break;
            }
            case 15:
                quorCreateBaseRProperty(node, key, 1, 0);
                quorCreateBaseVProperty(node, key, bytes, size, in.ConsumeIntegralInRange<uint64_t>(0, 24),
                                        0);
                break;
            case 16: {
                const uint64_t numbers[3] = {key, key + 1, 0};
                const int32_t values[3] = {1, 2, 3};
                quorCreateRPropertyList(node, numbers, values, in.ConsumeIntegralInRange<uint64_t>(0, 3),
                                        in.ConsumeIntegralInRange<uint64_t>(0, 12),
                                        in.ConsumeIntegralInRange<uint32_t>(0, 2), 0);
                break;
            }
            case 17: {
                const uint64_t tags[2] = {tag, tag + 1}, lengths[2] = {id.size(), 1};
                const int32_t values[2] = {1, 2};
                const std::string ids = id + "z";
                quorCreateIRPropertyList(
                    node, tags, values, lengths, ids.data(), in.ConsumeIntegralInRange<uint64_t>(0, 16),
                    in.ConsumeIntegralInRange<uint64_t>(0, 2), in.ConsumeIntegralInRange<uint64_t>(0, 8),
                    in.ConsumeIntegralInRange<uint64_t>(0, 8), in.ConsumeIntegralInRange<uint64_t>(0, 12),
                    in.ConsumeIntegralInRange<uint32_t>(0, 1), 0);
                break;
            }
            case 18: {
                const uint64_t numbers[2] = {key, key + 2}, sizes[2] = {1, 4};
                char buffer[64] = "value-bytes-for-two-entries";
                quorCreateVPropertyList(
                    node, numbers, buffer, sizes, in.ConsumeIntegralInRange<uint64_t>(1, 24),
                    in.ConsumeIntegralInRange<uint64_t>(0, 2), in.ConsumeIntegralInRange<uint64_t>(0, 12),
                    in.ConsumeIntegralInRange<uint32_t>(0, 1), 0);
                break;
            }
            case 19:
                node->NodeCondition = in.ConsumeIntegralInRange<uint32_t>(0, 6);
                break;
            case 26:
                fillEmptyFill(in.ConsumeIntegralInRange<unsigned>(0, 3), in.ConsumeBool());
                break;
            default:
                valueStep(op, in, key, tag, id, value);
                break;
        }
    }

    // Fills one table kind (0 R, 1 V, 2 IR, 3 IV) until it refuses, empties it
    // one delete at a time, upwards or downwards, and fills it again: full
    // tables, memory stacks grown into freed LL nodes, and reuse.
    void fillEmptyFill(unsigned kind, bool downwards) {
        auto change = [&](uint64_t key, bool add) {
            const std::string id = idOf(key);
            const uint64_t tag = key % 2 + 1;
            switch (kind) {
                case 0:
                    return add ? quorAddRProperty(node, key, 1, 0) : quorDeleteRProperty(node, key, 0);
                case 1:
                    return add ? quorAddVProperty(node, key, 3, "abc", 0) : quorDeleteVProperty(node, key, 0);
                case 2:
                    return add ? quorAddIRProperty(node, tag, id.size(), id.data(), 1, 0)
                               : quorDeleteIRProperty(node, tag, id.size(), id.data(), 0);
                default:
                    return add ? quorAddIVProperty(node, tag, id.size(), id.data(), 2, "xy", 0)
                               : quorDeleteIVProperty(node, tag, id.size(), id.data(), 0);
            }
        };
        for (uint64_t key = 1; key <= kMaxKey; ++key) change(key, true);
        for (uint64_t i = 1; i <= kMaxKey; ++i) change(downwards ? kMaxKey + 1 - i : i, false);
        for (uint64_t key = 1; key <= kMaxKey; ++key) change(key, true);
    }

    // Record addresses located in earlier steps, one per kind (R, IR, BaseR, V,
    // IV, BaseV): by the time they are handed in again their properties may be
    // gone or their slots taken by others, as a careless caller's would be.
    void *remembered[6] = {};

    // A record address as a caller might hand it in: one the library located
    // now, one it located in an earlier step, or any 8-byte aligned place in or
    // just around the node.
    template <class Record>
    Record *someRecord(FuzzedDataProvider &in, Record *located, unsigned slot) {
        Record *earlier = static_cast<Record *>(remembered[slot]);
        if (located != nullptr) remembered[slot] = located;
        switch (in.ConsumeIntegralInRange<unsigned>(0, 2)) {
            case 0:
                return located;
            case 1:
                if (earlier != nullptr) return earlier;
                [[fallthrough]];
            default: {
                const uint64_t at = in.ConsumeIntegralInRange<uint64_t>(0, node->nodeSize + 64) & ~uint64_t{7};
                return reinterpret_cast<Record *>(reinterpret_cast<unsigned char *>(node) + at);
            }
        }
    }

    void valueStep(uint8_t op, FuzzedDataProvider &in, uint64_t key, uint64_t tag, const std::string &id,
                   const std::string &value) {
        // Room for any value a record of this node can hold.
        std::vector<unsigned char> buffer(node->nodeSize);
        const uint64_t size = value.size();
        const uint32_t held = 0;  // every operation takes its own section
        int32_t n = 0;
        uint64_t rc = 0, length = 0, count = 0, capacity = 0;
        void *address = nullptr;
        switch (op) {
            case 20:
                quorGetValueForRProperty(node, key, &n, held);
                quorSetValueForRProperty(node, key, n + 1, held);
                quorGetValueForIRProperty(node, tag, id.size(), id.data(), &n, held);
                quorSetValueForIRProperty(node, tag, id.size(), id.data(), n + 1, held);
                quorGetValueForBaseRProperty(node, key, &n, held);
                quorSetValueForBaseRProperty(node, key, n + 1, held);
                break;
            case 21:
                if (quorGetValueForVProperty(node, key, &length, &address, buffer.data(), held) == 0)
                    touch(address, length);
                quorSetValueForVProperty(node, key, size, value.data(), held);
                if (quorGetValueForIVProperty(node, tag, id.size(), id.data(), &length, &address, buffer.data(),
                                              held) == 0)
                    touch(address, length);
                quorSetValueForIVProperty(node, tag, id.size(), id.data(), size, value.data(), held);
                if (quorGetValueForBaseVProperty(node, key, &length, &address, buffer.data(), held) == 0)
                    touch(address, length);
                quorSetValueForBaseVProperty(node, key, size, value.data(), held);
                break;
            case 22:
                quorGetRCForRProperty(node, key, &rc, held);
                quorSetRCForVProperty(node, key, rc + 1, held);
                quorGetRCForIVProperty(node, tag, id.size(), id.data(), &rc, held);
                quorSetRCForIRProperty(node, tag, id.size(), id.data(), rc + 1, held);
                quorGetRCForBaseVProperty(node, key, &rc, held);
                quorSetRCForBaseRProperty(node, key, rc + 1, held);
                if (quorGetAddressForRPropertyValue(node, key, &address) == 0) touch(address, 4);
                if (quorGetAddressForIVPropertyValue(node, tag, id.size(), id.data(), &address) == 0)
                    touch(address, 1);
                break;
            case 23: {
                RPropertyRec_t *r = nullptr;
                IRPropertyRec_t *ir = nullptr;
                quorGetAddressForRProperty(node, key, &r);
                quorGetAddressForIRProperty(node, tag, id.size(), id.data(), &ir);
                r = someRecord(in, r, 0);
                ir = someRecord(in, ir, 1);
                if (quorGetValueAndRCForRProperty(node, r, &n, &rc, held) == 0)
                    quorSetValueAndRCForRProperty(node, r, n + 1, rc, held);
                if (quorGetValueAndRCForIRProperty(node, ir, &n, &rc, held) == 0)
                    quorSetValueAndRCForIRProperty(node, ir, n + 1, rc, held);
                RPropertyRec_t *base = nullptr;
                if (quorGetAddressForBaseRProperty(node, key, &base) == 0) touch(base, sizeof *base);
                quorGetValueAndRCForBaseRProperty(node, someRecord(in, base, 2), &n, &rc, held);
                break;
            }
            case 24: {
                VPropertyRec_t *v = nullptr;
                IVPropertyRec_t *iv = nullptr;
                quorGetAddressForVProperty(node, key, &v);
                quorGetAddressForIVProperty(node, tag, id.size(), id.data(), &iv);
                v = someRecord(in, v, 3);
                iv = someRecord(in, iv, 4);
                length = in.ConsumeIntegralInRange<uint64_t>(0, buffer.size());
                if (quorGetValueAndRCForVProperty(node, v, &length, &address, buffer.data(), &rc, held) == 0)
                    quorSetValueAndRCForVProperty(node, v, size, value.data(), rc, held);
                length = in.ConsumeIntegralInRange<uint64_t>(0, buffer.size());
                if (quorGetValueAndRCForIVProperty(node, iv, &length, &address, buffer.data(), &rc, held) == 0)
                    quorSetValueAndRCForIVProperty(node, iv, size, value.data(), rc, held);
                VPropertyRec_t *base = nullptr;
                quorGetAddressForBaseVProperty(node, key, &base);
                length = buffer.size();
                quorGetValueAndRCForBaseVProperty(node, someRecord(in, base, 5), &length, &address, buffer.data(),
                                                  &rc, held);
                quorSetValueAndRCForBaseVProperty(node, someRecord(in, base, 5), size, value.data(), rc, held);
                break;
            }
            case 25: {
                constexpr uint64_t kSlots = 8, kSlotSize = 16;
                const uint64_t want = in.ConsumeIntegralInRange<uint64_t>(0, kSlots);
                const uint64_t slotSize = in.ConsumeIntegralInRange<uint64_t>(0, kSlotSize);
                const uint64_t which = in.ConsumeBool() ? 0 : key;
                std::array<uint64_t, kSlots> keys{}, lengths{}, sizes{};
                std::array<char, kSlots * kSlotSize> ids{};
                quorGetNumberOfRProperties(node, &count, &capacity, held);
                quorGetNumberOfIVProperties(node, &count, &capacity, held);
                quorGetVPropertiesNoForGivenTag(node, which, &count, held);
                quorGetIRPropertiesNoForGivenTag(node, tag, &count, held);
                quorReturnIVPropertyCount(node, which, &count, held);
                quorReturnRPropertyCount(node, which, &count, held);
                quorReturnRProperties(node, keys.data(), which, want, held);
                quorReturnVProperties(node, keys.data(), sizes.data(), which, want, held);
                quorReturnIRProperties(node, keys.data(), lengths.data(), ids.data(), which, want, slotSize, held);
                quorReturnIVProperties(node, keys.data(), lengths.data(), ids.data(), sizes.data(), which, want,
                                       slotSize, held);
                quorReturnBaseRProperty(node, &count, held);
                quorReturnBaseVProperty(node, &count, &length, held);
                uint32_t changes[QUOR_EXPORT_LIST_ENTRIES] = {};
                changes[key % QUOR_EXPORT_LIST_ENTRIES] = static_cast<uint32_t>(tag);
                quorReturnExports(node, &count);
                quorExportListOfChangedProperties(node, nullptr, changes);
                break;
            }
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static NodeImage images[2] = {NodeImage(true), NodeImage(false)};
    FuzzedDataProvider in(data, size);
    const NodeImage &image = images[in.ConsumeBool() ? 1 : 0];
    const uint64_t nodeSize = image.pristine.size();
    auto *bytes = static_cast<unsigned char *>(std::malloc(nodeSize));
    std::memcpy(bytes, image.pristine.data(), nodeSize);
    corrupt(in, bytes, nodeSize, image.kept);
    Run run{reinterpret_cast<SNodeCB_t *>(bytes)};
    for (size_t i = 0; i < kMaxOperations && in.remaining_bytes() > 0; ++i) run.step(in);
    std::free(bytes);
    return 0;
}
