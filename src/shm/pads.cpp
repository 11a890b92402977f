// Debug pads: formats, writing, the chunk check, the debug settings and the
// listing of unfreed chunks.
#include "shm/pads.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "frame/export.h"
#include "shm/recovery.h"

namespace quor::shm {

namespace {
bool poisoning = false;
}

void setChunkPoisoning(bool on) { poisoning = on; }
bool chunkPoisoning() { return poisoning; }

void hideBytes(HeapView &h, uint64_t offset, uint64_t length) {
    if (!poisoning) return;
    if (unsigned char *at = h.bytes(offset, length); at != nullptr) poisonBytes(at, length);
}
void exposeBytes(HeapView &h, uint64_t offset, uint64_t length) {
    if (!poisoning) return;
    if (unsigned char *at = h.bytes(offset, length); at != nullptr) unpoisonBytes(at, length);
}

namespace {

// Pad words through the view; pads of a chunk lie inside the chunk, which the
// callers have bounded by the heap (a word outside it reads as 0).
template <class T>
T load(const HeapView &h, uint64_t offset) {
    T value{};
    h.load(offset, &value);
    return value;
}
template <class T>
void store(HeapView &h, uint64_t offset, T value) {
    h.store(offset, value);
}

// True when the {node offset, mark, pad type} words ending at `end` lie in the
// chunk area. An end below 16 wraps the start above the heap, where the view's
// range check refuses it; the load of the words repeats that check, which the
// compiler then drops.
bool padEndInChunkArea(const HeapView &h, uint64_t end) {
    const uint64_t start = end - sizeof(ShmPadEnd_t);
    return start >= h.spaceEnd && h.holds(start, sizeof(ShmPadEnd_t));
}

// Offsets (from the end E of the front pad, i.e. the caller's bytes) of the words
// that sit behind the node offset.
uint64_t guardBlock(PadFormat p) { return 32 + (p.checksum ? 8 : 0); }  // E - this: line
uint64_t fileAt(PadFormat p) { return guardBlock(p) + QUOR_PAD_FILE_NAME_SIZE; }

}  // namespace

void writePads(HeapView &h, uint64_t chunkOffset, uint64_t chunkSize, uint64_t userOffset,
               uint64_t nodeOffset, uint32_t padType, uint32_t f, uint32_t b, uint32_t callerId,
               uint32_t line, const char *fileName) {
    const PadFormat p = padFormat(padType);
    const uint64_t E = userOffset, X = chunkOffset + chunkSize, back = backPadBytes(p, b);
    exposeBytes(h, chunkOffset, chunkSize);
    store(h, E - 16, ShmPadEnd_t{nodeOffset, QUOR_PAD_FRONT_MARK, padType});
    if (p.checksum) store<uint64_t>(h, E - 24, QUOR_PAD_GUARD);
    if (p.guards) {
        const uint64_t g = E - guardBlock(p);
        store<uint32_t>(h, g, line);
        store<uint32_t>(h, g + 4, callerId);
        store<uint32_t>(h, g + 8, f);
        store<uint32_t>(h, g + 12, b);
        for (uint64_t i = 0; i < f; ++i) store<uint64_t>(h, chunkOffset + 8 * i, QUOR_PAD_GUARD);
    }
    if (p.file) {
        char name[QUOR_PAD_FILE_NAME_SIZE] = {};
        if (fileName != nullptr) std::strncpy(name, fileName, sizeof name - 1);
        h.copyIn(E - fileAt(p), name, sizeof name);
    }
    if (p.back) {
        store(h, X - 16, ShmPadEnd_t{nodeOffset, QUOR_PAD_BACK_MARK, padType});
        if (p.checksum) store<uint64_t>(h, X - 24, QUOR_PAD_GUARD);
        if (p.guards) {
            for (uint64_t i = 0; i < b; ++i) store<uint64_t>(h, X - back + 8 * i, QUOR_PAD_GUARD);
        }
    }
    hideBytes(h, chunkOffset, E - chunkOffset);
    hideBytes(h, X - back, back);
}

void repointPads(HeapView &h, uint64_t chunkOffset, uint64_t chunkSize, uint64_t userOffset,
                 uint64_t nodeOffset) {
    exposeBytes(h, userOffset - 16, 16);
    store<uint64_t>(h, userOffset - 16, nodeOffset);
    const PadFormat p = padFormat(load<uint32_t>(h, userOffset - 4));
    hideBytes(h, userOffset - 16, 16);
    if (p.known && p.back && userOffset + 16 <= chunkOffset + chunkSize) {
        const uint64_t X = chunkOffset + chunkSize;
        exposeBytes(h, X - 16, 16);
        store<uint64_t>(h, X - 16, nodeOffset);
        hideBytes(h, X - 16, 16);
    }
}

void relabelPads(HeapView &h, uint64_t userOffset, uint32_t callerId, uint32_t line) {
    uint32_t padType = 0;
    exposeBytes(h, userOffset - 4, 4);
    const bool read = h.load(userOffset - 4, &padType);
    hideBytes(h, userOffset - 4, 4);
    const PadFormat p = padFormat(padType);
    if (!read || !p.guards || userOffset < guardBlock(p)) return;
    const uint64_t g = userOffset - guardBlock(p);
    exposeBytes(h, g, 8);
    h.store<uint32_t>(g, line);
    h.store<uint32_t>(g + 4, callerId);
    hideBytes(h, g, 8);
}

void markFreed(HeapView &h, uint64_t userOffset) {
    exposeBytes(h, userOffset - 4, 4);
    store<uint32_t>(h, userOffset - 4, QUOR_CHUNK_FREED_MARK);
}

// ---- debug settings ------------------------------------------------------------------
//
// Every allocation reads the settings; they change seldom, and only under the
// debug latch. They are kept as two words, {debugFlags, padType} and {frontGuards,
// backGuards}, each stored whole by a change and loaded whole by an allocation
// that does not take the latch, so neither pair is ever seen torn. A change that
// runs alongside an allocation may be seen half made (one pair old, the other
// new); that is harmless: the allocation validates the values it loaded and
// carves, pads and later checks its chunk from that one copy, and the pads record
// the type and guard counts they were written with. Until the heap has allocated
// (inUse), a change may still switch pads on or off, so the first allocations
// read under the latch and mark the heap.

namespace {

using SettingsWord = uint64_t __attribute__((may_alias));
struct SettingsPair {
    uint32_t first, second;
};

// The word at `field` (the first of a pair), or null when it is not aligned for a
// whole-word access (a heap at an odd place: the latch is taken instead).
SettingsWord *settingsWord(uint32_t *field) {
    return (reinterpret_cast<uintptr_t>(field) & 7) == 0 ? reinterpret_cast<SettingsWord *>(field) : nullptr;
}

SettingsPair loadPair(SettingsWord *word) {
    const uint64_t value = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    SettingsPair pair;
    std::memcpy(&pair, &value, sizeof pair);
    return pair;
}

// Stores a pair as one word where it is aligned for it (else field by field: no
// reader then loads it without the latch).
void storePair(uint32_t *field, SettingsPair pair) {
    if (SettingsWord *word = settingsWord(field); word != nullptr) {
        uint64_t value = 0;
        std::memcpy(&value, &pair, sizeof value);
        __atomic_store_n(word, value, __ATOMIC_RELEASE);
    } else {
        field[0] = pair.first;
        field[1] = pair.second;
    }
}

// The settings read under the debug latch, marking the heap as having allocated.
// Kept out of line: the unlatched read is the one every allocation makes.
[[gnu::cold, gnu::noinline]] uint32_t readDebugSettingsLatched(const Trace &t, uint32_t probe, HeapView &h,
                                                               ShmDebugInfo_t *settings) {
    ShmDebugInfo_t &info = h.tail->debugInfo;
    ExsLatch_t *latch = &h.tail->debugLatch;
    if (uint32_t rc = enterEL(latch); rc != 0) return t.fail(probe, rc);
    auto debug = leaving(latch);
    *settings = info;
    __atomic_store_n(&info.inUse, 1u, __ATOMIC_RELEASE);
    const uint32_t rc = debug.close(QUOR_RC_OK);
    return rc != 0 ? t.fail(probe + 10, rc) : rc;
}

}  // namespace

uint32_t readDebugSettings(const Trace &t, uint32_t probe, HeapView &h, ShmDebugInfo_t *settings) {
    ShmDebugInfo_t &info = h.tail->debugInfo;
    SettingsWord *kind = settingsWord(&info.debugFlags), *guards = settingsWord(&info.frontGuards);
    if (kind != nullptr && guards != nullptr && __atomic_load_n(&info.inUse, __ATOMIC_ACQUIRE) != 0) {
        // The pad type first: a change stores the guard counts before it.
        const SettingsPair k = loadPair(kind), g = loadPair(guards);
        *settings = ShmDebugInfo_t{k.first, k.second, 1, {0, 0, 0, 0, 0}, g.first, g.second};
        return QUOR_RC_OK;
    }
    return readDebugSettingsLatched(t, probe, h, settings);
}

SLAllocNode_t *nodeOfChunkEndingAt(const HeapView &h, uint64_t end) {
    if (poisoning || !padEndInChunkArea(h, end)) return nullptr;
    const auto pad = load<ShmPadEnd_t>(h, end - sizeof(ShmPadEnd_t));
    if (pad.mark != QUOR_PAD_BACK_MARK || !padFormat(pad.padType).back || pad.nodeOffset == h.allocHead)
        return nullptr;
    SLAllocNode_t *node = h.allocNode(pad.nodeOffset);
    if (node == nullptr || pad.nodeOffset - h.S >= h.sl->slHighWater) return nullptr;
    // The chunk starts in [spaceEnd, end) (one unsigned compare) and ends at end.
    const uint64_t c = node->chunkOffset;
    return c - h.spaceEnd < end - h.spaceEnd && end - c == node->chunkSize ? node : nullptr;
}

namespace {

void report(const char *message, const char *fileName, uint32_t line) {
    hostAssertFailed(message, fileName != nullptr ? fileName : "", line);
}

// The caller's bytes of a chunk in a domain heap hold a pool heap: its header and
// node space are the chunk's extra bytes. Unreadable headers give no extra.
//
// The pool's heap is T bytes, its size rounded up to the pool granule, while the
// chunk records only the pool size as its user size. The rounding bytes lie inside
// the pool's chunk area, where blocks may cover them; counting them as slack would
// report corruption in a healthy pool. So a pool whose recorded heap size fits the
// chunk claims all of it.
uint64_t poolExtra(const HeapView &h, uint64_t userOffset, uint64_t userSize, uint64_t chunkEnd) {
    const uint64_t room = chunkEnd - userOffset;
    if (room < kHeaderBase + sizeof(SLHeader_t)) return 0;
    const uint64_t userArea = load<uint64_t>(h, userOffset + offsetof(HHeader_t, userAppAreaSize));
    if (userArea > room) return 0;
    const uint64_t headerSize = kHeaderBase + round8(userArea);
    if (room < headerSize + sizeof(SLHeader_t)) return 0;
    const uint64_t space = load<uint64_t>(h, userOffset + headerSize + offsetof(SLHeader_t, slSpaceSize));
    if (space > room - headerSize) return room;
    const uint64_t extra = headerSize + space;
    const uint64_t poolHeap = load<uint64_t>(h, userOffset + offsetof(HHeader_t, heapSize));
    if (poolHeap <= room && poolHeap >= userSize && poolHeap - userSize > extra) return poolHeap - userSize;
    return extra;
}

// The chunk's front pad bytes from `low` to userOffset, readable in this process.
class PadWindow {
public:
    PadWindow(HeapView &h, uint64_t low, uint64_t high) : h_(h), low_(low), high_(high) {
        exposeBytes(h_, low_, high_ - low_);
    }
    ~PadWindow() { hideBytes(h_, low_, high_ - low_); }

private:
    HeapView &h_;
    uint64_t low_, high_;
};

}  // namespace

uint32_t checkChunk(HeapView &h, uint64_t u, char *fileNameOut, uint32_t, uint32_t line,
                    const char *fileName) {
    const uint32_t unreadable =
        h.traits->kind == QUOR_HEAP_KIND_DOMAIN ? QUOR_RC_DOMAIN_ALLOC_CHUNK_NOT_FOUND : QUOR_RC_POOL_NO_FIT;
    if (!padEndInChunkArea(h, u)) return unreadable;
    PadWindow frontEnd(h, u - 16, u);
    const auto frontEndWords = load<ShmPadEnd_t>(h, u - 16);
    // The node is needed last but its offset is at hand: start fetching it now.
    const uint64_t N = frontEndWords.nodeOffset;
    h.prefetch(N);
    const uint32_t T = frontEndWords.padType;
    if (T == 0) return QUOR_RC_OK;
    if (T == QUOR_CHUNK_FREED_MARK) {
        report("Freeing freed memory found at:", fileName, line);
        return QUOR_RC_OK;
    }
    const PadFormat p = padFormat(T);
    if (!p.known) {
        char message[64];
        std::snprintf(message, sizeof message, "Invalid pad type (0x%X) found at:", T);
        report(message, fileName, line);
        return QUOR_RC_OK;
    }
    if (frontEndWords.mark != QUOR_PAD_FRONT_MARK)
        report("Front memory pad corruption found at:", fileName, line);
    if (!p.back) return QUOR_RC_OK;

    uint64_t f = 0, b = 0;
    if (p.guards) {
        if (u - h.spaceEnd < guardBlock(p)) return unreadable;
        PadWindow block(h, u - guardBlock(p), u - 16);
        f = load<uint32_t>(h, u - guardBlock(p) + 8);
        b = load<uint32_t>(h, u - guardBlock(p) + 12);
        if (b < 1 || b > QUOR_PAD_MAX_GUARDS) return QUOR_RC_BAD_BACK_GUARD_COUNT;
        if (f < 1 || f > QUOR_PAD_MAX_GUARDS) return QUOR_RC_BAD_FRONT_GUARD_COUNT;
    }
    const uint64_t front = frontPadBytes(p, f), back = backPadBytes(p, b);
    if (u - h.spaceEnd < front) return unreadable;
    PadWindow whole(h, u - front, u);
    if (p.guards) {
        if (f != b) {
            report("Allocation size does not match between front and back pad structures found at:", fileName,
                   line);
        }
        for (uint64_t i = 0; i < f; ++i) {
            if (load<uint64_t>(h, u - front + 8 * i) != QUOR_PAD_GUARD) {
                report("Front pad corruption found at:", fileName, line);
            }
        }
    }
    const bool frontSumBad = p.checksum && load<uint64_t>(h, u - 24) != QUOR_PAD_GUARD;
    if (frontSumBad) report("Front memory pad checksum corruption found at:", fileName, line);
    if (p.file && fileNameOut != nullptr) h.copyOut(fileNameOut, u - fileAt(p), QUOR_PAD_FILE_NAME_SIZE);

    // A chunk in the chunk area at least a back pad long starts in the heap and
    // below its end.
    const SLAllocNode_t *node = h.allocNode(N);
    if (node == nullptr || N == h.allocHead || !h.inChunkArea(node->chunkOffset, node->chunkSize) ||
        node->chunkSize < back || node->userOffset < h.H || node->userOffset >= h.end ||
        node->userOffset > node->chunkOffset + node->chunkSize) {
        return unreadable;
    }
    const uint64_t X = node->chunkOffset + node->chunkSize;
    PadWindow backPad(h, X - back, X);
    const auto backEndWords = load<ShmPadEnd_t>(h, X - 16);
    if (backEndWords.mark != QUOR_PAD_BACK_MARK || backEndWords.padType != T) {
        report("Back memory pad corruption found at:", fileName, line);
    }
    if (p.checksum && (load<uint64_t>(h, X - 24) != QUOR_PAD_GUARD || frontSumBad)) {
        report("Back memory pad checksum corruption found at:", fileName, line);
    }
    const uint64_t overhead = front + back;
    const uint64_t slackStart = node->userOffset + node->userSize;
    // A chunk without slack past its pads has none past a pool header either, so
    // the caller's bytes (where a pool keeps its header) are read only when needed.
    const bool maySlack = node->userSize <= node->chunkSize && node->chunkSize - node->userSize > overhead;
    const uint64_t extra = maySlack && h.traits->kind == QUOR_HEAP_KIND_DOMAIN
                               ? poolExtra(h, node->userOffset, node->userSize, X)
                               : 0;
    if (maySlack && node->chunkSize >= extra + node->userSize + overhead && slackStart >= node->userOffset) {
        uint64_t slack = node->chunkSize - extra - node->userSize - overhead;
        if (slackStart > X - back) slack = 0;
        slack = std::min(slack, X - back - slackStart);
        const unsigned char *slackBytes = h.bytes(slackStart, slack);
        for (uint64_t i = 0; slackBytes != nullptr && i < slack; ++i) {
            if (slackBytes[i] != QUOR_PAD_SLACK_BYTE) {
                report("Back memory pad aligned size corruption found at", fileName, line);
            }
        }
    }
    for (uint64_t i = 0; i < b; ++i) {
        if (load<uint64_t>(h, X - back + 8 * i) != QUOR_PAD_GUARD)
            report("back pad corruption found at:", fileName, line);
    }
    if (backEndWords.nodeOffset != N) report("Memory pad node offset corruption found at:", fileName, line);
    return QUOR_RC_OK;
}

}  // namespace quor::shm

