#include "verbs.hpp"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "exposition.hpp"
#include "failure.hpp"
#include "quor/host.h"
#include "shm/checker.h"
#include "shm/pending.h"
#include "store.hpp"

namespace quorctl {

using nlohmann::json;

namespace {

// Walks stop here: a corrupt or cyclic tree ends with a finding, never with an
// endless loop or a blown stack.
constexpr size_t kMaxWalkDepth = 4096;
constexpr size_t kMaxWalkNodes = 1u << 20;

constexpr uint32_t kToolFunctionId = 0;
constexpr const char *kToolFile = "quorctl";

struct Visit {
    std::vector<PathStep> path;
    SNodeCB_t *node;
    const NodeSnapshot &snapshot;
    size_t depth;
};

using OnNode = std::function<void(const Visit &)>;
using OnBroken = std::function<void(const std::vector<PathStep> &path, const std::string &problem)>;

// Depth-first, pre-order. Without `onBroken` the first unreadable node ends the
// walk with its failure; with it the walk reports the node and goes on with the
// next sibling.
void walk(SNodeCB_t *start, std::vector<PathStep> path, int64_t maxDepth, const OnNode &onNode,
          const OnBroken &onBroken = nullptr) {
    std::set<SNodeCB_t *> seen;
    size_t visited = 0;
    std::function<void(SNodeCB_t *, std::vector<PathStep> &, size_t)> visit =
        [&](SNodeCB_t *node, std::vector<PathStep> &at, size_t depth) {
            auto broken = [&](const std::string &problem) {
                if (!onBroken) throw Failure(kExitLibrary, formatPath(at) + ": " + problem);
                onBroken(at, problem);
            };
            if (!seen.insert(node).second) return broken("reached twice: the dependent lists form a cycle");
            if (++visited > kMaxWalkNodes || depth > kMaxWalkDepth)
                return broken("tree too large or too deep");
            NodeSnapshot snapshot;
            try {
                snapshot = readNode(node);
            } catch (const Failure &e) {
                // Damage stays damage when it ends the walk.
                if (!onBroken) throw Failure(e.exitCode(), formatPath(at) + ": " + e.what());
                return broken(e.what());
            }
            if (at.empty()) at.push_back({snapshot.plan.tag, snapshot.plan.id});  // the start names itself
            onNode({at, node, snapshot, depth});
            if (maxDepth >= 0 && static_cast<int64_t>(depth) >= maxDepth) return;
            for (const ChildRef &child : snapshot.children) {
                at.push_back({child.locator.tag, child.id});
                try {
                    visit(resolveChild(child), at, depth + 1);
                } catch (const Failure &e) {
                    broken(e.what());
                }
                at.pop_back();
            }
        };
    visit(start, path, 0);
}

// The library and one attached segment, for the length of a command.
struct Session {
    Library library;
    Segment segment;
    explicit Session(const std::string &name) : segment(Segment::attach(name)) {}
};

// ---- show ----

std::string valueText(const Property &p) {
    return isInteger(p.kind) ? std::to_string(p.integer) : "\"" + escapeBytes(p.bytes) + "\"";
}

std::string keyText(const Property &p) { return formatProperty({p.kind, p.number, p.tag, p.id}); }

json subtreeJson(SNodeCB_t *start, int64_t maxDepth) {
    // Parents are filled before their children are visited, so a stack of the
    // open nodes' JSON is enough to place each child.
    json root;
    std::vector<json *> open;
    walk(start, {}, maxDepth, [&](const Visit &v) {
        NodePlan plan = v.snapshot.plan;
        json node = nodeToJson(plan);
        open.resize(v.depth);
        json *slot = nullptr;
        if (v.depth == 0) {
            root = node;
            slot = &root;
        } else {
            json &children = (*open[v.depth - 1])["children"];
            children.push_back(node);
            slot = &children.back();
        }
        open.push_back(slot);
    });
    return root;
}

// ---- stat ----

// Runs the heap checker on a heap whose latch the caller holds.
struct HeapFigures {
    quor::shm::HeapCheck heap;
    uint32_t rc = QUOR_RC_OK;
};

HeapFigures domainFigures(const Segment &segment) {
    ShmDomainHandle_t *domain = segment.info()->domainHandle;
    check(quorLatchShmDomain(domain), "latch the domain heap");
    HeapFigures f;
    f.rc = quor::shm::checkHeap(domain->base, QUOR_HEAP_KIND_DOMAIN, domain->heapOffset, &f.heap);
    check(quorUnlatchShmDomain(domain), "unlatch the domain heap");
    return f;
}

HeapFigures poolFigures(const Segment &segment) {
    ShmPoolHandle_t *pool = segment.info()->poolHandle;
    check(quorLatchShmPool(pool), "latch the tree pool");
    HeapFigures f;
    f.rc = quor::shm::checkHeap(pool->base, QUOR_HEAP_KIND_POOL, pool->poolHeapOffset, &f.heap);
    check(quorUnlatchShmPool(pool), "unlatch the tree pool");
    return f;
}

struct Totals {
    uint64_t nodes[6] = {}, bytes[6] = {};  // by condition 1..5; [0] all
};

Totals treeTotals(const Segment &segment, SNodeCB_t *top) {
    Totals t;
    try {
        const quor::tree_totals sums = quor::node(top).totals(segment.layer());
        const quor::tree_totals::tally *tallies[6] = {&sums.all,    &sums.created,   &sums.initialized,
                                                      &sums.active, &sums.abandoned, &sums.disassociated};
        for (int i = 0; i < 6; ++i) t.nodes[i] = tallies[i]->nodes, t.bytes[i] = tallies[i]->bytes;
    } catch (const std::system_error &e) {
        throw Failure(kExitLibrary, std::string("sum up the tree: ") + e.code().message());
    }
    return t;
}

json heapJson(uint64_t heapSize, uint64_t freeBytes, uint64_t allocBytes, uint64_t allocCount,
              uint64_t freeCount, uint64_t slUsed, uint64_t slSpace, uint64_t refCount,
              const HeapFigures &f) {
    return {{"heap_bytes", heapSize},
            {"free_bytes", freeBytes},
            {"allocated_bytes", allocBytes},
            {"allocated_chunks", allocCount},
            {"free_chunks", freeCount},
            {"node_space_used_bytes", slUsed},
            {"node_space_bytes", slSpace},
            {"largest_free_chunk", f.rc == QUOR_RC_OK ? json(f.heap.largestFree) : json(nullptr)},
            {"connections", refCount}};
}

json statJson(const Segment &segment) {
    ShmDomainInfo_t d{};
    ShmPoolInfo_t p{};
    check(quorGetShmDomainInfo(segment.info()->domainHandle, &d), "read the domain information");
    check(quorGetShmPoolInfo(segment.info()->poolHandle, &p), "read the pool information");
    json out = {{"segment", segment.name()},
                {"domain", heapJson(d.heapSize, d.freeBytes, d.allocBytes, d.allocCount, d.freeCount,
                                    d.slUsedBytes, d.slSpaceSize, d.refCount, domainFigures(segment))},
                {"pool", heapJson(p.heapSize, p.freeBytes, p.allocBytes, p.allocCount, p.freeCount,
                                  p.slUsedBytes, p.slSpaceSize, p.refCount, poolFigures(segment))}};
    if (d.topNodeOffset != 0) {
        const Totals t = treeTotals(segment, segment.top());
        json byCondition = json::object();
        for (uint32_t c = 1; c <= 5; ++c)
            byCondition[conditionName(c)] = {{"nodes", t.nodes[c]}, {"bytes", t.bytes[c]}};
        out["tree"] = {{"nodes", t.nodes[0]}, {"bytes", t.bytes[0]}, {"by_condition", byCondition}};
    } else {
        out["tree"] = nullptr;
    }
    return out;
}

void printHeap(const char *title, const json &h) {
    std::printf("%s\n", title);
    std::printf("  heap size            %llu bytes\n", h["heap_bytes"].get<unsigned long long>());
    std::printf("  allocated            %llu bytes in %llu chunks\n",
                h["allocated_bytes"].get<unsigned long long>(),
                h["allocated_chunks"].get<unsigned long long>());
    std::printf("  free                 %llu bytes in %llu chunks\n",
                h["free_bytes"].get<unsigned long long>(), h["free_chunks"].get<unsigned long long>());
    if (h["largest_free_chunk"].is_null()) {
        std::printf("  largest free chunk   unknown (run quorctl check)\n");
    } else {
        std::printf("  largest free chunk   %llu bytes\n", h["largest_free_chunk"].get<unsigned long long>());
    }
    std::printf("  node space           %llu of %llu bytes used\n",
                h["node_space_used_bytes"].get<unsigned long long>(),
                h["node_space_bytes"].get<unsigned long long>());
    std::printf("  connections          %llu (this command's included)\n",
                h["connections"].get<unsigned long long>());
}

// ---- check ----

std::vector<std::string> *assertSink = nullptr;

void collectAssert(const char *message, const char *, uint32_t) {
    if (assertSink != nullptr) assertSink->push_back(message);
}

class Findings {
public:
    void ok(const std::string &what) { std::printf("ok       %s\n", what.c_str()); }
    void damaged(const std::string &what) {
        ++damaged_;
        std::printf("DAMAGED  %s\n", what.c_str());
    }
    int damagedCount() const { return damaged_; }

private:
    int damaged_ = 0;
};

void checkHeapOf(Findings &findings, const char *title, const HeapFigures &f) {
    if (f.rc == QUOR_RC_OK) {
        findings.ok(std::string(title) + ": " + std::to_string(f.heap.allocCount) + " allocated and " +
                    std::to_string(f.heap.freeCount) + " free chunks consistent");
    } else {
        findings.damaged(std::string(title) + ": " +
                         (f.heap.problem.empty() ? describeCode(f.rc) : f.heap.problem));
    }
}

// Validates the area directory of one node: every area it claims is in range
// and inside the node, and no two areas overlap.
std::string areaProblem(SNodeCB_t *node, const NodeSnapshot &snapshot) {
    std::vector<std::pair<uint64_t, uint64_t>> extents;
    for (uint64_t bit = QUOR_KIND_ID; bit <= QUOR_KIND_EXPORT_LIST; bit <<= 1) {
        if (!(snapshot.areaFlags & bit)) continue;
        PExport *record = nullptr;
        const uint32_t rc = quorGetPExportPointer(&record, node, bit);
        char kind[32];
        std::snprintf(kind, sizeof kind, "area 0x%llx", static_cast<unsigned long long>(bit));
        if (rc != QUOR_RC_OK) return std::string(kind) + ": " + describeCode(rc);
        if (record->areaOffset < QUOR_NODE_CB_SIZE || record->areaOffset > snapshot.size ||
            record->areaSize > snapshot.size - record->areaOffset) {
            return std::string(kind) + " lies outside the node";
        }
        extents.push_back({record->areaOffset, record->areaSize});
    }
    std::sort(extents.begin(), extents.end());
    for (size_t i = 1; i < extents.size(); ++i) {
        if (extents[i - 1].first + extents[i - 1].second > extents[i].first) return "two areas overlap";
    }
    return {};
}

void checkTree(Findings &findings, const Segment &segment) {
    SNodeCB_t *top = nullptr;
    try {
        top = segment.top();
    } catch (const Failure &e) {
        findings.damaged(std::string("tree: ") + e.what());
        return;
    }
    uint64_t nodes = 0, before = findings.damagedCount();
    std::vector<std::string> messages;
    assertSink = &messages;
    walk(
        top, {}, -1,
        [&](const Visit &v) {
            ++nodes;
            const std::string where = formatPath(v.path);
            const std::string area = areaProblem(v.node, v.snapshot);
            if (!area.empty()) findings.damaged("node " + where + ": " + area);
            const uint64_t offset = reinterpret_cast<unsigned char *>(v.node) - segment.base();
            ShmPoolHandle_t *pool = segment.info()->poolHandle;
            if (offset > pool->poolHeapOffset) {  // a node of this segment's pool: its pads too
                void *address = v.node;
                messages.clear();
                const uint32_t rc =
                    _quorCheckAllocShmBlock(&address, pool, kToolFunctionId, __LINE__, kToolFile);
                if (rc != QUOR_RC_OK) findings.damaged("node " + where + " block: " + describeCode(rc));
                for (const std::string &m : messages) findings.damaged("node " + where + " block: " + m);
            }
        },
        [&](const std::vector<PathStep> &path, const std::string &problem) {
            findings.damaged("node " + formatPath(path) + ": " + problem);
        });
    assertSink = nullptr;
    if (findings.damagedCount() == static_cast<int>(before)) {
        findings.ok("tree: " + std::to_string(nodes) + " nodes, every locator, area and block sound");
    }
}

// ---- watch ----

volatile std::sig_atomic_t interrupted = 0;
void onInterrupt(int) { interrupted = 1; }

std::string timestamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    localtime_r(&now.tv_sec, &parts);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", parts.tm_hour, parts.tm_min, parts.tm_sec,
                  now.tv_nsec / 1000000);
    return text;
}

