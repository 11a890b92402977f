// The life of segments from the shell: list, holders, delete and reap. Each reads
// a segment's headers through its own mapping, bounded by the mapping, and
// removes segments only through quor::segment::remove.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>

#include "failure.hpp"
#include "quor/host.h"
#include "quor/quor.hpp"
#include "shm/holders.h"
#include "shm/pending.h"
#include "verbs.hpp"

namespace quorctl {

using nlohmann::json;

namespace {

struct Report {
    std::string name;
    uint64_t size = 0;
    std::string state;  // healthy, no tree, marked, damaged
    std::vector<quor::shm::Holder> holders;
    bool recorded = false;  // the segment keeps holder records
    quor::shm::Creator creator;
    uint64_t connections = 0;  // the domain's refCount

    uint64_t count(bool alive) const {
        uint64_t n = 0;
        for (const auto &h : holders)
            if (h.alive == alive && h.heapOffset == 0) n += h.count;
        return n;
    }
    std::vector<uint32_t> livePids() const {
        std::vector<uint32_t> pids;
        const uint32_t self = static_cast<uint32_t>(getpid());
        for (const auto &h : holders)
            if (h.alive && h.pid != self && std::find(pids.begin(), pids.end(), h.pid) == pids.end())
                pids.push_back(h.pid);
        return pids;
    }
};

// The segment's report; nothing when the name is not a status segment of this user.
std::optional<Report> inspect(const std::string &name) {
    IpcResId id{};
    if (name.size() >= sizeof id.name) return std::nullopt;
    std::copy(name.begin(), name.end(), id.name);
    if (!IpcMemory::validName(id)) return std::nullopt;
    IpcMemory memory;
    void *base = nullptr;
    if (memory.attach(id, nullptr) != QUOR_RC_OK || memory.getAddress(&base) != QUOR_RC_OK) return std::nullopt;
    if (memory.size() < QUOR_HHEADER_SIZE(0)) return std::nullopt;
    const auto *header = static_cast<const HHeader_t *>(base);
    if (header->eyecatcher0 != QUOR_EYECATCHER || header->handleEyecatcher != QUOR_EYECATCHER) return std::nullopt;
    Report r;
    r.name = name;
    r.size = memory.size();
    r.connections = header->refCount;
    const bool fits = header->heapSize <= memory.size() && header->userAppAreaSize <= header->heapSize &&
                      QUOR_HHEADER_SIZE(header->userAppAreaSize) <= header->heapSize;
    if (fits) {
        const auto *tail = reinterpret_cast<const HHeaderTail_t *>(static_cast<const unsigned char *>(base) +
                                                                   QUOR_HHEADER_FIXED_SIZE +
                                                                   QUOR_ROUND8(header->userAppAreaSize));
        r.creator = quor::shm::creatorOf(*tail);
        r.recorded = quor::shm::listHolders(base, 0, &r.holders);
        if (header->heapMagic != QUOR_DOMAIN_HEAP_MAGIC || (header->flags & QUOR_HEAP_DAMAGED) != 0)
            r.state = "damaged";
        else if ((header->flags & QUOR_HEAP_MARKED_FOR_DELETION) != 0)
            r.state = "marked";
        else if (header->treePoolOffset == 0 || tail->topNodeOffset == 0)
            r.state = "no tree";
        else
            r.state = "healthy";
    } else {
        r.state = "damaged";
    }
    (void)memory.detach();
    return r;
}

// The names of this user's shared-memory objects.
std::vector<std::string> objectNames() {
    std::vector<std::string> names;
    DIR *dir = opendir("/dev/shm");
    if (dir == nullptr) return names;
    while (const dirent *entry = readdir(dir)) {
        struct stat st {};
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == geteuid())
            names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

json holderJson(const quor::shm::Holder &h) {
    return {{"pid", h.pid},
            {"heap", h.heapOffset == 0 ? "domain" : "pool"},
            {"heap_offset", h.heapOffset},
            {"connections", h.count},
            {"alive", h.alive}};
}

json reportJson(const Report &r) {
    json holders = json::array();
    for (const auto &h : r.holders) holders.push_back(holderJson(h));
    return {{"name", r.name},
            {"size", r.size},
            {"state", r.state},
            {"connections", {{"counted", r.connections}, {"live", r.count(true)}, {"dead", r.count(false)}}},
            {"creator_pid", r.creator.pid},
            {"creator_alive", r.creator.alive},
            {"holders_recorded", r.recorded},
            {"holders", holders}};
}

std::string pidList(const std::vector<uint32_t> &pids) {
    std::string out;
    for (uint32_t pid : pids) out += (out.empty() ? "" : ", ") + std::to_string(pid);
    return out;
}

Report mustInspect(const std::string &name) {
    std::optional<Report> r = inspect(name);
    if (!r) throw Failure(kExitLibrary, "segment " + name + ": " + make_error_code(quor::segment_errc::no_such_segment).message());
    return *r;
}

void removeByName(const std::string &name) {
    std::error_code ec;
    quor::segment::remove(name, ec);
    if (ec) throw Failure(kExitLibrary, "remove segment " + name + ": " + ec.message());
}

// A segment nobody will ever use again: marked, without a tree or damaged, with
// no live holder and no live creator still building it.
bool abandoned(const Report &r) {
    if (r.state == "healthy" || !r.livePids().empty()) return false;
    return !(r.creator.alive && r.state != "marked");
}

}  // namespace

int runList(bool asJson) {
    quor::library lib;
    json all = json::array();
    std::vector<Report> reports;
    for (const std::string &name : objectNames())
        if (std::optional<Report> r = inspect(name)) reports.push_back(*r);
    if (asJson) {
        for (const Report &r : reports) all.push_back(reportJson(r));
        std::printf("%s\n", all.dump(2).c_str());
        return kExitOk;
    }
    std::printf("%-32s %10s  %-8s %5s %5s  %s\n", "NAME", "SIZE", "STATE", "LIVE", "DEAD", "CREATOR");
    for (const Report &r : reports) {
        std::printf("%-32s %10llu  %-8s %5llu %5llu  %u%s\n", r.name.c_str(), static_cast<unsigned long long>(r.size),
                    r.state.c_str(), static_cast<unsigned long long>(r.count(true)),
                    static_cast<unsigned long long>(r.count(false)), r.creator.pid,
                    r.creator.pid == 0 ? "" : (r.creator.alive ? " (running)" : " (gone)"));
    }
    return kExitOk;
}

int runHolders(const std::string &name, bool asJson) {
    quor::library lib;
    const Report r = mustInspect(name);
    if (asJson) {
        std::printf("%s\n", reportJson(r)["holders"].dump(2).c_str());
        return kExitOk;
    }
    if (!r.recorded) std::printf("segment %s keeps no holder records\n", name.c_str());
    std::printf("%-8s %-6s %12s  %s\n", "PID", "HEAP", "CONNECTIONS", "PROCESS");
    for (const auto &h : r.holders)
        std::printf("%-8u %-6s %12u  %s\n", h.pid, h.heapOffset == 0 ? "domain" : "pool", h.count,
                    h.alive ? "running" : "gone");
    return kExitOk;
}

int runDelete(const DeleteArgs &args) {
    quor::library lib;
    const Report r = mustInspect(args.name);
    json out = {{"name", args.name}, {"state", r.state}};
    auto done = [&](const char *how) {
        out["deleted"] = true;
        out["how"] = how;
        if (args.json)
            std::printf("%s\n", out.dump(2).c_str());
        else
            std::printf("deleted %s\n", args.name.c_str());
        return kExitOk;
    };
    if (args.force) {
        removeByName(args.name);
        return done("forced");
    }
    const std::vector<uint32_t> blockers = r.livePids();
    if (r.state == "healthy") {
        // The library's own normal delete, which also releases dead holders and
        // is refused, leaving the segment as it was, while live ones remain.
        quor::segment seg = quor::segment::attach(args.name);
        std::error_code ec;
        seg.remove(false, ec);
        if (!ec) return done("normal");
        if (ec != quor::errc{QUOR_RC_POOL_IN_USE} && ec != quor::errc{QUOR_RC_DOMAIN_IN_USE})
            throw Failure(kExitLibrary, "delete segment " + args.name + ": " + ec.message());
    } else if (blockers.empty() && abandoned(r)) {
        removeByName(args.name);
        return done("abandoned");
    }
    const std::vector<uint32_t> now = inspect(args.name) ? inspect(args.name)->livePids() : blockers;
    out["deleted"] = false;
    out["blocked_by"] = now;
    std::string why = now.empty() ? (r.creator.alive ? "its creator (pid " + std::to_string(r.creator.pid) +
                                                           ") is still building it"
                                                     : "it is in use")
                                  : "processes " + pidList(now) + " hold connections";
    out["reason"] = why;
    if (args.json) std::printf("%s\n", out.dump(2).c_str());
    throw Failure(kExitLibrary, "segment " + args.name + " (" + r.state + ") not deleted: " + why +
                                    "; quorctl delete " + args.name + " --force removes it anyway");
}

int runReap(bool asJson) {
    quor::library lib;
    json all = json::array();
    for (const std::string &name : objectNames()) {
        std::optional<Report> r = inspect(name);
        if (!r) continue;
        uint64_t released = 0;
        quor::shm::DebrisReport debris;
        if (r->state == "healthy") {
            // A connection releases the dead holders of the domain and the pool;
            // what dead processes carved and never linked is given back.
            std::error_code ec;
            quor::segment seg = quor::segment::attach(name, {}, ec);
            if (!ec) {
                released = r->count(false);
                const ShmDomainHandle_t *domain = seg.get()->domainHandle;
                quor::shm::reclaimDebris(domain->base, domain->heapOffset, &debris);
            }
        }
        const uint64_t reclaimed = debris.pools + debris.blocks;
        bool removed = false;
        if (abandoned(*r)) {
            std::error_code ec;
            quor::segment::remove(name, ec);
            removed = !ec;
        }
        if (released == 0 && reclaimed == 0 && !removed) continue;
        all.push_back({{"name", name},
                       {"state", r->state},
                       {"released_dead", released},
                       {"reclaimed_pools", debris.pools},
                       {"reclaimed_blocks", debris.blocks},
                       {"removed", removed}});
        if (!asJson)
            std::printf("%s (%s): %s\n", name.c_str(), r->state.c_str(),
                        removed ? "removed"
                                : ("released " + std::to_string(released) + " dead connections, reclaimed " +
                                   std::to_string(debris.pools) + " pools and " + std::to_string(debris.blocks) +
                                   " blocks")
                                      .c_str());
    }
    if (asJson) std::printf("%s\n", all.dump(2).c_str());
    return kExitOk;
}

}  // namespace quorctl
