// quorctl end to end: every case runs the installed-style binary in its own
// process and judges its exit status, its output and the segment it leaves.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "quor/quor.h"

namespace {

using nlohmann::json;

struct Result {
    int status = -1;
    std::string out, err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string quoted(const std::string &arg) {
    std::string out = "'";
    for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs quorctl with `args` and waits for it.
Result quorctl(const std::vector<std::string> &args) {
    const std::string base = "/tmp/quorctl-test-" + std::to_string(getpid());
    std::string command = quoted(QUORCTL_BINARY);
    for (const std::string &arg : args) command += " " + quoted(arg);
    command += " >" + base + ".out 2>" + base + ".err";
    Result r;
    const int raw = std::system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(base + ".out");
    r.err = slurp(base + ".err");
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return r;
}

bool oneLine(const std::string &text) {
    return !text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1;
}

std::string writeFile(const std::string &label, const std::string &content) {
    const std::string path = "/tmp/quorctl-test-" + std::to_string(getpid()) + "-" + label + ".json";
    std::ofstream(path) << content;
    return path;
}

// A segment name unique to the test; whatever is left of it is unlinked at the end.
class QuorctlTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::string &name : names_) shm_unlink(("/" + name).c_str());
    }
    std::string segment(const std::string &label) {
        names_.push_back("qct-" + std::to_string(getpid()) + "-" + label);
        return names_.back();
    }

private:
    std::vector<std::string> names_;
};

const char *const kBranches = R"({"quor_tree": 1, "top": {
  "tag": 42, "id": "plant/line-1", "max_id_size": 32, "condition": "active",
  "areas": {"dependents": {"capacity": 4}}, "properties": [],
  "children": [
    {"tag": 7, "id": "pump-1", "max_id_size": 16, "condition": "active",
     "areas": {"dependents": {"capacity": 2}}, "properties": [],
     "children": [{"tag": 9, "id": "motor", "max_id_size": 16, "condition": "active",
                   "areas": {}, "properties": [], "children": []}]},
    {"tag": 7, "id": "pump-2", "max_id_size": 16, "condition": "disassociated",
     "areas": {}, "properties": [], "children": []}]}})";

// Every hashed layout, values at their limits, bytes that need escapes.
const char *const kHashed = R"({"quor_tree": 1, "top": {"tag": 5, "id": "h", "max_id_size": 8,
  "condition": "active", "areas": {
    "r": {"capacity": 6, "layout": "hashed"}, "v": {"capacity": 3, "layout": "hashed", "max_value_size": 16},
    "ir": {"capacity": 3, "layout": "hashed", "max_id_size": 8},
    "iv": {"capacity": 7, "layout": "hashed", "max_id_size": 8, "max_value_size": 24}},
  "properties": [
    {"kind": "r", "number": 1048576, "value": -2147483648, "rc": 18446744073709551615},
    {"kind": "v", "number": 3, "value": "123456789", "rc": 0},
    {"kind": "ir", "tag": 1, "id": "a\\\\b", "value": 2147483647, "rc": 1},
    {"kind": "iv", "tag": 2, "id": "\\xff", "value": "\\x00\\x01", "rc": 0}],
  "children": []}})";

// ---- malformed input: one line on standard error, exit status 2, nothing made ----

