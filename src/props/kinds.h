// The six property kinds, written once as traits.
//
// A kind says which record it keeps (pinned below: every process that maps the
// node reads these bytes), where its area header keeps the maximum sizes and the
// table sizes, how large a flat record and a hashed LL node are once the area's
// maxima are known, and which codes it reports. Everything else in src/props is a
// template over one of these traits, so a seventh copy of a rule can not drift
// from the other five.
//
// Sizes: the maxima that enter a size (maxIdSize, maxVSize) are the rounded
// values recorded in the area header; a record is `recordBase` bytes followed by
// the ID room (tagged kinds) and then the value room (byte-string kinds); an LL
// node is `llBase` bytes of links and record header followed by the same rooms.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quor/quor.h"

namespace quor::props {

// What names a property: a number (R, V, BaseR, BaseV) or a tag with an ID (IR,
// IV). The ID bytes are the caller's and are read only for idLength bytes.
struct Key {
    uint64_t number = 0;  // the number, or the tag of a tagged kind
    uint64_t idLength = 0;
    const char *id = nullptr;
};

// The codes one kind reports; 0 where the kind has no such failure.
struct KindCodes {
    uint32_t noArea;             // the node's areaFlags lack the kind
    uint32_t areaTooSmall;       // flat list (or Base record) does not fit
    uint32_t tableAreaTooSmall;  // hashed list's full table does not fit
    uint32_t listFull;           // flat add: no free slot and no room to append
    uint32_t duplicate;          // the key is already there
    uint32_t notFound;           // add/delete/locate: no such property
    uint32_t notInHashTable;     // the hashed search found nothing
    uint32_t outOfArea;          // a record address outside the area
    uint32_t locationOutOfArea;  // the same, as the flat first/next walk reports it
    uint32_t tooMany;            // count or maxCount above the limit
};

inline constexpr uint64_t kNoWord = ~uint64_t{0};  // a header word the kind does not have

// Header words are u64s; their byte offsets from the area start.
struct HeaderLayout {
    uint64_t maxIdAt;     // maxIdSize, or kNoWord
    uint64_t maxVAt;      // maxVSize, or kNoWord
    uint64_t tableAt;     // the table size (tag+ID table for tagged kinds), or kNoWord
    uint64_t flatSize;    // H of a flat area: where the records start
    uint64_t hashedSize;  // H of a hashed area: where the buckets start
};

struct RKind {
    using Record = RPropertyRec_t;
    using LLNode = RPropertyLLNode_t;
    static constexpr uint64_t bit = QUOR_KIND_R;
    static constexpr bool tagged = false, bytesValue = false, base = false;
    static constexpr unsigned tables = 1;
    static constexpr HeaderLayout header{kNoWord, kNoWord, 0, 8, 8};
    static constexpr KindCodes codes{QUOR_RC_NO_R_AREA,
                                     QUOR_RC_R_AREA_TOO_SMALL,
                                     QUOR_RC_R_TABLE_AREA_TOO_SMALL,
                                     QUOR_RC_R_LIST_FULL,
                                     QUOR_RC_DUPLICATE_R,
                                     QUOR_RC_R_NOT_FOUND,
                                     QUOR_RC_R_NOT_IN_HASH_TABLE,
                                     QUOR_RC_R_OUT_OF_AREA,
                                     QUOR_RC_R_OUT_OF_AREA,
                                     QUOR_RC_TOO_MANY_R_PROPERTIES};
};

struct VKind {
    using Record = VPropertyRec_t;
    using LLNode = VPropertyLLNode_t;
    static constexpr uint64_t bit = QUOR_KIND_V;
    static constexpr bool tagged = false, bytesValue = true, base = false;
    static constexpr unsigned tables = 1;
    static constexpr HeaderLayout header{kNoWord, 0, 8, 16, 16};
    // The flat walk of a V area has always reported its strays with the R code;
    // peers compare against it, so it stays.
    static constexpr KindCodes codes{QUOR_RC_NO_V_AREA,
                                     QUOR_RC_V_AREA_TOO_SMALL,
                                     QUOR_RC_V_TABLE_AREA_TOO_SMALL,
                                     QUOR_RC_V_LIST_FULL,
                                     QUOR_RC_DUPLICATE_V,
                                     QUOR_RC_V_NOT_FOUND,
                                     QUOR_RC_V_NOT_IN_HASH_TABLE,
                                     QUOR_RC_V_OUT_OF_AREA,
                                     QUOR_RC_R_OUT_OF_AREA,
                                     QUOR_RC_TOO_MANY_V_PROPERTIES};
};

struct IRKind {
    using Record = IRPropertyRec_t;
    using LLNode = IRPropertyLLNode_t;
    static constexpr uint64_t bit = QUOR_KIND_IR;
    static constexpr bool tagged = true, bytesValue = false, base = false;
    static constexpr unsigned tables = 3;
    static constexpr HeaderLayout header{0, kNoWord, 8, 16, 32};
    static constexpr KindCodes codes{QUOR_RC_NO_IR_AREA,
                                     QUOR_RC_IR_AREA_TOO_SMALL,
                                     QUOR_RC_IR_TABLE_AREA_TOO_SMALL,
                                     QUOR_RC_IR_LIST_FULL,
                                     QUOR_RC_DUPLICATE_IR,
                                     QUOR_RC_IR_NOT_FOUND,
                                     QUOR_RC_IR_NOT_IN_HASH_TABLE,
                                     QUOR_RC_IR_OUT_OF_AREA,
                                     QUOR_RC_IR_OUT_OF_AREA,
                                     QUOR_RC_TOO_MANY_IR_PROPERTIES};
};

struct IVKind {
    using Record = IVPropertyRec_t;
    using LLNode = IVPropertyLLNode_t;
    static constexpr uint64_t bit = QUOR_KIND_IV;
    static constexpr bool tagged = true, bytesValue = true, base = false;
    static constexpr unsigned tables = 3;
    static constexpr HeaderLayout header{0, 8, 16, 24, 40};
    static constexpr KindCodes codes{QUOR_RC_NO_IV_AREA,
                                     QUOR_RC_IV_AREA_TOO_SMALL,
                                     QUOR_RC_IV_TABLE_AREA_TOO_SMALL,
                                     QUOR_RC_IV_LIST_FULL,
                                     QUOR_RC_DUPLICATE_IV,
                                     QUOR_RC_IV_NOT_FOUND,
                                     QUOR_RC_IV_NOT_IN_HASH_TABLE,
                                     QUOR_RC_IV_OUT_OF_AREA,
                                     QUOR_RC_IV_OUT_OF_AREA,
                                     QUOR_RC_TOO_MANY_IV_PROPERTIES};
};

// The Base kinds hold one record and no table; LLNode names the record so that
// the templates over all six kinds stay well-formed.
struct BaseRKind {
    using Record = RPropertyRec_t;
    using LLNode = RPropertyRec_t;
    static constexpr uint64_t bit = QUOR_KIND_BASER;
    static constexpr bool tagged = false, bytesValue = false, base = true;
    static constexpr unsigned tables = 0;
    static constexpr HeaderLayout header{kNoWord, kNoWord, kNoWord, 0, 0};
    static constexpr KindCodes codes{
        QUOR_RC_NO_BASER_AREA,     QUOR_RC_BASER_AREA_TOO_SMALL, 0, 0, 0, QUOR_RC_BASER_NOT_FOUND, 0,
        QUOR_RC_BASER_OUT_OF_AREA, QUOR_RC_BASER_OUT_OF_AREA,    0};
};

struct BaseVKind {
    using Record = VPropertyRec_t;
    using LLNode = VPropertyRec_t;
    static constexpr uint64_t bit = QUOR_KIND_BASEV;
    static constexpr bool tagged = false, bytesValue = true, base = true;
    static constexpr unsigned tables = 0;
    static constexpr HeaderLayout header{kNoWord, 0, kNoWord, 8, 8};
    static constexpr KindCodes codes{
        QUOR_RC_NO_BASEV_AREA,     QUOR_RC_BASEV_AREA_TOO_SMALL, 0, 0, 0, QUOR_RC_BASEV_NOT_FOUND, 0,
        QUOR_RC_BASEV_OUT_OF_AREA, QUOR_RC_BASEV_OUT_OF_AREA,    0};
};

// ---- sizes ---------------------------------------------------------------------

// Bytes of a record before its rooms, and of an LL node before its rooms.
template <class K>
inline constexpr uint64_t recordBase = sizeof(typename K::Record);
template <class K>
inline constexpr uint64_t llBase = K::base ? 0 : sizeof(typename K::LLNode);
// Where the record sits inside its LL node.
template <class K>
inline constexpr uint64_t llRecordAt = K::base ? 0 : sizeof(typename K::LLNode) - sizeof(typename K::Record);

// The rooms that follow a record header: the ID room, then the value room.
template <class K>
constexpr uint64_t roomSize(uint64_t maxIdSize, uint64_t maxVSize) {
    return (K::tagged ? maxIdSize : 0) + (K::bytesValue ? maxVSize : 0);
}
template <class K>
constexpr uint64_t recordSize(uint64_t maxIdSize, uint64_t maxVSize) {
    return recordBase<K> + roomSize<K>(maxIdSize, maxVSize);
}
template <class K>
constexpr uint64_t llNodeSize(uint64_t maxIdSize, uint64_t maxVSize) {
    return llBase<K> + roomSize<K>(maxIdSize, maxVSize);
}
// Offsets inside a record of its ID bytes and its value bytes.
template <class K>
constexpr uint64_t idAt() {
    return recordBase<K>;
}
template <class K>
constexpr uint64_t valueAt(uint64_t maxIdSize) {
    return recordBase<K> + (K::tagged ? maxIdSize : 0);
}

// Two words at the tail of every hashed area: the freed count and the next free
// offset; freed LL node offsets stack below them.
inline constexpr uint64_t kStackWords = 16;

// The bytes a hashed area needs for a full table: header, every bucket, the
// stack's two words and `tableSize` LL nodes. List creation refuses an area
// below it, and the node sizing starts from it.
template <class K>
constexpr uint64_t hashedRoom(uint64_t tableSize, uint64_t allBuckets, uint64_t maxIdSize,
                              uint64_t maxVSize) {
    return K::header.hashedSize + 8 * allBuckets + kStackWords +
           tableSize * llNodeSize<K>(maxIdSize, maxVSize);
}

// The key word of a record (number or tag; 0 marks a free flat slot or an
// emptied Base record).
template <class Record>
inline uint64_t &keyWord(Record &record) {
    return *reinterpret_cast<uint64_t *>(&record);
}

// Runs fn.template operator()<K>() for the table kind selected by `kind` (R, V,
// IR, IV); any other selector gives QUOR_RC_BAD_PROPERTY_KIND.
template <class Fn>
uint32_t withTableKind(uint64_t kind, Fn &&fn) {
    switch (kind) {
        case QUOR_KIND_R:
            return fn.template operator()<RKind>();
        case QUOR_KIND_V:
            return fn.template operator()<VKind>();
        case QUOR_KIND_IR:
            return fn.template operator()<IRKind>();
        case QUOR_KIND_IV:
            return fn.template operator()<IVKind>();
        default:
            return QUOR_RC_BAD_PROPERTY_KIND;
    }
}

// ---- formats -------------------------------------------------------------------

static_assert(offsetof(RPropertyRec_t, number) == 0 && offsetof(RPropertyRec_t, rc) == 8);
static_assert(offsetof(RPropertyRec_t, value) == 16 && sizeof(RPropertyRec_t) == 144);
static_assert(offsetof(VPropertyRec_t, number) == 0 && offsetof(VPropertyRec_t, rc) == 8);
static_assert(offsetof(VPropertyRec_t, valueOffset) == 16 && offsetof(VPropertyRec_t, valueSize) == 24);
static_assert(offsetof(VPropertyRec_t, latches) == 32 && offsetof(VPropertyRec_t, padding) == 420);
static_assert(sizeof(VPropertyRec_t) == 424);
static_assert(offsetof(IRPropertyRec_t, tag) == 0 && offsetof(IRPropertyRec_t, rc) == 8);
static_assert(offsetof(IRPropertyRec_t, idOffset) == 16 && offsetof(IRPropertyRec_t, idLength) == 24);
static_assert(offsetof(IRPropertyRec_t, value) == 32 && offsetof(IRPropertyRec_t, latches) == 160);
static_assert(offsetof(IRPropertyRec_t, padding) == 548 && sizeof(IRPropertyRec_t) == 552);
static_assert(offsetof(IVPropertyRec_t, tag) == 0 && offsetof(IVPropertyRec_t, rc) == 8);
static_assert(offsetof(IVPropertyRec_t, idOffset) == 16 && offsetof(IVPropertyRec_t, idLength) == 24);
static_assert(offsetof(IVPropertyRec_t, valueOffset) == 32 && offsetof(IVPropertyRec_t, valueSize) == 40);
static_assert(offsetof(IVPropertyRec_t, latches) == 48 && offsetof(IVPropertyRec_t, padding) == 436);
static_assert(sizeof(IVPropertyRec_t) == 440);

static_assert(offsetof(RPropertyLLNode_t, next) == 0 && offsetof(RPropertyLLNode_t, record) == 8);
static_assert(sizeof(RPropertyLLNode_t) == 152);
static_assert(offsetof(VPropertyLLNode_t, next) == 0 && offsetof(VPropertyLLNode_t, record) == 8);
static_assert(sizeof(VPropertyLLNode_t) == 432);
static_assert(offsetof(IRPropertyLLNode_t, next) == 0 && offsetof(IRPropertyLLNode_t, tagNext) == 8);
static_assert(offsetof(IRPropertyLLNode_t, tagPrev) == 16 && offsetof(IRPropertyLLNode_t, idNext) == 24);
static_assert(offsetof(IRPropertyLLNode_t, idPrev) == 32 && offsetof(IRPropertyLLNode_t, record) == 40);
static_assert(sizeof(IRPropertyLLNode_t) == 592);
static_assert(offsetof(IVPropertyLLNode_t, next) == 0 && offsetof(IVPropertyLLNode_t, tagNext) == 8);
static_assert(offsetof(IVPropertyLLNode_t, tagPrev) == 16 && offsetof(IVPropertyLLNode_t, idNext) == 24);
static_assert(offsetof(IVPropertyLLNode_t, idPrev) == 32 && offsetof(IVPropertyLLNode_t, record) == 40);
static_assert(sizeof(IVPropertyLLNode_t) == 480);

// The public size macros say the same as the traits.
static_assert(recordSize<RKind>(0, 0) == QUOR_R_RECORD_SIZE && llNodeSize<RKind>(0, 0) == QUOR_R_LLNODE_SIZE);
static_assert(recordSize<VKind>(0, 16) == QUOR_V_RECORD_SIZE(16) &&
              llNodeSize<VKind>(0, 16) == QUOR_V_LLNODE_SIZE(16));
static_assert(recordSize<IRKind>(8, 0) == QUOR_IR_RECORD_SIZE(8) &&
              llNodeSize<IRKind>(8, 0) == QUOR_IR_LLNODE_SIZE(8));
static_assert(recordSize<IVKind>(8, 16) == QUOR_IV_RECORD_SIZE(8, 16) &&
              llNodeSize<IVKind>(8, 16) == QUOR_IV_LLNODE_SIZE(8, 16));
static_assert(recordSize<BaseRKind>(0, 0) == 144 && recordSize<BaseVKind>(0, 8) == 432);
static_assert(llRecordAt<IRKind> == 40 && llRecordAt<VKind> == 8 && llRecordAt<BaseVKind> == 0);

}  // namespace quor::props
