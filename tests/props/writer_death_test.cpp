// A writer SIGKILLed at random instants while it adds, deletes and rewrites
// properties of every table kind: the next process to take the node's latch
// finds each area agreeing with itself (counts, chains, lookups, tag counts,
// memory stack, usedSize, whole values) and goes on changing it; an area
// damaged beyond what a kill leaves fences the node.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include "props_fixture.h"

namespace quor::test {
namespace {

using props::IRKind, props::IVKind, props::RKind, props::VKind;

constexpr uint64_t kRoom = 16;  // properties each area holds
constexpr uint64_t kKeys = 20;  // keys the writers use: adds also meet a full area
// Byte values up to 4 KiB: copying one takes long enough for kills to land in
// the middle of it.
constexpr uint64_t kValueRoom = 4096;

// A node with R, V, IR and IV areas of one layout.
SNodeCB_t *fourKindNode(uint32_t mode) {
    const uint64_t flags = QUOR_KIND_R | QUOR_KIND_V | QUOR_KIND_IR | QUOR_KIND_IV;
    Sizes sizes{};
    uint64_t total = 0;
    EXPECT_EQ(quorCreateMaxSpaceArray(flags, kRoom, kRoom, kRoom, kRoom, 0, 0, 1, kValueRoom, kMaxId, kMaxId,
                                      kValueRoom,
                                      mode, mode, mode, mode, 5, kRoom, 5, kRoom, sizes.data(), &total),
              QUOR_RC_OK);
    return makePropsNode(sizes, flags);
}

void createLists(SNodeCB_t *node, uint32_t mode) {
    ASSERT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, kRoom, mode, 0), QUOR_RC_OK);
    ASSERT_EQ(quorCreateVPropertyList(node, nullptr, nullptr, nullptr, kValueRoom, 0, kRoom, mode, 0), QUOR_RC_OK);
    ASSERT_EQ(quorCreateIRPropertyList(node, nullptr, nullptr, nullptr, nullptr, kMaxId, 0, 5, kRoom, kRoom, mode, 0),
              QUOR_RC_OK);
    ASSERT_EQ(quorCreateIVPropertyList(node, nullptr, nullptr, nullptr, kMaxId, nullptr, nullptr, kValueRoom, 0, 5,
                                       kRoom, kRoom, mode, 0),
              QUOR_RC_OK);
}

// A value of `size` copies of one byte: a value torn between two of them shows
// two different bytes.
std::string uniform(uint64_t size, char c) { return std::string(size, c); }

// Rewrites a value inside the caller's section.
template <class A>
uint32_t setValue(SNodeCB_t *node, uint64_t key, std::mt19937 &random) {
    using K = typename A::Kind;
    const std::string id = idOf(key);
    const std::string value = uniform(1 + random() % kValueRoom, static_cast<char>('a' + random() % 26));
    if constexpr (std::is_same_v<K, RKind>)
        return quorSetValueForRProperty(node, key, static_cast<int32_t>(key * 3), 1);
    else if constexpr (std::is_same_v<K, IRKind>)
        return quorSetValueForIRProperty(node, tagOf(key), id.size(), id.data(), static_cast<int32_t>(key), 1);
    else if constexpr (std::is_same_v<K, VKind>)
        return quorSetValueForVProperty(node, key, value.size(), value.data(), 1);
    else
        return quorSetValueForIVProperty(node, tagOf(key), id.size(), id.data(), value.size(), value.data(), 1);
}

template <class K>
uint32_t countOf(SNodeCB_t *node, uint64_t *count) {
    uint64_t capacity = 0;
    if constexpr (std::is_same_v<K, RKind>) return quorGetNumberOfRProperties(node, count, &capacity, 0);
    if constexpr (std::is_same_v<K, VKind>) return quorGetNumberOfVProperties(node, count, &capacity, 0);
    if constexpr (std::is_same_v<K, IRKind>) return quorGetNumberOfIRProperties(node, count, &capacity, 0);
    if constexpr (std::is_same_v<K, IVKind>) return quorGetNumberOfIVProperties(node, count, &capacity, 0);
}

template <class K>
uint32_t tagCountOf(SNodeCB_t *node, uint64_t tag, uint64_t *count) {
    if constexpr (std::is_same_v<K, IRKind>) return quorReturnIRPropertyCount(node, tag, count, 0);
    if constexpr (std::is_same_v<K, IVKind>) return quorReturnIVPropertyCount(node, tag, count, 0);
    return QUOR_RC_OK;
}