TEST_F(QuorctlTest, MalformedArgumentsAreOneLineUsageErrors) {
    const std::string name = segment("bad");
    const std::vector<std::vector<std::string>> cases = {
        {"get", name, "x", "r:1"},                // path without a leading slash
        {"get", name, "/7", "r:1"},               // step without TAG:ID
        {"get", name, "/0x100001:a", "r:1"},      // tag above the limit
        {"get", name, "/12abc:a", "r:1"},         // tag not a number
        {"get", name, "/7:a\\xZZ", "r:1"},        // bad escape
        {"get", name, "/7:a\\x4", "r:1"},         // short escape
        {"get", name, "/", "q:1"},                // unknown kind
        {"get", name, "/", "r"},                  // missing number
        {"get", name, "/", "r:0"},                // numbers start at 1
        {"get", name, "/", "v:-1"},               // negative number
        {"get", name, "/", "ir:5"},               // missing ID
        {"get", name, "/", "iv:5:"},              // empty ID
        {"get", name, "/", "baser:x"},            // base number not a number
        {"set", name, "/", "r:1", "12x"},         // integer value malformed
        {"set", name, "/", "r:1", "2147483648"},  // beyond 32 bits
        {"set", name, "/", "v:1", ""},            // empty byte value
        {"set", name, "/", "r:1", "-1", "--rc"},  // RC words are unsigned
        {"watch", name, "/", "--interval", "0"},
        {"dump", name, "--verbosity", "6"},
        {"frobnicate", name},
    };
    for (const auto &args : cases) {
        const Result r = quorctl(args);
        std::string shown;
        for (const auto &a : args) shown += a + " ";
        EXPECT_EQ(r.status, 2) << shown << r.err;
        EXPECT_TRUE(oneLine(r.err)) << shown << "stderr: " << r.err;
        EXPECT_EQ(r.err.rfind("quorctl: ", 0), 0u) << shown << r.err;
    }
    EXPECT_EQ(shm_unlink(("/" + name).c_str()), -1) << "a malformed command made a segment";
}

TEST_F(QuorctlTest, MalformedTreeFilesNameTheMemberAndMakeNothing) {
    const std::string name = segment("badjson");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{", "not JSON"},
        {R"({"quor_tree": 2, "top": {"tag": 1}})", "document.quor_tree"},
        {R"({"quor_tree": 1, "top": {"tag": 1, "colour": "red"}})", "unknown member \"colour\""},
        {R"({"quor_tree": 1, "top": {"tag": 1048577}})", "top.tag"},
        {R"({"quor_tree": 1, "top": {"tag": 1, "id": "abc", "max_id_size": 2}})", "top.id"},
        {R"({"quor_tree": 1, "top": {"tag": 1, "children": [{"tag": 2}]}})", "top.children"},
        {R"({"quor_tree": 1, "top": {"tag": 1, "areas": {"r": {"capacity": 1}},
            "properties": [{"kind": "r", "number": 1, "value": 1}, {"kind": "r", "number": 2, "value": 1}]}})",
         "more r properties than its capacity"},
        {R"({"quor_tree": 1, "top": {"tag": 1, "areas": {"v": {"capacity": 2, "max_value_size": 2}},
            "properties": [{"kind": "v", "number": 1, "value": "abc"}]}})",
         "top.properties[0].value"},
        {R"({"quor_tree": 1, "top": {"tag": 1, "properties": [{"kind": "ir", "tag": 3, "id": "x", "value": 1}]}})",
         "no \"ir\" area"},
        {R"({"quor_tree": 1, "top": {"tag": 1, "areas": {"r": {"capacity": 2}},
            "properties": [{"kind": "r", "number": 1, "value": 4294967296}]}})",
         "32-bit"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string file = writeFile("bad" + std::to_string(i), cases[i].first);
        const Result r = quorctl({"create", name, "--from", file});
        EXPECT_EQ(r.status, 2) << cases[i].first << r.err;
        EXPECT_TRUE(oneLine(r.err)) << r.err;
        EXPECT_NE(r.err.find(cases[i].second), std::string::npos) << r.err;
        std::remove(file.c_str());
    }
    EXPECT_EQ(shm_unlink(("/" + name).c_str()), -1) << "a refused tree file made a segment";
}

TEST_F(QuorctlTest, LibraryFailuresNameTheirCause) {
    const std::string name = segment("absent");
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"stat", name}, {"show", name}, {"check", name}, {"delete", name}}) {
        const Result r = quorctl(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_TRUE(oneLine(r.err)) << r.err;
        EXPECT_NE(r.err.find(name + ": no such segment"), std::string::npos) << r.err;
    }
}

