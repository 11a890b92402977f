// Segment and module lists: every behaviour runs over each list kind in each
// place through one typed suite; what only one place has follows below it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/state.h"
#include "lists/list_fixture.h"

namespace {

using namespace quor::test;

template <class L>
class EveryList : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(list.open()); }
    void TearDown() override { list.close(); }

    // The keys in list order, as the print operation reports them.
    std::vector<std::string> printed() {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(list.print(), QUOR_RC_OK);
        return printedKeys(::testing::internal::GetCapturedStdout(), L::Kind::kLine);
    }

    L list;
};

using Lists = ::testing::Types<Private<SegInfo>, Private<Rmx>, Shared<SegInfo>, Shared<Rmx>>;
TYPED_TEST_SUITE(EveryList, Lists);

TYPED_TEST(EveryList, InsertKeepsDescendingOrderAndRefusesAnEqualKey) {
    auto &list = this->list;
    for (const char *key : {"b", "c", "a", "ab"}) {
        typename TypeParam::Record *stored = nullptr;
        ASSERT_EQ(list.insert(key, &stored), QUOR_RC_OK) << key;
        ASSERT_NE(stored, nullptr);
        EXPECT_STREQ(TypeParam::Kind::keyOf(*stored), key);
    }
    EXPECT_EQ(this->printed(), (std::vector<std::string>{"c", "b", "ab", "a"}));

    typename TypeParam::Record *stored = &TypeParam::Kind::sentinel;
    EXPECT_EQ(list.insert("b", &stored), QUOR_RC_LLIST_DUPLICATE);
    EXPECT_EQ(stored, &TypeParam::Kind::sentinel) << "a refused insert hands out nothing";
    EXPECT_EQ(list.liveNodes(), 4u);
    EXPECT_EQ(this->printed(), (std::vector<std::string>{"c", "b", "ab", "a"}));
}

TYPED_TEST(EveryList, PrintOfAnEmptyListSaysSo) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(this->list.print(), QUOR_RC_OK);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "List is empty\n");
}

TYPED_TEST(EveryList, PrintNumbersEveryNodeOnItsOwnLine) {
    ASSERT_EQ(this->list.insert("x"), QUOR_RC_OK);
    ASSERT_EQ(this->list.insert("y"), QUOR_RC_OK);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(this->list.print(), QUOR_RC_OK);
    const std::string line = TypeParam::Kind::kLine;
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Linked list node #1 " + line + " = \"y\"\r\nLinked list node #2 " + line + " = \"x\"\r\n");
}

TYPED_TEST(EveryList, FindGivesTheStoredRecordOrNull) {
    auto &list = this->list;
    typename TypeParam::Record *a = nullptr, *c = nullptr;
    ASSERT_EQ(list.insert("a", &a), QUOR_RC_OK);
    ASSERT_EQ(list.insert("c", &c), QUOR_RC_OK);

    typename TypeParam::Record *found = nullptr;
    EXPECT_EQ(list.find("c", &found), QUOR_RC_OK);
    EXPECT_EQ(found, c);
    EXPECT_EQ(list.find("a", &found), QUOR_RC_OK);
    EXPECT_EQ(found, a);
    for (const char *absent : {"b", "d", "", "aa"}) {
        found = &TypeParam::Kind::sentinel;
        EXPECT_EQ(list.find(absent, &found), QUOR_RC_OK) << absent;
        EXPECT_EQ(found, nullptr) << absent;
    }
}

TYPED_TEST(EveryList, DeletingTheOnlyNodeEmptiesTheListAndReleasesItsMemory) {
    auto &list = this->list;
    const uint64_t before = list.liveNodes();
    ASSERT_EQ(list.insert("only"), QUOR_RC_OK);
    EXPECT_NE(list.head(), 0u);
    EXPECT_EQ(list.liveNodes(), before + 1);

    EXPECT_EQ(list.remove("other"), QUOR_RC_LLIST_NODE_NOT_FOUND);
    EXPECT_EQ(list.remove("only"), QUOR_RC_OK);
    EXPECT_EQ(list.head(), 0u);
    EXPECT_EQ(list.liveNodes(), before);
    EXPECT_EQ(list.remove("only"), QUOR_RC_LLIST_NODE_NOT_FOUND) << "empty list";
}

