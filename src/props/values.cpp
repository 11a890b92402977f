// Values and RC words of existing properties, for all six kinds: value and Base
// record addresses, reading and writing values by key, value and RC together
// through a record address, and the RC alone.
//
// A 32-bit value lives in the record's host atomic and is read with an add of 0
// and written with a swap; a byte value is copied in and out of the record's
// value room under the node's section, its size cleared before its bytes and
// stored after them, so a reader in the section always finds a size that
// belongs to the bytes, and a writer's death leaves a size no value has.
#include <cstring>

#include "frame/export.h"
#include "props/reading.h"

namespace quor::props {
namespace {

using tree::Access;

// ---- record and value addresses (no section: the caller holds one) ----

// The address of what `project(area, record)` names in the record with the key.
template <class K, class Project>
uint32_t addressOf(Fn fn, SNodeCB_t *node, const Key &key, void **out, Project project) {
    return traced(fn, [&](Trace &t) {
        Maxima maxima;
        if (uint32_t rc = checkInput<K>(t, node, key, 1, &maxima); rc != 0) return rc;
        if (out == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        PropertyArea<K> area;
        typename K::Record *record = nullptr;
        if (uint32_t rc = findChecked<K>(t, node, key, &area, &record); rc != 0) return rc;
        *out = project(area, *record);
        return QUOR_RC_OK;
    });
}

template <class K>
uint32_t valueAddress(Fn fn, SNodeCB_t *node, const Key &key, void **out) {
    return addressOf<K>(fn, node, key, out,
                        [](const PropertyArea<K> &area, typename K::Record &record) -> void * {
                            if constexpr (K::bytesValue)
                                return area.valueBytes(record, 0);
                            else
                                return record.value;
                        });
}

template <class K>
uint32_t recordAddress(Fn fn, SNodeCB_t *node, uint64_t number, typename K::Record **out) {
    return addressOf<K>(
        fn, node, Key{number}, reinterpret_cast<void **>(out),
        [](const PropertyArea<K> &, typename K::Record &record) -> void * { return &record; });
}

// ---- the two ways to a record inside the section ----

// Runs body(area, record) on the record with the key, inside the node's section
// of `access` unless the caller holds it. Every argument check that needs no
// shared data runs first (node, number, null ID, value size 0, then outputs(),
// the operation's own null checks), so that an argument error never waits for
// the latch nor depends on it. Inside the section come the checks that need the
// area's header (ID length and value size against its maxima), run on the very
// area the record is then found in: one open serves both, and the maxima
// checked are the ones the work goes by. Then the node's condition, the area
// and the record.
template <class K, class Outputs, class Body>
uint32_t withKeyedRecord(Trace &t, SNodeCB_t *node, const Key &key, uint64_t valueSize, Access access,
                         uint32_t inCriticalSection, Outputs outputs, Body body) {
    if (uint32_t rc = checkPlainArguments<K>(t, node, key, valueSize); rc != 0) [[unlikely]]
        return rc;
    if (uint32_t rc = outputs(); rc != 0) [[unlikely]]
        return rc;
    // The bucket is worked out (and fetched) while no latch is held, unless the
    // caller's section is held already.
    const BucketHint hint = inCriticalSection == 0 ? bucketHint<K>(node, key) : BucketHint();
    return tree::inSection(t, 30, node, access, inCriticalSection, [&] {
        PropertyArea<K> area;
        // The area's own failures come after the condition's, as they always did.
        uint32_t areaRc = QUOR_RC_OK;
        if constexpr (kChecksHeader<K>) {
            Maxima maxima;
            if ((node->areaFlags & K::bit) != 0) {
                if (uint32_t rc = area.openMaxima(node); rc != 0) [[unlikely]]
                    return t.fail(3, rc);
                maxima = area.maxima();
                areaRc = area.openTables();
            } else {
                areaRc = K::codes.noArea;
            }
            if (uint32_t rc = checkAgainstMaxima<K>(t, key, valueSize, maxima); rc != 0) [[unlikely]]
                return rc;
        } else {
            areaRc = area.open(node);
        }
        if (uint32_t rc = checkReadableCondition(t, node); rc != 0) [[unlikely]]
            return rc;
        if (areaRc != 0) [[unlikely]]
            return t.fail(21, areaRc);
        typename K::Record *record = nullptr;
        if (uint32_t rc = findRecord(area, key, &record, hint); rc != 0) return t.fail(22, rc);
        return body(area, *record);
    });
}

// Runs body(area, record) on a record the caller located earlier: inside the
// section, the node's condition (mask 0x28), the area, and the address a live
// record of it (liveRecordIn: K::codes.outOfArea or QUOR_RC_NOT_A_LIVE_RECORD
// otherwise).
template <class K, class Body>
uint32_t withGivenRecord(Trace &t, SNodeCB_t *node, void *given, Access access, uint32_t inCriticalSection,
                         Body body) {
    return tree::inSection(t, 30, node, access, inCriticalSection, [&] {
        if (uint32_t rc = checkReadableCondition(t, node); rc != 0) return rc;
        PropertyArea<K> area;
        if (uint32_t rc = area.open(node); rc != 0) [[unlikely]]
            return t.fail(21, rc);
        typename K::Record *record = nullptr;
        if (uint32_t rc = liveRecordIn(area, given, &record); rc != 0) [[unlikely]]
            return t.failWith(22, rc, reinterpret_cast<uintptr_t>(given));
        return body(area, *record);
    });
}

// ---- the value itself ----

uint32_t readInt(Trace &t, void *slot, int32_t *out) {
    return hostAtomicAdd(slot, 0, out) == 0 ? QUOR_RC_OK : t.fail(40, QUOR_RC_ATOMIC_FAILED);
}

// A swap that the host refuses is reported: the value was not written.
uint32_t writeInt(Trace &t, void *slot, int32_t value) {
    int32_t old = 0;
    return hostAtomicSwap(slot, value, &old) == 0 ? QUOR_RC_OK : t.fail(41, QUOR_RC_ATOMIC_FAILED);
}

// Copies a byte value into the record's room between two size stores: 0
// first, the new size last. A kill in between leaves size 0, which no value
// has (sizes run 1..maxVSize), so the next holder sees the value torn and drops
// the record (table.h) rather than hand out half the old bytes and half the
// new. A size beyond the room (a BaseV room smaller than the V area's maximum)
// is refused.
template <class K>
uint32_t writeBytes(Trace &t, const PropertyArea<K> &area, typename K::Record &record, uint64_t size,
                    const void *bytes) {
    unsigned char *room = area.valueBytes(record, size);
    if (room == nullptr) return t.failWith(42, QUOR_RC_BAD_VALUE_SIZE, size);
    ordered(&record.valueSize, 0);
    std::memmove(room, bytes, size);
    ordered(&record.valueSize, size);
    return QUOR_RC_OK;
}

// The checks of a byte write's arguments: null bytes (the kind's code), then
// the size against the maximum of the area that bounds it.
template <class K>
uint32_t checkNewBytes(Trace &t, SNodeCB_t *node, uint64_t size, const void *bytes) {
    if (bytes == nullptr) return t.failWith(11, readCodes<K>.nullValueBytes, 0);
    Maxima maxima;
    if (uint32_t rc = headerMaxima<K>(node, &maxima); rc != 0) return t.fail(12, rc);
    if (uint32_t rc = checkValueSize(size, maxima.maxVSize); rc != 0) return t.failWith(13, rc, size);
    return QUOR_RC_OK;
}

// ---- by key ----

constexpr auto kNoOutputs = [] { return QUOR_RC_OK; };

template <class K>
uint32_t getInt(Fn fn, SNodeCB_t *node, const Key &key, int32_t *out, uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        return withKeyedRecord<K>(
            t, node, key, 1, Access::Read, inCriticalSection,
            [&] { return out == nullptr ? t.failWith(10, readCodes<K>.nullValueOut, 0) : QUOR_RC_OK; },
            [&](const PropertyArea<K> &, typename K::Record &record) { return readInt(t, record.value, out); });
    });
}

template <class K>
uint32_t setInt(Fn fn, SNodeCB_t *node, const Key &key, int32_t value, uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        return withKeyedRecord<K>(
            t, node, key, 1, Access::Write, inCriticalSection, kNoOutputs,
            [&](const PropertyArea<K> &, typename K::Record &record) { return writeInt(t, record.value, value); });
    });
}