TEST_F(QuorctlTest, EveryCommandHasHelpWithExamplesAndExitCodes) {
    for (const char *verb :
         {"create", "show", "get", "set", "watch", "stat", "check", "dump", "delete", "metrics"}) {
        const Result r = quorctl({verb, "--help"});
        EXPECT_EQ(r.status, 0) << verb;
        EXPECT_NE(r.out.find("Examples:\n  quorctl " + std::string(verb)), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Exit status:"), std::string::npos) << verb;
    }
}

// ---- a tree's round trip and its lifetime ----

TEST_F(QuorctlTest, ShowJsonGivesBackTheTreeCreatedFromIt) {
    const std::vector<std::pair<std::string, std::string>> trees = {
        {"branches", kBranches}, {"hashed", kHashed}, {"example", slurp(QUORCTL_EXAMPLE)}};
    for (const auto &[label, text] : trees) {
        const std::string name = segment(label), file = writeFile(label, text);
        const Result created = quorctl({"create", name, "--from", file});
        ASSERT_EQ(created.status, 0) << label << created.err;
        const Result shown = quorctl({"show", name, "--json"});
        ASSERT_EQ(shown.status, 0) << shown.err;
        EXPECT_EQ(json::parse(shown.out), json::parse(text)) << shown.out;
        // The shown form is accepted again and builds the same tree.
        const std::string again = segment(label + "-again"), copy = writeFile(label + "-again", shown.out);
        ASSERT_EQ(quorctl({"create", again, "--from", copy}).status, 0);
        EXPECT_EQ(json::parse(quorctl({"show", again, "--json"}).out), json::parse(text));
        std::remove(file.c_str());
        std::remove(copy.c_str());
    }
}

TEST_F(QuorctlTest, PathsReachNodesBelowTheTop) {
    const std::string name = segment("paths"), file = writeFile("paths", kBranches);
    ASSERT_EQ(quorctl({"create", name, "--from", file}).status, 0);
    const Result motor = quorctl({"show", name, "/42:plant\\x2fline-1/7:pump-1/0x9:motor", "--json"});
    ASSERT_EQ(motor.status, 0) << motor.err;
    EXPECT_EQ(json::parse(motor.out)["top"]["id"], "motor");
    const Result shallow = quorctl({"show", name, "/", "--depth", "1"});
    EXPECT_NE(shallow.out.find("7:pump-2  disassociated"), std::string::npos) << shallow.out;
    EXPECT_EQ(shallow.out.find("motor"), std::string::npos) << shallow.out;
    // A path whose first step is not the top node, or whose step matches no child.
    for (const char *path : {"/41:plant\\x2fline-1", "/42:plant\\x2fline-1/7:pump-3"}) {
        const Result r = quorctl({"show", name, path});
        EXPECT_EQ(r.status, 1) << path;
        EXPECT_TRUE(oneLine(r.err)) << r.err;
    }
    std::remove(file.c_str());
}

TEST_F(QuorctlTest, DeleteRemovesTheSegment) {
    const std::string name = segment("delete"), file = writeFile("delete", kBranches);
    ASSERT_EQ(quorctl({"create", name, "--from", file}).status, 0);
    EXPECT_EQ(quorctl({"delete", name}).status, 0);
    EXPECT_EQ(quorctl({"stat", name}).status, 1);
    EXPECT_EQ(shm_unlink(("/" + name).c_str()), -1);
    std::remove(file.c_str());
}

// ---- the life of segments ----

// Forks a process that runs `body` (given the segment name), which calls
// `reached()` when it gets where it should stay; returns its pid once it has.
pid_t stayAt(const std::function<void(const std::function<void()> &reached)> &body) {
    auto *flag = static_cast<int *>(
        mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    *flag = 0;
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);
        (void)QUORCleanup(QUOR_CLEANUP_FORCE);
        (void)QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER);
        body([&] {
            __atomic_store_n(flag, 1, __ATOMIC_SEQ_CST);
            pause();
        });
        __atomic_store_n(flag, 1, __ATOMIC_SEQ_CST);
        pause();
        _exit(0);
    }
    while (__atomic_load_n(flag, __ATOMIC_SEQ_CST) == 0) usleep(100);
    munmap(flag, sizeof(int));
    return child;
}

void killChild(pid_t child) {
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
}

