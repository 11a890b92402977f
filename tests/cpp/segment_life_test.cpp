// The life of a segment through the C++ layer, with real processes: the causes a
// connection reports, waiting for a tree, one builder among many openers,
// removal by name of any segment, and deletes that never strand a segment.
#include <fcntl.h>
#include <signal.h>

#include <atomic>
#include <chrono>

#include "cpp/cpp_fixture.h"

namespace quor_test {
namespace {

using namespace std::chrono_literals;
using quor::segment;
using quor::segment_errc;

class SegmentLife : public CppTest {
protected:
    quor::library lib;
};

std::error_code connectCause(const std::string &n) {
    std::error_code ec;
    segment s = segment::connect(n, {}, ec);
    return ec;
}

// A process that stays connected until killed, or until *release turns
// non-zero, when it detaches and exits; its pid.
pid_t holdConnected(const std::string &n, const std::atomic<int> *release = nullptr) {
    auto *ready = static_cast<std::atomic<int> *>(quor::test::sharedScratch(sizeof(std::atomic<int>)));
    const pid_t child = quor::test::spawn([&] {
        (void)QUORCleanup(QUOR_CLEANUP_FORCE);
        quor::library l;
        segment s = segment::connect(n, 5s);
        ready->store(1);
        while (release == nullptr || release->load() == 0) usleep(1000);
        s.detach();
        return 0;
    });
    while (ready->load() == 0) usleep(100);
    return child;
}

TEST_F(SegmentLife, ConnectNamesTheCause) {
    const std::string n = name("causes");
    EXPECT_EQ(connectCause(n), segment_errc::no_such_segment);
    EXPECT_EQ(connectCause(n).message(), "no such segment");
    {
        segment bare = segment::create(n, kSegmentSize);
        EXPECT_EQ(connectCause(n), segment_errc::no_tree_yet);
        buildTop(bare, 7, "top");
        segment other = segment::attach(n);
        other.remove(true);  // marks it; this process still holds `bare`
        EXPECT_EQ(connectCause(n), segment_errc::being_deleted);
        bare.remove(true);
    }
    segment seg = segment::create(n, kSegmentSize);
    buildTop(seg, 7, "top");
    auto *header = static_cast<HHeader_t *>(seg.get()->domainHandle->base);
    const uint64_t magic = header->heapMagic;
    header->heapMagic = 0;
    EXPECT_EQ(inChild([&] {
                  (void)QUORCleanup(QUOR_CLEANUP_FORCE);
                  quor::library l;
                  return connectCause(n) == segment_errc::damaged ? 0 : 1;
              }),
              0);
    header->heapMagic = magic;
    seg.remove();
}

// A worker that starts before its supervisor waits for the tree; a timeout ends
// the wait with the cause of the last try.
TEST_F(SegmentLife, ConnectWaitsForTheTree) {
    const std::string n = name("waits");
    const auto start = std::chrono::steady_clock::now();
    std::error_code ec;
    (void)segment::connect(n, 30ms, {}, ec);
    EXPECT_EQ(ec, segment_errc::no_such_segment);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

    const pid_t worker = quor::test::spawn([&] {
        (void)QUORCleanup(QUOR_CLEANUP_FORCE);
        quor::library l;
        segment s = segment::connect(n, 10s);
        return s.top().tag() == 9 ? 0 : 1;
    });
    usleep(20000);
    segment seg = segment::create(n, kSegmentSize);
    usleep(20000);  // the worker now finds a segment without a tree
    buildTop(seg, 9, "top");
    EXPECT_EQ(quor::test::waitChild(worker), 0);
    seg.remove();
}

// Many processes open the same name at once: one builds, the others connect to
// what it built. A builder that fails leaves no segment.
TEST_F(SegmentLife, OpenOrCreateHasOneBuilder) {
    const std::string n = name("opened");
    auto *built = static_cast<std::atomic<int> *>(quor::test::sharedScratch(sizeof(std::atomic<int>)));
    std::vector<pid_t> openers;
    for (int i = 0; i < 4; ++i) {
        openers.push_back(quor::test::spawn([&] {
            (void)QUORCleanup(QUOR_CLEANUP_FORCE);
            quor::library l;
            segment s = segment::open_or_create(n, kSegmentSize, [&](segment &fresh) {
                built->fetch_add(1);
                usleep(20000);
                buildTop(fresh, 5, "top");
            });
            const bool ok = s.top().tag() == 5;
            s.detach();
            return ok ? 0 : 1;
        }));
    }
    for (pid_t p : openers) EXPECT_EQ(quor::test::waitChild(p), 0);
    EXPECT_EQ(built->load(), 1);
    segment::remove(n);

    EXPECT_THROW(segment::open_or_create(n, kSegmentSize, [](segment &) { throw std::runtime_error("no"); }),
                 std::runtime_error);
    EXPECT_EQ(connectCause(n), segment_errc::no_such_segment);
    try {
        (void)segment::open_or_create(n, kSegmentSize, [](segment &) {});
        ADD_FAILURE() << "a builder that recorded no tree was accepted";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code(), segment_errc::no_tree_yet);
    }
    EXPECT_EQ(connectCause(n), segment_errc::no_such_segment);
}

// A refused normal delete leaves the segment open; force and removal by name
// work on a marked segment whose marker is gone, on a segment without a tree
// and on a damaged one, and never on something that is not a segment.
TEST_F(SegmentLife, NothingIsStrandedByDeletesAndRemovalByName) {
    const std::string n = name("stranded");
    {
        segment seg = segment::create(n, kSegmentSize);
        buildTop(seg, 3, "top");
        const pid_t holder = holdConnected(n);
        std::error_code ec;
        seg.remove(false, ec);
        EXPECT_EQ(ec, quor::errc{QUOR_RC_POOL_IN_USE});
        EXPECT_TRUE(seg);
        EXPECT_FALSE(connectCause(n)) << "a refused delete left the segment marked";
        kill(holder, SIGKILL);
        EXPECT_EQ(quor::test::waitChild(holder), -SIGKILL);
        seg.remove();  // the dead holder's connection is released
    }

    // Marked by a process that is gone, with another still connected.
    {
        segment seg = segment::create(n, kSegmentSize);
        buildTop(seg, 3, "top");
        seg.detach();
        const pid_t holder = holdConnected(n);
        EXPECT_EQ(inChild([&] {
                      (void)QUORCleanup(QUOR_CLEANUP_FORCE);
                      quor::library l;
                      segment s = segment::attach(n);
                      return quorMarkStatusSegmentForDeletion(s.get()) == QUOR_RC_OK ? 0 : 1;
                  }),
                  0);
        EXPECT_EQ(connectCause(n), segment_errc::being_deleted);
        segment::remove(n);
        EXPECT_EQ(connectCause(n), segment_errc::no_such_segment);
        kill(holder, SIGKILL);
        EXPECT_EQ(quor::test::waitChild(holder), -SIGKILL);
    }

    // Without a tree: a creator that failed before recording its top node.
    EXPECT_EQ(inChild([&] {
                  segment bare = segment::create(n, kSegmentSize);
                  _exit(0);  // no destructor: the segment stays behind
                  return 0;
              }),
              0);
    EXPECT_EQ(connectCause(n), segment_errc::no_tree_yet);
    segment::remove(n);
    EXPECT_EQ(connectCause(n), segment_errc::no_such_segment);

    // Damaged: a header whose magic is gone.
    {
        segment seg = segment::create(n, kSegmentSize);
        buildTop(seg, 3, "top");
        static_cast<HHeader_t *>(seg.get()->domainHandle->base)->heapMagic = 0;
        segment::remove(n);
    }
    EXPECT_EQ(connectCause(n), segment_errc::no_such_segment);

    // Not a segment: left alone.
    const std::string other = name("foreign");
    const int fd = shm_open(("/" + other).c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 8192), 0);
    close(fd);
    std::error_code ec;
    segment::remove(other, ec);
    EXPECT_EQ(ec, segment_errc::not_a_segment);
    EXPECT_EQ(shm_unlink(("/" + other).c_str()), 0);
}

