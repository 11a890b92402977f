// The checked view of one property area, and its two layouts.
//
// An area is reached only through the node's area directory (tree::openArea);
// everything this view hands out lies inside that area, and every word it reads
// from the area is bounded before it becomes an address. A corrupt area gives a
// code, never a read or write outside the area.
//
// Layouts (offsets from the area start; u64 words):
//  - Flat (table size 0): header of H = K::header.flatSize bytes, then records of
//    recordSize() bytes back to back. (usedSize - H) / recordSize records are in
//    use; free slots (key 0) may sit anywhere among them.
//  - Hashed (table size > 0): header of K::header.hashedSize bytes, the bucket
//    arrays (tag+ID, tag, ID tables for the tagged kinds), then LL nodes of
//    llNodeSize() bytes laid upwards from llStart(); the memory stack sits at the
//    tail: freed count at end - 8, next free offset at end - 16, the i-th freed
//    LL node offset at end - 24 - 8i.
// Every LL node ever handed out lies at llStart() + k * llNodeSize(): fresh
// nodes are taken at the next free offset, which only moves up by one node,
// and freed nodes are reused in place. llNode() insists on that lattice, so a
// corrupt link can name neither the header, nor a bucket, nor half a node.
//
// Offsets stored in an area (links, buckets, stack entries, next free offset)
// are from the start of the node.
//
// Thread safety: the view is a snapshot taken by one thread. Callers hold the
// node's read or write section (tree/access.h) for as long as they use it; only
// a writer changes usedSize (setUsed) or anything the view hands out.
#pragma once

#include <cstdint>

#include "props/kinds.h"
#include "tree/directory.h"

namespace quor::props {

inline constexpr uint64_t kMaxFreedCount = QUOR_MAX_COUNT;  // entries the memory stack may record

// The maxima recorded in an area header (0 where the kind has none).
struct Maxima {
    uint64_t maxIdSize = 0;
    uint64_t maxVSize = 0;
};

// The limits every header read applies.
inline uint32_t checkMaxIdSize(uint64_t maxIdSize) {
    return maxIdSize > QUOR_MAX_ID_SIZE ? QUOR_RC_BAD_MAX_ID_SIZE : QUOR_RC_OK;
}
inline uint32_t checkMaxVSize(uint64_t maxVSize) {
    return maxVSize == 0 || maxVSize > QUOR_MAX_V_SIZE ? QUOR_RC_BAD_MAX_V_SIZE : QUOR_RC_OK;
}
inline uint32_t checkTableSize(uint64_t tableSize, uint64_t areaSize) {
    return tableSize > QUOR_MAX_HT_SIZE || tableSize > areaSize ? QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE
                                                                : QUOR_RC_OK;
}

// Whether `distance` is a whole number of `stride`s (stride > 0): the LL-node
// lattice check of every chain step. The stride is a run-time value (the
// area's maxima), so its remainder would be a 64-bit division per step; below
// kTabledStrides it is a multiplication by the inverse of the stride's odd part
// instead. For odd o and x * o < 2^64, x * inverse(o) (mod 2^64) is x / o, at
// most x, exactly when o divides x, and above x otherwise; distances up to 2^32
// and strides below 2^10 keep x * o in range. Larger ones take the division.
namespace lattice {

inline constexpr uint64_t kTabledStrides = 1024;

struct Divisor {
    uint64_t inverse = 0;  // of the stride's odd part, modulo 2^64
    uint64_t lowMask = 0;  // the bits its power-of-two part must find clear
    unsigned shift = 0;    // that power's exponent
};

constexpr Divisor divisorOf(uint64_t stride) {
    Divisor d;
    while ((stride & 1) == 0) {
        stride >>= 1;
        ++d.shift;
    }
    d.lowMask = (uint64_t{1} << d.shift) - 1;
    // Newton's step doubles the bits of the inverse that are right; an odd
    // number is its own inverse modulo 8.
    uint64_t inverse = stride;
    for (int i = 0; i < 5; ++i) inverse *= 2 - stride * inverse;
    d.inverse = inverse;
    return d;
}

struct Divisors {
    Divisor of[kTabledStrides];
};
inline constexpr Divisors kDivisors = [] {
    Divisors all;
    for (uint64_t stride = 1; stride < kTabledStrides; ++stride) all.of[stride] = divisorOf(stride);
    return all;
}();

}  // namespace lattice

inline bool wholeStrides(uint64_t distance, uint64_t stride) {
    if (stride < lattice::kTabledStrides && distance <= UINT32_MAX) [[likely]] {
        const lattice::Divisor &d = lattice::kDivisors.of[stride];
        if ((distance & d.lowMask) != 0) return false;
        const uint64_t x = distance >> d.shift;
        return x * d.inverse <= x;
    }
    return distance % stride == 0;
}

template <class K>
class PropertyArea {
public:
    using Record = typename K::Record;
    using LLNode = typename K::LLNode;

