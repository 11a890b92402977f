// The commands of quorctl; each returns the process's exit status.
#pragma once

#include <cstdint>
#include <string>

namespace quorctl {

struct CreateArgs {
    std::string name, from;
    uint64_t size = 1u << 20;
};
struct ShowArgs {
    std::string name, path = "/";
    int64_t depth = -1;  // -1: the whole subtree
    bool json = false;
};
struct GetArgs {
    std::string name, path, property;
    bool hex = false, rc = false;
};
struct SetArgs {
    std::string name, path, property, value;
    bool rc = false;
};
struct WatchArgs {
    std::string name, path;
    uint32_t intervalMs = 500;
    uint64_t count = 0;  // stop after this many change lines; 0 = until interrupted
};
struct StatArgs {
    std::string name;
    bool json = false;
};
struct DumpArgs {
    std::string name, heap = "both";
    uint32_t verbosity = 1;
};
struct DeleteArgs {
    std::string name;
    bool force = false, json = false;
};

int runCreate(const CreateArgs &args);
int runShow(const ShowArgs &args);
int runGet(const GetArgs &args);
int runSet(const SetArgs &args);
int runWatch(const WatchArgs &args);
int runStat(const StatArgs &args);
int runCheck(const std::string &name);
int runDump(const DumpArgs &args);
int runDelete(const DeleteArgs &args);
int runMetrics(const std::string &name);
int runList(bool json);
int runHolders(const std::string &name, bool json);
int runReap(bool json);

}  // namespace quorctl
