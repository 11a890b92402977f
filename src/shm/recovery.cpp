// Validating, repairing and fencing a heap after its latch holder died.
#include "shm/recovery.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "frame/functions.h"
#include "shm/checker.h"
#include "shm/pads.h"

namespace quor::shm {

namespace {

// Log records of a recovery go out under the latch operation's identifier.
constexpr uint32_t kRecoveryLogId = static_cast<uint32_t>(Fn::quorEnterELCriticalSection);
enum RecoveryProbe : uint32_t {
    kFoundConsistent = 900,  // value: heap offset
    kFoundProblem = 901,     // value: the checker's finding (text)
    kRepaired = 910,         // value: heap offset
    kRelistedAllocated = 911,
    kRelistedFree = 912,
    kRecoveredByPad = 913,
    kDroppedUnpadded = 914,
    kFenced = 920,       // value: heap offset
    kFenceReason = 921,  // value: why (text)
};

void logValue(uint32_t code, uint32_t probe, uint64_t value) {
    hostLog(0, kRecoveryLogId, code, probe, 3, 1, &value, 8, 0);
}
void logText(uint32_t code, uint32_t probe, const std::string &text) {
    hostLog(0, kRecoveryLogId, code, probe, 3, 1, text.c_str(), static_cast<uint32_t>(text.size()), 0);
}

// Pad words and stale chunk bytes, read through the sanitizer window.
// Bytes outside the heap read as 0, which no pad word or mark is.
template <class T>
T load(HeapView &h, uint64_t offset) {
    T value{};
    if (!h.holds(offset, sizeof(T))) return value;
    exposeBytes(h, offset, sizeof(T));
    h.load(offset, &value);
    hideBytes(h, offset, sizeof(T));
    return value;
}

// What the pads of the chunk that a node records say about it. `front`: the
// front pad is whole and names the node, the one proof that the chunk was cut
// for a caller (pads are written after the node is linked). `back`: the back pad
// is whole too (or the type has none); a holder that died between the two left
// a chunk that no caller has seen yet.
struct Pads {
    bool front = false, back = false;
    uint32_t type = 0, f = 0, b = 0;
};

Pads padsOf(HeapView &h, uint64_t nodeOffset, const SLAllocNode_t &node) {
    Pads out;
    const uint64_t c = node.chunkOffset, size = node.chunkSize, u = node.userOffset;
    if (!h.inChunkArea(c, size) || size < 16 || u < c + 16 || u > c + size) return out;
    out.type = load<uint32_t>(h, u - 4);
    const PadFormat p = padFormat(out.type);
    if (!p.known || load<uint64_t>(h, u - 16) != nodeOffset ||
        load<uint32_t>(h, u - 8) != QUOR_PAD_FRONT_MARK) {
        return out;
    }
    if (p.guards) {
        const uint64_t block = u - 32 - (p.checksum ? 8 : 0);
        if (block < c) return out;
        out.f = load<uint32_t>(h, block + 8);
        out.b = load<uint32_t>(h, block + 12);
        if (out.f < 1 || out.f > QUOR_PAD_MAX_GUARDS || out.b < 1 || out.b > QUOR_PAD_MAX_GUARDS) return out;
    }
    if (u - c != frontPadBytes(p, out.f) || size < frontPadBytes(p, out.f) + backPadBytes(p, out.b))
        return out;
    out.front = true;
    const uint64_t X = c + size;
    out.back =
        !p.back || (load<uint64_t>(h, X - 16) == nodeOffset &&
                    load<uint32_t>(h, X - 8) == QUOR_PAD_BACK_MARK && load<uint32_t>(h, X - 4) == out.type);
    return out;
}

struct Chunk {
    uint64_t offset, size, user, userSize;
    uint32_t callerId, line;
    Pads pads;
};

Chunk chunkOf(const SLAllocNode_t &node, Pads pads) {
    return {node.chunkOffset, node.chunkSize, node.userOffset, node.userSize, node.callerId, node.line, pads};
}

class Repair {
public:
    Repair(HeapView &h, RepairReport &out) : h_(h), out_(out) {}

