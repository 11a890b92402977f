// Table sizing, digit keys and bucket indexes, and their exported operations.
#include "props/hashing.h"

#include <array>
#include <utility>

#include "frame/export.h"
#include "frame/trace.h"
#include "tree/sizing.h"

namespace quor::props {

unsigned digitKey(uint64_t number, char *key) {
    unsigned length = 0;
    do {
        key[length++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    return length;
}

namespace {

// What two digit characters of a key do to the hash, in key order (the less
// significant digit first), for every pair value 0..99: p goes to p * times +
// plus, x takes `xors`, a takes `adds` (see hashBytes).
struct DigitPair {
    uint64_t times, plus, xors, adds;
};

constexpr auto kDigitPairs = [] {
    std::array<DigitPair, 100> pairs{};
    for (uint64_t value = 0; value < 100; ++value) {
        const uint64_t first = '0' + value % 10, second = '0' + value / 10;
        const uint64_t c0 = first + 1, c1 = second + 1;
        pairs[value] = {c0 * c1, c0 * c1 + c1, first ^ second, first + second};
    }
    return pairs;
}();

}  // namespace

// hashBytes over digitKey(number), without the key: two digits per step, each
// step a table entry, so neither the division chain nor the multiply chain runs
// a step per digit.
uint64_t hashNumber(uint64_t number) {
    uint64_t x = 0, a = 0, p = 0;
    for (;;) {
        if (number < 10) {
            const uint64_t b = '0' + number;
            x ^= b;
            a += b;
            p = (p + 1) * (b + 1);
            break;
        }
        const DigitPair &pair = kDigitPairs[number % 100];
        number /= 100;
        x ^= pair.xors;
        a += pair.adds;
        p = p * pair.times + pair.plus;
        if (number == 0) break;
    }
    return x ^ a ^ p;
}

constinit thread_local TableReciprocal lastTableReciprocal{};

namespace {

uint32_t tagIndex(Trace &t, uint64_t tag, uint64_t tableSize, uint64_t *indexOut) {
    if (indexOut == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (tableSize == 0) return t.failWith(20, QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE, 0);
    *indexOut = numberBucket(tag, tableSize);
    return QUOR_RC_OK;
}

uint32_t pairIndexes(Trace &t, uint64_t tag, const char *id, uint64_t idLength, const uint64_t sizes[3],
                     uint64_t *const outs[3]) {
    if (id == nullptr && idLength != 0) return t.failWith(10, QUOR_RC_NULL_ID, 0);
    for (unsigned i = 0; i < 3; ++i) {
        if (outs[i] == nullptr) return t.failWith(20 + i, QUOR_RC_NULL_PARAMETER, 0);
        if (sizes[i] == 0) return t.failWith(30 + i, QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE, i);
    }
    const TagIdBuckets b = tagIdBuckets(tag, id, idLength, sizes[0], sizes[1], sizes[2]);
    *outs[0] = b.tagId;
    *outs[1] = b.tag;
    *outs[2] = b.id;
    return QUOR_RC_OK;
}

}  // namespace
}  // namespace quor::props

using namespace quor;

QUOR_EXPORT uint32_t quorGetPrimeNumber(uint64_t n, uint64_t *primeOut) {
    return traced(Fn::quorGetPrimeNumber, [&](Trace &t) {
        if (primeOut == nullptr) return QUOR_RC_OK;
        const uint64_t prime = tree::primeAtLeast(n);
        if (prime == 0) return t.failWith(10, QUOR_RC_NO_PRIME_AT_OR_ABOVE, n);
        *primeOut = prime;
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorConvertNumberToKey(uint64_t number, char *keyOut, uint64_t *lengthOut) {
    return traced(Fn::quorConvertNumberToKey, [&](Trace &) {
        if (keyOut != nullptr && lengthOut != nullptr) *lengthOut = props::digitKey(number, keyOut);
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorReverseByteSequence(char *bytes, uint64_t length) {
    return traced(Fn::quorReverseByteSequence, [&](Trace &t) {
        if (bytes == nullptr && length != 0) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        for (uint64_t i = 0, j = length; i + 1 < j; ++i, --j) std::swap(bytes[i], bytes[j - 1]);
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorGetHTIndexForTag(uint64_t tag, uint64_t tableSize, uint64_t *indexOut) {
    return traced(Fn::quorGetHTIndexForTag,
                  [&](Trace &t) { return props::tagIndex(t, tag, tableSize, indexOut); });
}

QUOR_EXPORT uint32_t quorGetHTIndex(uint64_t tag, const char *id, uint64_t idLength, uint64_t tagIdTableSize,
                                    uint64_t tagTableSize, uint64_t idTableSize, uint64_t *tagIdIndexOut,
                                    uint64_t *tagIndexOut, uint64_t *idIndexOut) {
    const uint64_t sizes[3] = {tagIdTableSize, tagTableSize, idTableSize};
    uint64_t *const outs[3] = {tagIdIndexOut, tagIndexOut, idIndexOut};
    return traced(Fn::quorGetHTIndex,
                  [&](Trace &t) { return props::pairIndexes(t, tag, id, idLength, sizes, outs); });
}
