// Consistency check of a storage heap. (Sorting goes over raw pointers: vector
// iterator comparisons would leave a libstdc++ helper among the exported symbols
// of an unoptimised build.)
#include "shm/checker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "shm/heap.h"
#include "shm/pads.h"

namespace quor::shm {

namespace {

struct Extent {
    uint64_t offset, size;
    bool free;
};

class Checker {
public:
    Checker(HeapView &h, HeapCheck &out, bool pads) : h_(h), out_(out), pads_(pads) {}

    uint32_t run() {
        if (!allocList() || !freeOrder(kForwardO, kBackwardO) || !freeOrder(kForwardS, kBackwardS) ||
            !tiling() || !nodes() || !totals()) {
            return QUOR_RC_HEAP_CORRUPT;
        }
        return QUOR_RC_OK;
    }

private:
    bool fail(const std::string &what, uint64_t value) {
        char number[32];
        std::snprintf(number, sizeof number, " (%llu)", static_cast<unsigned long long>(value));
        out_.problem = what + number;
        return false;
    }
    uint64_t budget() const { return (h_.spaceEnd - h_.S) / allocNodeSize(0) + 2; }
    template <class T>
    T load(uint64_t offset) {
        exposeBytes(h_, offset, sizeof(T));
        T value{};
        h_.load(offset, &value);
        hideBytes(h_, offset, sizeof(T));
        return value;
    }

    bool allocList() {
        SLAllocNode_t *head = h_.allocHeadNode();
        for (uint64_t i = h_.L; i-- > 0;) {
            uint64_t link = HeapView::allocLinks(head)[i], last = 0, count = 0;
            if (i > h_.sl->allocLevel && link != 0) return fail("allocated list used above its level", i);
            while (link != 0) {
                const uint64_t at = link - allocLinkSlot(0, i);
                SLAllocNode_t *node = link >= allocLinkSlot(0, i) ? h_.allocNode(at) : nullptr;
                if (node == nullptr || node->level < i) return fail("allocated link out of bounds", link);
                if (++count > budget()) return fail("allocated list runs in a cycle", i);
                if (count > 1 && node->chunkOffset <= last) return fail("allocated list out of order", link);
                last = node->chunkOffset;
                if (i == 0 && !allocChunk(at, node)) return false;
                link = HeapView::allocLinks(node)[i];
            }
        }
        if (out_.allocCount != h_.sl->allocCount) return fail("allocated count differs", out_.allocCount);
        if (out_.allocBytes != h_.header->allocBytes) return fail("allocated bytes differ", out_.allocBytes);
        return true;
    }

    bool allocChunk(uint64_t nodeOffset, SLAllocNode_t *node) {
        const uint64_t c = node->chunkOffset, size = node->chunkSize, u = node->userOffset;
        if (!h_.inChunkArea(c, size) || size < 16) return fail("allocated chunk outside the chunk area", c);
        if (u < c + 16 || u > c + size) return fail("user offset outside its chunk", u);
        ++out_.allocCount;
        out_.allocBytes += size;
        out_.nodeBytes += allocNodeSize(node->level);
        extents_.push_back({c, size, false});
        nodes_.push_back({nodeOffset, allocNodeSize(node->level), false});
        if (!pads_) return true;
        // Pads: the front pad names the node, carries its mark and a live type.
        const uint32_t T = load<uint32_t>(u - 4);
        const PadFormat p = padFormat(T);
        if (!p.known) return fail("allocated chunk with a bad pad type", c);
        if (load<uint64_t>(u - 16) != nodeOffset) return fail("front pad does not name its node", c);
        if (load<uint32_t>(u - 8) != QUOR_PAD_FRONT_MARK) return fail("front pad mark damaged", c);
        uint64_t f = 0, b = 0;
        if (p.guards) {
            const uint64_t block = u - 32 - (p.checksum ? 8 : 0);
            if (block < c) return fail("front pad outside its chunk", c);
            f = load<uint32_t>(block + 8);
            b = load<uint32_t>(block + 12);
            if (f < 1 || f > QUOR_PAD_MAX_GUARDS || b < 1 || b > QUOR_PAD_MAX_GUARDS) {
                return fail("guard counts out of range", c);
            }
        }
        if (u - c != frontPadBytes(p, f)) return fail("front pad size does not fit its type", c);
        if (p.back) {
            const uint64_t X = c + size;
            if (size < frontPadBytes(p, f) + backPadBytes(p, b))
                return fail("chunk smaller than its pads", c);
            if (load<uint64_t>(X - 16) != nodeOffset) return fail("back pad does not name its node", c);
            if (load<uint32_t>(X - 8) != QUOR_PAD_BACK_MARK || load<uint32_t>(X - 4) != T) {
                return fail("back pad damaged", c);
            }
        }
        return true;
    }

