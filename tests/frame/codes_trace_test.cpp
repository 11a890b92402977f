// The code table, error texts, function identifiers and the tracing convention.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "frame/functions.h"
#include "frame/trace.h"
#include "quor/host.h"
#include "support/trace_recorder.h"

namespace {

using quor::test::TraceRecord;
using quor::test::TraceRecorder;

struct Code {
    const char *name;
    uint32_t value;
};
constexpr Code kCodes[] = {
#define QUOR_RC(name, value) {#name, value},
#define QUOR_RC_ALIAS(name, value) {#name, value},
#include "frame/return_codes.def"
#undef QUOR_RC
#undef QUOR_RC_ALIAS
};

TEST(ReturnCodes, TableIsWellFormedAndEveryCodeHasItsText) {
    std::set<uint32_t> values;
    for (const Code &code : kCodes) {
        if (code.value != 0) {
            EXPECT_EQ(code.value & 0xffff0000u, 0x90000000u) << code.name;
        }
        values.insert(code.value);
        char text[QUOR_PRINTRC_BUFFER_SIZE];
        ASSERT_EQ(quorPrintrc(code.value, text), QUOR_RC_OK);
        EXPECT_NE(std::string(text).find("0x"), std::string::npos);
    }
    EXPECT_EQ(values.size() + 1, std::size(kCodes)) << "exactly one value carries two names";
    EXPECT_EQ(QUOR_RC_POOL_TOO_LARGE, QUOR_RC_DOMAIN_CHUNK_TOO_LARGE);

    char text[QUOR_PRINTRC_BUFFER_SIZE];
    quorPrintrc(QUOR_RC_POOL_IN_USE, text);
    EXPECT_STREQ(text, "0x90000174 QUOR_RC_POOL_IN_USE: pool in use");
    quorPrintrc(0x9000ffff, text);
    EXPECT_STREQ(text, "0x9000ffff: unknown return code");
    char tiny[8];
    hostErrorGetDescription(QUOR_RC_POOL_IN_USE, tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "0x90000");
    EXPECT_EQ(quorPrintrc(QUOR_RC_OK, nullptr), QUOR_RC_NULL_PARAMETER);
}

TEST(FunctionIds, DistinctFixedAndNamed) {
    struct Row {
        const char *name;
        uint32_t number;
    };
    constexpr Row rows[] = {
#define QUOR_FN(name, number, implemented) {#name, number},
#include "frame/functions.def"
#undef QUOR_FN
    };
    std::set<uint32_t> numbers;
    for (const Row &row : rows) {
        EXPECT_TRUE(numbers.insert(row.number).second) << row.name;
        EXPECT_GE(row.number, 1u);
        EXPECT_LE(row.number, 0x136u);
        EXPECT_STREQ(hostGetFunctionName(0x08220000u | row.number), row.name);
    }
    EXPECT_EQ(std::size(rows), 289u);
    EXPECT_EQ(static_cast<uint32_t>(quor::Fn::quorCreateNode), 0x0822000cu);
    EXPECT_EQ(static_cast<uint32_t>(quor::Fn::quorSetConcurrencyModel), 0x08220020u);
    EXPECT_EQ(static_cast<uint32_t>(quor::Fn::QUOROneTimeOnlyInitialization), 0x0822010bu);
    EXPECT_EQ(static_cast<uint32_t>(quor::Fn::QUORCleanup), 0x08220110u);
    EXPECT_STREQ(hostGetFunctionName(0x08230001u), "unknown");
}

constexpr uint32_t kInit = static_cast<uint32_t>(quor::Fn::QUOROneTimeOnlyInitialization);

TEST(Tracing, EntryErrorVariableAndExitOnAFailurePath) {
    TraceRecorder recorder;
    EXPECT_EQ(QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, 0x42), QUOR_RC_LATCH_NOT_INITIALIZED);
    const auto &r = recorder.records();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].kind, TraceRecord::Entry);
    EXPECT_EQ(r[0].functionId, kInit);
    EXPECT_EQ(r[1].kind, TraceRecord::ErrorVar);
    EXPECT_EQ(r[1].probe, 10u);
    EXPECT_EQ(r[1].value, 0x42u) << "the offending key is recorded";
    EXPECT_EQ(r[2].kind, TraceRecord::Exit);
    EXPECT_EQ(r[2].value, QUOR_RC_LATCH_NOT_INITIALIZED);
}

TEST(Tracing, SuccessWritesEntryAndExitOnly) {
    TraceRecorder recorder;
    ASSERT_EQ(QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER), QUOR_RC_OK);
    ASSERT_EQ(recorder.records().size(), 2u);
    EXPECT_EQ(recorder.records()[1].value, 0u);
    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_FORCE), QUOR_RC_OK);
}

TEST(Tracing, NothingWithoutControlBlockOrWithItsEnableWordZero) {
    TraceRecorder recorder;
    recorder.enable(false);
    EXPECT_EQ(QUORCleanup(9), QUOR_RC_LIBRARY_NOT_INITIALIZED);
    EXPECT_TRUE(recorder.records().empty());
    recorder.enable(true);
    recorder.removeControlBlock();
    EXPECT_EQ(QUORCleanup(9), QUOR_RC_LIBRARY_NOT_INITIALIZED);
    EXPECT_TRUE(recorder.records().empty());
}

TEST(Tracing, LoggedFailuresReachTheLogEvenWithTracingOff) {
    TraceRecorder recorder;
    recorder.enable(false);
    quor::Trace trace(quor::Fn::quorCreateShmDomain);
    EXPECT_EQ(trace.failLogged(30, QUOR_RC_NULL_DOMAIN_HANDLE, 0), QUOR_RC_NULL_DOMAIN_HANDLE);
    ASSERT_EQ(recorder.records().size(), 1u);
    EXPECT_EQ(recorder.records()[0].kind, TraceRecord::Log);
    EXPECT_EQ(recorder.records()[0].code, QUOR_RC_NULL_DOMAIN_HANDLE);
    EXPECT_EQ(recorder.records()[0].probe, 30u);
    EXPECT_EQ(recorder.records()[0].size, 8u);
}

TEST(Closing, MainFailureWinsOverTheClosingStep) {
    struct Case {
        uint32_t main, close, expected;
    } cases[] = {{0, 0, 0}, {0, 7, 7}, {5, 0, 5}, {5, 7, 5}};
    for (const Case &c : cases) {
        int runs = 0;
        quor::Closing closing([&] {
            ++runs;
            return c.close;
        });
        EXPECT_EQ(closing.close(c.main), c.expected);
        EXPECT_EQ(closing.close(c.main), c.main) << "the step runs once";
        EXPECT_EQ(runs, 1);
    }
    int runs = 0;
    { quor::Closing forgotten([&] { return static_cast<uint32_t>(++runs); }); }
    EXPECT_EQ(runs, 1) << "a path that never closes still runs the step";
}

}  // namespace