// ---- exported operations ------------------------------------------------------------

using namespace quor;
using namespace quor::shm;

namespace {

uint32_t openChecked(Trace &t, HeapView &h, void *base, uint32_t kind, uint64_t heapOffset) {
    return h.open(t, 10, base, kind, heapOffset);
}

}  // namespace

QUOR_EXPORT uint32_t quorSetShmDebug(void *base, uint32_t kind, uint64_t heapOffset, uint32_t debugFlags,
                                     uint32_t padType, uint32_t frontGuards, uint32_t backGuards) {
    return traced(Fn::quorSetShmDebug, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openChecked(t, h, base, kind, heapOffset); rc != 0) return rc;
        if (frontGuards < 1 || frontGuards > QUOR_PAD_MAX_GUARDS) {
            return t.failWith(60, QUOR_RC_BAD_FRONT_GUARD_COUNT, frontGuards);
        }
        if (backGuards < 1 || backGuards > QUOR_PAD_MAX_GUARDS) {
            return t.failWith(70, QUOR_RC_BAD_BACK_GUARD_COUNT, backGuards);
        }
        ExsLatch_t *latch = &h.tail->debugLatch;
        if (uint32_t rc = enterEL(latch); rc != 0) return t.fail(80, rc);
        auto debug = leaving(latch);
        ShmDebugInfo_t &info = h.tail->debugInfo;
        if (info.inUse != 0 && (padType != 0) != (info.padType != 0))
            return debug.close(t.failWith(90, QUOR_RC_PAD_TYPE_LOCKED, padType));
        // Whole pairs, guard counts first (see readDebugSettings).
        storePair(&info.frontGuards, {frontGuards, backGuards});
        storePair(&info.debugFlags, {debugFlags, padType});
        const uint32_t rc = debug.close(QUOR_RC_OK);
        return rc != 0 ? t.fail(100, rc) : rc;
    });
}

