// The argument check every property operation runs first.
#pragma once

#include <cstdint>
#include <type_traits>

#include "frame/trace.h"
#include "props/area.h"

namespace quor::props {

// The maxima of the node's area of kind K as its header records them; zeros
// when the node's areaFlags lack the kind. The header limits of
// PropertyArea::openMaxima apply (QUOR_RC_BAD_MAX_ID_SIZE, QUOR_RC_BAD_MAX_V_SIZE),
// and the directory's codes pass through. Requires: node not null.
//
// The view the maxima were read through: what comes before the section goes on
// with it instead of opening the area again. Only a view, like any taken
// outside the section: the section opens its own.
template <class K>
struct CheckedView {
    PropertyArea<K> area;
    bool opened = false;  // the area was opened with its maxima
};

template <class K>
uint32_t headerMaxima(SNodeCB_t *node, Maxima *out, CheckedView<K> *view = nullptr) {
    *out = Maxima();
    if ((node->areaFlags & K::bit) == 0) return QUOR_RC_OK;
    CheckedView<K> own;
    CheckedView<K> &checked = view != nullptr ? *view : own;
    PropertyArea<K> &area = checked.area;
    if (uint32_t rc = area.openMaxima(node); rc != 0) return rc;
    checked.opened = true;
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
// maxVSize (QUOR_RC_BAD_VALUE_SIZE; BaseV is bounded by the V area's), and for
// the tagged kinds a null ID (QUOR_RC_NULL_ID). Callers without a value size
// pass 1. *maxima receives the maxima read (zeros where the kind has none), and
// *view (when given) the view K's own header was read through, if it was.
template <class K>
[[gnu::always_inline]] inline uint32_t checkInput(Trace &t, SNodeCB_t *node, const Key &key,
                                                  uint64_t valueSize, Maxima *maxima,
                                                  CheckedView<K> *view = nullptr) {
    *maxima = Maxima();
    if (node == nullptr) [[unlikely]]
        return t.failWith(1, QUOR_RC_NULL_PARAMETER, 0);
    if (key.number > QUOR_MAX_TAG) [[unlikely]]
        return t.failWith(2, QUOR_RC_SIZE_TOO_LARGE, key.number);
    if constexpr (K::tagged || K::bytesValue) {
        // BaseV has no maximum of its own here: the V area's bounds it.
        using Source = std::conditional_t<K::base, VKind, K>;
        uint32_t rc = QUOR_RC_OK;
        if constexpr (std::is_same_v<Source, K>)
            rc = headerMaxima<K>(node, maxima, view);
        else
            rc = headerMaxima<Source>(node, maxima);
        if (rc != 0) [[unlikely]]
            return t.fail(3, rc);
        if constexpr (K::tagged) {
            if (key.idLength > maxima->maxIdSize) [[unlikely]]
                return t.failWith(4, QUOR_RC_ID_TOO_LONG, key.idLength);
        }
        if constexpr (K::bytesValue) {
            if (uint32_t rc = checkValueSize(valueSize, maxima->maxVSize); rc != 0) [[unlikely]]
                return t.failWith(5, rc, valueSize);
        }
        if constexpr (K::tagged) {
            if (key.id == nullptr) [[unlikely]]
                return t.failWith(6, QUOR_RC_NULL_ID, 0);
        }
    }
    return QUOR_RC_OK;
}

}  // namespace quor::props