std::map<std::string, std::string> propertyTexts(const NodeSnapshot &s) {
    std::map<std::string, std::string> out;
    for (const Property &p : s.plan.properties) {
        out[keyText(p)] = valueText(p) + (p.rc != 0 ? " rc=" + std::to_string(p.rc) : "");
    }
    return out;
}

}  // namespace

int runCreate(const CreateArgs &args) {
    std::ifstream in(args.from);
    if (!in) usageError("cannot read " + args.from);
    json document;
    try {
        document = json::parse(in);
    } catch (const json::parse_error &e) {
        usageError(args.from + ": not JSON: " + e.what());
    }
    const TreePlan tree = treeFromJson(document, args.from);
    Library library;
    Segment segment = Segment::create(args.name, args.size);
    try {
        buildTree(segment, tree);
    } catch (...) {
        // A half-built tree is of no use to anyone: take the segment away again.
        try {
            segment.destroy(true);
        } catch (const Failure &) {
        }
        throw;
    }
    std::printf("created %s\n", args.name.c_str());
    return kExitOk;
}

int runShow(const ShowArgs &args) {
    const NodePath path = parsePath(args.path);
    Session session(args.name);
    Segment &segment = session.segment;
    SNodeCB_t *start = findNode(segment, path);
    if (args.json) {
        std::cout << json{{"quor_tree", 1}, {"top", subtreeJson(start, args.depth)}}.dump(2) << '\n';
        return kExitOk;
    }
    walk(start, {}, args.depth, [&](const Visit &v) {
        const std::string indent(2 * v.depth, ' ');
        const NodePlan &n = v.snapshot.plan;
        std::printf("%s%llu:%s  %s  size=%llu updates=%d reconfigs=%lld\n", indent.c_str(),
                    static_cast<unsigned long long>(n.tag), escapeBytes(n.id).c_str(),
                    conditionName(n.condition), static_cast<unsigned long long>(v.snapshot.size),
                    v.snapshot.updateCounter, static_cast<long long>(v.snapshot.reconfigCounter));
        for (const Property &p : n.properties) {
            std::printf("%s    %s = %s  rc=%llu\n", indent.c_str(), keyText(p).c_str(), valueText(p).c_str(),
                        static_cast<unsigned long long>(p.rc));
        }
    });
    return kExitOk;
}

