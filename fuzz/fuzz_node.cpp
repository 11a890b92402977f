// A status node with areas, corrupted: the directory look-up, the critical
// sections, the condition, size, tag and ID accessors and the update status.
// The node lies in its own heap allocation, so an access past its recorded
// size is caught. Any return code is fine; a crash, a hang or an access outside
// the node is a fault.
#include <array>

#include "fuzz_support.h"

using namespace quor::fuzz;

namespace {

constexpr uint32_t K = QUOR_EYECATCHER;

struct NodeImage {
    std::vector<unsigned char> pristine;
    Ranges latches;

    NodeImage() {
        silenceStdout();
        const uint64_t flags = QUOR_KIND_ID | QUOR_KIND_TRIPLE | QUOR_KIND_RMX | QUOR_KIND_PARENT |
                               QUOR_KIND_DEPENDENTS | QUOR_KIND_EXPORT_LIST;
        std::array<uint64_t, 64> sizes{};
        uint64_t total = 0, address = 0;
        require(quorCreateMaxSpaceArray(flags, 0, 0, 0, 0, 3, 16, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0,
                                        sizes.data(), &total) == 0,
                "sizes");
        SNodeCB_t *node = nullptr;
        require(quorCreateNodeInPM(&node, flags, sizes.data(), &total, &address, K, K) == 0, "node");
        const uint64_t triple[3] = {1, 2, 3};
        SNodeInfo_t parent{.nodeOffset = 0x100, .tag = 7, .idSize = 3, .segBase = 0x5000};
        RMXPathRec_t rmx{};
        std::strncpy(rmx.path, "/lib/module", sizeof rmx.path - 1);
        require(quorInitNode(&node, 0x2000, 5, "hello", &parent, "dad", 16, triple, &rmx, nullptr) == 0,
                "init");
        require(quorActivateNode(&node) == 0, "activate");
        const auto *bytes = reinterpret_cast<const unsigned char *>(node);
        pristine.assign(bytes, bytes + node->nodeSize);
        keepNodeWords(latches);
        void *block = node;
        require(hostMemFree(&block, 0, 0, "fuzz", __LINE__) == 0, "release");
    }
};

// One input against one copy of the node. Sections are entered and left the
// way a caller keeps the protocol: never twice, always left.
struct Run {
    SNodeCB_t *node;
    int held = -1;  // the access of the section held, or -1

    void enter(bool write) {
        if (held >= 0) return;
        const uint32_t rc = write ? quorEnterCriticalSectionBeforeWrite(node, &node->nodeLatch)
                                  : quorEnterCriticalSectionBeforeRead(node, &node->nodeLatch);
        if (rc == 0) held = write;
    }
    void leave() {
        if (held < 0) return;
        if (held) {
            quorExitCriticalSectionAfterWrite(node, &node->nodeLatch);
        } else {
            quorExitCriticalSectionAfterRead(node, &node->nodeLatch);
        }
        held = -1;
    }
    // An operation that takes the section itself runs only outside ours.
    uint32_t inSection() const { return held >= 0 ? 1 : 0; }

    void step(FuzzedDataProvider &in) {
        const uint8_t op = in.ConsumeIntegralInRange<uint8_t>(0, 15);
        // Those without an inCriticalSection argument take the section themselves.
        if (held >= 0 && (op == 3 || op >= 9)) return;
        switch (op) {
            case 0: {
                PExport *record = nullptr;
                const uint64_t kind = in.ConsumeBool()
                                          ? uint64_t{1} << in.ConsumeIntegralInRange<unsigned>(0, 63)
                                          : in.ConsumeIntegral<uint64_t>();
                quorGetPExportPointer(&record, node, kind);
                break;
            }
            case 1:
                enter(in.ConsumeBool());
                break;
            case 2:
                leave();
                break;
            case 3: {
                uint32_t condition = 0;
                quorGetNodeCondition(node, &condition);
                quorCheckNodeCondition(node, in.ConsumeIntegral<uint8_t>());
                break;
            }
            case 4: {
                uint64_t size = 0;
                quorGetNodeSize(node, &size, inSection());
                break;
            }
            case 5: {
                uint64_t tag = 0;
                quorGetNodeTag(node, &tag, inSection());
                break;
            }
            case 6:
                quorSetNodeTag(node, in.ConsumeIntegralInRange<uint64_t>(0, QUOR_MAX_TAG + 1), inSection());
                break;
            case 7: {
                char *id = nullptr;
                uint64_t length = 0;
                if (quorGetNodeID(node, &id, &length, inSection()) == 0 && id != nullptr) {
                    // The pointer and length were handed out as lying inside the node.
                    volatile char sink = 0;
                    for (uint64_t i = 0; i < length; ++i) sink = sink + id[i];
                }
                break;
            }
            case 8: {
                const std::string id = in.ConsumeRandomLengthString(40);
                quorSetNodeID(node, id.data(), id.size(), in.ConsumeIntegralInRange<uint64_t>(0, 64),
                              inSection());
                break;
            }
            case 9: {
                uint64_t maxId = 0;
                quorGetMaxIDSizeForStatusNode(
                    node, in.ConsumeBool() ? QUOR_KIND_ID : in.ConsumeIntegral<uint32_t>(), &maxId);
                break;
            }
            case 10:
                quorUpdateNodeStatus(node);
                break;
            case 11: {
                SNodeWatcher_t watcher{};
                watcher.watchMode = in.ConsumeBool() ? QUOR_WATCH_COUNTER : QUOR_WATCH_TIME;
                quorIsStillBeingUpdated(node, &watcher);
                break;
            }
            case 12: {
                int64_t counter = 0;
                quorGetNodeReconfigCounter(node, &counter);
                break;
            }
            case 13: {
                uint32_t model = 0;
                uint64_t registerSize = 0;
                quorReturnConcurrencyModel(node, &model);
                quorReturnRegisterSize(node, &registerSize);
                break;
            }
            case 14:
                quorSetConcurrencyModel(node, in.ConsumeIntegralInRange<uint32_t>(0, 6));
                break;
            case 15: {
                SNodeOptions_t options{};
                quorSetNodeOptions(node, &options);
                break;
            }
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static NodeImage image;
    FuzzedDataProvider in(data, size);
    const uint64_t nodeSize = image.pristine.size();
    auto *bytes = static_cast<unsigned char *>(std::malloc(nodeSize));
    std::memcpy(bytes, image.pristine.data(), nodeSize);
    corrupt(in, bytes, nodeSize, image.latches);
    Run run{reinterpret_cast<SNodeCB_t *>(bytes)};
    for (size_t i = 0; i < kMaxOperations && in.remaining_bytes() > 0; ++i) run.step(in);
    run.leave();
    std::free(bytes);
    return 0;
}
