// The sizing pass: counts, maxima, hash modes and table sizes of every kind
// turned into the 64 area sizes of a node.
#include "tree/sizing.h"

#include <array>

#include "frame/export.h"
#include "frame/trace.h"
#include "props/kinds.h"
#include "tree/directory.h"

namespace quor::tree {

namespace {

uint64_t mulMod(uint64_t a, uint64_t b, uint64_t m) {
    return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b % m);
}

uint64_t powMod(uint64_t base, uint64_t exponent, uint64_t m) {
    uint64_t result = 1;
    for (base %= m; exponent != 0; exponent >>= 1) {
        if (exponent & 1) result = mulMod(result, base, m);
        base = mulMod(base, base, m);
    }
    return result;
}

// Whether an odd p >= 3 is prime. Trial division stops at a divisor bounded
// by p / d, which can not wrap; above 2^20 a Miller-Rabin test takes over, as
// trial division up to 2^32 would take minutes. The first twelve primes as
// bases decide every 64-bit number exactly.
bool oddPrime(uint64_t p) {
    if (p < (uint64_t{1} << 20)) {
        for (uint64_t d = 3; d <= p / d; d += 2) {
            if (p % d == 0) return false;
        }
        return true;
    }
    uint64_t odd = p - 1;
    unsigned twos = 0;
    for (; (odd & 1) == 0; odd >>= 1) ++twos;
    for (uint64_t base : {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37}) {
        uint64_t x = powMod(base, odd, p);
        if (x == 1 || x == p - 1) continue;
        bool composite = true;
        for (unsigned i = 1; i < twos && composite; ++i) {
            x = mulMod(x, x, p);
            composite = x != p - 1;
        }
        if (composite) return false;
    }
    return true;
}

}  // namespace

uint64_t primeAtLeast(uint64_t n) {
    if (n <= 1) return 1;
    for (uint64_t p = n | 1;; p += 2) {
        if (oddPrime(p)) return p;
        if (p > UINT64_MAX - 2) return 0;
    }
}

uint32_t nodeTotalSize(const uint64_t *sizes, uint64_t *total) {
    uint64_t sum = QUOR_NODE_CB_SIZE;
    for (unsigned k = 0; k < QUOR_MAX_SPACE_ARRAY_SIZE; ++k) {
        if (sizes[k] > QUOR_AREA_MAX_SIZE) return QUOR_RC_AREA_TOO_LARGE;
        sum += sizes[k];  // 64 sizes of at most 2^26 cannot overflow
    }
    if (sum > QUOR_NODE_MAX_SIZE) return QUOR_RC_BAD_NODE_SIZE;
    *total = sum;
    return QUOR_RC_OK;
}