// Hands out the value's size and address and copies the stored value into
// `buffer` when one is given (the caller's buffer holds the area's maximum).
template <class K>
uint32_t getBytes(Fn fn, SNodeCB_t *node, const Key &key, uint64_t *sizeOut, void **addressOut, void *buffer,
                  uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        auto outputs = [&] {
            if (sizeOut == nullptr) return t.failWith(10, QUOR_RC_NULL_VALUE_SIZES, 0);
            if (addressOut == nullptr) return t.failWith(11, QUOR_RC_NULL_PARAMETER, 0);
            return QUOR_RC_OK;
        };
        return withKeyedRecord<K>(t, node, key, 1, Access::Read, inCriticalSection, outputs,
                                  [&](const PropertyArea<K> &area, typename K::Record &record) {
                                      uint64_t size = 0;
                                      const unsigned char *bytes = nullptr;
                                      if (uint32_t rc = storedValue(area, record, &size, &bytes); rc != 0)
                                          return t.fail(43, rc);
                                      *addressOut = const_cast<unsigned char *>(bytes);
                                      *sizeOut = size;
                                      if (buffer != nullptr) std::memcpy(buffer, bytes, size);
                                      return QUOR_RC_OK;
                                  });
    });
}

template <class K>
uint32_t setBytes(Fn fn, SNodeCB_t *node, const Key &key, uint64_t size, const void *bytes,
                  uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        return withKeyedRecord<K>(
            t, node, key, size, Access::Write, inCriticalSection,
            [&] { return bytes == nullptr ? t.failWith(10, readCodes<K>.nullValueBytes, 0) : QUOR_RC_OK; },
            [&](const PropertyArea<K> &area, typename K::Record &record) {
                return writeBytes(t, area, record, size, bytes);
            });
    });
}

