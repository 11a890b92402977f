// Debug pads around every chunk of a storage heap.
//
// A front pad precedes the caller's bytes and ends with {node offset, 0xDEADFACE,
// pad type}; most types also have a back pad ending the chunk with {node offset,
// 0xFACEDEAD, pad type}. Richer types add guard words, the caller's line, function
// identifier and file name, and checksum words. All pad access goes through here.
#pragma once

#include <cstdint>

#include "shm/heap.h"

namespace quor::shm {

struct PadFormat {
    bool known = false;
    bool back = false;      // has a back pad
    bool guards = false;    // guard words and the {line, callerId, f, b} block
    bool checksum = false;  // a guard word just before each pad's node offset
    bool file = false;      // the caller's 24-byte file name
};
// Inline: every allocation, return and block lookup asks it, nearly always of
// the default type, which is tested first (the other types lie too far apart
// for a jump table, so the switch is a chain of compares).
inline PadFormat padFormat(uint32_t padType) {
    if (padType == QUOR_PAD_TYPE_EEBC011A) [[likely]]
        return {true, true, false, false, false};
    switch (padType) {
        case QUOR_PAD_TYPE_NONE:
        case QUOR_PAD_TYPE_C0DE1D1E:
            return {true, false, false, false, false};
        case QUOR_PAD_TYPE_DABC011A:
            return {true, true, false, true, false};
        case QUOR_PAD_TYPE_A110CBEE:
            return {true, true, true, false, false};
        case QUOR_PAD_TYPE_A110CE87:
            return {true, true, true, false, true};
        case QUOR_PAD_TYPE_A110CBAD:
            return {true, true, true, true, false};
        case QUOR_PAD_TYPE_78EC011A:
            return {true, true, true, true, true};
        default:
            return {};
    }
}

inline uint64_t frontPadBytes(PadFormat p, uint64_t f) {
    return 16 + (p.checksum ? 8 : 0) + (p.guards ? 16 + 8 * f : 0) + (p.file ? QUOR_PAD_FILE_NAME_SIZE : 0);
}
inline uint64_t backPadBytes(PadFormat p, uint64_t b) {
    return p.back ? 16 + (p.checksum ? 8 : 0) + (p.guards ? 8 * b : 0) : 0;
}

// Writes both pads of a chunk just carved (the bytes between lie inside the chunk).
// With chunk poisoning on, it exposes the chunk and leaves the pads hidden.
void writePads(HeapView &h, uint64_t chunkOffset, uint64_t chunkSize, uint64_t userOffset,
               uint64_t nodeOffset, uint32_t padType, uint32_t frontGuards, uint32_t backGuards,
               uint32_t callerId, uint32_t line, const char *fileName);
// Points the pads of an allocated chunk at its node again (after a rebuild). The
// chunk's geometry must have been checked against the heap.
void repointPads(HeapView &h, uint64_t chunkOffset, uint64_t chunkSize, uint64_t userOffset,
                 uint64_t nodeOffset);
// The debug settings an allocation carves and pads its chunk with (debugFlags,
// padType, frontGuards, backGuards; nothing else is filled in), read without the
// debug latch once the heap has allocated, else under it (which marks the heap as
// having allocated). Not yet validated: the caller checks every value it uses.
// A latch failure is traced at `probe` (entering) or probe + 10 (leaving).
uint32_t readDebugSettings(const Trace &t, uint32_t probe, HeapView &h, ShmDebugInfo_t *settings);
// Writes callerId and line over the copies the front pad keeps (for the pad types
// that keep them) of the allocated chunk at userOffset, whose pad was checked.
void relabelPads(HeapView &h, uint64_t userOffset, uint32_t callerId, uint32_t line);
// Writes the freed mark over the pad type of the front pad.
void markFreed(HeapView &h, uint64_t userOffset);

// The allocated node of the chunk that ends at `end`, as that chunk's back pad
// names it: the pad whole (its mark and a type with a back pad) and the node
// in the node space, of a live level, recording exactly a chunk that ends there.
// Null otherwise: a chunk without a back pad, a free chunk's stale bytes, a node
// a return has retired (see retireAllocNode). A hint for the allocated list,
// whose callers still check the links they rely on; null while chunk poisoning
// is on (the bytes may be a caller's).
SLAllocNode_t *nodeOfChunkEndingAt(const HeapView &h, uint64_t end);

// Checks the pads of the allocated chunk whose caller bytes start at userOffset;
// findings go to hostAssertFailed(message, fileName, line). Returns a code only for
// what stops the check (an unreadable pad or node).
uint32_t checkChunk(HeapView &h, uint64_t userOffset, char *fileNameOut, uint32_t callerId, uint32_t line,
                    const char *fileName);

// Sanitizer builds: hide or expose bytes of a heap (no-ops unless chunk poisoning is on).
void hideBytes(HeapView &h, uint64_t offset, uint64_t length);
void exposeBytes(HeapView &h, uint64_t offset, uint64_t length);

}  // namespace quor::shm