    bool freeOrder(LinkArray forward, LinkArray backward) {
        const bool byOffset = forward == kForwardO;
        for (uint64_t i = h_.L; i-- > 0;) {
            uint64_t at = HeapView::freeLinks(h_.freeHeadNode(), forward)[i], previous = h_.freeHead,
                     count = 0;
            if (i > *h_.freeLevelWord() && at != h_.freeTail)
                return fail("free list used above its level", i);
            SLFreeNode_t *prev = nullptr;
            while (at != h_.freeTail) {
                SLFreeNode_t *node = h_.freeNode(at);
                if (node == nullptr || at == h_.freeHead || node->level < i)
                    return fail("free link out of bounds", at);
                if (++count > budget()) return fail("free list runs in a cycle", i);
                if (HeapView::freeLinks(node, backward)[i] != previous)
                    return fail("free backward link wrong", at);
                if (prev != nullptr && (byOffset ? node->offset <= prev->offset : node->size < prev->size)) {
                    return fail(byOffset ? "free offset order broken" : "free size order broken", at);
                }
                if (i == 0) {
                    if (!h_.inChunkArea(node->offset, node->size) || node->size == 0) {
                        return fail("free chunk outside the chunk area", node->offset);
                    }
                    if (byOffset) {
                        ++out_.freeCount;
                        out_.freeBytes += node->size;
                        out_.largestFree = std::max(out_.largestFree, node->size);
                        out_.nodeBytes += freeNodeSize(node->level);
                        extents_.push_back({node->offset, node->size, true});
                        nodes_.push_back({at, freeNodeSize(node->level), true});
                        freeNodes_.push_back(at);
                    } else if (!std::binary_search(freeNodes_.data(), freeNodes_.data() + freeNodes_.size(),
                                                   at)) {
                        return fail("size order holds a node the offset order lacks", at);
                    }
                }
                prev = node;
                previous = at;
                at = HeapView::freeLinks(node, forward)[i];
            }
            if (HeapView::freeLinks(h_.freeTailNode(), backward)[i] != previous) {
                return fail("tail backward link wrong", i);
            }
            if (i == 0 && byOffset) std::sort(freeNodes_.data(), freeNodes_.data() + freeNodes_.size());
            if (i == 0 && count != h_.sl->freeCount) return fail("free count differs", count);
        }
        if (out_.freeBytes != h_.header->freeBytes) return fail("free bytes differ", out_.freeBytes);
        return true;
    }

    bool tiling() {
        std::sort(extents_.data(), extents_.data() + extents_.size(),
                  [](const Extent &a, const Extent &b) { return a.offset < b.offset; });
        uint64_t expected = h_.spaceEnd;
        bool previousFree = false;
        for (const Extent &e : extents_) {
            if (e.offset != expected)
                return fail(e.offset < expected ? "chunks overlap" : "bytes in no list", e.offset);
            if (e.free && previousFree) return fail("two free chunks touch", e.offset);
            previousFree = e.free;
            expected = e.offset + e.size;
        }
        if (expected != h_.end) return fail("chunks do not reach the heap end", expected);
        return true;
    }

    bool nodes() {
        std::sort(nodes_.data(), nodes_.data() + nodes_.size(),
                  [](const Extent &a, const Extent &b) { return a.offset < b.offset; });
        uint64_t expected = h_.S + h_.slHeader;
        for (const Extent &n : nodes_) {
            if (n.offset < expected) return fail("skip-list nodes overlap", n.offset);
            expected = n.offset + n.size;
        }
        if (expected > h_.S + h_.sl->slHighWater) return fail("node above the high-water mark", expected);
        if (h_.sl->slUsedBytes != h_.slHeader + out_.nodeBytes)
            return fail("used node bytes differ", h_.sl->slUsedBytes);
        return true;
    }

    bool totals() {
        const uint64_t sum =
            h_.header->freeBytes + h_.header->allocBytes + h_.headerSize() + h_.sl->slSpaceSize;
        if (sum != h_.header->heapSize) return fail("byte totals do not add up to the heap size", sum);
        return true;
    }

    HeapView &h_;
    HeapCheck &out_;
    bool pads_;
    std::vector<Extent> extents_, nodes_;
    std::vector<uint64_t> freeNodes_;
};

}  // namespace

uint32_t checkHeap(void *base, uint32_t kind, uint64_t heapOffset, HeapCheck *report, bool pads) {
    HeapCheck local;
    HeapCheck &out = report != nullptr ? *report : local;
    out = HeapCheck{};
    HeapView h;
    if (uint32_t rc = h.open(base, kind, heapOffset); rc != 0) {
        if (rc == QUOR_RC_HEAP_CORRUPT) out.problem = "header sizes or levels out of bounds";
        return rc;
    }
    return Checker(h, out, pads).run();
}

}  // namespace quor::shm