QUOR_EXPORT uint32_t _quorCheckAllocShmChunk(void *base, uint32_t kind, uint64_t heapOffset,
                                             uint64_t userOffset, char *fileNameOut, uint32_t callerId,
                                             uint32_t line, const char *fileName) {
    return traced(Fn::_quorCheckAllocShmChunk, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openChecked(t, h, base, kind, heapOffset); rc != 0) return rc;
        uint32_t rc = checkChunk(h, userOffset, fileNameOut, callerId, line, fileName);
        return rc != 0 ? t.failWith(60, rc, userOffset) : rc;
    });
}

QUOR_EXPORT uint32_t _quorShmAllocSList(void *base, uint32_t kind, uint64_t heapOffset, uint32_t callerId,
                                        uint32_t line, const char *fileName) {
    return traced(Fn::_quorShmAllocSList, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openChecked(t, h, base, kind, heapOffset); rc != 0) return rc;
        if (h.sl->allocCount == 0) return walkHeap(t, 90, h);
        const bool pools = kind == QUOR_HEAP_KIND_DOMAIN;
        std::printf("\r\nList of unfreed shared memory %s:", pools ? "pools" : "blocks");
        std::printf("\r\n%s\r\n",
                    pools ? "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~" : "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~");
        uint64_t link = HeapView::allocLinks(h.allocHeadNode())[0];
        for (uint64_t budget = h.sl->allocCount; link != 0; --budget) {
            SLAllocNode_t *node = h.allocLinkTarget(link, 0);
            if (node == nullptr || budget == 0) return t.failWith(60, QUOR_RC_HEAP_CORRUPT, link);
            const uint64_t u = node->userOffset;
            char file[QUOR_PAD_FILE_NAME_SIZE] = {};
            if (uint32_t rc = checkChunk(h, u, file, callerId, line, fileName); rc != 0)
                return t.failWith(70, rc, u);
            const char *function = hostGetFunctionName(node->callerId);
            if (function == nullptr) function = "";
            exposeBytes(h, u - 4, 4);
            const uint32_t T = load<uint32_t>(h, u - 4);
            hideBytes(h, u - 4, 4);
            const PadFormat p = padFormat(T);
            if (!p.known && T != QUOR_CHUNK_FREED_MARK) return t.failWith(80, QUOR_RC_BAD_PAD_TYPE, T);
            std::printf("Address: %p, Size: %llx, ", static_cast<void *>(h.bytes(u, 0)),
                        static_cast<unsigned long long>(node->userSize));
            file[QUOR_PAD_FILE_NAME_SIZE - 1] = 0;
            if (p.file) {
                std::printf("Location: %s:%s:%d\r\n", file, function, int(node->line));
            } else {
                std::printf("Location: %s:%d\r\n", function, int(node->line));
            }
            link = HeapView::allocLinks(node)[0];
        }
        return walkHeap(t, 90, h);
    });
}