// A segment created here and destroyed before its top node was recorded goes
// with its object, also when building throws.
TEST_F(SegmentLife, UnbuiltSegmentGoesWithItsObject) {
    const std::string n = name("unbuilt");
    try {
        segment seg = segment::create(n, kSegmentSize);
        EXPECT_TRUE(seg.unbuilt());
        throw std::runtime_error("set-up failed");
    } catch (const std::runtime_error &) {
    }
    EXPECT_EQ(connectCause(n), segment_errc::no_such_segment);
    {
        segment seg = segment::create(n, kSegmentSize);
        buildTop(seg, 4, "top");
        EXPECT_FALSE(seg.unbuilt());
    }
    segment back = segment::connect(n);
    EXPECT_EQ(back.top().tag(), 4u);
    back.remove();
}

// The cycle of a host product: a supervisor creates, 8 workers connect, 3 are
// killed, the supervisor exits without detaching, a new supervisor opens the
// segment, the surviving workers finish, and a normal delete succeeds.
TEST_F(SegmentLife, SupervisorAndWorkersCycle) {
    const std::string n = name("cycle");
    auto *release = static_cast<std::atomic<int> *>(quor::test::sharedScratch(sizeof(std::atomic<int>)));
    EXPECT_EQ(inChild([&] {
                  (void)QUORCleanup(QUOR_CLEANUP_FORCE);
                  quor::library l;
                  segment seg = segment::open_or_create(n, kSegmentSize, [](segment &s) { buildTop(s, 1, "top"); });
                  _exit(0);  // exits holding its connection
                  return 0;
              }),
              0);
    std::vector<pid_t> workers;
    for (int i = 0; i < 8; ++i) workers.push_back(holdConnected(n, release));
    for (int i = 0; i < 3; ++i) {
        kill(workers[i], SIGKILL);
        EXPECT_EQ(quor::test::waitChild(workers[i]), -SIGKILL);
    }
    segment seg = segment::open_or_create(n, kSegmentSize, [](segment &) { FAIL() << "built twice"; });
    EXPECT_EQ(seg.top().tag(), 1u);
    release->store(1);  // the survivors finish their work and detach
    for (int i = 3; i < 8; ++i) EXPECT_EQ(quor::test::waitChild(workers[i]), 0);
    seg.remove();
    EXPECT_EQ(connectCause(n), segment_errc::no_such_segment);
}

}  // namespace
}  // namespace quor_test