    // Opens the area without reading its header, for the list creations that
    // write it: the kind's bit in areaFlags (K::codes.noArea), then the
    // directory's checks (their codes pass through).
    uint32_t openUnformatted(SNodeCB_t *node) {
        // Field by field: a whole-object reset costs a block store on the hot
        // path, and openArea resets the area snapshot itself.
        used_ = 0;
        maxima_ = Maxima();
        tables_[0] = tables_[1] = tables_[2] = 0;
        if ((node->areaFlags & K::bit) == 0) {
            area_ = tree::Area();
            return K::codes.noArea;
        }
        return tree::openArea(node, K::bit, &area_);
    }

    // Opens the area and reads its header: maxIdSize <= 4096
    // (QUOR_RC_BAD_MAX_ID_SIZE), maxVSize in 1..0x3000000
    // (QUOR_RC_BAD_MAX_V_SIZE), every table size <= 100003 and <= areaSize, and
    // for a hashed area the tag and ID tables non-empty and header, buckets and
    // the stack's two words inside the area (QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE).
    // A header that does not fit the area gives K::codes.outOfArea.
    uint32_t open(SNodeCB_t *node) {
        if (uint32_t rc = openUnformatted(node); rc != 0) return rc;
        return readHeader();
    }
    // The header part of open, on a view that openUnformatted opened.
    uint32_t readHeader() {
        if (uint32_t rc = readMaxima(); rc != 0) return rc;
        return readTables();
    }
    // On a view that openUnformatted opened: the size of table 0 as the header
    // word holds it now, unchecked (0 when the kind has no tables or the word
    // lies outside the area). Only a guess, for deciding what to fetch ahead.
    uint64_t tableSizeWord() const {
        if constexpr (K::header.tableAt == kNoWord) {
            return 0;
        } else {
            const uint64_t *word = area_.at<uint64_t>(K::header.tableAt);
            return word == nullptr ? 0 : __atomic_load_n(word, __ATOMIC_RELAXED);
        }
    }

    // Opens the area and reads only its maxima, with the limits of open; the
    // size queries and the input check need no more.
    uint32_t openMaxima(SNodeCB_t *node) {
        if (uint32_t rc = openUnformatted(node); rc != 0) return rc;
        return readMaxima();
    }
    // The rest of open on a view that openMaxima opened.
    uint32_t openTables() { return readTables(); }

    SNodeCB_t *node() const { return area_.node(); }
    const tree::Area &area() const { return area_; }
    uint64_t offset() const { return area_.offset(); }  // from the node start
    uint64_t size() const { return area_.size(); }
    uint64_t end() const { return area_.offset() + area_.size(); }  // from the node start

    // usedSize as read at open, and the writer's update of it.
    uint64_t used() const { return used_; }
    void setUsed(uint64_t used) {
        used_ = used;
        area_.record()->usedSize = used;
    }
    // Takes `bytes` off usedSize; false (nothing written) when usedSize is
    // smaller, which only a corrupt area shows.
    bool shrinkUsed(uint64_t bytes) {
        if (used_ < bytes) return false;
        setUsed(used_ - bytes);
        return true;
    }

