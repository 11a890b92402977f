// Which live processes hold references on shared objects.
//
// One table per user, in the POSIX shared-memory object "/quor.holders.<uid>" (or
// the one named by QUOR_HOLDER_TABLE), records (object key, process, references,
// the segment the object lies in). A process is named by its id and
// its start time (field 22 of /proc/<pid>/stat, in clock ticks since boot), so a
// process id that the system hands out again is not taken for the process that
// died. The table is guarded by an exclusive flock on the object, which the system
// drops when its holder dies, and by a mutex between the threads of a process.
// A forked child opens the object anew: a flock belongs to the open file, which
// parent and child would otherwise share.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "host/segments.h"
#include "quor/host.h"

namespace {

struct HolderSlot {
    uint64_t key;    // 0: free slot
    uint64_t start;  // start time of the process
    uint32_t pid;
    uint32_t count;   // references held
    uint64_t device;  // the segment the object lies in, by device and inode;
    uint64_t inode;   // inode 0: in no segment the holder had mapped
};
static_assert(sizeof(HolderSlot) == 40);

constexpr uint64_t kTableMagic = 0x484f4c4445525333ull;  // "HOLDERS3"
// Slots are placed by key (linear probing from the key's home slot), so that a
// connection looks only at the run of slots around its key. Room for many more
// holders than live at once; the table counts as full at three quarters, where
// the runs are still short. A full table makes room only from slots whose object
// is known to be gone, never from a dead holder of an object still in use: that
// holder's references are still to be taken back.
constexpr uint32_t kSlots = 16384;
constexpr uint32_t kMask = kSlots - 1;
constexpr uint32_t kFull = kSlots / 4 * 3;
static_assert((kSlots & kMask) == 0);

struct HolderTable {
    uint64_t magic;
    uint64_t used;  // slots taken
    HolderSlot slot[kSlots];
};

// The start time of a process, or 0 when it does not exist or is a zombie.
uint64_t startTimeOf(pid_t pid) {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE *file = std::fopen(path, "re");
    if (file == nullptr) return 0;
    char line[1024];
    const size_t n = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[n] = '\0';
    // The command name may hold spaces and parentheses: fields start after the last ')'.
    const char *at = std::strrchr(line, ')');
    if (at == nullptr) return 0;
    at += 1;
    char state = 0;
    uint64_t start = 0;
    int field = 2;
    for (const char *p = at; *p != '\0' && field < 22;) {
        while (*p == ' ') ++p;
        ++field;
        if (field == 3) state = *p;
        if (field == 22) start = std::strtoull(p, nullptr, 10);
        while (*p != ' ' && *p != '\0') ++p;
    }
    return state == 'Z' || state == 'X' ? 0 : start;
}

class Holders {
public:
    // Runs `work(table, self)` with the table locked; false when the table is
    // not available (the references are then simply not recorded).
    template <class Work>
    bool withTable(Work &&work) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!open()) return false;
        if (flock(fd_, LOCK_EX) != 0) return false;
        if (table_->magic != kTableMagic) {
            std::memset(table_->slot, 0, sizeof table_->slot);
            table_->used = 0;
            table_->magic = kTableMagic;
        }
        work(*table_, self_);
        flock(fd_, LOCK_UN);
        return true;
    }

private:
    struct Self {
        pid_t pid = 0;
        uint64_t start = 0;
    };

    bool open() {
        const pid_t pid = getpid();
        if (table_ != nullptr && self_.pid == pid) return true;
        if (table_ != nullptr) {  // inherited across fork: open our own
            munmap(table_, sizeof(HolderTable));
            close(fd_);
            table_ = nullptr;
        }
        self_ = {pid, startTimeOf(pid)};
        char name[256];
        const char *chosen = std::getenv("QUOR_HOLDER_TABLE");
        if (chosen != nullptr && chosen[0] == '/' && std::strlen(chosen) < sizeof name)
            std::snprintf(name, sizeof name, "%s", chosen);
        else
            std::snprintf(name, sizeof name, "/quor.holders.%u", static_cast<unsigned>(getuid()));
        fd_ = shm_open(name, O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd_ < 0) return false;
        struct stat st {};
        if (fstat(fd_, &st) != 0 || st.st_uid != getuid() ||
            (st.st_size < static_cast<off_t>(sizeof(HolderTable)) &&
             ftruncate(fd_, sizeof(HolderTable)) != 0)) {
            close(fd_);
            return false;
        }
        void *map = mmap(nullptr, sizeof(HolderTable), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (map == MAP_FAILED) {
            close(fd_);
            return false;
        }
        table_ = static_cast<HolderTable *>(map);
        return true;
    }

    std::mutex mutex_;
    int fd_ = -1;
    HolderTable *table_ = nullptr;
    Self self_;
};