template <class K>
uint32_t getRC(Fn fn, SNodeCB_t *node, const Key &key, uint64_t *out, uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        return withKeyedRecord<K>(
            t, node, key, 1, Access::Read, inCriticalSection,
            [&] { return out == nullptr ? t.failWith(10, QUOR_RC_NULL_RC_OUT, 0) : QUOR_RC_OK; },
            [&](const PropertyArea<K> &, typename K::Record &record) {
                *out = record.rc;
                return QUOR_RC_OK;
            });
    });
}

template <class K>
uint32_t setRC(Fn fn, SNodeCB_t *node, const Key &key, uint64_t rcWord, uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        return withKeyedRecord<K>(t, node, key, 1, Access::Write, inCriticalSection, kNoOutputs,
                                  [&](const PropertyArea<K> &, typename K::Record &record) {
                                      record.rc = rcWord;
                                      return QUOR_RC_OK;
                                  });
    });
}

// ---- through a record address: no key lookup ----

template <class K>
uint32_t getIntAndRC(Fn fn, SNodeCB_t *node, typename K::Record *given, int32_t *valueOut, uint64_t *rcOut,
                     uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        if (node == nullptr) [[unlikely]]
            return t.failWith(1, QUOR_RC_NULL_PARAMETER, 0);
        if (given == nullptr) [[unlikely]]
            return t.failWith(2, readCodes<K>.nullRecord, 0);
        if (valueOut == nullptr) [[unlikely]]
            return t.failWith(3, readCodes<K>.nullValueOut, 0);
        if (rcOut == nullptr) [[unlikely]]
            return t.failWith(4, QUOR_RC_NULL_RC_OUT, 0);
        return withGivenRecord<K>(t, node, given, Access::Read, inCriticalSection,
                                  [&](const PropertyArea<K> &, typename K::Record &record) {
                                      if (uint32_t rc = readInt(t, record.value, valueOut); rc != 0)
                                          return rc;
                                      *rcOut = record.rc;
                                      return QUOR_RC_OK;
                                  });
    });
}