    uint32_t run() {
        if (!bind()) return QUOR_RC_HEAP_CORRUPT;
        listed();
        listedFree();
        if (!disjoint() || !scanGaps() || !relist()) return QUOR_RC_HEAP_CORRUPT;
        return QUOR_RC_OK;
    }

private:
    bool fail(const char *why) {
        out_.problem = why;
        return false;
    }

    // The layout from the header's sizes alone: the high-water mark, the list
    // levels and the sentinels are rewritten by the relisting, so a holder that
    // died while resetting them does not stop the repair.
    bool bind() {
        if (h_.bindLayout() == QUOR_RC_OK) return true;
        // A failed binding has still placed the skip-list header when the heap
        // size, the user area and the level were sound.
        if (h_.sl == nullptr || h_.L < 1 || h_.L > kMaxLevel) return fail("header sizes out of bounds");
        SLHeader_t *sl = h_.sl;
        const uint64_t L = h_.L, S = h_.S;
        if ((sl->slSpaceSize & 7) != 0 || sl->slSpaceSize < slHeaderSize(L) || sl->slSpaceSize > h_.end - S)
            return fail("node space out of bounds");
        sl->slHighWater = slHeaderSize(L);
        sl->allocLevel = 0;
        h_.store<uint64_t>(S + QUOR_SL_FREE_LEVEL_OFFSET(L), 0);
        for (uint64_t sentinel : {S + QUOR_SL_FREE_HEAD_OFFSET(L), S + QUOR_SL_FREE_TAIL_OFFSET(L)})
            h_.store<uint64_t>(sentinel + offsetof(SLFreeNode_t, level), L - 1);
        h_.store<uint64_t>(S + QUOR_SL_ALLOC_HEAD_OFFSET + offsetof(SLAllocNode_t, level), L - 1);
        return h_.bindLayout() == QUOR_RC_OK || fail("node space out of bounds");
    }

    // The chunks the allocated list still reaches at level 0 (a link is written
    // there last on insertion, so a half-inserted node is not reached). The walk
    // stops at the first link that leaves the space or at a cycle; the scan finds
    // whatever lies behind it.
    void listed() {
        const uint64_t budget = (h_.spaceEnd - h_.S) / allocNodeSize(0) + 2;
        uint64_t link = HeapView::allocLinks(h_.allocHeadNode())[0];
        for (uint64_t steps = 0; link != 0 && steps < budget; ++steps) {
            SLAllocNode_t *node = link >= 0x30 ? h_.allocNode(link - 0x30) : nullptr;
            if (node == nullptr) break;
            if (const Pads pads = padsOf(h_, link - 0x30, *node); pads.front) {
                chunks_.push_back(chunkOf(*node, pads));
            } else {
                ++out_.dropped;
            }
            link = HeapView::allocLinks(node)[0];
        }
    }

    bool disjoint() {
        std::sort(chunks_.data(), chunks_.data() + chunks_.size(),
                  [](const Chunk &a, const Chunk &b) { return a.offset < b.offset; });
        // A cycle lists a chunk twice; the same chunk is kept once.
        chunks_.erase(std::unique(chunks_.begin(), chunks_.end(),
                                  [](const Chunk &a, const Chunk &b) {
                                      return a.offset == b.offset && a.size == b.size;
                                  }),
                      chunks_.end());
        for (size_t i = 1; i < chunks_.size(); ++i) {
            if (chunks_[i].offset < chunks_[i - 1].offset + chunks_[i - 1].size)
                return fail("allocated chunks overlap");
        }
        return true;
    }