    const Maxima &maxima() const { return maxima_; }
    uint64_t maxIdSize() const { return maxima_.maxIdSize; }
    uint64_t maxVSize() const { return maxima_.maxVSize; }
    // Table t: 0 the number (or tag+ID) table, 1 the tag table, 2 the ID table.
    uint64_t tableSize(unsigned t = 0) const { return tables_[t]; }
    bool hashed() const { return tables_[0] != 0; }
    uint64_t headerSize() const { return hashed() ? K::header.hashedSize : K::header.flatSize; }
    uint64_t recordSize() const { return props::recordSize<K>(maxima_.maxIdSize, maxima_.maxVSize); }
    uint64_t llNodeSize() const { return props::llNodeSize<K>(maxima_.maxIdSize, maxima_.maxVSize); }

    // A header word (creation writes through it); null outside the area.
    uint64_t *word(uint64_t at) const { return area_.at<uint64_t>(at); }

    // The node-relative offset of an address inside the area (location rule).
    bool nodeOffsetOf(const void *p, uint64_t *nodeOffset) const {
        uint64_t inArea = 0;
        if (!area_.offsetOf(p, &inArea)) return false;
        *nodeOffset = area_.offset() + inArea;
        return true;
    }

    // ---- records and their rooms ----

    // The whole record (header and rooms) `offsetInArea` bytes in; null when
    // any of it lies outside the area.
    Record *recordAt(uint64_t offsetInArea) const {
        if (area_.at<unsigned char>(offsetInArea, recordSize()) == nullptr) return nullptr;
        return area_.at<Record>(offsetInArea);
    }
    // The `length` ID bytes of a record's room; null when the length exceeds
    // the room or the room leaves the area.
    char *idBytes(const Record &record, uint64_t length) const {
        if (!K::tagged || length > maxima_.maxIdSize) return nullptr;
        return roomBytes<char>(record, idAt<K>(), length);
    }
    // The `length` value bytes of a record's room, likewise.
    unsigned char *valueBytes(const Record &record, uint64_t length) const {
        if (!K::bytesValue || length > maxima_.maxVSize) return nullptr;
        return roomBytes<unsigned char>(record, valueAt<K>(maxima_.maxIdSize), length);
    }

    // ---- flat layout ----

    uint64_t flatInUse() const {
        const uint64_t h = K::header.flatSize;
        return used_ < h ? 0 : (used_ - h) / recordSize();
    }
    // count <= flatInUse(), multiplied out: a walk asks it on every step.
    bool flatHolds(uint64_t count) const {
        const uint64_t h = K::header.flatSize;
        uint64_t bytes = 0;
        return used_ >= h && !__builtin_mul_overflow(count, recordSize(), &bytes) && bytes <= used_ - h;
    }
    uint64_t flatCapacity() const {
        const uint64_t h = K::header.flatSize;
        return area_.size() < h ? 0 : (area_.size() - h) / recordSize();
    }
    // Flat record `index`; null when it does not lie wholly inside the area.
    Record *flatRecord(uint64_t index) const {
        uint64_t at = 0;
        if (__builtin_mul_overflow(index, recordSize(), &at) ||
            __builtin_add_overflow(at, K::header.flatSize, &at)) {
            return nullptr;
        }
        return recordAt(at);
    }

    // ---- hashed layout ----