// A found record carries its key, and its value is the add's or one whole
// rewrite, read back through the value operation.
template <class A>
bool wholeRecord(SNodeCB_t *node, const typename A::Kind::Record &record, uint64_t key) {
    using K = typename A::Kind;
    if constexpr (!K::bytesValue) {
        return A::holds(node, record, key);
    } else {
        const std::string id = idOf(key);
        uint64_t size = 0;
        void *address = nullptr;
        char buffer[kValueRoom] = {};
        uint32_t rc = 0;
        if constexpr (std::is_same_v<K, VKind>)
            rc = quorGetValueForVProperty(node, key, &size, &address, buffer, 0);
        else
            rc = quorGetValueForIVProperty(node, tagOf(key), id.size(), id.data(), &size, &address, buffer, 0);
        if (rc != 0 || size == 0 || size > kValueRoom) return false;
        const std::string value(buffer, size);
        return value == valueOf(key) || value == uniform(size, value[0]);
    }
}

// Every LL node below the next free offset is live or on the memory stack: a
// kill leaks none.
template <class K>
::testing::AssertionResult nothingLeaked(SNodeCB_t *node, uint64_t live) {
    props::PropertyArea<K> area;
    if (area.open(node) != 0) return ::testing::AssertionFailure() << "open";
    if (!area.hashed()) return ::testing::AssertionSuccess();
    const uint64_t handedOut = (*area.nextFreeWord() - area.llStart()) / area.llNodeSize();
    if (handedOut != live + *area.freedCountWord())
        return ::testing::AssertionFailure() << handedOut << " nodes handed out, " << live << " live, "
                                             << *area.freedCountWord() << " freed";
    return ::testing::AssertionSuccess();
}

// The area of kind A read every way a caller can: the count, the chains (and
// stack and usedSize), a lookup of every key, and for the tagged kinds the
// count of every tag. Returns a description of the first disagreement, or "".
template <class A>
std::string disagreement(SNodeCB_t *node) {
    using K = typename A::Kind;
    uint64_t count = 0, live = 0, found = 0;
    if (uint32_t rc = countOf<K>(node, &count); rc != 0) return "count rc " + std::to_string(rc);
    if (auto sound = consistent<K>(node, &live); !sound) return sound.message();
    if (auto sound = nothingLeaked<K>(node, live); !sound) return sound.message();
    uint64_t perTag[6] = {};
    for (uint64_t key = 1; key <= kKeys; ++key) {
        typename K::Record *record = nullptr;
        const uint32_t rc = A::locate(node, key, &record);
        if (rc == K::codes.notFound) continue;
        if (rc != 0) return "lookup rc " + std::to_string(rc);
        if (!wholeRecord<A>(node, *record, key)) return "record " + std::to_string(key) + " not whole";
        ++found;
        ++perTag[tagOf(key)];
    }
    if (count != live || found != live)
        return "count " + std::to_string(count) + ", chains " + std::to_string(live) + ", found " +
               std::to_string(found);
    if constexpr (K::tagged) {
        for (uint64_t tag = 1; tag <= 5; ++tag) {
            uint64_t n = 0;
            if (uint32_t rc = tagCountOf<K>(node, tag, &n); rc != 0 && rc != K::codes.notFound)
                return "tag count rc " + std::to_string(rc);
            if (n != perTag[tag]) return "tag " + std::to_string(tag) + " counts " + std::to_string(n);
        }
    }
    return "";
}

template <uint32_t Mode, class Fn>
void forEachKind(Fn &&fn) {
    fn.template operator()<Adapter<RKind, Mode>>();
    fn.template operator()<Adapter<VKind, Mode>>();
    fn.template operator()<Adapter<IRKind, Mode>>();
    fn.template operator()<Adapter<IVKind, Mode>>();
}

