// The value, RC, count and listing operations of one (kind, layout) adapter,
// driven by the adapter's integer keys, so that one typed suite covers them all.
#pragma once

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "props_fixture.h"

namespace quor::test {

template <class A>
struct ValueOps : A {
    using K = typename A::Kind;
    using Record = typename K::Record;
    using Value = std::conditional_t<K::bytesValue, std::string, int32_t>;
    static constexpr bool isR = std::is_same_v<K, props::RKind>, isV = std::is_same_v<K, props::VKind>,
                          isIR = std::is_same_v<K, props::IRKind>;

    // The value the adapter's add gives a key, and a run of other values (byte
    // values of every length 1..kMaxV).
    static Value initial(uint64_t key) {
        if constexpr (K::bytesValue)
            return valueOf(key);
        else
            return static_cast<int32_t>(isR ? key * 3 : key);
    }
    static Value sample(uint64_t i) {
        if constexpr (K::bytesValue)
            return std::string(i % kMaxV + 1, static_cast<char>('A' + i % 26));
        else
            return static_cast<int32_t>(i * 7919) - 50000;
    }
    // What a key is counted and listed by: its number, or its tag.
    static uint64_t selector(uint64_t key) { return K::tagged ? tagOf(key) : key; }

    // ---- by key ----

    static uint32_t get(SNodeCB_t *node, uint64_t key, Value *out, uint32_t inCs = 0) {
        const std::string id = idOf(key);
        if constexpr (K::bytesValue) {
            char buffer[kMaxV] = {};
            uint64_t size = 0;
            void *address = nullptr;
            uint32_t rc = isV ? quorGetValueForVProperty(node, key, &size, &address, buffer, inCs)
                              : quorGetValueForIVProperty(node, tagOf(key), id.size(), id.data(), &size,
                                                          &address, buffer, inCs);
            if (rc == 0) *out = std::string(buffer, size);
            return rc;
        } else {
            return isR ? quorGetValueForRProperty(node, key, out, inCs)
                       : quorGetValueForIRProperty(node, tagOf(key), id.size(), id.data(), out, inCs);
        }
    }

    static uint32_t set(SNodeCB_t *node, uint64_t key, const Value &value, uint32_t inCs = 0) {
        const std::string id = idOf(key);
        if constexpr (K::bytesValue)
            return isV ? quorSetValueForVProperty(node, key, value.size(), value.data(), inCs)
                       : quorSetValueForIVProperty(node, tagOf(key), id.size(), id.data(), value.size(),
                                                   value.data(), inCs);
        else
            return isR ? quorSetValueForRProperty(node, key, value, inCs)
                       : quorSetValueForIRProperty(node, tagOf(key), id.size(), id.data(), value, inCs);
    }

    static uint32_t getRC(SNodeCB_t *node, uint64_t key, uint64_t *out) {
        const std::string id = idOf(key);
        if constexpr (isR) return quorGetRCForRProperty(node, key, out, 0);
        if constexpr (isV) return quorGetRCForVProperty(node, key, out, 0);
        if constexpr (isIR) return quorGetRCForIRProperty(node, tagOf(key), id.size(), id.data(), out, 0);
        if constexpr (K::tagged && K::bytesValue)
            return quorGetRCForIVProperty(node, tagOf(key), id.size(), id.data(), out, 0);
    }

    static uint32_t setRC(SNodeCB_t *node, uint64_t key, uint64_t rc) {
        const std::string id = idOf(key);
        if constexpr (isR) return quorSetRCForRProperty(node, key, rc, 0);
        if constexpr (isV) return quorSetRCForVProperty(node, key, rc, 0);
        if constexpr (isIR) return quorSetRCForIRProperty(node, tagOf(key), id.size(), id.data(), rc, 0);
        if constexpr (K::tagged && K::bytesValue)
            return quorSetRCForIVProperty(node, tagOf(key), id.size(), id.data(), rc, 0);
    }

    static uint32_t valueAddress(SNodeCB_t *node, uint64_t key, void **out) {
        const std::string id = idOf(key);
        if constexpr (isR) return quorGetAddressForRPropertyValue(node, key, out);
        if constexpr (isV) return quorGetAddressForVPropertyValue(node, key, out);
        if constexpr (isIR)
            return quorGetAddressForIRPropertyValue(node, tagOf(key), id.size(), id.data(), out);
        if constexpr (K::tagged && K::bytesValue)
            return quorGetAddressForIVPropertyValue(node, tagOf(key), id.size(), id.data(), out);
    }

    // ---- through a record address ----

