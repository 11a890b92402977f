// Return codes surface as std::error_code of the library's category, through
// both forms of every operation.
#include <string>

#include "cpp_fixture.h"

namespace quor_test {
namespace {

using ErrorsTest = CppTest;

TEST_F(ErrorsTest, CategoryNamesAndWordsEveryCode) {
    const std::error_code ec = quor::errc{QUOR_RC_NODE_NOT_FOUND};
    EXPECT_STREQ(ec.category().name(), "quor");
    EXPECT_EQ(&ec.category(), &quor::category());
    EXPECT_EQ(static_cast<uint32_t>(ec.value()), QUOR_RC_NODE_NOT_FOUND);
    // The text is the library's own: the code's name and its words.
    EXPECT_NE(ec.message().find("QUOR_RC_NODE_NOT_FOUND"), std::string::npos) << ec.message();
    EXPECT_NE(ec.message().find("node not found"), std::string::npos) << ec.message();
    EXPECT_FALSE(std::error_code(quor::errc{QUOR_RC_OK}));
}

// Each case fails in the library; both forms must report the same code, the
// throwing one naming the operation.
struct Failing {
    const char *what;
    std::error_code code;
    void (*call)(const std::string &name, std::error_code *ec);  // ec null: the throwing form
};

const Failing kFailing[] = {
    {"quorGetProtectedStatusSegment", quor::errc{QUOR_RC_ZERO_SEGMENT_SIZE},
     [](const std::string &name, std::error_code *ec) {
         if (ec != nullptr) {
             quor::segment s = quor::segment::create(name, 0, {}, *ec);
             EXPECT_FALSE(s);
         } else {
             (void)quor::segment::create(name, 0);
         }
     }},
    {"quorConnectToATree", quor::segment_errc::no_tree_yet,
     [](const std::string &name, std::error_code *ec) {
         // A segment without a tree: connecting must fail with that cause and
         // leave nothing attached.
         quor::segment bare = quor::segment::create(name, kSegmentSize);
         quor::segment s =
             ec != nullptr ? quor::segment::connect(name, {}, *ec) : quor::segment::connect(name);
         EXPECT_FALSE(s);
         EXPECT_EQ(bare.references(), 1u);
         bare.remove();
     }},
    {"quorGetProtectedStatusSegment", quor::errc{QUOR_RC_HOST_BAD_SEGMENT_NAME},
     [](const std::string &, std::error_code *ec) {
         const std::string tooLong(300, 'n');
         if (ec != nullptr) {
             (void)quor::segment::create(tooLong, kSegmentSize, {}, *ec);
         } else {
             (void)quor::segment::create(tooLong, kSegmentSize);
         }
     }},
    {"quorActivateNode", quor::errc{QUOR_RC_NULL_PARAMETER},
     [](const std::string &, std::error_code *ec) {
         quor::node none;
         ec != nullptr ? none.activate(*ec) : none.activate();
     }},
};

TEST_F(ErrorsTest, BothFormsReportTheLibrarysCode) {
    for (const Failing &c : kFailing) {
        SCOPED_TRACE(c.what);
        std::error_code ec = std::make_error_code(std::errc::io_error);  // overwritten by the call
        c.call(name("ec"), &ec);
        EXPECT_EQ(ec, c.code) << ec.message();
        try {
            c.call(name("throw"), nullptr);
            ADD_FAILURE() << "no exception";
        } catch (const std::system_error &e) {
            EXPECT_EQ(e.code(), c.code);
            EXPECT_NE(std::string(e.what()).find(c.what), std::string::npos) << e.what();
        }
    }
}

TEST_F(ErrorsTest, SuccessClearsAnEarlierCode) {
    std::error_code ec = quor::errc{QUOR_RC_NULL_PARAMETER};
    quor::segment seg = quor::segment::create(name("ok"), kSegmentSize, {}, ec);
    EXPECT_FALSE(ec);
    ASSERT_TRUE(seg);
    seg.remove(false, ec);
    EXPECT_FALSE(ec);
}

}  // namespace
}  // namespace quor_test