int runGet(const GetArgs &args) {
    const NodePath path = parsePath(args.path);
    const PropertySelector selector = parseProperty(args.property);
    Session session(args.name);
    Segment &segment = session.segment;
    const PropertyValue value = getProperty(findNode(segment, path), selector);
    if (args.rc) {
        std::printf("%llu\n", static_cast<unsigned long long>(value.rc));
    } else if (isInteger(selector.kind)) {
        if (args.hex) {
            std::printf("0x%08x\n", static_cast<uint32_t>(value.integer));
        } else {
            std::printf("%d\n", value.integer);
        }
    } else if (args.hex) {
        for (unsigned char c : value.bytes) std::printf("%02x", c);
        std::printf("\n");
    } else {
        std::printf("%s\n", escapeBytes(value.bytes).c_str());
    }
    return kExitOk;
}

int runSet(const SetArgs &args) {
    const NodePath path = parsePath(args.path);
    const PropertySelector selector = parseProperty(args.property);
    // Malformed values are refused before anything is attached.
    if (args.rc) {
        (void)parseUint64(args.value, "RC");
    } else if (isInteger(selector.kind)) {
        (void)parseInt32(args.value, "value");
    } else if (unescapeBytes(args.value, "value").empty()) {
        usageError("bad value '': a byte value holds at least one byte");
    }
    Session session(args.name);
    Segment &segment = session.segment;
    SNodeCB_t *node = findNode(segment, path);
    if (args.rc) {
        setPropertyRc(node, selector, parseUint64(args.value, "RC"));
    } else {
        setPropertyValue(node, selector, args.value);
    }
    return kExitOk;
}