template <class K>
uint32_t setIntAndRC(Fn fn, SNodeCB_t *node, typename K::Record *given, int32_t value, uint64_t rcWord,
                     uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        if (node == nullptr) return t.failWith(1, QUOR_RC_NULL_PARAMETER, 0);
        if (given == nullptr) return t.failWith(2, readCodes<K>.nullRecord, 0);
        return withGivenRecord<K>(t, node, given, Access::Write, inCriticalSection,
                                  [&](const PropertyArea<K> &, typename K::Record &record) {
                                      if (uint32_t rc = writeInt(t, record.value, value); rc != 0) return rc;
                                      record.rc = rcWord;
                                      return QUOR_RC_OK;
                                  });
    });
}

// Copies as many bytes as *sizeRef says the caller's buffer holds, but never
// beyond the record's value room; then hands out the stored size and the RC.
template <class K>
uint32_t getBytesAndRC(Fn fn, SNodeCB_t *node, typename K::Record *given, uint64_t *sizeRef,
                       void **addressOut, void *buffer, uint64_t *rcOut, uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        if (node == nullptr) return t.failWith(1, QUOR_RC_NULL_PARAMETER, 0);
        if (given == nullptr) return t.failWith(2, readCodes<K>.nullRecord, 0);
        if (rcOut == nullptr) return t.failWith(3, QUOR_RC_NULL_RC_OUT, 0);
        if (sizeRef == nullptr) return t.failWith(4, QUOR_RC_NULL_VALUE_SIZES, 0);
        if (addressOut == nullptr) return t.failWith(5, QUOR_RC_NULL_PARAMETER, 0);
        return withGivenRecord<K>(t, node, given, Access::Read, inCriticalSection,
                                  [&](const PropertyArea<K> &area, typename K::Record &record) {
                                      uint64_t size = 0;
                                      const unsigned char *bytes = nullptr;
                                      if (uint32_t rc = storedValue(area, record, &size, &bytes); rc != 0)
                                          return t.fail(43, rc);
                                      *addressOut = const_cast<unsigned char *>(bytes);
                                      if (buffer != nullptr) {
                                          const uint64_t wanted = *sizeRef, room = area.maxVSize();
                                          std::memcpy(buffer, bytes, wanted < room ? wanted : room);
                                      }
                                      *sizeRef = size;
                                      *rcOut = record.rc;
                                      return QUOR_RC_OK;
                                  });
    });
}

template <class K>
uint32_t setBytesAndRC(Fn fn, SNodeCB_t *node, typename K::Record *given, uint64_t size, const void *bytes,
                       uint64_t rcWord, uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        if (node == nullptr) return t.failWith(1, QUOR_RC_NULL_PARAMETER, 0);
        if (given == nullptr) return t.failWith(2, readCodes<K>.nullRecord, 0);
        if (uint32_t rc = checkNewBytes<K>(t, node, size, bytes); rc != 0) return rc;
        return withGivenRecord<K>(t, node, given, Access::Write, inCriticalSection,
                                  [&](const PropertyArea<K> &area, typename K::Record &record) {
                                      if (uint32_t rc = writeBytes(t, area, record, size, bytes); rc != 0)
                                          return rc;
                                      record.rc = rcWord;
                                      return QUOR_RC_OK;
                                  });
    });
}

}  // namespace
}  // namespace quor::props

using namespace quor;
using namespace quor::props;

// ---- value addresses ----

QUOR_EXPORT uint32_t quorGetAddressForRPropertyValue(SNodeCB_t *node, uint64_t number,
                                                     void **valueAddressOut) {
    return valueAddress<RKind>(Fn::quorGetAddressForRPropertyValue, node, {number}, valueAddressOut);
}

QUOR_EXPORT uint32_t quorGetAddressForIRPropertyValue(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                                      const char *id, void **valueAddressOut) {
    return valueAddress<IRKind>(Fn::quorGetAddressForIRPropertyValue, node, {tag, idLength, id},
                                valueAddressOut);
}

QUOR_EXPORT uint32_t quorGetAddressForVPropertyValue(SNodeCB_t *node, uint64_t number,
                                                     void **valueAddressOut) {
    return valueAddress<VKind>(Fn::quorGetAddressForVPropertyValue, node, {number}, valueAddressOut);
}

