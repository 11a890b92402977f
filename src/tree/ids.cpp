// Identifiers: lists of byte-string components held as an array of u64
// lengths and one buffer of the components back to back, built, released,
// compared and printed.
#include "tree/ids.h"

#include <cstdio>
#include <cstring>

#include "frame/export.h"
#include "frame/state.h"
#include "frame/trace.h"
#include "tree/directory.h"

namespace quor::tree {
namespace {

// The codes an identifier kind reports: node IDs (kinds 0x2 and 0x800) and
// property IDs (0x200 and 0x400) have their own pair.
struct IdCodes {
    uint32_t tooLong, badMaximum;
};

// The kind's codes, or false when no identifier is built for it.
bool idCodes(uint32_t kind, IdCodes *codes) {
    switch (areaBitNumber(kind)) {
        case 1:
        case 11:
            *codes = {QUOR_RC_ID_SIZE_TOO_LARGE, QUOR_RC_MAX_ID_SIZE_TOO_LARGE};
            return true;
        case 9:
        case 10:
            *codes = {QUOR_RC_ID_TOO_LONG, QUOR_RC_BAD_MAX_ID_SIZE};
            return true;
        default:
            return false;
    }
}

uint32_t createId(Trace &t, char **buffer, uint64_t **lengths, const char **strings, uint64_t maxLength,
                  uint64_t count, uint32_t kind, const uint32_t *key) {
    if (buffer == nullptr || lengths == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (strings == nullptr) return t.failWith(20, QUOR_RC_NULL_ID_COMPONENT, 0);
    if (key == nullptr) return t.failWith(30, QUOR_RC_NULL_PARAMETER, 0);
    IdCodes codes{};
    if (!idCodes(kind, &codes)) return t.failWith(40, QUOR_RC_BAD_PROPERTY_KIND, kind);
    if (count == 0 || count > QUOR_MAX_COUNT) return t.failWith(50, QUOR_RC_BAD_ID_COUNT, count);
    if (maxLength > QUOR_MAX_ID_SIZE) return t.failWith(60, codes.badMaximum, maxLength);
    uint64_t total = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (strings[i] == nullptr) return t.failWith(70, QUOR_RC_NULL_ID_COMPONENT, i);
        const uint64_t length = strnlen(strings[i], maxLength + 1);
        if (length > maxLength) return t.failWith(80, codes.tooLong, i);
        total += length;
    }
    if (*key != QUOR_EYECATCHER) return t.failWith(90, QUOR_RC_BAD_EYECATCHER, *key);
    uint64_t *lengthArray = nullptr;
    char *out = nullptr;
    if (allocPrivate(&lengthArray, src::props, count) != 0) return t.fail(100, QUOR_RC_ID_ALLOC_FAILED);
    // An identifier of empty components still gets a buffer of its own.
    if (allocPrivate(&out, src::props, total != 0 ? total : 1) != 0) {
        (void)freePrivate(&lengthArray, src::props);
        return t.fail(110, QUOR_RC_ID_ALLOC_FAILED);
    }
    for (uint64_t i = 0, at = 0; i < count; ++i) {
        lengthArray[i] = strnlen(strings[i], maxLength);
        std::memcpy(out + at, strings[i], lengthArray[i]);
        at += lengthArray[i];
    }
    *buffer = out;
    *lengths = lengthArray;
    return QUOR_RC_OK;
}

uint32_t deleteId(Trace &t, char *buffer, uint64_t *lengths, const uint32_t *key) {
    if (key == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (*key != QUOR_EYECATCHER) return t.failWith(20, QUOR_RC_BAD_EYECATCHER, *key);
    // Both blocks go back to the host as given, a null one included: the host
    // refuses what it never handed out, and that refusal is the caller's answer.
    uint32_t rc = freePrivate(&lengths, src::props);
    if (rc != 0) (void)t.fail(30, rc);
    if (uint32_t bufferRc = freePrivate(&buffer, src::props); bufferRc != 0)
        rc = merged(rc, t.fail(40, bufferRc));
    return rc;
}

uint32_t compareId(Trace &t, const char *id1, uint64_t length1, const char *id2, uint64_t length2,
                   uint32_t kind, int64_t *result) {
    // One kind value each, not a bit: a kind with further bits set is refused.
    switch (kind) {
        case QUOR_KIND_ID:
        case QUOR_KIND_PARENT:
        case QUOR_KIND_IR:
        case QUOR_KIND_IV:
        case QUOR_KIND_DEPENDENTS:
            break;
        default:
            return t.failWith(10, QUOR_RC_BAD_PROPERTY_KIND, kind);
    }
    if (id1 == nullptr || id2 == nullptr) return t.failWith(20, QUOR_RC_NULL_ID, 0);
    if (length1 > QUOR_MAX_ID_SIZE) return t.failWith(30, QUOR_RC_BAD_ID_LENGTH, length1);
    if (length2 > QUOR_MAX_ID_SIZE) return t.failWith(40, QUOR_RC_BAD_ID_LENGTH, length2);
    if (result == nullptr) return t.failWith(50, QUOR_RC_NULL_COMPARE_OUTPUT, 0);
    if (length1 != length2) {
        *result = length1 < length2 ? -1 : 1;
    } else {
        const int order = length1 != 0 ? std::memcmp(id1, id2, length1) : 0;
        *result = order < 0 ? -1 : (order > 0 ? 1 : 0);
    }
    return QUOR_RC_OK;
}

uint32_t compareTagIdTraced(Trace &t, uint64_t tag1, const char *id1, uint64_t length1, uint64_t tag2,
                            const char *id2, uint64_t length2, uint32_t kind, int64_t *result) {
    if (kind != QUOR_KIND_IR && kind != QUOR_KIND_IV && kind != QUOR_KIND_ID && kind != QUOR_KIND_DEPENDENTS)
        return t.failWith(10, QUOR_RC_BAD_PROPERTY_KIND, kind);
    if (id1 == nullptr) return t.failWith(20, QUOR_RC_NULL_ID, 1);
    if (id2 == nullptr) return t.failWith(30, QUOR_RC_NULL_ID, 2);
    if (result == nullptr) return t.failWith(40, QUOR_RC_NULL_COMPARE_OUTPUT, 0);
    if (tag1 > QUOR_MAX_TAG) return t.failWith(50, QUOR_RC_SIZE_TOO_LARGE, tag1);
    if (tag2 > QUOR_MAX_TAG) return t.failWith(60, QUOR_RC_SIZE_TOO_LARGE, tag2);
    if (length1 > QUOR_MAX_ID_SIZE) return t.failWith(70, QUOR_RC_BAD_ID_LENGTH, length1);
    if (length2 > QUOR_MAX_ID_SIZE) return t.failWith(80, QUOR_RC_BAD_ID_LENGTH, length2);
    *result = compareTagId(tag1, id1, length1, tag2, id2, length2);
    return QUOR_RC_OK;
}

uint32_t printId(Trace &t, const char *id, uint64_t length) {
    if (id == nullptr) return t.failWith(10, QUOR_RC_NULL_ID, 0);
    if (length > QUOR_MAX_ID_SIZE) return t.failWith(20, QUOR_RC_ID_TOO_LONG, length);
    for (uint64_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(id[i]);
        std::putchar(byte >= 0x20 && byte <= 0x7E ? byte : '.');
    }
    return QUOR_RC_OK;
}

}  // namespace

}  // namespace quor::tree

using namespace quor;

QUOR_EXPORT uint32_t quorCreateID(char **buffer, uint64_t **lengths, const char **strings, uint64_t maxLength,
                                  uint64_t count, uint32_t kind, const uint32_t *key) {
    return traced(Fn::quorCreateID, [&](Trace &t) {
        return tree::createId(t, buffer, lengths, strings, maxLength, count, kind, key);
    });
}

QUOR_EXPORT uint32_t quorDeleteID(char *buffer, uint64_t *lengths, const uint32_t *key) {
    return traced(Fn::quorDeleteID, [&](Trace &t) { return tree::deleteId(t, buffer, lengths, key); });
}

QUOR_EXPORT uint32_t quorCompareID(const char *id1, uint64_t length1, const char *id2, uint64_t length2,
                                   uint32_t kind, int64_t *result) {
    return traced(Fn::quorCompareID,
                  [&](Trace &t) { return tree::compareId(t, id1, length1, id2, length2, kind, result); });
}

QUOR_EXPORT uint32_t quorPrintID(const char *id, uint64_t length) {
    return traced(Fn::quorPrintID, [&](Trace &t) { return tree::printId(t, id, length); });
}

QUOR_EXPORT uint32_t quorCompareTagID(uint64_t tag1, const char *id1, uint64_t length1, uint64_t tag2,
                                      const char *id2, uint64_t length2, uint32_t kind, int64_t *result) {
    return traced(Fn::quorCompareTagID, [&](Trace &t) {
        return tree::compareTagIdTraced(t, tag1, id1, length1, tag2, id2, length2, kind, result);
    });
}