namespace {

using SizingInput = NodeSpaceParams_t;

uint32_t checkValueSize(uint64_t v) {
    return v >= 1 && v <= QUOR_MAX_V_SIZE ? QUOR_RC_OK : QUOR_RC_MAX_V_SIZE_OUT_OF_RANGE;
}

uint32_t checkHashMode(uint32_t mode) {
    return mode == QUOR_LIST_FLAT || mode == QUOR_LIST_HASHED ? QUOR_RC_OK : QUOR_RC_BAD_HASH_MODE;
}

uint32_t tableSize(uint64_t n, uint64_t *prime) {
    *prime = primeAtLeast(n);
    return *prime != 0 && *prime <= QUOR_MAX_HT_SIZE ? QUOR_RC_OK : QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE;
}

// The tag and ID tables of the tagged kinds (IR, IV): P and Q.
uint32_t tagAndIdTables(uint64_t tagRequest, uint64_t idRequest, uint64_t *p, uint64_t *q) {
    if (tagRequest > QUOR_MAX_TABLE_REQUEST) return QUOR_RC_TAG_TABLE_SIZE_TOO_LARGE;
    if (idRequest > QUOR_MAX_TABLE_REQUEST) return QUOR_RC_ID_TABLE_SIZE_TOO_LARGE;
    if (uint32_t rc = tableSize(tagRequest, p); rc != 0) return rc;
    return tableSize(idRequest, q);
}

// A Base area: its header and its one record.
template <class K>
constexpr uint64_t baseAreaSize(uint64_t maxVSize) {
    return K::header.flatSize + props::recordSize<K>(0, maxVSize);
}

// A property list's area as its creation will need it. Flat: the header and n
// records. Hashed: the creation's own room test for a full table of t LL nodes
// (header, all buckets, the stack's two words), plus 8 bytes for each freed
// entry the memory stack may come to hold: one per table slot, since the table
// can be filled to its prime size and then emptied.
template <class K>
constexpr uint64_t listAreaSize(uint32_t mode, uint64_t n, uint64_t t, uint64_t buckets, uint64_t maxIdSize,
                                uint64_t maxVSize) {
    if (mode == QUOR_LIST_FLAT) return K::header.flatSize + n * props::recordSize<K>(maxIdSize, maxVSize);
    return props::hashedRoom<K>(t, buckets, maxIdSize, maxVSize) + 8 * t;
}

// The size of the area of bit number `bit`, or a limit's code. Maxima are
// rounded up to multiples of 8 before they enter a formula.
uint32_t areaSize(const SizingInput &in, unsigned bit, uint64_t *size) {
    const uint64_t m = round8(in.maxIdSize);
    auto nodeIdLimit = [&] {
        return in.maxIdSize > QUOR_MAX_ID_SIZE ? QUOR_RC_MAX_ID_SIZE_TOO_LARGE : QUOR_RC_OK;
    };
    uint64_t t = 0, p = 0, q = 0;
    uint32_t rc = QUOR_RC_OK;
    switch (bit) {
        case 1:  // node ID
            if ((rc = nodeIdLimit()) == 0) *size = m + 16;
            return rc;
        case 2:
            *size = 24;
            return rc;
        case 3:
            *size = 1056;
            return rc;
        case 4:  // parent
            if ((rc = nodeIdLimit()) == 0) *size = m + 72;
            return rc;
        case 5:  // BaseR
            *size = baseAreaSize<props::BaseRKind>(0);
            return rc;
        case 6:  // BaseV
            if ((rc = checkValueSize(in.baseVMaxVSize)) == 0)
                *size = baseAreaSize<props::BaseVKind>(round8(in.baseVMaxVSize));
            return rc;
        case 7: {  // R
            const uint64_t n = in.rCount;
            if (n > QUOR_MAX_COUNT) return QUOR_RC_TOO_MANY_R_PROPERTIES;
            if ((rc = checkHashMode(in.rHashMode)) != 0) return rc;
            if (in.rHashMode == QUOR_LIST_HASHED && (rc = tableSize(n, &t)) != 0) return rc;
            *size = listAreaSize<props::RKind>(in.rHashMode, n, t, t, 0, 0);
            return rc;
        }
        case 8: {  // V
            const uint64_t n = in.vCount, v = round8(in.vMaxVSize);
            if (n > QUOR_MAX_COUNT) return QUOR_RC_TOO_MANY_V_PROPERTIES;
            if ((rc = checkValueSize(in.vMaxVSize)) != 0 || (rc = checkHashMode(in.vHashMode)) != 0)
                return rc;
            if (in.vHashMode == QUOR_LIST_HASHED && (rc = tableSize(n, &t)) != 0) return rc;
            *size = listAreaSize<props::VKind>(in.vHashMode, n, t, t, 0, v);
            return rc;
        }
        case 9: {  // IR
            const uint64_t n = in.irCount, mi = round8(in.irMaxIdSize);
            if (n > QUOR_MAX_COUNT) return QUOR_RC_TOO_MANY_IR_PROPERTIES;
            if (in.irMaxIdSize > QUOR_MAX_ID_SIZE) return QUOR_RC_BAD_MAX_ID_SIZE;
            if ((rc = checkHashMode(in.irHashMode)) != 0) return rc;
            if (in.irHashMode == QUOR_LIST_HASHED &&
                ((rc = tagAndIdTables(in.irTagTableSize, in.irIdTableSize, &p, &q)) != 0 ||
                 (rc = tableSize(n, &t)) != 0))
                return rc;
            *size = listAreaSize<props::IRKind>(in.irHashMode, n, t, t + p + q, mi, 0);
            return rc;
        }
        case 10: {  // IV
            const uint64_t n = in.ivCount, mi = round8(in.ivMaxIdSize), v = round8(in.ivMaxVSize);
            if (n > QUOR_MAX_COUNT) return QUOR_RC_TOO_MANY_IV_PROPERTIES;
            if (in.ivMaxIdSize > QUOR_MAX_ID_SIZE) return QUOR_RC_BAD_MAX_ID_SIZE;
            if ((rc = checkValueSize(in.ivMaxVSize)) != 0 || (rc = checkHashMode(in.ivHashMode)) != 0)
                return rc;
            if (in.ivHashMode == QUOR_LIST_HASHED &&
                ((rc = tagAndIdTables(in.ivTagTableSize, in.ivIdTableSize, &p, &q)) != 0 ||
                 (rc = tableSize(n, &t)) != 0))
                return rc;
            *size = listAreaSize<props::IVKind>(in.ivHashMode, n, t, t + p + q, mi, v);
            return rc;
        }
        case 11:  // dependent nodes
            if (in.dependentCount > QUOR_MAX_COUNT) return QUOR_RC_TOO_MANY_DEPENDENTS;
            if ((rc = nodeIdLimit()) == 0) *size = in.dependentCount * (m + 56) + 8;
            return rc;
        case 12:
            *size = 240;
            return rc;  // export list
        default:
            *size = 0;
            return rc;
    }
}

uint32_t createMaxSpaceArray(Trace &t, const SizingInput &in, uint64_t *sizesOut, uint64_t *totalOut) {
    if (sizesOut == nullptr) return t.failWith(10, QUOR_RC_NULL_MAX_SPACE_ARRAY, 0);
    if (totalOut == nullptr) return t.failWith(20, QUOR_RC_NULL_TOTAL_SIZE_OUTPUT, 0);
    // Nothing goes out unless every kind passes its limits.
    std::array<uint64_t, QUOR_MAX_SPACE_ARRAY_SIZE> sizes{};
    uint64_t total = QUOR_NODE_CB_SIZE;
    for (unsigned bit = 1; bit <= QUOR_MAX_SPACE_ARRAY_SIZE; ++bit) {
        if (bit > QUOR_AREA_KIND_COUNT || (in.areaFlags & (uint64_t{1} << bit)) == 0) continue;
        uint64_t size = 0;
        // One failure point for every kind: the kind's bit is the recorded value.
        if (uint32_t rc = areaSize(in, bit, &size); rc != 0) return t.failWith(30, rc, bit);
        sizes[bit - 1] = round8(size);
        total += sizes[bit - 1];
    }
    for (unsigned k = 0; k < sizes.size(); ++k) sizesOut[k] = sizes[k];
    *totalOut = total;
    return QUOR_RC_OK;
}

}  // namespace