QUOR_EXPORT uint32_t quorGetAddressForIVPropertyValue(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                                      const char *id, void **valueAddressOut) {
    return valueAddress<IVKind>(Fn::quorGetAddressForIVPropertyValue, node, {tag, idLength, id},
                                valueAddressOut);
}

QUOR_EXPORT uint32_t quorGetAddressForBaseRPropertyValue(SNodeCB_t *node, uint64_t number,
                                                         void **valueAddressOut) {
    return valueAddress<BaseRKind>(Fn::quorGetAddressForBaseRPropertyValue, node, {number}, valueAddressOut);
}

QUOR_EXPORT uint32_t quorGetAddressForBaseVPropertyValue(SNodeCB_t *node, uint64_t number,
                                                         void **valueAddressOut) {
    return valueAddress<BaseVKind>(Fn::quorGetAddressForBaseVPropertyValue, node, {number}, valueAddressOut);
}

// ---- Base record addresses ----

QUOR_EXPORT uint32_t quorGetAddressForBaseRProperty(SNodeCB_t *node, uint64_t number,
                                                    RPropertyRec_t **recordOut) {
    return recordAddress<BaseRKind>(Fn::quorGetAddressForBaseRProperty, node, number, recordOut);
}

QUOR_EXPORT uint32_t quorGetAddressForBaseVProperty(SNodeCB_t *node, uint64_t number,
                                                    VPropertyRec_t **recordOut) {
    return recordAddress<BaseVKind>(Fn::quorGetAddressForBaseVProperty, node, number, recordOut);
}

// ---- reading values by key ----