TYPED_TEST(EveryList, DeleteUnlinksInTheMiddleAndAtBothEnds) {
    auto &list = this->list;
    for (const char *key : {"a", "b", "c", "d", "e"}) ASSERT_EQ(list.insert(key), QUOR_RC_OK);
    for (const char *key : {"c", "e", "a"}) EXPECT_EQ(list.remove(key), QUOR_RC_OK) << key;
    EXPECT_EQ(this->printed(), (std::vector<std::string>{"d", "b"}));
    EXPECT_EQ(list.liveNodes(), 2u);
}

TYPED_TEST(EveryList, DeleteAllEmptiesTheListAndReleasesEveryNode) {
    auto &list = this->list;
    for (const char *key : {"a", "b", "c"}) ASSERT_EQ(list.insert(key), QUOR_RC_OK);
    EXPECT_EQ(list.removeAll(), QUOR_RC_OK);
    EXPECT_EQ(list.head(), 0u);
    EXPECT_EQ(list.liveNodes(), 0u);
    EXPECT_EQ(list.removeAll(), QUOR_RC_OK) << "an empty list";
}

// The head is cleared before anything is freed: a failing release ends the walk,
// its code is the result, and the list is empty rather than half freed.
TYPED_TEST(EveryList, DeleteAllStopsAtTheFirstFailingReleaseWithTheHeadCleared) {
    auto &list = this->list;
    typename TypeParam::Record *first = nullptr, *second = nullptr, *third = nullptr;
    ASSERT_EQ(list.insert("c", &first), QUOR_RC_OK);
    ASSERT_EQ(list.insert("b", &second), QUOR_RC_OK);
    ASSERT_EQ(list.insert("a", &third), QUOR_RC_OK);

    list.spoilRelease(second);
    EXPECT_EQ(list.removeAll(), TypeParam::kSpoiledReleaseCode);
    EXPECT_EQ(list.head(), 0u);
    EXPECT_EQ(list.liveNodes(), 2u) << "the first node went back, the second and third did not";

    list.repairRelease(second);
    EXPECT_EQ(list.releaseNode(second), QUOR_RC_OK);
    EXPECT_EQ(list.releaseNode(third), QUOR_RC_OK);
    EXPECT_EQ(list.liveNodes(), 0u);
}

TYPED_TEST(EveryList, FailedAllocationLeavesTheListAsItWas) {
    auto &list = this->list;
    ASSERT_EQ(list.insert("b"), QUOR_RC_OK);
    list.failNextAllocation();
    typename TypeParam::Record *stored = &TypeParam::Kind::sentinel;
    EXPECT_EQ(list.insert("a", &stored), TypeParam::kFailedAllocationCode);
    list.allowAllocation();
    EXPECT_EQ(stored, &TypeParam::Kind::sentinel);
    EXPECT_EQ(this->printed(), (std::vector<std::string>{"b"}));
    EXPECT_EQ(list.liveNodes(), 1u);
}