    uint64_t bucketCount() const { return tables_[0] + tables_[1] + tables_[2]; }
    // Node-relative offset of bucket `index` of table t (the field a chain's
    // first prev link names).
    uint64_t bucketOffset(unsigned t, uint64_t index) const {
        uint64_t first = K::header.hashedSize;
        for (unsigned i = 0; i < t; ++i) first += 8 * tables_[i];
        return area_.offset() + first + 8 * index;
    }
    uint64_t *bucket(unsigned t, uint64_t index) const {
        if (t >= 3 || index >= tables_[t]) return nullptr;
        return area_.at<uint64_t>(bucketOffset(t, index) - area_.offset());
    }
    // Node-relative offset of the first LL node.
    uint64_t llStart() const { return bucketOffset(0, 0) + 8 * bucketCount(); }
    // The LL node at a node-relative offset; null unless it is on the LL
    // lattice and lies wholly below the stack's two words.
    LLNode *llNode(uint64_t nodeOffset) const {
        const uint64_t start = llStart(), stride = llNodeSize();
        if (nodeOffset < start || !wholeStrides(nodeOffset - start, stride)) return nullptr;
        if (area_.size() < kStackWords + stride) return nullptr;
        if (nodeOffset - area_.offset() > area_.size() - kStackWords - stride) return nullptr;
        return area_.at<LLNode>(nodeOffset - area_.offset());
    }
    Record &recordOf(LLNode &ll) const { return ll.record; }
    // The tail words of the memory stack: freed count, next free offset, and
    // entry i (0 the oldest); null outside the area.
    uint64_t *freedCountWord() const { return tailWord(8); }
    uint64_t *nextFreeWord() const { return tailWord(16); }
    uint64_t *freedEntry(uint64_t i) const { return i >= kMaxFreedCount ? nullptr : tailWord(24 + 8 * i); }
    // The stack's two words as one pair: [0] the next free offset, [1] the
    // freed count; null outside the area.
    const uint64_t *stackWords() const {
        return area_.size() < kStackWords ? nullptr : area_.at<uint64_t>(area_.size() - kStackWords, 2);
    }

private:
    uint32_t readMaxima() {
        constexpr HeaderLayout h = K::header;
        used_ = area_.record()->usedSize;
        const uint64_t *words = area_.at<uint64_t>(0, h.flatSize / 8);
        if (words == nullptr) return K::codes.outOfArea;
        if constexpr (h.maxIdAt != kNoWord) {
            maxima_.maxIdSize = words[h.maxIdAt / 8];
            if (uint32_t rc = checkMaxIdSize(maxima_.maxIdSize); rc != 0) return rc;
        }
        if constexpr (h.maxVAt != kNoWord) {
            maxima_.maxVSize = words[h.maxVAt / 8];
            if (uint32_t rc = checkMaxVSize(maxima_.maxVSize); rc != 0) return rc;
        }
        return QUOR_RC_OK;
    }

    uint32_t readTables() {
        constexpr HeaderLayout h = K::header;
        if constexpr (h.tableAt != kNoWord) {
            const uint64_t *first = area_.at<uint64_t>(h.tableAt);
            if (first == nullptr) return K::codes.outOfArea;
            tables_[0] = *first;
            if (uint32_t rc = checkTableSize(tables_[0], area_.size()); rc != 0) return rc;
            if (tables_[0] == 0) return QUOR_RC_OK;
            if constexpr (K::tables == 3) {
                const uint64_t *more = area_.at<uint64_t>(h.tableAt + 8, 2);
                if (more == nullptr) return K::codes.outOfArea;
                for (unsigned t = 1; t < 3; ++t) {
                    tables_[t] = more[t - 1];
                    if (tables_[t] == 0) return QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE;
                    if (uint32_t rc = checkTableSize(tables_[t], area_.size()); rc != 0) return rc;
                }
            }
            if (h.hashedSize + 8 * bucketCount() + kStackWords > area_.size())
                return QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE;
        }
        return QUOR_RC_OK;
    }

    template <class Byte>
    Byte *roomBytes(const Record &record, uint64_t at, uint64_t length) const {
        uint64_t inArea = 0;
        if (!area_.offsetOf(&record, &inArea)) return nullptr;
        return area_.at<Byte>(inArea + at, length);
    }

    uint64_t *tailWord(uint64_t fromEnd) const {
        return fromEnd > area_.size() ? nullptr : area_.at<uint64_t>(area_.size() - fromEnd);
    }

    // Every open sets all of these before anything reads them; a view that was
    // never opened is used by no one. Left out of the construction, so that a
    // view on the stack costs no block clear on the hot paths; the used size
    // alone starts at 0 (one store), which the optimiser cannot always see set
    // on the paths that read it.
    tree::Area area_;
    uint64_t used_ = 0;
    Maxima maxima_;
    uint64_t tables_[3];
};

}  // namespace quor::props