QUOR_EXPORT uint32_t quorGetValueForRProperty(SNodeCB_t *node, uint64_t number, int32_t *valueOut,
                                              uint32_t inCriticalSection) {
    return getInt<RKind>(Fn::quorGetValueForRProperty, node, {number}, valueOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetValueForIRProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                               const char *id, int32_t *valueOut,
                                               uint32_t inCriticalSection) {
    return getInt<IRKind>(Fn::quorGetValueForIRProperty, node, {tag, idLength, id}, valueOut,
                          inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetValueForBaseRProperty(SNodeCB_t *node, uint64_t number, int32_t *valueOut,
                                                  uint32_t inCriticalSection) {
    return getInt<BaseRKind>(Fn::quorGetValueForBaseRProperty, node, {number}, valueOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetValueForVProperty(SNodeCB_t *node, uint64_t number, uint64_t *valueSizeOut,
                                              void **valueAddressOut, void *buffer,
                                              uint32_t inCriticalSection) {
    return getBytes<VKind>(Fn::quorGetValueForVProperty, node, {number}, valueSizeOut, valueAddressOut,
                           buffer, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetValueForIVProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                               const char *id, uint64_t *valueSizeOut, void **valueAddressOut,
                                               void *buffer, uint32_t inCriticalSection) {
    return getBytes<IVKind>(Fn::quorGetValueForIVProperty, node, {tag, idLength, id}, valueSizeOut,
                            valueAddressOut, buffer, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetValueForBaseVProperty(SNodeCB_t *node, uint64_t number, uint64_t *valueSizeOut,
                                                  void **valueAddressOut, void *buffer,
                                                  uint32_t inCriticalSection) {
    return getBytes<BaseVKind>(Fn::quorGetValueForBaseVProperty, node, {number}, valueSizeOut,
                               valueAddressOut, buffer, inCriticalSection);
}

// ---- writing values by key ----

QUOR_EXPORT uint32_t quorSetValueForRProperty(SNodeCB_t *node, uint64_t number, int32_t value,
                                              uint32_t inCriticalSection) {
    return setInt<RKind>(Fn::quorSetValueForRProperty, node, {number}, value, inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetValueForIRProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                               const char *id, int32_t value, uint32_t inCriticalSection) {
    return setInt<IRKind>(Fn::quorSetValueForIRProperty, node, {tag, idLength, id}, value, inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetValueForBaseRProperty(SNodeCB_t *node, uint64_t number, int32_t value,
                                                  uint32_t inCriticalSection) {
    return setInt<BaseRKind>(Fn::quorSetValueForBaseRProperty, node, {number}, value, inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetValueForVProperty(SNodeCB_t *node, uint64_t number, uint64_t valueSize,
                                              const void *value, uint32_t inCriticalSection) {
    return setBytes<VKind>(Fn::quorSetValueForVProperty, node, {number}, valueSize, value, inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetValueForIVProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                               const char *id, uint64_t valueSize, const void *value,
                                               uint32_t inCriticalSection) {
    return setBytes<IVKind>(Fn::quorSetValueForIVProperty, node, {tag, idLength, id}, valueSize, value,
                            inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetValueForBaseVProperty(SNodeCB_t *node, uint64_t number, uint64_t valueSize,
                                                  const void *value, uint32_t inCriticalSection) {
    return setBytes<BaseVKind>(Fn::quorSetValueForBaseVProperty, node, {number}, valueSize, value,
                               inCriticalSection);
}

// ---- value and RC through a record address ----

QUOR_EXPORT uint32_t quorGetValueAndRCForRProperty(SNodeCB_t *node, RPropertyRec_t *record, int32_t *valueOut,
                                                   uint64_t *rcOut, uint32_t inCriticalSection) {
    return getIntAndRC<RKind>(Fn::quorGetValueAndRCForRProperty, node, record, valueOut, rcOut,
                              inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetValueAndRCForIRProperty(SNodeCB_t *node, IRPropertyRec_t *record,
                                                    int32_t *valueOut, uint64_t *rcOut,
                                                    uint32_t inCriticalSection) {
    return getIntAndRC<IRKind>(Fn::quorGetValueAndRCForIRProperty, node, record, valueOut, rcOut,
                               inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetValueAndRCForBaseRProperty(SNodeCB_t *node, RPropertyRec_t *record,
                                                       int32_t *valueOut, uint64_t *rcOut,
                                                       uint32_t inCriticalSection) {
    return getIntAndRC<BaseRKind>(Fn::quorGetValueAndRCForBaseRProperty, node, record, valueOut, rcOut,
                                  inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetValueAndRCForVProperty(SNodeCB_t *node, VPropertyRec_t *record,
                                                   uint64_t *valueSizeRef, void **valueAddressOut,
                                                   void *buffer, uint64_t *rcOut,
                                                   uint32_t inCriticalSection) {
    return getBytesAndRC<VKind>(Fn::quorGetValueAndRCForVProperty, node, record, valueSizeRef,
                                valueAddressOut, buffer, rcOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetValueAndRCForIVProperty(SNodeCB_t *node, IVPropertyRec_t *record,
                                                    uint64_t *valueSizeRef, void **valueAddressOut,
                                                    void *buffer, uint64_t *rcOut,
                                                    uint32_t inCriticalSection) {
    return getBytesAndRC<IVKind>(Fn::quorGetValueAndRCForIVProperty, node, record, valueSizeRef,
                                 valueAddressOut, buffer, rcOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetValueAndRCForBaseVProperty(SNodeCB_t *node, VPropertyRec_t *record,
                                                       uint64_t *valueSizeRef, void **valueAddressOut,
                                                       void *buffer, uint64_t *rcOut,
                                                       uint32_t inCriticalSection) {
    return getBytesAndRC<BaseVKind>(Fn::quorGetValueAndRCForBaseVProperty, node, record, valueSizeRef,
                                    valueAddressOut, buffer, rcOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetValueAndRCForRProperty(SNodeCB_t *node, RPropertyRec_t *record, int32_t value,
                                                   uint64_t rc, uint32_t inCriticalSection) {
    return setIntAndRC<RKind>(Fn::quorSetValueAndRCForRProperty, node, record, value, rc, inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetValueAndRCForIRProperty(SNodeCB_t *node, IRPropertyRec_t *record, int32_t value,
                                                    uint64_t rc, uint32_t inCriticalSection) {
    return setIntAndRC<IRKind>(Fn::quorSetValueAndRCForIRProperty, node, record, value, rc,
                               inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetValueAndRCForBaseRProperty(SNodeCB_t *node, RPropertyRec_t *record, int32_t value,
                                                       uint64_t rc, uint32_t inCriticalSection) {
    return setIntAndRC<BaseRKind>(Fn::quorSetValueAndRCForBaseRProperty, node, record, value, rc,
                                  inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetValueAndRCForVProperty(SNodeCB_t *node, VPropertyRec_t *record,
                                                   uint64_t valueSize, const void *value, uint64_t rc,
                                                   uint32_t inCriticalSection) {
    return setBytesAndRC<VKind>(Fn::quorSetValueAndRCForVProperty, node, record, valueSize, value, rc,
                                inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetValueAndRCForIVProperty(SNodeCB_t *node, IVPropertyRec_t *record,
                                                    uint64_t valueSize, const void *value, uint64_t rc,
                                                    uint32_t inCriticalSection) {
    return setBytesAndRC<IVKind>(Fn::quorSetValueAndRCForIVProperty, node, record, valueSize, value, rc,
                                 inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetValueAndRCForBaseVProperty(SNodeCB_t *node, VPropertyRec_t *record,
                                                       uint64_t valueSize, const void *value, uint64_t rc,
                                                       uint32_t inCriticalSection) {
    return setBytesAndRC<BaseVKind>(Fn::quorSetValueAndRCForBaseVProperty, node, record, valueSize, value, rc,
                                    inCriticalSection);
}

// ---- the RC alone ----

QUOR_EXPORT uint32_t quorGetRCForRProperty(SNodeCB_t *node, uint64_t number, uint64_t *rcOut,
                                           uint32_t inCriticalSection) {
    return getRC<RKind>(Fn::quorGetRCForRProperty, node, {number}, rcOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetRCForIRProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength, const char *id,
                                            uint64_t *rcOut, uint32_t inCriticalSection) {
    return getRC<IRKind>(Fn::quorGetRCForIRProperty, node, {tag, idLength, id}, rcOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetRCForVProperty(SNodeCB_t *node, uint64_t number, uint64_t *rcOut,
                                           uint32_t inCriticalSection) {
    return getRC<VKind>(Fn::quorGetRCForVProperty, node, {number}, rcOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetRCForIVProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength, const char *id,
                                            uint64_t *rcOut, uint32_t inCriticalSection) {
    return getRC<IVKind>(Fn::quorGetRCForIVProperty, node, {tag, idLength, id}, rcOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetRCForBaseRProperty(SNodeCB_t *node, uint64_t number, uint64_t *rcOut,
                                               uint32_t inCriticalSection) {
    return getRC<BaseRKind>(Fn::quorGetRCForBaseRProperty, node, {number}, rcOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetRCForBaseVProperty(SNodeCB_t *node, uint64_t number, uint64_t *rcOut,
                                               uint32_t inCriticalSection) {
    return getRC<BaseVKind>(Fn::quorGetRCForBaseVProperty, node, {number}, rcOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetRCForRProperty(SNodeCB_t *node, uint64_t number, uint64_t rc,
                                           uint32_t inCriticalSection) {
    return setRC<RKind>(Fn::quorSetRCForRProperty, node, {number}, rc, inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetRCForIRProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength, const char *id,
                                            uint64_t rc, uint32_t inCriticalSection) {
    return setRC<IRKind>(Fn::quorSetRCForIRProperty, node, {tag, idLength, id}, rc, inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetRCForVProperty(SNodeCB_t *node, uint64_t number, uint64_t rc,
                                           uint32_t inCriticalSection) {
    return setRC<VKind>(Fn::quorSetRCForVProperty, node, {number}, rc, inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetRCForIVProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength, const char *id,
                                            uint64_t rc, uint32_t inCriticalSection) {
    return setRC<IVKind>(Fn::quorSetRCForIVProperty, node, {tag, idLength, id}, rc, inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetRCForBaseRProperty(SNodeCB_t *node, uint64_t number, uint64_t rc,
                                               uint32_t inCriticalSection) {
    return setRC<BaseRKind>(Fn::quorSetRCForBaseRProperty, node, {number}, rc, inCriticalSection);
}

QUOR_EXPORT uint32_t quorSetRCForBaseVProperty(SNodeCB_t *node, uint64_t number, uint64_t rc,
                                               uint32_t inCriticalSection) {
    return setRC<BaseVKind>(Fn::quorSetRCForBaseVProperty, node, {number}, rc, inCriticalSection);
}
