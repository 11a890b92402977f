// Move-only objects release what they hold: library references, segment
// attachments, identifiers; moved-from objects release nothing.
#include <utility>

#include "cpp_fixture.h"

namespace quor_test {
namespace {

using LifetimeTest = CppTest;

TEST_F(LifetimeTest, LibraryReferencesEndWithTheirObjects) {
    {
        quor::library second;
        quor::library moved = std::move(second);
        EXPECT_FALSE(second);
        EXPECT_TRUE(moved);
    }
    // Only the fixture's reference is left: one release ends the library.
    lib.cleanup();
    EXPECT_FALSE(lib);
    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_RELEASE), QUOR_RC_LIBRARY_NOT_INITIALIZED);
}

TEST_F(LifetimeTest, SegmentDetachesOnceWhateverItWasMovedThrough) {
    const std::string n = name("moves");
    quor::segment created = quor::segment::create(n, kSegmentSize);
    buildTop(created, 1, "top");
    {
        quor::segment again = quor::segment::attach(n);
        EXPECT_EQ(again.get(), created.get());  // one record per segment and process
        EXPECT_EQ(created.references(), 2u);
        quor::segment moved = std::move(again);
        EXPECT_FALSE(again);
        quor::segment assigned;
        assigned = std::move(moved);
        EXPECT_EQ(created.references(), 2u);
        quor::segment third = quor::segment::attach(n);
        third.detach();  // not the last reference: the object lets go of it all the same
        EXPECT_FALSE(third);
        EXPECT_EQ(created.references(), 2u);
    }
    EXPECT_EQ(created.references(), 1u);
    const uint64_t live = hostMemLiveBlocks(nullptr);
    created.detach();
    EXPECT_FALSE(created);
    EXPECT_LT(hostMemLiveBlocks(nullptr), live);  // the registry record went with the last reference

    // Detached, not deleted: the segment and its tree are still there to attach.
    quor::segment back = quor::segment::attach(n);
    EXPECT_EQ(back.references(), 1u);
    back.remove();
    std::error_code ec;
    (void)quor::segment::attach(n, {}, ec);
    EXPECT_TRUE(ec) << "a removed segment attached again";
}

TEST_F(LifetimeTest, RemovingAMarkedSegmentRefusesNewReferences) {
    const std::string n = name("marked");
    quor::segment seg = quor::segment::create(n, kSegmentSize);
    quor::segment extra = quor::segment::attach(n);
    extra.remove(true);  // this process still holds a reference: only marked, one reference dropped
    EXPECT_FALSE(extra);
    EXPECT_EQ(seg.references(), 1u);
    std::error_code ec;
    quor::segment refused = quor::segment::attach(n, {}, ec);
    EXPECT_EQ(ec, quor::errc{QUOR_RC_DOMAIN_MARKED_FOR_DELETION});
    EXPECT_FALSE(refused);
    EXPECT_EQ(seg.references(), 1u);
    seg.remove();
}

TEST_F(LifetimeTest, IdentifierOwnsTheLibrarysArrays) {
    const uint64_t before = hostMemLiveBlocks(nullptr);
    {
        quor::identifier id({"plant", "", "unit-7"}, 16, QUOR_KIND_ID);
        ASSERT_EQ(id.size(), 3u);
        EXPECT_EQ(id[0], "plant");
        EXPECT_EQ(id[1], "");
        EXPECT_EQ(id[2], "unit-7");
        EXPECT_EQ(id.bytes(), "plantunit-7");
        quor::identifier moved = std::move(id);
        EXPECT_EQ(id.size(), 0u);
        EXPECT_EQ(moved[2], "unit-7");
        EXPECT_EQ(hostMemLiveBlocks(nullptr), before + 2);
    }
    EXPECT_EQ(hostMemLiveBlocks(nullptr), before);

    std::error_code ec;
    quor::identifier tooLong({"abcdefghijklmnopq"}, 16, QUOR_KIND_ID, ec);
    EXPECT_EQ(ec, quor::errc{QUOR_RC_ID_SIZE_TOO_LARGE});
    EXPECT_EQ(tooLong.size(), 0u);
    EXPECT_EQ(hostMemLiveBlocks(nullptr), before);
}

}  // namespace
}  // namespace quor_test