    // Looks for front pads in the bytes between the listed chunks: a chunk that
    // was being returned, or that a rebuild of the node space had not relisted
    // yet, still carries one. Pads of a heap nested in a chunk name nodes outside
    // this heap's node space and are passed over.
    bool scanGaps() {
        std::vector<Chunk> found;
        uint64_t from = h_.spaceEnd;
        size_t f = 0;  // the listed free chunks, in offset order
        for (size_t i = 0; i <= chunks_.size(); ++i) {
            const uint64_t to = i < chunks_.size() ? chunks_[i].offset : h_.end;
            for (; f < free_.size() && free_[f].first < to; ++f) {
                if (free_[f].first >= from) {
                    if (!scan(from, free_[f].first, found)) return false;
                    from = free_[f].first + free_[f].second;
                }
            }
            if (from < to && !scan(from, to, found)) return false;
            if (i < chunks_.size()) from = chunks_[i].offset + chunks_[i].size;
        }
        out_.recovered = found.size();
        if (found.empty()) return true;
        const size_t listedCount = chunks_.size();
        chunks_.insert(chunks_.end(), found.begin(), found.end());
        std::inplace_merge(chunks_.begin(), chunks_.begin() + listedCount, chunks_.end(),
                           [](const Chunk &a, const Chunk &b) { return a.offset < b.offset; });
        return true;
    }

    // The free chunks the offset order still reaches at level 0. No live front
    // pad lies inside one: a chunk leaves the free lists before its pads are
    // written and its front pad is marked freed before it joins them again. So
    // the scan passes over them, and only a rebuild that died after clearing
    // the lists leaves the whole chunk area to scan.
    void listedFree() {
        const uint64_t budget = (h_.spaceEnd - h_.S) / freeNodeSize(0) + 2;
        uint64_t at = HeapView::freeLinks(h_.freeHeadNode(), kForwardO)[0], last = h_.spaceEnd;
        for (uint64_t steps = 0; at != h_.freeTail && steps < budget; ++steps) {
            SLFreeNode_t *node = at != h_.freeHead ? h_.freeNode(at) : nullptr;
            if (node == nullptr || node->offset < last || node->size == 0 ||
                !h_.inChunkArea(node->offset, node->size)) {
                break;
            }
            free_.emplace_back(node->offset, node->size);
            last = node->offset + node->size;
            at = HeapView::freeLinks(node, kForwardO)[0];
        }
    }

    bool scan(uint64_t from, uint64_t to, std::vector<Chunk> &found) {
        const uint64_t nodesLow = h_.S + h_.slHeader, nodesHigh = h_.spaceEnd;
        for (uint64_t u = ((from + 7) & ~uint64_t{7}) + 16; u <= to; u += 8) {
            if (load<uint32_t>(h_, u - 8) != QUOR_PAD_FRONT_MARK ||
                !padFormat(load<uint32_t>(h_, u - 4)).known)
                continue;
            const uint64_t nodeOffset = load<uint64_t>(h_, u - 16);
            if (nodeOffset < nodesLow || nodeOffset >= nodesHigh) continue;
            SLAllocNode_t *node = h_.allocNode(nodeOffset);
            const Pads pads = node != nullptr ? padsOf(h_, nodeOffset, *node) : Pads{};
            Chunk chunk{};
            if (node != nullptr && node->userOffset == u && pads.front && node->chunkOffset >= from &&
                node->chunkSize <= to - node->chunkOffset) {
                chunk = chunkOf(*node, pads);
            } else if (!lostNode(from, to, u, nodeOffset, &chunk)) {
                return fail("a front pad names a node that no longer records its chunk");
            }
            found.push_back(chunk);
            u = chunk.offset + chunk.size + 8;  // the loop adds the other 8
        }
        return true;
    }