int runWatch(const WatchArgs &args) {
    const NodePath path = parsePath(args.path);
    Session session(args.name);
    Segment &segment = session.segment;
    SNodeCB_t *node = findNode(segment, path);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    NodeSnapshot last = readNode(node);
    std::printf("%s %s %s updates=%d reconfigs=%lld\n", timestamp().c_str(), args.path.c_str(),
                conditionName(last.plan.condition), last.updateCounter,
                static_cast<long long>(last.reconfigCounter));
    uint64_t lines = 0;
    while (!interrupted && (args.count == 0 || lines < args.count)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(args.intervalMs));
        if (interrupted) break;
        const NodeSnapshot now = readNode(node);
        std::vector<std::string> changes;
        if (now.plan.condition != last.plan.condition) {
            changes.push_back(std::string("condition ") + conditionName(last.plan.condition) + " -> " +
                              conditionName(now.plan.condition));
        }
        if (now.updateCounter != last.updateCounter || now.lastUpdate != last.lastUpdate) {
            changes.push_back("updates " + std::to_string(last.updateCounter) + " -> " +
                              std::to_string(now.updateCounter));
        }
        if (now.reconfigCounter != last.reconfigCounter) {
            changes.push_back("reconfigs " + std::to_string(last.reconfigCounter) + " -> " +
                              std::to_string(now.reconfigCounter));
        }
        const auto before = propertyTexts(last), after = propertyTexts(now);
        for (const auto &[key, text] : after) {
            const auto old = before.find(key);
            if (old == before.end()) {
                changes.push_back(key + " added " + text);
            } else if (old->second != text) {
                changes.push_back(key + " " + old->second + " -> " + text);
            }
        }
        for (const auto &[key, text] : before) {
            if (!after.count(key)) changes.push_back(key + " deleted");
        }
        if (changes.empty()) continue;
        std::string line = timestamp() + " " + args.path;
        for (const std::string &change : changes) line += "  " + change;
        std::printf("%s\n", line.c_str());
        ++lines;
        last = now;
    }
    return kExitOk;
}