Holders &holders() {
    static Holders *instance = new Holders;  // never destroyed: used until the process ends
    return *instance;
}

// A process that is gone needs no look at /proc; one that exists is compared by
// its start time, which tells a reused id from the process that died.
bool dead(const HolderSlot &slot) {
    if (kill(static_cast<pid_t>(slot.pid), 0) != 0 && errno == ESRCH) return true;
    return startTimeOf(static_cast<pid_t>(slot.pid)) != slot.start;
}

uint32_t home(uint64_t key) { return static_cast<uint32_t>(key) & kMask; }

// The slots of one key: the run of taken slots from the key's home slot on.
// Every walk is bounded by the table's size, whatever another process wrote.
template <class Match>
HolderSlot *findSlot(HolderTable &table, uint64_t key, Match &&match) {
    for (uint32_t i = home(key), n = 0; n < kSlots && table.slot[i].key != 0; i = (i + 1) & kMask, ++n) {
        if (table.slot[i].key == key && match(table.slot[i])) return &table.slot[i];
    }
    return nullptr;
}

HolderSlot *insertSlot(HolderTable &table, const HolderSlot &entry) {
    for (uint32_t i = home(entry.key), n = 0; n < kSlots; i = (i + 1) & kMask, ++n) {
        if (table.slot[i].key == 0) {
            table.slot[i] = entry;
            table.used += 1;
            return &table.slot[i];
        }
    }
    return nullptr;
}

// Frees a slot and moves later slots of the run back where their home allows,
// so that no run is broken by the hole.
void eraseSlot(HolderTable &table, HolderSlot *slot) {
    uint32_t hole = static_cast<uint32_t>(slot - table.slot);
    table.slot[hole] = HolderSlot{};
    if (table.used > 0) table.used -= 1;
    for (uint32_t j = (hole + 1) & kMask, n = 0; n < kSlots && table.slot[j].key != 0;
         j = (j + 1) & kMask, ++n) {
        const uint32_t at = home(table.slot[j].key);
        // The slot stays when its home lies cyclically in (hole, j].
        const bool stays = hole <= j ? hole < at && at <= j : hole < at || at <= j;
        if (stays) continue;
        table.slot[hole] = table.slot[j];
        table.slot[j] = HolderSlot{};
        hole = j;
    }
}

template <class Self>
bool isSelf(const HolderSlot &slot, const Self &self) {
    return slot.pid == static_cast<uint32_t>(self.pid) && slot.start == self.start;
}

// Clears the slots of `key` held by dead processes (other than `self`) and
// returns the references they held.
template <class Self>
uint64_t releaseDead(HolderTable &table, uint64_t key, const Self &self) {
    uint64_t released = 0;
    while (HolderSlot *slot =
               findSlot(table, key, [&](const HolderSlot &s) { return !isSelf(s, self) && dead(s); })) {
        released += slot->count;
        eraseSlot(table, slot);
    }
    return released;
}

// The shared-memory objects that exist now, by device and inode (Linux keeps
// them in /dev/shm); false when they cannot be listed.
bool listObjects(std::set<std::pair<uint64_t, uint64_t>> &present) {
    DIR *dir = opendir("/dev/shm");
    if (dir == nullptr) return false;
    while (const dirent *entry = readdir(dir)) {
        struct stat st {};
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            present.insert({st.st_dev, st.st_ino});
    }
    closedir(dir);
    return true;
}