json listed(const std::string &name) {
    const Result r = quorctl({"list", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const json &s : json::parse(r.out))
        if (s["name"] == name) return s;
    return json();
}

// A creator killed at each step of building a tree leaves a segment that
// `list` shows and `reap` removes; one killed after recording the tree leaves a
// healthy segment whose dead connections reap releases, which a normal delete
// then removes.
TEST_F(QuorctlTest, ReapRemovesWhatACrashedCreatorLeft) {
    for (int step = 0; step <= 4; ++step) {
        SCOPED_TRACE(step);
        const std::string name = segment("crash" + std::to_string(step));
        IpcResId id{};
        std::snprintf(id.name, sizeof id.name, "%s", name.c_str());
        const pid_t creator = stayAt([&](const std::function<void()> &reached) {
            ShmSegInfo_t *seg = nullptr;
            if (quorGetProtectedStatusSegment(&seg, 1 << 20, &id, nullptr, 0, nullptr, nullptr) != 0) return;
            if (step == 0) reached();
            uint64_t sizes[64] = {}, total = 0, offset = 0;
            SNodeCB_t *node = nullptr;
            (void)quorCreateMaxSpaceArray(QUOR_KIND_ID, 0, 0, 0, 0, 0, 32, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0,
                                          sizes, &total);
            if (quorCreateNode(seg, &node, QUOR_KIND_ID, sizes, &total, &offset) != 0) return;
            if (step == 1) reached();
            (void)quorInitNode(&node, offset, 3, "top", nullptr, nullptr, 32, nullptr, nullptr, nullptr);
            (void)quorSetNodeTag(node, 5, 0);
            if (step == 2) reached();
            (void)quorActivateNode(&node);
            if (step == 3) reached();
            (void)quorPutTopNodeInfoIntoDomainHeader(seg->domainHandle, 5, offset, seg->poolHandle->poolHeapOffset);
        });
        // While the creator runs, its segment is being built: reap leaves it.
        EXPECT_EQ(quorctl({"reap"}).status, 0);
        json shown = listed(name);
        ASSERT_FALSE(shown.is_null());
        EXPECT_EQ(shown["creator_pid"], creator);
        EXPECT_EQ(shown["state"], step < 4 ? "no tree" : "healthy");
        killChild(creator);
        shown = listed(name);
        EXPECT_EQ(shown["creator_alive"], false);
        EXPECT_EQ(shown["connections"]["dead"], 1);
        const Result reaped = quorctl({"reap", "--json"});
        EXPECT_EQ(reaped.status, 0) << reaped.err;
        if (step < 4) {
            EXPECT_TRUE(listed(name).is_null()) << reaped.out;
            EXPECT_EQ(shm_unlink(("/" + name).c_str()), -1);
        } else {
            EXPECT_EQ(listed(name)["connections"]["dead"], 0);
            const Result deleted = quorctl({"delete", name});
            EXPECT_EQ(deleted.status, 0) << deleted.err;
        }
    }
}

// A delete that live holders block names them and leaves the segment open;
// --force removes it, also once marked by a process that is gone.
TEST_F(QuorctlTest, DeleteExplainsWhatBlocksItAndForceRemoves) {
    const std::string name = segment("blocked"), file = writeFile("blocked", kBranches);
    ASSERT_EQ(quorctl({"create", name, "--from", file}).status, 0);
    IpcResId id{};
    std::snprintf(id.name, sizeof id.name, "%s", name.c_str());
    const pid_t holder = stayAt([&](const std::function<void()> &reached) {
        ShmSegInfo_t *seg = nullptr;
        SNodeCB_t *top = nullptr;
        TopNodeInfo info{};
        if (quorConnectToATree(&seg, &top, &info, &id, nullptr, nullptr, nullptr) == 0) reached();
    });
    const Result refused = quorctl({"delete", name});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find(std::to_string(holder)), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
    EXPECT_EQ(listed(name)["state"], "healthy") << "a refused delete left the segment marked";
    const Result held = quorctl({"holders", name, "--json"});
    bool found = false;
    for (const json &h : json::parse(held.out)) found = found || (h["pid"] == holder && h["alive"] == true);
    EXPECT_TRUE(found) << held.out;

    const pid_t marker = stayAt([&](const std::function<void()> &) {
        ShmSegInfo_t *seg = nullptr;
        if (quorAttachStatusSegment(&seg, &id, nullptr, 0, 0, nullptr, nullptr) == 0)
            (void)quorMarkStatusSegmentForDeletion(seg);
    });
    killChild(marker);
    EXPECT_EQ(listed(name)["state"], "marked");
    EXPECT_EQ(quorctl({"show", name}).err.find("being deleted") != std::string::npos, true);
    EXPECT_EQ(quorctl({"delete", name}).status, 1);
    const Result forced = quorctl({"delete", name, "--force", "--json"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_TRUE(listed(name).is_null());
    killChild(holder);
    std::remove(file.c_str());
}

// ---- values across processes ----

TEST_F(QuorctlTest, SetInOneProcessIsSeenByGetInAnother) {
    const std::string name = segment("values");
    ASSERT_EQ(quorctl({"create", name, "--from", QUORCTL_EXAMPLE}).status, 0);
    const std::string top = "/42:plant\\x2fline-1", pump = top + "/7:pump-1";
    struct Case {
        std::string path, property, value, shown;
        std::vector<std::string> getFlags;
    };
    const std::vector<Case> cases = {
        {top, "r:1", "-5", "-5\n", {}},
        {top, "r:2", "0x7fffffff", "0x7fffffff\n", {"--hex"}},
        {top, "v:1", "idle\\x00", "idle\\x00\n", {}},
        {top, "baser", "8", "8\n", {}},
        {top, "baser:9", "9", "9\n", {}},
        {pump, "ir:3:rpm", "1500", "1500\n", {}},
        {pump, "iv:4:serial", "AB", "4142\n", {"--hex"}},
        {pump, "basev", "\\\\", "\\\\\n", {}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(quorctl({"set", name, c.path, c.property, c.value}).status, 0) << c.property;
        std::vector<std::string> get = {"get", name, c.path, c.property};
        get.insert(get.end(), c.getFlags.begin(), c.getFlags.end());
        EXPECT_EQ(quorctl(get).out, c.shown) << c.property;
    }
    EXPECT_EQ(quorctl({"set", name, top, "r:1", "77", "--rc"}).status, 0);
    EXPECT_EQ(quorctl({"get", name, top, "r:1", "--rc"}).out, "77\n");
    EXPECT_EQ(quorctl({"get", name, top, "r:1"}).out, "-5\n");
    // A property the node does not have, and a base number that is not the node's.
    for (const char *property : {"r:3", "basev", "baser:8"}) {
        const Result r = quorctl({"get", name, top, property});
        EXPECT_EQ(r.status, 1) << property;
        EXPECT_TRUE(oneLine(r.err)) << r.err;
    }
}

TEST_F(QuorctlTest, WatchPrintsALineWhenAValueChanges) {
    const std::string name = segment("watch");
    ASSERT_EQ(quorctl({"create", name, "--from", QUORCTL_EXAMPLE}).status, 0);
    const std::string command =
        std::string("'") + QUORCTL_BINARY + "' watch " + name + " / --interval 10 --count 1";
    FILE *watcher = popen(command.c_str(), "r");
    ASSERT_NE(watcher, nullptr);
    char line[512] = {};
    ASSERT_NE(std::fgets(line, sizeof line, watcher), nullptr);  // the first look
    EXPECT_NE(std::string(line).find("/ active"), std::string::npos) << line;
    EXPECT_EQ(quorctl({"set", name, "/", "r:1", "18"}).status, 0);
    ASSERT_NE(std::fgets(line, sizeof line, watcher), nullptr);
    EXPECT_NE(std::string(line).find("r:1 17 -> 18"), std::string::npos) << line;
    EXPECT_EQ(pclose(watcher), 0);
}

// ---- check ----

// Overwrites the front pad mark of the top node's block in the segment and
// returns the word that was there.
uint32_t damageTopNodePad(const std::string &name, uint32_t word) {
    EXPECT_EQ(QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER), QUOR_RC_OK);
    IpcResId id{};
    std::snprintf(id.name, sizeof id.name, "%s", name.c_str());
    ShmSegInfo_t *seg = nullptr;
    SNodeCB_t *top = nullptr;
    TopNodeInfo info{};
    EXPECT_EQ(quorConnectToATree(&seg, &top, &info, &id, nullptr, nullptr, nullptr), QUOR_RC_OK);
    uint32_t old = 0;
    // A front pad ends with {node offset u64, mark u32, pad type u32} right before the block.
    unsigned char *mark = reinterpret_cast<unsigned char *>(top) - 8;
    std::memcpy(&old, mark, sizeof old);
    std::memcpy(mark, &word, sizeof word);
    EXPECT_EQ(quorDetachStatusSegment(&seg, QUOR_DETACH_RELEASE), QUOR_RC_OK);
    QUORCleanup(QUOR_CLEANUP_RELEASE);
    return old;
}

TEST_F(QuorctlTest, CheckPassesOnAHealthySegmentAndReportsADamagedPad) {
    const std::string name = segment("check"), file = writeFile("check", kBranches);
    ASSERT_EQ(quorctl({"create", name, "--from", file}).status, 0);
    const Result healthy = quorctl({"check", name});
    EXPECT_EQ(healthy.status, 0) << healthy.out;
    EXPECT_NE(healthy.out.find("tree: 4 nodes"), std::string::npos) << healthy.out;
    EXPECT_EQ(healthy.out.find("DAMAGED"), std::string::npos) << healthy.out;

    const uint32_t mark = damageTopNodePad(name, 0x0badf00d);
    EXPECT_EQ(mark, QUOR_PAD_FRONT_MARK);
    const Result damaged = quorctl({"check", name});
    EXPECT_EQ(damaged.status, 3) << damaged.out;
    EXPECT_NE(damaged.out.find("DAMAGED  tree pool heap: front pad mark damaged"), std::string::npos)
        << damaged.out;
    EXPECT_NE(damaged.out.find("DAMAGED  node /42:plant\\x2fline-1 block: Front memory pad corruption"),
              std::string::npos)
        << damaged.out;
    EXPECT_NE(damaged.out.find("is DAMAGED"), std::string::npos) << damaged.out;

    damageTopNodePad(name, mark);
    EXPECT_EQ(quorctl({"check", name}).status, 0);
    std::remove(file.c_str());
}

// The top node's offset in its segment, read while the tree is sound.
uint64_t topNodeOffset(const std::string &name) {
    EXPECT_EQ(QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER), QUOR_RC_OK);
    IpcResId id{};
    std::snprintf(id.name, sizeof id.name, "%s", name.c_str());
    ShmSegInfo_t *seg = nullptr;
    SNodeCB_t *top = nullptr;
    TopNodeInfo info{};
    EXPECT_EQ(quorConnectToATree(&seg, &top, &info, &id, nullptr, nullptr, nullptr), QUOR_RC_OK);
    const uint64_t offset = reinterpret_cast<unsigned char *>(top) - static_cast<unsigned char *>(seg->domainHandle->base);
    EXPECT_EQ(quorDetachStatusSegment(&seg, QUOR_DETACH_RELEASE), QUOR_RC_OK);
    QUORCleanup(QUOR_CLEANUP_RELEASE);
    return offset;
}

// Writes `value` over the u64 at `offset` of the segment's bytes (mapped as a
// file, so damage the library would refuse can be made) and returns the old word.
uint64_t pokeSegment(const std::string &name, uint64_t offset, uint64_t value) {
    const int fd = shm_open(("/" + name).c_str(), O_RDWR, 0);
    EXPECT_GE(fd, 0);
    void *map = mmap(nullptr, offset + 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    EXPECT_NE(map, MAP_FAILED);
    uint64_t old = 0;
    unsigned char *word = static_cast<unsigned char *>(map) + offset;
    std::memcpy(&old, word, sizeof old);
    std::memcpy(word, &value, sizeof value);
    munmap(map, offset + 8);
    return old;
}

// A damaged control block or directory record of the top node: no reading
// command dies of it, those that read the node fail (as damage, or as the
// library's refusal), and check reports it until the bytes are put back.
TEST_F(QuorctlTest, DamagedNodesAreReportedNeverCrashOn) {
    const char *const tree = R"({"quor_tree": 1, "top": {"tag": 3, "id": "t", "max_id_size": 8,
      "condition": "active", "areas": {"basev": {"max_value_size": 16}, "dependents": {"capacity": 2}},
      "properties": [{"kind": "basev", "number": 2, "value": "ok", "rc": 0}],
      "children": [{"tag": 4, "id": "c", "max_id_size": 8, "condition": "active", "areas": {},
                    "properties": [], "children": []}]}})";
    const std::string name = segment("damaged"), file = writeFile("damaged", tree);
    ASSERT_EQ(quorctl({"create", name, "--from", file}).status, 0);
    constexpr uint64_t kDirectory = 0x560, kRecord = 24;
    auto record = [&](uint64_t kind, uint64_t field) { return kDirectory + (__builtin_ctzll(kind) - 1) * kRecord + field; };
    const struct {
        const char *what;
        uint64_t offset, value;
    } cases[] = {
        {"basev area offset outside the node", record(QUOR_KIND_BASEV, 16), 0x7fff0000},
        {"node magic", 0x30, 0},
        {"dependents area larger than the node", record(QUOR_KIND_DEPENDENTS, 0), 0x3fffff0},
        {"dependents area inside the control block", record(QUOR_KIND_DEPENDENTS, 16), 0x10},
        {"node size beyond the segment", 0x20, 0x7fffff0},
    };
    const uint64_t top = topNodeOffset(name);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const uint64_t old = pokeSegment(name, top + c.offset, c.value);
        for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
                 {"show", name}, {"get", name, "/3:t", "basev:2"}, {"metrics", name}}) {
            const Result r = quorctl(args);
            EXPECT_NE(r.status, -1) << args[0] << " died: " << r.err;
            if (args[0] != "metrics") {
                EXPECT_TRUE(r.status == 1 || r.status == 3) << args[0] << ": " << r.status << " " << r.out;
            }
        }
        const Result checked = quorctl({"check", name});
        EXPECT_EQ(checked.status, 3) << checked.out << checked.err;
        EXPECT_NE(checked.out.find("DAMAGED  "), std::string::npos) << checked.out;
        pokeSegment(name, top + c.offset, old);
        EXPECT_EQ(quorctl({"check", name}).status, 0);
    }
    std::remove(file.c_str());
}