    static uint32_t getViaRecord(SNodeCB_t *node, Record *record, Value *out, uint64_t *rc) {
        if constexpr (K::bytesValue) {
            char buffer[kMaxV] = {};
            uint64_t size = sizeof buffer;
            void *address = nullptr;
            uint32_t code = 0;
            if constexpr (isV)
                code = quorGetValueAndRCForVProperty(node, record, &size, &address, buffer, rc, 0);
            else
                code = quorGetValueAndRCForIVProperty(node, record, &size, &address, buffer, rc, 0);
            if (code == 0) *out = std::string(buffer, size);
            return code;
        } else if constexpr (isR) {
            return quorGetValueAndRCForRProperty(node, record, out, rc, 0);
        } else {
            return quorGetValueAndRCForIRProperty(node, record, out, rc, 0);
        }
    }

    static uint32_t setViaRecord(SNodeCB_t *node, Record *record, const Value &value, uint64_t rc) {
        if constexpr (isR) return quorSetValueAndRCForRProperty(node, record, value, rc, 0);
        if constexpr (isV)
            return quorSetValueAndRCForVProperty(node, record, value.size(), value.data(), rc, 0);
        if constexpr (isIR) return quorSetValueAndRCForIRProperty(node, record, value, rc, 0);
        if constexpr (K::tagged && K::bytesValue)
            return quorSetValueAndRCForIVProperty(node, record, value.size(), value.data(), rc, 0);
    }

    // ---- counts ----

    static uint32_t countAll(SNodeCB_t *node, uint64_t *count, uint64_t *capacity) {
        if constexpr (isR) return quorGetNumberOfRProperties(node, count, capacity, 0);
        if constexpr (isV) return quorGetNumberOfVProperties(node, count, capacity, 0);
        if constexpr (isIR) return quorGetNumberOfIRProperties(node, count, capacity, 0);
        if constexpr (K::tagged && K::bytesValue)
            return quorGetNumberOfIVProperties(node, count, capacity, 0);
    }

    static uint32_t countWith(SNodeCB_t *node, uint64_t value, uint64_t *count) {
        if constexpr (isR) return quorGetRPropertiesNoForGivenTag(node, value, count, 0);
        if constexpr (isV) return quorGetVPropertiesNoForGivenTag(node, value, count, 0);
        if constexpr (isIR) return quorGetIRPropertiesNoForGivenTag(node, value, count, 0);
        if constexpr (K::tagged && K::bytesValue)
            return quorGetIVPropertiesNoForGivenTag(node, value, count, 0);
    }

    static uint32_t checkedCount(SNodeCB_t *node, uint64_t value, uint64_t *count) {
        if constexpr (isR) return quorReturnRPropertyCount(node, value, count, 0);
        if constexpr (isV) return quorReturnVPropertyCount(node, value, count, 0);
        if constexpr (isIR) return quorReturnIRPropertyCount(node, value, count, 0);
        if constexpr (K::tagged && K::bytesValue) return quorReturnIVPropertyCount(node, value, count, 0);
    }

    // ---- listings ----

    // The caller's arrays of a listing of `capacity` entries, prefilled with a
    // sentinel so that what the listing leaves alone shows.
    static constexpr uint64_t kSentinel = 0xabababababababab;
    struct Listing {
        std::vector<uint64_t> keys, idLengths, valueSizes;
        std::vector<char> ids;
        explicit Listing(uint64_t capacity)
            : keys(capacity + 1, kSentinel),
              idLengths(capacity + 1, kSentinel),
              valueSizes(capacity + 1, kSentinel),
              ids((capacity + 1) * kMaxId, '#') {}

        // The adapter key of entry i, from its number or its ID; 0 for a zero entry.
        uint64_t keyAt(uint64_t i) const {
            if (keys[i] == 0) return 0;
            if constexpr (!K::tagged) {
                return keys[i];
            } else {
                const std::string id(&ids[i * kMaxId], idLengths[i]);
                return std::stoull(id.substr(1)) / 37;
            }
        }
    };

    static uint32_t list(SNodeCB_t *node, uint64_t value, uint64_t capacity, Listing *out) {
        uint64_t *keys = out->keys.data(), *lengths = out->idLengths.data(), *sizes = out->valueSizes.data();
        char *ids = out->ids.data();
        if constexpr (isR) return quorReturnRProperties(node, keys, value, capacity, 0);
        if constexpr (isV) return quorReturnVProperties(node, keys, sizes, value, capacity, 0);
        if constexpr (isIR)
            return quorReturnIRProperties(node, keys, lengths, ids, value, capacity, kMaxId, 0);
        if constexpr (K::tagged && K::bytesValue)
            return quorReturnIVProperties(node, keys, lengths, ids, sizes, value, capacity, kMaxId, 0);
    }
};

}  // namespace quor::test