template <uint32_t Mode>
void killedWriters(const char *layout) {
    constexpr int kRounds = 500;
    SNodeCB_t *node = fourKindNode(Mode);
    ASSERT_NE(node, nullptr);
    createLists(node, Mode);
    std::mt19937 random(11);
    int inSection = 0, fenced = 0, silent = 0;
    for (int round = 0; round < kRounds; ++round) {
        const unsigned seed = random();
        const pid_t worker = spawn([&] {
            // Batches of changes in one held section, so that most kills
            // land inside one.
            std::mt19937 mine(seed);
            for (;;) {
                if (quorEnterCriticalSectionBeforeWrite(node, &node->nodeLatch) != 0) return 1;
                for (int i = 0; i < 64; ++i) {
                    const uint64_t key = 1 + mine() % kKeys, op = mine() % 3, kind = mine() % 4;
                    uint64_t k = 0;
                    forEachKind<Mode>([&]<class A>() {
                        if (k++ != kind) return;
                        if (op == 0)
                            (void)A::add(node, key, 1);
                        else if (op == 1)
                            (void)A::remove(node, key, 1);
                        else
                            (void)setValue<A>(node, key, mine);
                    });
                }
                if (quorExitCriticalSectionAfterWrite(node, &node->nodeLatch) != 0) return 2;
            }
            return 0;
        });
        usleep(std::uniform_int_distribution<useconds_t>(800, 3000)(random));
        ASSERT_EQ(kill(worker, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(worker, &status, 0), worker);
        int32_t mark = 0;
        (void)hostAtomicAdd(node->nodeLatch.writerActive, 0, &mark);
        inSection += mark != 0 ? 1 : 0;

        uint64_t count = 0;  // the first section taken repairs the node
        if (countOf<RKind>(node, &count) == QUOR_RC_NODE_DAMAGED) {
            ++fenced;
            node = fourKindNode(Mode);
            createLists(node, Mode);
            continue;
        }
        // Checked, then changed by the survivor, then checked again.
        for (int pass = 0; pass < 2; ++pass) {
            forEachKind<Mode>([&]<class A>() {
                const std::string wrong = disagreement<A>(node);
                if (!wrong.empty()) {
                    ++silent;
                    ADD_FAILURE() << layout << " round " << round << " kind " << A::Kind::bit << ": " << wrong;
                }
                if (pass == 0) {
                    const uint64_t key = 1 + round % kKeys;
                    typename A::Kind::Record *record = nullptr;
                    uint64_t live = 0;
                    (void)countOf<typename A::Kind>(node, &live);
                    if (A::locate(node, key, &record) == 0) {
                        EXPECT_EQ(A::remove(node, key), QUOR_RC_OK) << round;
                    } else if (live < kRoom) {
                        EXPECT_EQ(A::add(node, key), QUOR_RC_OK) << round;
                    }
                }
            });
            if (silent > 3) FAIL() << "stopping";
        }
    }
    std::printf("%s: %d rounds, %d killed inside a section, %d fenced, %d silent inconsistencies\n", layout,
                kRounds, inSection, fenced, silent);
    EXPECT_EQ(silent, 0);
    EXPECT_EQ(fenced, 0);
    // Only worth its time when many kills landed inside a section.
    EXPECT_GT(inSection, kRounds / 10);
}

TEST(KilledWriter, HashedAreasAgreeWithThemselves) { killedWriters<QUOR_LIST_HASHED>("hashed"); }
TEST(KilledWriter, FlatAreasAgreeWithThemselves) { killedWriters<QUOR_LIST_FLAT>("flat"); }

// A writer that dies leaving a chain no kill can leave (a node linked to
// itself) fences the node: every operation on it fails with
// QUOR_RC_NODE_DAMAGED.
TEST(KilledWriter, ChainNoKillLeavesFencesTheNode) {
    using A = Adapter<IRKind, QUOR_LIST_HASHED>;
    SNodeCB_t *node = A::sizedNode(8);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(A::create(node, 8), QUOR_RC_OK);
    ASSERT_EQ(A::add(node, 1), QUOR_RC_OK);
    IRPropertyRec_t *record = nullptr;
    ASSERT_EQ(A::locate(node, 1, &record), QUOR_RC_OK);
    auto *ll = reinterpret_cast<IRPropertyLLNode_t *>(reinterpret_cast<char *>(record) - props::llRecordAt<IRKind>);
    const uint64_t self = static_cast<uint64_t>(reinterpret_cast<char *>(ll) - reinterpret_cast<char *>(node));
    const pid_t worker = spawn([&] {
        if (quorEnterCriticalSectionBeforeWrite(node, &node->nodeLatch) != 0) return 1;
        ll->next = self;
        _exit(0);
    });
    ASSERT_EQ(waitChild(worker), 0);
    uint64_t count = 0, capacity = 0;
    EXPECT_EQ(quorGetNumberOfIRProperties(node, &count, &capacity, 0), QUOR_RC_NODE_DAMAGED);
    EXPECT_EQ(A::add(node, 2), QUOR_RC_NODE_DAMAGED);
    EXPECT_EQ(quorReturnIRPropertyCount(node, tagOf(1), &count, 0), QUOR_RC_NODE_DAMAGED);
}

}  // namespace
}  // namespace quor::test