uint32_t sizeNode(const NodeSpaceParams_t &in, uint64_t *sizesOut, uint64_t *totalOut) {
    return traced(Fn::quorCreateMaxSpaceArray,
                  [&](Trace &t) { return createMaxSpaceArray(t, in, sizesOut, totalOut); });
}

}  // namespace quor::tree

using namespace quor;

QUOR_EXPORT uint32_t quorCreateMaxSpaceArray(uint64_t areaFlags, uint64_t rCount, uint64_t vCount,
                                             uint64_t irCount, uint64_t ivCount, uint64_t dependentCount,
                                             uint64_t maxIdSize, uint64_t baseVMaxVSize, uint64_t vMaxVSize,
                                             uint64_t irMaxIdSize, uint64_t ivMaxIdSize, uint64_t ivMaxVSize,
                                             uint32_t rHashMode, uint32_t vHashMode, uint32_t irHashMode,
                                             uint32_t ivHashMode, uint64_t irTagTableSize,
                                             uint64_t irIdTableSize, uint64_t ivTagTableSize,
                                             uint64_t ivIdTableSize, uint64_t *sizesOut, uint64_t *totalOut) {
    const tree::SizingInput in{areaFlags,      rCount,         vCount,        irCount,        ivCount,
                               dependentCount, maxIdSize,      baseVMaxVSize, vMaxVSize,      irMaxIdSize,
                               ivMaxIdSize,    ivMaxVSize,     rHashMode,     vHashMode,      irHashMode,
                               ivHashMode,     irTagTableSize, irIdTableSize, ivTagTableSize, ivIdTableSize};
    return tree::sizeNode(in, sizesOut, totalOut);
}
