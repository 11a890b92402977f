// Bucket indexes of the property tables.
//
// Every process must find a property in the bucket where another put it, so the
// hash is a format like the records: numbers hash by their decimal digits, least
// significant first; tags and IDs by their bytes. The arithmetic wraps on u64.
// A table size of 0 can not be hashed: callers make sure the area is hashed
// before they ask for an index.
#pragma once

#include <cstdint>

#include "quor/quor.h"

namespace quor::props {

// The decimal digits of `number` as ASCII, least significant first (0 gives
// "0"); returns the count, 1..QUOR_MAX_NUMBER_KEY_LEN.
unsigned digitKey(uint64_t number, char *key);

// The seeded hash of a byte sequence; an empty one hashes to its seed. Per
// byte b: x ^= b, a += b, p = (p + 1) * (b + 1); the hash is x ^ a ^ p.
inline uint64_t hashBytes(uint64_t seed, const char *bytes, uint64_t length) {
    uint64_t x = seed, a = seed, p = seed, i = 0;
    auto byte = [&](uint64_t at) -> uint64_t { return static_cast<unsigned char>(bytes[at]); };
    // With c = b + 1 a byte takes p to p * c + c: a multiply deep, byte after
    // byte. Four bytes take it to p * C + D, where C and D come from the four
    // bytes alone and are built while the previous step of p is still being
    // multiplied, so the chain through p is a quarter as long (the same value
    // modulo 2^64).
    for (; i + 4 <= length; i += 4) {
        const uint64_t b0 = byte(i), b1 = byte(i + 1), b2 = byte(i + 2), b3 = byte(i + 3);
        x ^= b0 ^ b1 ^ b2 ^ b3;
        a += b0 + b1 + b2 + b3;
        const uint64_t c3 = b3 + 1, c23 = (b2 + 1) * c3, c123 = (b1 + 1) * c23, c0123 = (b0 + 1) * c123;
        p = p * c0123 + (c0123 + c123 + c23 + c3);
    }
    for (; i < length; ++i) {
        const uint64_t b = byte(i);
        x ^= b;
        a += b;
        p = (p + 1) * (b + 1);
    }
    return x ^ a ^ p;
}

// The hash of a number's digit key with seed 0: R and V tables, and the tag
// table of the tagged kinds.
uint64_t hashNumber(uint64_t number);

// The reciprocal of the table size a thread reduced its last hash by: a
// thread's lookups go to the same few tables, so the one division that makes
// it is paid once per change of size, not once per lookup. It is the thread's
// own and is worked out from the size alone (never read from a segment): a
// size it does not match is simply worked out afresh. Declared constinit: a
// thread variable defined in another file is otherwise reached through a check
// for an initialisation call on every access.
struct TableReciprocal {
    uint64_t size;        // 0: none yet
    uint64_t multiplier;  // floor((2^64 - 1) / size)
};
extern __attribute__((tls_model("initial-exec"))) constinit thread_local TableReciprocal lastTableReciprocal;

// A hash's bucket in a table of `tableSize` buckets: the remainder of the
// division. A size that is a power of two takes its low bits; any other
// multiplies by the thread's reciprocal of the size: the high half of
// hash * floor((2^64 - 1) / size) is the quotient or one less, so one
// subtraction corrects the remainder. The same value without a 64-bit division
// on the lookup path. Requires: tableSize > 0.
inline uint64_t bucketOf(uint64_t hash, uint64_t tableSize) {
    if ((tableSize & (tableSize - 1)) == 0) return hash & (tableSize - 1);
    TableReciprocal &reciprocal = lastTableReciprocal;
    if (reciprocal.size != tableSize) [[unlikely]]
        reciprocal = {tableSize, UINT64_MAX / tableSize};
    const uint64_t quotient =
        static_cast<uint64_t>((static_cast<unsigned __int128>(hash) * reciprocal.multiplier) >> 64);
    const uint64_t remainder = hash - quotient * tableSize;
    return remainder >= tableSize ? remainder - tableSize : remainder;
}

// Bucket of a number (or a tag in a tag table). Requires: tableSize > 0.
inline uint64_t numberBucket(uint64_t number, uint64_t tableSize) {
    return bucketOf(hashNumber(number), tableSize);
}

// The buckets of a (tag, ID) pair in the tag+ID, tag and ID tables, in that
// order. Requires: every size > 0.
struct TagIdBuckets {
    uint64_t tagId, tag, id;
};
inline TagIdBuckets tagIdBuckets(uint64_t tag, const char *id, uint64_t idLength, uint64_t tagIdSize,
                                 uint64_t tagSize, uint64_t idSize) {
    return {bucketOf(hashBytes(tag, id, idLength), tagIdSize), numberBucket(tag, tagSize),
            bucketOf(hashBytes(0, id, idLength), idSize)};
}

}  // namespace quor::props