// Frees the slots of dead holders whose object is known to be gone: its segment
// no longer exists, or (an object in no segment) no live process holds it any
// more. A dead holder of an object still in use keeps its slot. The slots kept
// are placed anew, which also mends a table a dying process left half changed.
void sweep(HolderTable &table) {
    std::set<std::pair<uint64_t, uint64_t>> present;
    const bool listed = listObjects(present);
    std::map<std::pair<uint32_t, uint64_t>, bool> deadProcess;
    const auto isDead = [&](const HolderSlot &slot) {
        const auto [at, fresh] = deadProcess.try_emplace({slot.pid, slot.start}, false);
        if (fresh) at->second = dead(slot);
        return at->second;
    };
    std::set<uint64_t> heldByLive;  // objects in no segment that a live process holds
    for (const HolderSlot &slot : table.slot) {
        if (slot.key != 0 && slot.inode == 0 && !isDead(slot)) heldByLive.insert(slot.key);
    }
    std::vector<HolderSlot> kept;
    for (const HolderSlot &slot : table.slot) {
        if (slot.key == 0) continue;
        const bool gone =
            isDead(slot) && (slot.inode != 0 ? listed && present.count({slot.device, slot.inode}) == 0
                                             : heldByLive.count(slot.key) == 0);
        if (!gone) kept.push_back(slot);
    }
    std::memset(table.slot, 0, sizeof table.slot);
    table.used = 0;
    for (const HolderSlot &slot : kept) insertSlot(table, slot);
}

}  // namespace

extern "C" uint64_t hostHolderNewKey(void) {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}() ^ static_cast<uint64_t>(getpid())};
    std::lock_guard<std::mutex> guard(mutex);
    uint64_t key = 0;
    while (key == 0) key = generator();
    return key;
}

extern "C" uint32_t hostHolderAdd(uint64_t key, const void *object, int32_t delta, uint64_t *releasedDead) {
    if (key == 0) return QUOR_RC_NULL_PARAMETER;
    if (releasedDead != nullptr) *releasedDead = 0;
    bool recorded = false;
    const bool open = holders().withTable([&](HolderTable &table, const auto &self) {
        if (releasedDead != nullptr) *releasedDead = releaseDead(table, key, self);
        HolderSlot *mine = findSlot(table, key, [&](const HolderSlot &s) { return isSelf(s, self); });
        if (mine == nullptr && delta > 0) {
            if (table.used >= kFull) sweep(table);
            if (table.used >= kFull) return;
            const quor::host::SegmentIdentity segment = quor::host::segmentOf(object);
            mine = insertSlot(table, HolderSlot{key, self.start, static_cast<uint32_t>(self.pid), 0,
                                                segment.device, segment.inode});
        }
        if (mine == nullptr) return;
        const int64_t count = int64_t{mine->count} + delta;
        mine->count = count > 0 ? static_cast<uint32_t>(count) : 0;
        if (mine->count == 0) eraseSlot(table, mine);
        recorded = true;
    });
    return open && recorded ? QUOR_RC_OK : QUOR_RC_NOT_ATTACHED;
}

extern "C" uint32_t hostHolderReleaseDead(uint64_t key, uint64_t *released) {
    if (key == 0 || released == nullptr) return QUOR_RC_NULL_PARAMETER;
    *released = 0;
    const bool open = holders().withTable(
        [&](HolderTable &table, const auto &self) { *released = releaseDead(table, key, self); });
    return open ? QUOR_RC_OK : QUOR_RC_NOT_ATTACHED;
}

extern "C" uint32_t hostHolderForget(uint64_t key) {
    if (key == 0) return QUOR_RC_NULL_PARAMETER;
    const bool open = holders().withTable([&](HolderTable &table, const auto &) {
        while (HolderSlot *slot = findSlot(table, key, [](const HolderSlot &) { return true; }))
            eraseSlot(table, slot);
    });
    return open ? QUOR_RC_OK : QUOR_RC_NOT_ATTACHED;
}