    // A block whose node a rebuild of the node space wrote over before relisting
    // it: its back pad still names the old node, which bounds the chunk. The
    // caller's size is what lies before the trailing slack bytes (a caller whose
    // last bytes hold the slack value is recorded a little short), and the line
    // and caller come from the guard words where the pad type keeps them. A
    // chunk of a domain (a pool) or without a back pad cannot be bounded.
    bool lostNode(uint64_t from, uint64_t to, uint64_t u, uint64_t nodeOffset, Chunk *out) {
        Pads pads;
        pads.type = load<uint32_t>(h_, u - 4);
        const PadFormat p = padFormat(pads.type);
        if (h_.traits->kind != QUOR_HEAP_KIND_POOL) return false;
        uint32_t line = 0, callerId = 0;
        if (p.guards) {
            const uint64_t block = u - 32 - (p.checksum ? 8 : 0);
            if (block < from) return false;
            line = load<uint32_t>(h_, block);
            callerId = load<uint32_t>(h_, block + 4);
            pads.f = load<uint32_t>(h_, block + 8);
            pads.b = load<uint32_t>(h_, block + 12);
            if (pads.f < 1 || pads.f > QUOR_PAD_MAX_GUARDS || pads.b < 1 || pads.b > QUOR_PAD_MAX_GUARDS)
                return false;
        }
        const uint64_t front = frontPadBytes(p, pads.f), back = backPadBytes(p, pads.b);
        if (u - from < front) return false;
        pads.front = pads.back = true;
        if (!p.back) {
            // Nothing marks the end: the chunk claims everything up to the next
            // front pad or known chunk. Bytes that were free stay with it until it
            // is freed, and no other chunk's bytes are taken.
            const uint64_t X = nextPad(u, to);
            *out = Chunk{u - front, X - (u - front), u, userBytes(u, X), callerId, line, pads};
            ++out_.sizedByNextChunk;
            return true;
        }
        for (uint64_t X = u + back; X <= to; X += 8) {
            if (load<uint64_t>(h_, X - 16) != nodeOffset || load<uint32_t>(h_, X - 8) != QUOR_PAD_BACK_MARK ||
                load<uint32_t>(h_, X - 4) != pads.type) {
                continue;
            }
            *out = Chunk{u - front, X - (u - front), u, userBytes(u, X - back), callerId, line, pads};
            ++out_.sizedByBackPad;
            return true;
        }
        return false;
    }

    // The caller's bytes of [u, end): all but the trailing slack fill.
    uint64_t userBytes(uint64_t u, uint64_t end) {
        while (end > u && load<uint8_t>(h_, end - 1) == QUOR_PAD_SLACK_BYTE) --end;
        return end - u;
    }

    // Where the chunk behind u ends at the latest: the start of the next chunk
    // that carries a front pad of this heap, or `to`.
    uint64_t nextPad(uint64_t u, uint64_t to) {
        const uint64_t nodesLow = h_.S + h_.slHeader, nodesHigh = h_.spaceEnd;
        for (uint64_t v = u + 16; v <= to; v += 8) {
            if (load<uint32_t>(h_, v - 8) != QUOR_PAD_FRONT_MARK) continue;
            const PadFormat p = padFormat(load<uint32_t>(h_, v - 4));
            const uint64_t nodeOffset = load<uint64_t>(h_, v - 16);
            if (!p.known || nodeOffset < nodesLow || nodeOffset >= nodesHigh) continue;
            const uint32_t f = p.guards ? load<uint32_t>(h_, v - 32 - (p.checksum ? 8 : 0) + 8) : 0;
            const uint64_t start = v - frontPadBytes(p, f);
            if (f <= QUOR_PAD_MAX_GUARDS && start >= u) return start;
        }
        return to;
    }