// ---- metrics ----

// A small reader of the text exposition format: every line is a HELP or TYPE
// comment or a sample of a family declared before it; returns the samples by
// name and labels, or fails the test.
std::map<std::string, double> parseExposition(const std::string &text) {
    static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .*)");
    static const std::regex type(
        R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped))");
    static const std::regex sample(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\[\\"n])*"(,[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\[\\"n])*")*)?\})? (-?[0-9.eE+-]+|NaN|[+-]Inf))");
    std::map<std::string, double> samples;
    std::set<std::string> typed, helped;
    std::istringstream lines(text);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, m, help)) {
            EXPECT_TRUE(helped.insert(m[1]).second) << "second HELP: " << line;
        } else if (std::regex_match(line, m, type)) {
            EXPECT_TRUE(typed.insert(m[1]).second) << "second TYPE: " << line;
        } else if (std::regex_match(line, m, sample)) {
            EXPECT_TRUE(typed.count(m[1])) << "sample before its TYPE: " << line;
            EXPECT_TRUE(samples.emplace(m[1].str() + m[2].str(), std::stod(m[7].str())).second)
                << "repeated: " << line;
        } else {
            ADD_FAILURE() << "not exposition format: '" << line << "'";
        }
    }
    return samples;
}

TEST_F(QuorctlTest, MetricsAreExpositionFormat) {
    const std::string name = segment("metrics"), file = writeFile("metrics", kBranches);
    ASSERT_EQ(quorctl({"create", name, "--from", file}).status, 0);
    const Result r = quorctl({"metrics", name});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto samples = parseExposition(r.out);
    const std::string seg = "segment=\"" + name + "\"";
    EXPECT_EQ(samples.at("quor_tree_nodes{" + seg + ",condition=\"active\"}"), 3);
    EXPECT_EQ(samples.at("quor_tree_nodes{" + seg + ",condition=\"disassociated\"}"), 1);
    // Four nodes, and the shared records their locators name.
    EXPECT_GE(samples.at("quor_heap_chunks{" + seg + ",heap=\"pool\",state=\"allocated\"}"), 4);
    EXPECT_GT(samples.at("quor_heap_free_bytes{" + seg + ",heap=\"pool\"}"), 0);
    std::remove(file.c_str());
}

}  // namespace
