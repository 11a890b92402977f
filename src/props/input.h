// The argument check every property operation runs first.
#pragma once

#include <cstdint>

#include "frame/trace.h"
#include "props/area.h"

namespace quor::props {

// The maxima of the node's area of kind K as its header records them; zeros
// when the node's areaFlags lack the kind. The header limits of
// PropertyArea::openMaxima apply (QUOR_RC_BAD_MAX_ID_SIZE, QUOR_RC_BAD_MAX_V_SIZE),
// and the directory's codes pass through. Requires: node not null.
template <class K>
uint32_t headerMaxima(SNodeCB_t *node, Maxima *out) {
    *out = Maxima();
    if ((node->areaFlags & K::bit) == 0) return QUOR_RC_OK;
    PropertyArea<K> area;
    if (uint32_t rc = area.openMaxima(node); rc != 0) return rc;
    // Word by word: the two were just stored one at a time, and a copy of the
    // pair as one wide load would wait on those stores.
    out->maxIdSize = area.maxIdSize();
    out->maxVSize = area.maxVSize();
    return QUOR_RC_OK;
}

// A value size is 1, or 2..maxVSize.
inline uint32_t checkValueSize(uint64_t valueSize, uint64_t maxVSize) {
    return valueSize == 1 || (valueSize > 1 && valueSize <= maxVSize) ? QUOR_RC_OK : QUOR_RC_BAD_VALUE_SIZE;
}

// The input check of kind K, in its documented order: node null
// (QUOR_RC_NULL_PARAMETER); number or tag above 0x100000 (QUOR_RC_SIZE_TOO_LARGE);
// then for the tagged kinds the ID length against the area's maxIdSize
// (QUOR_RC_ID_TOO_LONG), for the byte-string kinds the value size against the
// maxVSize (QUOR_RC_BAD_VALUE_SIZE), and for the tagged kinds a null ID
// (QUOR_RC_NULL_ID). A BaseV value is bounded by the room its own record was
// created with (the maximum its area header records), not by the V area: the
// two are unrelated, and the record holds no more than its own room. Callers without a value size
// pass 1. *maxima receives the maxima read (zeros where the kind has none).
//
// Its two halves are there for the operations that run the second inside their
// section, on the header of the area they then work in: checkKeyArguments needs
// no header, checkAgainstMaxima takes the maxima the header gave.

// Whether kind K's input check reads its area's header (the tagged and the
// byte-string kinds).
template <class K>
inline constexpr bool kChecksHeader = K::tagged || K::bytesValue;

template <class K>
[[gnu::always_inline]] inline uint32_t checkKeyArguments(Trace &t, SNodeCB_t *node, const Key &key) {
    if (node == nullptr) [[unlikely]]
        return t.failWith(1, QUOR_RC_NULL_PARAMETER, 0);
    if (key.number > QUOR_MAX_TAG) [[unlikely]]
        return t.failWith(2, QUOR_RC_SIZE_TOO_LARGE, key.number);
    return QUOR_RC_OK;
}

// The part of the input check that needs no shared data at all (node, number,
// a null ID, a value size of 0), for the operations that check it before they
// take the node's section: an argument error then never waits for the latch.
template <class K>
[[gnu::always_inline]] inline uint32_t checkPlainArguments(Trace &t, SNodeCB_t *node, const Key &key,
                                                           uint64_t valueSize) {
    if (uint32_t rc = checkKeyArguments<K>(t, node, key); rc != 0) [[unlikely]]
        return rc;
    if constexpr (K::tagged) {
        if (key.id == nullptr) [[unlikely]]
            return t.failWith(6, QUOR_RC_NULL_ID, 0);
    }
    if constexpr (K::bytesValue) {
        if (valueSize == 0) [[unlikely]]
            return t.failWith(5, QUOR_RC_BAD_VALUE_SIZE, valueSize);
    }
    return QUOR_RC_OK;
}

template <class K>
[[gnu::always_inline]] inline uint32_t checkAgainstMaxima(Trace &t, const Key &key, uint64_t valueSize,
                                                          const Maxima &maxima) {
    if constexpr (K::tagged) {
        if (key.idLength > maxima.maxIdSize) [[unlikely]]
            return t.failWith(4, QUOR_RC_ID_TOO_LONG, key.idLength);
    }
    if constexpr (K::bytesValue) {
        if (uint32_t rc = checkValueSize(valueSize, maxima.maxVSize); rc != 0) [[unlikely]]
            return t.failWith(5, rc, valueSize);
    }
    if constexpr (K::tagged) {
        if (key.id == nullptr) [[unlikely]]
            return t.failWith(6, QUOR_RC_NULL_ID, 0);
    }
    return QUOR_RC_OK;
}

template <class K>
[[gnu::always_inline]] inline uint32_t checkInput(Trace &t, SNodeCB_t *node, const Key &key,
                                                  uint64_t valueSize, Maxima *maxima) {
    *maxima = Maxima();
    if (uint32_t rc = checkKeyArguments<K>(t, node, key); rc != 0) [[unlikely]]
        return rc;
    if constexpr (kChecksHeader<K>) {
        if (uint32_t rc = headerMaxima<K>(node, maxima); rc != 0) [[unlikely]]
            return t.fail(3, rc);
        return checkAgainstMaxima<K>(t, key, valueSize, *maxima);
    }
    return QUOR_RC_OK;
}

}  // namespace quor::props