    // Builds the lists afresh: every allocated chunk with its pads repointed, and
    // every stretch between them as one free chunk.
    bool relist() {
        resetLists();
        for (const Chunk &c : chunks_) {
            uint64_t node = 0;
            if (insertAllocChunk(h_, c.offset, c.size, c.user, c.userSize, c.callerId, c.line, &node, 0) != 0)
                return fail("the relisted nodes do not fit the node space");
            if (c.pads.back) {
                repointPads(h_, c.offset, c.size, c.user, node);
            } else {
                finishPads(c, node);
            }
        }
        out_.allocated = chunks_.size();
        uint64_t from = h_.spaceEnd;
        for (size_t i = 0; i <= chunks_.size(); ++i) {
            const uint64_t to = i < chunks_.size() ? chunks_[i].offset : h_.end;
            if (to > from) {
                if (insertFreeChunk(h_, from, to - from, 0) != 0)
                    return fail("the relisted nodes do not fit the node space");
                hideBytes(h_, from, to - from);
                ++out_.free;
            }
            if (i < chunks_.size()) from = chunks_[i].offset + chunks_[i].size;
        }
        return true;
    }

    // Writes the pads of a chunk whose holder died between its front and back
    // pad again, from what the front pad and the node record.
    void finishPads(const Chunk &c, uint64_t node) {
        const PadFormat p = padFormat(c.pads.type);
        uint32_t callerId = c.callerId, line = c.line;
        char file[QUOR_PAD_FILE_NAME_SIZE + 1] = {};
        const uint64_t guardBlock = c.user - 32 - (p.checksum ? 8 : 0);
        if (p.guards) {
            line = load<uint32_t>(h_, guardBlock);
            callerId = load<uint32_t>(h_, guardBlock + 4);
        }
        if (p.file) {
            exposeBytes(h_, guardBlock - QUOR_PAD_FILE_NAME_SIZE, QUOR_PAD_FILE_NAME_SIZE);
            h_.copyOut(file, guardBlock - QUOR_PAD_FILE_NAME_SIZE, QUOR_PAD_FILE_NAME_SIZE);
        }
        writePads(h_, c.offset, c.size, c.user, node, c.pads.type, c.pads.f, c.pads.b, callerId, line, file);
        ++out_.padsFinished;
    }

    void resetLists() {
        SLHeader_t *sl = h_.sl;
        h_.header->allocBytes = h_.header->freeBytes = 0;
        sl->slUsedBytes = sl->slHighWater = h_.slHeader;
        sl->allocCount = sl->freeCount = sl->allocLevel = 0;
        SLAllocNode_t *head = h_.allocHeadNode();
        *head = SLAllocNode_t{0, 0, 0, 0, h_.L - 1, 0, 0};
        std::fill_n(HeapView::allocLinks(head), h_.L, 0);
        for (uint64_t sentinel : {h_.freeHead, h_.freeTail}) {
            SLFreeNode_t *node = h_.freeNode(sentinel);
            *node = SLFreeNode_t{0, 0, 0, 0, h_.L - 1, 0, 0};
            std::fill_n(HeapView::freeLinks(node, kForwardO), 4 * h_.L,
                        sentinel == h_.freeHead ? h_.freeTail : h_.freeHead);
        }
        *h_.freeLevelWord() = 0;
    }