int runStat(const StatArgs &args) {
    Session session(args.name);
    Segment &segment = session.segment;
    const json stat = statJson(segment);
    if (args.json) {
        std::cout << stat.dump(2) << '\n';
        return kExitOk;
    }
    std::printf("segment %s\n", args.name.c_str());
    printHeap("domain heap", stat["domain"]);
    printHeap("tree pool", stat["pool"]);
    if (stat["tree"].is_null()) {
        std::printf("tree: no top node recorded\n");
    } else {
        const json &t = stat["tree"];
        std::printf("tree: %llu nodes, %llu bytes\n", t["nodes"].get<unsigned long long>(),
                    t["bytes"].get<unsigned long long>());
        for (uint32_t c = QUOR_NODE_CREATED; c <= QUOR_NODE_DISASSOCIATED; ++c) {
            const char *condition = conditionName(c);
            const json &figures = t["by_condition"][condition];
            std::printf("  %-14s %llu nodes, %llu bytes\n", condition,
                        figures["nodes"].get<unsigned long long>(),
                        figures["bytes"].get<unsigned long long>());
        }
    }
    return kExitOk;
}

int runCheck(const std::string &name) {
    Session session(name);
    Segment &segment = session.segment;
    Findings findings;
    hostSetAssertHook(collectAssert);
    {
        // Chunks that dead processes carved and never linked are named by
        // nothing: they are given back before the heaps are judged.
        quor::shm::DebrisReport debris;
        quor::shm::reclaimDebris(segment.base(), segment.info()->domainHandle->heapOffset, &debris);
        const std::string what = "unlinked chunks: " + std::to_string(debris.pools) + " pools and " +
                                 std::to_string(debris.blocks) + " blocks of dead processes reclaimed, " +
                                 std::to_string(debris.pending) + " being linked by running ones";
        if (debris.rc != 0) {
            findings.damaged(what + "; reclaiming failed: " + describeCode(debris.rc));
        } else {
            findings.ok(what);
        }
    }
    checkHeapOf(findings, "domain heap", domainFigures(segment));
    {
        std::vector<std::string> messages;
        assertSink = &messages;
        const uint32_t rc =
            _quorCheckAllocShmPool(segment.info()->domainHandle, segment.info()->poolHandle->poolHeapOffset,
                                   kToolFunctionId, __LINE__, kToolFile);
        assertSink = nullptr;
        if (rc != QUOR_RC_OK) findings.damaged("tree pool chunk: " + describeCode(rc));
        for (const std::string &m : messages) findings.damaged("tree pool chunk: " + m);
        if (rc == QUOR_RC_OK && messages.empty()) findings.ok("tree pool chunk: pads sound");
    }
    checkHeapOf(findings, "tree pool heap", poolFigures(segment));
    checkTree(findings, segment);
    hostSetAssertHook(nullptr);
    if (findings.damagedCount() != 0) {
        std::printf("segment %s is DAMAGED: %d problems found\n", name.c_str(), findings.damagedCount());
        return kExitDamaged;
    }
    std::printf("segment %s is sound\n", name.c_str());
    return kExitOk;
}

