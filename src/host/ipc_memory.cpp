// Shared-memory segments over POSIX shm_open/mmap.
//
// A segment's POSIX name is "/" followed by the identifier's name. Creation is
// exclusive and owner-only unless the flags ask for more. Attaching refuses a
// segment owned by another user or open wider than the identifier's access flags
// allow, so a segment planted by someone else is never mapped. The preferred
// address is passed to mmap as a hint, never with MAP_FIXED.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "quor/host.h"

namespace {

constexpr size_t kMaxNameLength = 200;

bool nameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

// The POSIX name of a segment: "/" and the identifier's (validated) name.
void posixPath(const IpcResId &resId, char (&path)[208]) {
    size_t length = strnlen(resId.name, kMaxNameLength);
    path[0] = '/';
    std::memcpy(path + 1, resId.name, length);
    path[length + 1] = '\0';
}

mode_t permissionsFor(uint64_t flags) {
    mode_t mode = S_IRUSR | S_IWUSR;
    if (flags & IPC_GROUP_READ_WRITE) mode |= S_IRGRP | S_IWGRP;
    if (flags & IPC_OTHERS_READ_WRITE) mode |= S_IROTH | S_IWOTH;
    return mode;
}

}  // namespace

bool IpcMemory::validName(const IpcResId &resId) {
    size_t length = strnlen(resId.name, sizeof resId.name);
    if (length == 0 || length > kMaxNameLength) return false;
    for (size_t i = 0; i < length; ++i) {
        if (!nameChar(resId.name[i])) return false;
    }
    // "." and ".." are names of directories, not of segments.
    return std::strcmp(resId.name, ".") != 0 && std::strcmp(resId.name, "..") != 0;
}

IpcMemory::~IpcMemory() {
    if (base_ == nullptr) return;
    munmap(base_, size_);
}

uint32_t IpcMemory::create(const IpcMemoryCreateParam &param) {
    if (base_ != nullptr) return QUOR_RC_SEGMENT_ATTACH_FAILED;
    if (!validName(param.resId)) return QUOR_RC_HOST_BAD_SEGMENT_NAME;
    if (param.size == 0) return QUOR_RC_ZERO_SEGMENT_SIZE;
    uint64_t flags = param.flags == 0 ? uint64_t{IPC_DEFAULT_FLAGS} : param.flags;
    char path[sizeof path_];
    posixPath(param.resId, path);

    int oflags = O_RDWR | O_CREAT;
    if (flags & IPC_EXCLUSIVE) oflags |= O_EXCL;
    mode_t mode = permissionsFor(flags);
    int fd = shm_open(path, oflags, mode);
    if (fd < 0) return errno == EEXIST ? QUOR_RC_HOST_SEGMENT_EXISTS : QUOR_RC_HOST_SEGMENT_CREATE_FAILED;
    // shm_open applies the umask; set the requested bits exactly.
    if (fchmod(fd, mode) != 0 || ftruncate(fd, static_cast<off_t>(param.size)) != 0) {
        close(fd);
        shm_unlink(path);
        return QUOR_RC_HOST_SEGMENT_CREATE_FAILED;
    }
    void *base = mmap(param.address, param.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (base == MAP_FAILED) {
        shm_unlink(path);
        return QUOR_RC_HOST_SEGMENT_CREATE_FAILED;
    }
    base_ = base;
    size_ = param.size;
    std::memcpy(path_, path, sizeof path_);
    return QUOR_RC_OK;
}

uint32_t IpcMemory::attach(const IpcResId &resId, void *address) {
    if (base_ != nullptr) return QUOR_RC_SEGMENT_ATTACH_FAILED;
    if (!validName(resId)) return QUOR_RC_HOST_BAD_SEGMENT_NAME;
    char path[sizeof path_];
    posixPath(resId, path);
    int fd = shm_open(path, O_RDWR, 0);
    if (fd < 0) return QUOR_RC_SEGMENT_ATTACH_FAILED;
    struct stat st;
    mode_t allowed = permissionsFor(resId.accessFlags) | S_IRUSR | S_IWUSR;
    if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 0777 & ~allowed) != 0 ||
        st.st_size <= 0) {
        close(fd);
        return QUOR_RC_SEGMENT_ATTACH_FAILED;
    }
    void *base = mmap(address, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (base == MAP_FAILED) return QUOR_RC_SEGMENT_ATTACH_FAILED;
    base_ = base;
    size_ = static_cast<uint64_t>(st.st_size);
    std::memcpy(path_, path, sizeof path_);
    return QUOR_RC_OK;
}

uint32_t IpcMemory::getAddress(void **address) const {
    if (address == nullptr) return QUOR_RC_NULL_PARAMETER;
    *address = base_;
    return base_ != nullptr ? QUOR_RC_OK : QUOR_RC_SEGMENT_ADDRESS_FAILED;
}

uint32_t IpcMemory::detach() {
    if (base_ == nullptr) return QUOR_RC_SEGMENT_DETACH_FAILED;
    int err = munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
    return err == 0 ? QUOR_RC_OK : QUOR_RC_SEGMENT_DETACH_FAILED;
}

uint32_t IpcMemory::destroy() {
    if (path_[0] == '\0') return QUOR_RC_SEGMENT_DESTROY_FAILED;
    uint32_t rc = base_ != nullptr ? detach() : QUOR_RC_OK;
    if (shm_unlink(path_) != 0 && rc == QUOR_RC_OK) rc = QUOR_RC_SEGMENT_DESTROY_FAILED;
    path_[0] = '\0';
    return rc;
}