    HeapView &h_;
    RepairReport &out_;
    std::vector<Chunk> chunks_;
    std::vector<std::pair<uint64_t, uint64_t>> free_;  // offset, size
};

// The kind of the live heap whose header holds this latch, or 0 when the latch
// is not a heap latch (a debug latch) or its heap is being made or freed.
uint32_t kindOfLatch(ExsLatch_t *latch, HHeader_t **header) {
    auto *h = reinterpret_cast<HHeader_t *>(reinterpret_cast<unsigned char *>(latch) -
                                            offsetof(HHeader_t, heapLatch));
    *header = h;
    if (h->eyecatcher0 != QUOR_EYECATCHER || h->handleEyecatcher != QUOR_EYECATCHER ||
        h->latchEyecatcher != QUOR_EYECATCHER) {
        return 0;
    }
    if (h->heapMagic == QUOR_DOMAIN_HEAP_MAGIC) return QUOR_HEAP_KIND_DOMAIN;
    if (h->heapMagic == QUOR_POOL_HEAP_MAGIC) return QUOR_HEAP_KIND_POOL;
    return 0;
}

}  // namespace

uint32_t repairHeap(void *base, uint32_t kind, uint64_t heapOffset, RepairReport *report) {
    RepairReport local;
    RepairReport &out = report != nullptr ? *report : local;
    out = RepairReport{};
    HeapView h;
    if (uint32_t rc = h.attach(base, kind, heapOffset); rc != 0) return rc;
    if (h.header->selfOffset != heapOffset) {
        out.problem = "self offset wrong";
        return QUOR_RC_HEAP_CORRUPT;
    }
    return Repair(h, out).run();
}

uint32_t validateOrRepair(void *base, uint32_t kind, uint64_t heapOffset, RepairReport *report,
                          bool *repaired) {
    *repaired = false;
    HeapCheck check;
    if (checkHeap(base, kind, heapOffset, &check) == QUOR_RC_OK) {
        logValue(QUOR_RC_OK, kFoundConsistent, heapOffset);
        return QUOR_RC_OK;
    }
    logText(QUOR_RC_HEAP_CORRUPT, kFoundProblem, check.problem);
    if (uint32_t rc = repairHeap(base, kind, heapOffset, report); rc != 0) return QUOR_RC_HEAP_CORRUPT;
    *repaired = true;
    if (checkHeap(base, kind, heapOffset, &check) != QUOR_RC_OK) {
        report->problem = "still inconsistent after relisting: " + check.problem;
        return QUOR_RC_HEAP_CORRUPT;
    }
    logValue(QUOR_RC_OK, kRepaired, heapOffset);
    logValue(QUOR_RC_OK, kRelistedAllocated, report->allocated);
    logValue(QUOR_RC_OK, kRelistedFree, report->free);
    logValue(QUOR_RC_OK, kRecoveredByPad, report->recovered);
    logValue(QUOR_RC_OK, kDroppedUnpadded, report->dropped);
    return QUOR_RC_OK;
}

uint32_t walkHeap(const Trace &t, uint32_t probe, const HeapView &h) {
    HeapCheck report;
    if (checkHeap(h.base, h.traits->kind, h.H, &report, false) == QUOR_RC_OK) return QUOR_RC_OK;
    hostLog(0, t.id(), QUOR_RC_HEAP_CORRUPT, probe, 3, 1, report.problem.c_str(),
            static_cast<uint32_t>(report.problem.size()), 0);
    return t.failWith(probe, QUOR_RC_HEAP_CORRUPT, h.H);
}

uint32_t afterDeadHolder(ExsLatch_t *latch) {
    HHeader_t *header = nullptr;
    const uint32_t kind = kindOfLatch(latch, &header);
    if (kind == 0) return QUOR_RC_OK;
    const uint64_t H = header->selfOffset;
    RepairReport report;
    uint32_t rc = QUOR_RC_HEAP_CORRUPT;
    if ((header->flags & QUOR_HEAP_DAMAGED) != 0) {
        report.problem = "fenced before";
    } else if (H % 8 != 0 || H > reinterpret_cast<uintptr_t>(header)) {
        report.problem = "self offset out of bounds";
    } else {
        bool repaired = false;
        rc = validateOrRepair(reinterpret_cast<unsigned char *>(header) - H, kind, H, &report, &repaired);
    }
    if (rc == QUOR_RC_OK) return rc;
    header->flags |= QUOR_HEAP_DAMAGED;
    logValue(QUOR_RC_HEAP_DAMAGED, kFenced, H);
    logText(QUOR_RC_HEAP_DAMAGED, kFenceReason, report.problem);
    (void)hostLatchRelease(latch->hostLatch);
    return QUOR_RC_HEAP_DAMAGED;
}

}  // namespace quor::shm