int runDump(const DumpArgs &args) {
    Session session(args.name);
    Segment &segment = session.segment;
    ShmPoolHandle_t *pool = segment.info()->poolHandle;
    // The dumps read the lists without a latch of their own; hold each heap still
    // while it is printed.
    if (args.heap != "pool") {
        check(quorLatchShmDomain(segment.info()->domainHandle), "latch the domain heap");
        const uint32_t rc = quorPrintOutSkipLists(pool, QUOR_HEAP_KIND_DOMAIN, args.verbosity);
        check(quorUnlatchShmDomain(segment.info()->domainHandle), "unlatch the domain heap");
        check(rc, "dump the domain heap");
    }
    if (args.heap != "domain") {
        check(quorLatchShmPool(pool), "latch the tree pool");
        const uint32_t rc = quorPrintOutSkipLists(pool, QUOR_HEAP_KIND_POOL, args.verbosity);
        check(quorUnlatchShmPool(pool), "unlatch the tree pool");
        check(rc, "dump the tree pool");
    }
    std::fflush(stdout);
    return kExitOk;
}

int runMetrics(const std::string &name) {
    Session session(name);
    Segment &segment = session.segment;
    const json stat = statJson(segment);
    std::ostringstream text;
    Exposition out(text);
    auto withHeap = [&](const char *heap) { return Labels{{"segment", name}, {"heap", heap}}; };
    const std::pair<const char *, const char *> heaps[] = {{"domain", "domain"}, {"pool", "pool"}};
    out.family("quor_heap_free_bytes", "gauge", "Bytes in free chunks of the heap.");
    for (const auto &[key, heap] : heaps) out.sample(withHeap(heap), stat[key]["free_bytes"].get<double>());
    out.family("quor_heap_allocated_bytes", "gauge", "Bytes in allocated chunks of the heap, pads included.");
    for (const auto &[key, heap] : heaps)
        out.sample(withHeap(heap), stat[key]["allocated_bytes"].get<double>());
    out.family("quor_heap_chunks", "gauge", "Chunks of the heap by state.");
    for (const auto &[key, heap] : heaps) {
        Labels l = withHeap(heap);
        l.push_back({"state", "allocated"});
        out.sample(l, stat[key]["allocated_chunks"].get<double>());
        l.back().second = "free";
        out.sample(l, stat[key]["free_chunks"].get<double>());
    }
    out.family("quor_heap_connections", "gauge", "Connections counted on the heap, this scrape's included.");
    for (const auto &[key, heap] : heaps) out.sample(withHeap(heap), stat[key]["connections"].get<double>());
    if (!stat["tree"].is_null()) {
        const json &t = stat["tree"];
        out.family("quor_tree_nodes", "gauge", "Nodes of the status tree by condition.");
        for (uint32_t c = QUOR_NODE_CREATED; c <= QUOR_NODE_DISASSOCIATED; ++c) {
            out.sample({{"segment", name}, {"condition", conditionName(c)}},
                       t["by_condition"][conditionName(c)]["nodes"].get<double>());
        }
        out.family("quor_tree_bytes", "gauge", "Bytes of the status tree's nodes by condition.");
        for (uint32_t c = QUOR_NODE_CREATED; c <= QUOR_NODE_DISASSOCIATED; ++c) {
            out.sample({{"segment", name}, {"condition", conditionName(c)}},
                       t["by_condition"][conditionName(c)]["bytes"].get<double>());
        }
        std::vector<std::pair<Labels, double>> values;
        walk(segment.top(), {}, -1, [&](const Visit &v) {
            for (const Property &p : v.snapshot.plan.properties) {
                if (p.kind != Kind::R && p.kind != Kind::BaseR) continue;
                values.push_back({{{"segment", name},
                                   {"path", formatPath(v.path)},
                                   {"kind", kindName(p.kind)},
                                   {"number", std::to_string(p.number)}},
                                  static_cast<double>(p.integer)});
            }
        });
        out.family("quor_property_value", "gauge",
                   "Value of an r or baser property, by node path and number.");
        for (const auto &[labels, value] : values) out.sample(labels, value);
    }
    std::cout << text.str();
    return kExitOk;
}

}  // namespace quorctl