TYPED_TEST(EveryList, NullArgumentsAreRefusedBeforeTheListIsTouched) {
    auto &list = this->list;
    typename TypeParam::Record *stored = nullptr;
    const typename TypeParam::Input *none = nullptr;
    EXPECT_EQ(list.findRaw(none, &stored), QUOR_RC_LLIST_FAILED);
    EXPECT_EQ(list.insertRaw(none, &stored), QUOR_RC_LLIST_FAILED);
    EXPECT_EQ(list.removeRaw(none), QUOR_RC_LLIST_FAILED);
    const auto record = TypeParam::Kind::make("a");
    EXPECT_EQ(list.findRaw(&record, nullptr), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(list.insertRaw(&record, nullptr), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(list.head(), 0u) << "nothing was inserted";
}

// ---- what only the segment list has ----

template <class L>
class SegmentList : public EveryList<L> {};
using SegmentLists = ::testing::Types<Private<SegInfo>, Shared<SegInfo>>;
TYPED_TEST_SUITE(SegmentList, SegmentLists);

TYPED_TEST(SegmentList, KeyIsTheNameAloneAndTheStoredCopyIsTheDescriptor) {
    auto &list = this->list;
    ShmSegInfo_t record = SegInfo::make("seg.A");
    record.kind = QUOR_SHM_MODE_USER_MEMORY;
    record.attached = 1;
    record.attachedReserved = 0x5a5a5a5a;
    record.domainHandle = reinterpret_cast<ShmDomainHandle_t *>(0x1234);
    AttachSegInfo_t *stored = nullptr;
    ASSERT_EQ(list.insertRaw(&record, &stored), QUOR_RC_OK);
    EXPECT_EQ(std::memcmp(stored, &record, sizeof *stored), 0);

    ShmSegInfo_t sameName = SegInfo::make("seg.A");
    sameName.segName.accessFlags = 0x1ff;  // the 8 bytes ahead of the name do not count
    EXPECT_EQ(list.insertRaw(&sameName, &stored), QUOR_RC_LLIST_DUPLICATE);
    AttachSegInfo_t *found = nullptr;
    EXPECT_EQ(list.findRaw(&sameName, &found), QUOR_RC_OK);
    EXPECT_NE(found, nullptr);
}

TYPED_TEST(SegmentList, AComparisonWithAWrongKeyFails) {
    auto &list = this->list;
    ASSERT_EQ(list.insert("seg.A"), QUOR_RC_OK);
    list.spoilKey();
    SegInfo::Record *found = nullptr;
    EXPECT_EQ(list.find("seg.A", &found), QUOR_RC_ATTACH_LIST_FAILED);
    EXPECT_EQ(list.insert("seg.B"), QUOR_RC_ATTACH_LIST_FAILED);
    EXPECT_EQ(list.remove("seg.A"), QUOR_RC_ATTACH_LIST_FAILED);
    list.repairKey();
    EXPECT_EQ(list.liveNodes(), 1u);
}

// ---- module paths ----

template <class L>
class ModuleList : public EveryList<L> {};
using ModuleLists = ::testing::Types<Private<Rmx>, Shared<Rmx>>;
TYPED_TEST_SUITE(ModuleList, ModuleLists);

TYPED_TEST(ModuleList, PathsCompareAsUnsignedBytesOverAtMostTheLimit) {
    auto &list = this->list;
    ASSERT_EQ(list.insert("/opt/z"), QUOR_RC_OK);
    ASSERT_EQ(list.insert("/opt/\xe9"), QUOR_RC_OK);  // above every ASCII byte
    EXPECT_EQ(this->printed(), (std::vector<std::string>{"/opt/\xe9", "/opt/z"}));

    RMXPathRec_t longA{}, longB{};
    std::memset(longA.path, 'p', sizeof longA.path);  // no terminator inside the limit
    longB = longA;
    longA.reserved[0] = 'a';
    longB.reserved[0] = 'b';  // differs only past the limit
    RMXPathRec_t *stored = nullptr;
    ASSERT_EQ(list.insertRaw(&longA, &stored), QUOR_RC_OK);
    EXPECT_EQ(std::memcmp(stored, &longA, sizeof longA), 0) << "the whole record is stored";
    EXPECT_EQ(list.insertRaw(&longB, &stored), QUOR_RC_LLIST_DUPLICATE);

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(list.print(), QUOR_RC_OK);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\"" + std::string(QUOR_RMX_PATH_MAX, 'p') + "\"\r\n"), std::string::npos)
        << "an unterminated path prints no further than the limit";
}

}  // namespace
