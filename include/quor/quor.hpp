/*
 * quor.hpp - header-only C++17 layer over the Quor C interface.
 *
 * Everything here is an inline wrapper around the functions of quor.h; nothing is
 * added to the shared memory formats and no state is kept beside the library's.
 *
 * Errors. Every return code is a std::error_code of quor::category(), whose
 * messages are the library's own code texts (quorPrintrc). Each operation comes
 * twice, as std::filesystem does it: one form throws std::system_error, the other
 * takes a std::error_code & last, sets it and returns a default value on failure.
 * Two conditions are the layer's own and use the generic category:
 *   - std::errc::operation_not_permitted: a write through a node handle that only
 *     holds the node's read section, or an in-place view or record taken through
 *     a handle that holds no section;
 *   - std::errc::resource_deadlock_would_occur: an operation that enters the
 *     node's section itself, called through a handle whose guard already holds it
 *     (sections are not re-entrant; under the latched model the call would hang).
 *
 * Lifetimes. library, segment, identifier, read_guard and write_guard are
 * move-only and release what they hold in their destructors (a failure there is
 * swallowed; call the explicit release to see it). node, entry and property are
 * plain handles into shared memory: they own nothing and stay meaningful while the
 * segment stays attached and the node exists.
 *
 * Sections. A read_guard or write_guard enters a node's critical section and
 * hands out a node handle that passes inCriticalSection to every property call,
 * so a batch of calls runs under one section. Views into shared memory (IDs,
 * byte values, records) are stable only while a section is held.
 *
 * Thread safety is the C interface's: handles may be used from any thread; a
 * guard belongs to the thread that made it.
 */
#ifndef QUOR_QUOR_HPP
#define QUOR_QUOR_HPP

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "host.h"
#include "quor.h"

namespace quor {

// ---------------------------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------------------------

// Any return code of the library, as an error-code enumeration: quor::errc{QUOR_RC_NODE_NOT_FOUND}
// compares equal to the std::error_code an operation reported.
enum class errc : uint32_t {};

class error_category_type final : public std::error_category {
public:
    const char *name() const noexcept override { return "quor"; }
    std::string message(int value) const override {
        char text[QUOR_PRINTRC_BUFFER_SIZE] = {};
        if (quorPrintrc(static_cast<uint32_t>(value), text) != QUOR_RC_OK || text[0] == '\0') {
            return "quor return code " + std::to_string(static_cast<uint32_t>(value));
        }
        return text;
    }
};

inline const std::error_category &category() noexcept {
    static const error_category_type instance;
    return instance;
}

inline std::error_code make_error_code(errc code) noexcept {
    return {static_cast<int>(static_cast<uint32_t>(code)), category()};
}

// Why a segment could not be reached or removed by name, where the library's
// codes name a step rather than the cause (the C functions keep their codes).
enum class segment_errc : int {
    no_such_segment = 1,  // no segment of that name this user may open
    no_tree_yet,          // the segment holds no recorded tree (yet)
    being_deleted,        // the segment is marked for deletion
    damaged,              // the segment's headers do not describe a live segment
    not_a_segment,        // the name belongs to something that is not a status segment
};

class segment_category_type final : public std::error_category {
public:
    const char *name() const noexcept override { return "quor.segment"; }
    std::string message(int value) const override {
        switch (static_cast<segment_errc>(value)) {
            case segment_errc::no_such_segment:
                return "no such segment";
            case segment_errc::no_tree_yet:
                return "segment holds no tree yet";
            case segment_errc::being_deleted:
                return "segment is being deleted";
            case segment_errc::damaged:
                return "segment is damaged";
            case segment_errc::not_a_segment:
                return "not a status segment";
        }
        return "segment error " + std::to_string(value);
    }
};

inline const std::error_category &segment_category() noexcept {
    static const segment_category_type instance;
    return instance;
}

inline std::error_code make_error_code(segment_errc code) noexcept {
    return {static_cast<int>(code), segment_category()};
}

}  // namespace quor

namespace std {
template <>
struct is_error_code_enum<quor::errc> : true_type {};
template <>
struct is_error_code_enum<quor::segment_errc> : true_type {};
}  // namespace std

namespace quor {

namespace detail {

// Conditions of the layer itself travel as return codes outside the library's
// 0x9000NNNN range, so that the success path never builds an error_code.
inline constexpr uint32_t kNotPermittedHere = 0xFFFF0001u;
inline constexpr uint32_t kSectionAlreadyHeld = 0xFFFF0002u;
// segment_errc values travel as kSegmentCause + the value.
inline constexpr uint32_t kSegmentCause = 0xFFFF0100u;
inline constexpr uint32_t cause(segment_errc e) noexcept { return kSegmentCause + static_cast<uint32_t>(e); }

inline std::error_code to_error_code(uint32_t rc) noexcept {
    switch (rc) {
        case kNotPermittedHere:
            return std::make_error_code(std::errc::operation_not_permitted);
        case kSectionAlreadyHeld:
            return std::make_error_code(std::errc::resource_deadlock_would_occur);
        case cause(segment_errc::no_such_segment):
        case cause(segment_errc::no_tree_yet):
        case cause(segment_errc::being_deleted):
        case cause(segment_errc::damaged):
        case cause(segment_errc::not_a_segment):
            return make_error_code(static_cast<segment_errc>(rc - kSegmentCause));
        default:
            return make_error_code(errc{rc});
    }
}

[[noreturn]] inline void raise(uint32_t rc, const char *what) {
    throw std::system_error(to_error_code(rc), what);
}

// The throwing forms: nothing but a test of the code on the way out.
inline void check(uint32_t rc, const char *what) {
    if (rc != QUOR_RC_OK) raise(rc, what);
}

// The error_code forms. Returns true on success.
inline bool report(std::error_code &ec, uint32_t rc) noexcept {
    if (rc == QUOR_RC_OK) {
        ec.clear();
        return true;
    }
    ec = to_error_code(rc);
    return false;
}

// The first failure wins over a closing step's.
inline uint32_t merged(uint32_t main, uint32_t closing) noexcept {
    return main != QUOR_RC_OK ? main : closing;
}

// What a node handle knows about the section its guard holds.
enum class held : uint32_t { none = 0, read = 1, write = 2 };

inline uint32_t in_section(held h) noexcept { return h == held::none ? 0u : 1u; }
inline uint32_t writable(held h) noexcept { return h == held::read ? kNotPermittedHere : QUOR_RC_OK; }
inline uint32_t inside(held h) noexcept { return h == held::none ? kNotPermittedHere : QUOR_RC_OK; }
inline uint32_t unheld(held h) noexcept { return h == held::none ? QUOR_RC_OK : kSectionAlreadyHeld; }

inline uint32_t resource_id(std::string_view name, IpcResId &id) noexcept {
    id = IpcResId{};
    if (name.size() >= sizeof id.name) return QUOR_RC_HOST_BAD_SEGMENT_NAME;
    std::memcpy(id.name, name.data(), name.size());
    return QUOR_RC_OK;
}

// Bytes of an ID or value whose length was read from shared memory: refused
// rather than read past what the record can hold.
inline uint32_t bounded(uint64_t length, uint64_t limit, uint32_t failure) noexcept {
    return length <= limit ? QUOR_RC_OK : failure;
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Library lifetime
// ---------------------------------------------------------------------------------------------

// One initialisation reference of this process, dropped on destruction.
class library {
public:
    library() { detail::check(acquire(), "QUOROneTimeOnlyInitialization"); }
    explicit library(std::error_code &ec) noexcept { detail::report(ec, acquire()); }
    library(library &&other) noexcept : active_(std::exchange(other.active_, false)) {}
    library &operator=(library &&other) noexcept {
        if (this != &other) {
            (void)release();
            active_ = std::exchange(other.active_, false);
        }
        return *this;
    }
    library(const library &) = delete;
    library &operator=(const library &) = delete;
    ~library() { (void)release(); }

    explicit operator bool() const noexcept { return active_; }

    void cleanup() { detail::check(release(), "QUORCleanup"); }
    void cleanup(std::error_code &ec) noexcept { detail::report(ec, release()); }

private:
    uint32_t acquire() noexcept {
        uint32_t rc = QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER);
        active_ = rc == QUOR_RC_OK;
        return rc;
    }
    uint32_t release() noexcept {
        if (!std::exchange(active_, false)) return QUOR_RC_OK;
        return QUORCleanup(QUOR_CLEANUP_RELEASE);
    }
    bool active_ = false;
};

// ---------------------------------------------------------------------------------------------
// Keys, kinds and conditions
// ---------------------------------------------------------------------------------------------

enum class node_condition : uint32_t {
    created = QUOR_NODE_CREATED,
    initialized = QUOR_NODE_INITIALIZED,
    active = QUOR_NODE_ACTIVE,
    abandoned = QUOR_NODE_ABANDONED,
    disassociated = QUOR_NODE_DISASSOCIATED,
};

// How a property list is laid out in its area.
enum class list_layout : uint32_t { flat = QUOR_LIST_FLAT, hashed = QUOR_LIST_HASHED };

struct number_key {
    uint64_t number;
};
struct tagged_key {
    uint64_t tag;
    std::string_view id;
};

// One step of a search path: the tag wanted at that level and, unless empty, the ID.
struct path_step {
    uint32_t tag;
    std::string_view id;
};

// A non-owning view of bytes in shared memory.
class bytes_view {
public:
    bytes_view() = default;
    bytes_view(const void *data, size_t size) noexcept
        : data_(static_cast<const char *>(data)), size_(size) {}
    const char *data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const char *begin() const noexcept { return data_; }
    const char *end() const noexcept { return data_ + size_; }
    std::string_view str() const noexcept { return {data_, size_}; }

private:
    const char *data_ = nullptr;
    size_t size_ = 0;
};

namespace kind {
struct R {};
struct V {};
struct IR {};
struct IV {};
struct BaseR {};
struct BaseV {};
}  // namespace kind

// What differs between the six property kinds. The exported functions are
// named here only; a kind whose functions are never called adds no reference to
// the shared object.
template <class K>
struct traits;

template <>
struct traits<kind::R> {
    using key = number_key;
    using record = RPropertyRec_t;
    static constexpr bool integer = true;
    static constexpr const char *name = "R property";
    static constexpr uint64_t area = QUOR_KIND_R;
    static constexpr uint32_t not_listed = QUOR_RC_R_NOT_IN_HASH_TABLE;
    static constexpr auto get_value = &quorGetValueForRProperty;
    static constexpr auto set_value = &quorSetValueForRProperty;
    static constexpr auto get_rc = &quorGetRCForRProperty;
    static constexpr auto set_rc = &quorSetRCForRProperty;
    static constexpr auto add = &quorAddRProperty;
    static constexpr auto remove = &quorDeleteRProperty;
    static constexpr auto locate = &quorGetAddressForRProperty;
    static constexpr auto get_with_rc = &quorGetValueAndRCForRProperty;
    static constexpr auto set_with_rc = &quorSetValueAndRCForRProperty;
    static constexpr auto number_of = &quorGetNumberOfRProperties;
    static constexpr auto count_of = &quorReturnRPropertyCount;
};

template <>
struct traits<kind::BaseR> {
    using key = number_key;
    using record = RPropertyRec_t;
    static constexpr bool integer = true;
    static constexpr const char *name = "BaseR property";
    static constexpr uint64_t area = QUOR_KIND_BASER;
    static constexpr auto get_value = &quorGetValueForBaseRProperty;
    static constexpr auto set_value = &quorSetValueForBaseRProperty;
    static constexpr auto get_rc = &quorGetRCForBaseRProperty;
    static constexpr auto set_rc = &quorSetRCForBaseRProperty;
    static constexpr auto add = &quorCreateBaseRProperty;  // creates or overwrites the one record
    static constexpr auto remove = &quorDeleteBaseRProperty;
    static constexpr auto locate = &quorGetAddressForBaseRProperty;
    static constexpr auto get_with_rc = &quorGetValueAndRCForBaseRProperty;
    static constexpr auto set_with_rc = &quorSetValueAndRCForBaseRProperty;
};

template <>
struct traits<kind::IR> {
    using key = tagged_key;
    using record = IRPropertyRec_t;
    static constexpr bool integer = true;
    static constexpr const char *name = "IR property";
    static constexpr uint64_t area = QUOR_KIND_IR;
    static constexpr uint32_t not_listed = QUOR_RC_IR_NOT_IN_HASH_TABLE;
    static constexpr auto get_value = &quorGetValueForIRProperty;
    static constexpr auto set_value = &quorSetValueForIRProperty;
    static constexpr auto get_rc = &quorGetRCForIRProperty;
    static constexpr auto set_rc = &quorSetRCForIRProperty;
    static constexpr auto add = &quorAddIRProperty;
    static constexpr auto remove = &quorDeleteIRProperty;
    static constexpr auto locate = &quorGetAddressForIRProperty;
    static constexpr auto get_with_rc = &quorGetValueAndRCForIRProperty;
    static constexpr auto set_with_rc = &quorSetValueAndRCForIRProperty;
    static constexpr auto number_of = &quorGetNumberOfIRProperties;
    static constexpr auto count_of = &quorReturnIRPropertyCount;
};

template <>
struct traits<kind::V> {
    using key = number_key;
    using record = VPropertyRec_t;
    static constexpr bool integer = false;
    static constexpr const char *name = "V property";
    static constexpr uint64_t area = QUOR_KIND_V;
    static constexpr uint32_t not_listed = QUOR_RC_V_NOT_IN_HASH_TABLE;
    static constexpr auto get_value = &quorGetValueForVProperty;
    static constexpr auto set_value = &quorSetValueForVProperty;
    static constexpr auto get_rc = &quorGetRCForVProperty;
    static constexpr auto set_rc = &quorSetRCForVProperty;
    static constexpr auto add = &quorAddVProperty;
    static constexpr auto remove = &quorDeleteVProperty;
    static constexpr auto locate = &quorGetAddressForVProperty;
    static constexpr auto get_with_rc = &quorGetValueAndRCForVProperty;
    static constexpr auto set_with_rc = &quorSetValueAndRCForVProperty;
    static constexpr auto number_of = &quorGetNumberOfVProperties;
    static constexpr auto count_of = &quorReturnVPropertyCount;
};

template <>
struct traits<kind::BaseV> {
    using key = number_key;
    using record = VPropertyRec_t;
    static constexpr bool integer = false;
    static constexpr const char *name = "BaseV property";
    static constexpr uint64_t area = QUOR_KIND_BASEV;
    static constexpr auto get_value = &quorGetValueForBaseVProperty;
    static constexpr auto set_value = &quorSetValueForBaseVProperty;
    static constexpr auto get_rc = &quorGetRCForBaseVProperty;
    static constexpr auto set_rc = &quorSetRCForBaseVProperty;
    static constexpr auto remove = &quorDeleteBaseVProperty;
    static constexpr auto locate = &quorGetAddressForBaseVProperty;
    static constexpr auto get_with_rc = &quorGetValueAndRCForBaseVProperty;
    static constexpr auto set_with_rc = &quorSetValueAndRCForBaseVProperty;
};

template <>
struct traits<kind::IV> {
    using key = tagged_key;
    using record = IVPropertyRec_t;
    static constexpr bool integer = false;
    static constexpr const char *name = "IV property";
    static constexpr uint64_t area = QUOR_KIND_IV;
    static constexpr uint32_t not_listed = QUOR_RC_IV_NOT_IN_HASH_TABLE;
    static constexpr auto get_value = &quorGetValueForIVProperty;
    static constexpr auto set_value = &quorSetValueForIVProperty;
    static constexpr auto get_rc = &quorGetRCForIVProperty;
    static constexpr auto set_rc = &quorSetRCForIVProperty;
    static constexpr auto add = &quorAddIVProperty;
    static constexpr auto remove = &quorDeleteIVProperty;
    static constexpr auto locate = &quorGetAddressForIVProperty;
    static constexpr auto get_with_rc = &quorGetValueAndRCForIVProperty;
    static constexpr auto set_with_rc = &quorSetValueAndRCForIVProperty;
    static constexpr auto number_of = &quorGetNumberOfIVProperties;
    static constexpr auto count_of = &quorReturnIVPropertyCount;
};

namespace detail {

// A keyed C call: a number, or a tag with an ID length and the ID bytes.
template <auto Fn, class... A>
uint32_t keyed(SNodeCB_t *node, const number_key &key, A... rest) noexcept {
    return Fn(node, key.number, rest...);
}
template <auto Fn, class... A>
uint32_t keyed(SNodeCB_t *node, const tagged_key &key, A... rest) noexcept {
    return Fn(node, key.tag, key.id.size(), key.id.data(), rest...);
}

}  // namespace detail

class node;
class segment;
class search_path;
template <bool Write>
class section_guard;
using read_guard = section_guard<false>;
using write_guard = section_guard<true>;

// ---------------------------------------------------------------------------------------------
// Dependent-list entries and search results
// ---------------------------------------------------------------------------------------------

// A node's locator where it is stored (a dependent list, a parent area, a search
// result) and the ID bytes kept with it.
class entry {
public:
    entry() = default;
    entry(SNodeInfo_t *locator, std::string_view id) noexcept : locator_(locator), id_(id) {}

    explicit operator bool() const noexcept { return locator_ != nullptr; }
    SNodeInfo_t *locator() const noexcept { return locator_; }
    uint64_t tag() const noexcept { return locator_->tag; }
    uint64_t offset() const noexcept { return locator_->nodeOffset; }
    std::string_view id() const noexcept { return id_; }

    // The node in this process, its segment attached when needed; only an active
    // node is handed out.
    node attach() const;
    node attach(std::error_code &ec) const;

private:
    SNodeInfo_t *locator_ = nullptr;
    std::string_view id_;
};

namespace detail {

// A node's dependent list as the walk reads it: every entry it steps to is
// checked to lie wholly inside the list area, and so is the ID behind it.
struct dependent_area {
    SNodeCB_t *node = nullptr;
    PExport *area = nullptr;
    uint64_t max_id = 0;
    std::error_code *ec = nullptr;  // where a failure met while walking goes; null: thrown

    uint32_t check(SNodeInfo_t *at, entry &out) const noexcept {
        const uintptr_t start = reinterpret_cast<uintptr_t>(node) + area->areaOffset;
        const uintptr_t id = reinterpret_cast<uintptr_t>(at + 1);
        if (id < start || id - start > area->areaSize) return QUOR_RC_LOCATION_OUT_OF_AREA;
        const uint64_t length = at->idSize;
        if (length > max_id || length > area->areaSize - (id - start)) return QUOR_RC_ID_OUT_OF_AREA;
        out = entry(const_cast<SNodeInfo_t *>(at),
                    std::string_view(reinterpret_cast<const char *>(id), length));
        return QUOR_RC_OK;
    }
};

}  // namespace detail

// The dependent list of a node, walked in place in address order with holes
// skipped. Hold the node's read section while iterating to see a list no other
// process changes meanwhile. Iteration that meets a corrupt entry throws, or,
// for a range made with an error_code, stores the code there and ends.
class dependents {
public:
    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = entry;
        using difference_type = std::ptrdiff_t;
        using pointer = const entry *;
        using reference = const entry &;

        iterator() = default;
        reference operator*() const noexcept { return current_; }
        pointer operator->() const noexcept { return &current_; }
        iterator &operator++() {
            if (--left_ == 0) {
                at_ = nullptr;
            } else {
                step(true);
            }
            return *this;
        }
        friend bool operator==(const iterator &a, const iterator &b) noexcept { return a.at_ == b.at_; }
        friend bool operator!=(const iterator &a, const iterator &b) noexcept { return a.at_ != b.at_; }

    private:
        friend class dependents;
        iterator(const detail::dependent_area &list, SNodeInfo_t *first, uint64_t count)
            : list_(list), at_(first), left_(count) {
            step(false);
        }
        // Moves to the next occupied entry (from the current one when advance is
        // false); the library checks each step's address, the entry's bytes are
        // checked here before they are read.
        void step(bool advance) {
            uint32_t rc = QUOR_RC_OK;
            for (;;) {
                if (advance) rc = quorGetNextDependentNodeLocation(list_.node, list_.area, &at_);
                if (rc == QUOR_RC_OK) rc = list_.check(at_, current_);
                if (rc != QUOR_RC_OK || at_->tag != 0) break;
                advance = true;
            }
            if (rc != QUOR_RC_OK) fail(rc);
        }
        void fail(uint32_t rc) {
            at_ = nullptr;
            if (list_.ec == nullptr) detail::raise(rc, "quor dependent list");
            *list_.ec = detail::to_error_code(rc);
        }
        detail::dependent_area list_;
        SNodeInfo_t *at_ = nullptr;
        uint64_t left_ = 0;
        entry current_;
    };

    dependents() = default;

    iterator begin() const { return first_ == nullptr ? iterator() : iterator(list_, first_, count_); }
    iterator end() const noexcept { return {}; }
    uint64_t size() const noexcept { return count_; }
    uint64_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return count_ == 0; }

private:
    friend class node;
    uint32_t open(SNodeCB_t *node, std::error_code *ec) noexcept {
        list_.node = node;
        list_.ec = ec;
        if (node == nullptr) return QUOR_RC_NULL_PARAMETER;
        if ((node->areaFlags & QUOR_KIND_DEPENDENTS) == 0) return QUOR_RC_OK;  // no child, no list
        uint32_t rc = quorGetPExportPointer(&list_.area, node, QUOR_KIND_DEPENDENTS);
        if (rc == QUOR_RC_OK)
            rc = quorGetMaxIDSizeForDependentNode(node, QUOR_KIND_DEPENDENTS, &list_.max_id);
        SNodeInfo_t *first = nullptr;
        if (rc == QUOR_RC_OK) rc = quorGetDependentNodesLocation(node, &first, &count_, &capacity_);
        if (rc == QUOR_RC_OK && count_ != 0) first_ = first;
        return rc;
    }

    detail::dependent_area list_;
    SNodeInfo_t *first_ = nullptr;
    uint64_t count_ = 0;
    uint64_t capacity_ = 0;
};

// Totals over a subtree, the start node included.
struct tree_totals {
    struct tally {
        uint64_t bytes = 0;
        uint32_t nodes = 0;
    };
    tally all, created, initialized, active, abandoned, disassociated;
    uint32_t nodes_with_tag = 0;

    const tally &operator[](node_condition c) const noexcept {
        switch (c) {
            case node_condition::created:
                return created;
            case node_condition::initialized:
                return initialized;
            case node_condition::active:
                return active;
            case node_condition::abandoned:
                return abandoned;
            case node_condition::disassociated:
                return disassociated;
        }
        return all;
    }
};

// What a tag search found: the first entries (up to the maximum asked for) and
// how many nodes matched in all.
struct tag_matches {
    std::vector<entry> found;
    uint64_t total = 0;
};

// One property as an enumeration lists it: the number (R, V) or the tag and ID
// (IR, IV), with the value size of the byte kinds.
struct listed_property {
    uint64_t key = 0;
    std::string id;
    uint64_t value_size = 0;
};

struct property_counts {
    uint64_t count = 0;
    uint64_t capacity = 0;
};

template <class K>
class property;
template <class K>
class record;

// ---------------------------------------------------------------------------------------------
// Node handle
// ---------------------------------------------------------------------------------------------

class node {
public:
    node() = default;
    explicit node(SNodeCB_t *cb) noexcept : cb_(cb) {}

    SNodeCB_t *get() const noexcept { return cb_; }
    explicit operator bool() const noexcept { return cb_ != nullptr; }
    // True for the handle of a guard: its calls pass inCriticalSection.
    bool holds_section() const noexcept { return held_ != detail::held::none; }

    // ---- identity and state ----
    uint64_t tag() const {
        uint64_t out = 0;
        detail::check(quorGetNodeTag(cb_, &out, in_section()), "quorGetNodeTag");
        return out;
    }
    uint64_t tag(std::error_code &ec) const noexcept {
        uint64_t out = 0;
        detail::report(ec, quorGetNodeTag(cb_, &out, in_section()));
        return out;
    }
    void set_tag(uint64_t tag) const { detail::check(set_tag_rc(tag), "quorSetNodeTag"); }
    void set_tag(uint64_t tag, std::error_code &ec) const noexcept { detail::report(ec, set_tag_rc(tag)); }

    // The ID bytes inside the node: stable while the node exists and its ID is not rewritten.
    std::string_view id() const {
        std::string_view out;
        detail::check(id_rc(out), "quorGetNodeID");
        return out;
    }
    std::string_view id(std::error_code &ec) const noexcept {
        std::string_view out;
        detail::report(ec, id_rc(out));
        return out;
    }
    void set_id(std::string_view id, uint64_t max_id_size) const {
        detail::check(set_id_rc(id, max_id_size), "quorSetNodeID");
    }
    void set_id(std::string_view id, uint64_t max_id_size, std::error_code &ec) const noexcept {
        detail::report(ec, set_id_rc(id, max_id_size));
    }

    uint64_t size() const {
        uint64_t out = 0;
        detail::check(quorGetNodeSize(cb_, &out, in_section()), "quorGetNodeSize");
        return out;
    }
    uint64_t size(std::error_code &ec) const noexcept {
        uint64_t out = 0;
        detail::report(ec, quorGetNodeSize(cb_, &out, in_section()));
        return out;
    }

    node_condition condition() const {
        uint32_t out = 0;
        detail::check(quorGetNodeCondition(cb_, &out), "quorGetNodeCondition");
        return node_condition{out};
    }
    node_condition condition(std::error_code &ec) const noexcept {
        uint32_t out = 0;
        detail::report(ec, quorGetNodeCondition(cb_, &out));
        return node_condition{out};
    }

    void activate() const { detail::check(state_rc(&quorActivateNode), "quorActivateNode"); }
    void activate(std::error_code &ec) const noexcept { detail::report(ec, state_rc(&quorActivateNode)); }
    void abandon() const { detail::check(state_rc(&quorAbandonNode), "quorAbandonNode"); }
    void abandon(std::error_code &ec) const noexcept { detail::report(ec, state_rc(&quorAbandonNode)); }
    void disassociate() const { detail::check(state_rc(&quorDisassociateNode), "quorDisassociateNode"); }
    void disassociate(std::error_code &ec) const noexcept {
        detail::report(ec, state_rc(&quorDisassociateNode));
    }

    // Announces that this writer keeps the node current.
    void mark_updated() const { detail::check(updated_rc(), "quorUpdateNodeStatus"); }
    void mark_updated(std::error_code &ec) const noexcept { detail::report(ec, updated_rc()); }

    // Raised on every change of the dependent list; readable without a section.
    int64_t reconfig_counter() const {
        int64_t out = 0;
        detail::check(quorGetNodeReconfigCounter(cb_, &out), "quorGetNodeReconfigCounter");
        return out;
    }
    int64_t reconfig_counter(std::error_code &ec) const noexcept {
        int64_t out = 0;
        detail::report(ec, quorGetNodeReconfigCounter(cb_, &out));
        return out;
    }

    // ---- parent and dependent nodes ----
    entry parent() const {
        entry out;
        detail::check(parent_rc(out), "quorGetParentNodeLocation");
        return out;
    }
    entry parent(std::error_code &ec) const noexcept {
        entry out;
        detail::report(ec, parent_rc(out));
        return out;
    }

    dependents children() const {
        dependents out;
        detail::check(out.open(cb_, nullptr), "quorGetDependentNodesLocation");
        return out;
    }
    // The range keeps &ec and reports a failure met while iterating there.
    dependents children(std::error_code &ec) const noexcept {
        dependents out;
        if (!detail::report(ec, out.open(cb_, &ec))) return {};
        return out;
    }

    // Links a child through its locator; replace overwrites an entry with the same tag and ID.
    void add_child(SNodeInfo_t &locator, std::string_view id, bool replace = false) const {
        detail::check(add_child_rc(locator, id, replace), "quorAddDependentNode");
    }
    void add_child(SNodeInfo_t &locator, std::string_view id, bool replace,
                   std::error_code &ec) const noexcept {
        detail::report(ec, add_child_rc(locator, id, replace));
    }
    // Frees the first entry with that tag (and ID, unless empty).
    void remove_child(uint64_t tag, std::string_view id = {}) const {
        detail::check(remove_child_rc(tag, id), "quorDeleteDependentNode");
    }
    void remove_child(uint64_t tag, std::string_view id, std::error_code &ec) const noexcept {
        detail::report(ec, remove_child_rc(tag, id));
    }

    // ---- searches (below this node; the node itself is never reported) ----
    // The node at the end of an exact path, one level per step.
    entry find(std::initializer_list<path_step> path) const { return find(path.begin(), path.size()); }
    entry find(std::initializer_list<path_step> path, std::error_code &ec) const {
        return find(path.begin(), path.size(), ec);
    }
    // The same with a path the library built and keeps.
    entry find(const search_path &path) const;
    entry find(const search_path &path, std::error_code &ec) const noexcept;
    entry find(const path_step *path, size_t steps) const {
        entry out;
        detail::check(find_rc(path, steps, out), "quorFindNodeHard");
        return out;
    }
    entry find(const path_step *path, size_t steps, std::error_code &ec) const {
        entry out;
        detail::report(ec, find_rc(path, steps, out));
        return out;
    }

    // The first node, depth-first, with that tag (and ID, unless empty); max_depth 0: any depth.
    entry find_soft(uint64_t tag, std::string_view id = {}, uint64_t max_depth = 0) const {
        entry out;
        detail::check(find_soft_rc(tag, id, max_depth, out), "quorFindNodeSoft");
        return out;
    }
    entry find_soft(uint64_t tag, std::string_view id, uint64_t max_depth,
                    std::error_code &ec) const noexcept {
        entry out;
        detail::report(ec, find_soft_rc(tag, id, max_depth, out));
        return out;
    }

    // Every node with that tag; at most max_results entries are kept, all are counted.
    tag_matches find_by_tag(uint64_t tag, uint64_t max_results, uint64_t max_depth = 0) const {
        tag_matches out;
        detail::check(by_tag_rc(tag, max_results, max_depth, out), "quorFindNodesByTag");
        return out;
    }
    tag_matches find_by_tag(uint64_t tag, uint64_t max_results, uint64_t max_depth,
                            std::error_code &ec) const {
        tag_matches out;
        detail::report(ec, by_tag_rc(tag, max_results, max_depth, out));
        return out;
    }

    // Sizes and counts by condition over the subtree (max_depth 1: this node only).
    tree_totals totals(const segment &tree, uint64_t tag = 0, uint64_t max_depth = 0) const;
    tree_totals totals(const segment &tree, uint64_t tag, uint64_t max_depth, std::error_code &ec) const;

    // ---- properties ----
    property<kind::R> r(uint64_t number) const noexcept;
    property<kind::V> v(uint64_t number) const noexcept;
    property<kind::IR> ir(uint64_t tag, std::string_view id) const noexcept;
    property<kind::IV> iv(uint64_t tag, std::string_view id) const noexcept;
    property<kind::BaseR> base_r(uint64_t number) const noexcept;
    property<kind::BaseV> base_v(uint64_t number) const noexcept;

    // Formats a kind's area, empty; properties are then added one by one.
    void create_r_list(uint64_t max_count, list_layout layout = list_layout::flat) const {
        detail::check(r_list_rc(max_count, layout), "quorCreateRPropertyList");
    }
    void create_r_list(uint64_t max_count, list_layout layout, std::error_code &ec) const noexcept {
        detail::report(ec, r_list_rc(max_count, layout));
    }
    void create_v_list(uint64_t max_count, uint64_t max_value_size,
                       list_layout layout = list_layout::flat) const {
        detail::check(v_list_rc(max_count, max_value_size, layout), "quorCreateVPropertyList");
    }
    void create_v_list(uint64_t max_count, uint64_t max_value_size, list_layout layout,
                       std::error_code &ec) const noexcept {
        detail::report(ec, v_list_rc(max_count, max_value_size, layout));
    }
    // expected_tags and expected_ids size the tag and ID tables of a hashed list.
    void create_ir_list(uint64_t max_count, uint64_t max_id_size, list_layout layout = list_layout::flat,
                        uint64_t expected_tags = 0, uint64_t expected_ids = 0) const {
        detail::check(ir_list_rc(max_count, max_id_size, layout, expected_tags, expected_ids),
                      "quorCreateIRPropertyList");
    }
    void create_ir_list(uint64_t max_count, uint64_t max_id_size, list_layout layout, uint64_t expected_tags,
                        uint64_t expected_ids, std::error_code &ec) const noexcept {
        detail::report(ec, ir_list_rc(max_count, max_id_size, layout, expected_tags, expected_ids));
    }
    void create_iv_list(uint64_t max_count, uint64_t max_id_size, uint64_t max_value_size,
                        list_layout layout = list_layout::flat, uint64_t expected_tags = 0,
                        uint64_t expected_ids = 0) const {
        detail::check(iv_list_rc(max_count, max_id_size, max_value_size, layout, expected_tags, expected_ids),
                      "quorCreateIVPropertyList");
    }
    void create_iv_list(uint64_t max_count, uint64_t max_id_size, uint64_t max_value_size, list_layout layout,
                        uint64_t expected_tags, uint64_t expected_ids, std::error_code &ec) const noexcept {
        detail::report(
            ec, iv_list_rc(max_count, max_id_size, max_value_size, layout, expected_tags, expected_ids));
    }
    // The BaseV record keeps room for max_value_size bytes.
    void create_base_v(uint64_t number, std::string_view value, uint64_t max_value_size) const {
        detail::check(base_v_rc(number, value, max_value_size), "quorCreateBaseVProperty");
    }
    void create_base_v(uint64_t number, std::string_view value, uint64_t max_value_size,
                       std::error_code &ec) const noexcept {
        detail::report(ec, base_v_rc(number, value, max_value_size));
    }

    // Live properties of a table kind and the room of its area.
    template <class K>
    property_counts count() const {
        property_counts out;
        detail::check(counts_rc<K>(out), traits<K>::name);
        return out;
    }
    template <class K>
    property_counts count(std::error_code &ec) const noexcept {
        property_counts out;
        detail::report(ec, counts_rc<K>(out));
        return out;
    }
    // Live properties of a table kind with that number or tag.
    template <class K>
    uint64_t count(uint64_t key) const {
        uint64_t out = 0;
        detail::check(traits<K>::count_of(cb_, key, &out, in_section()), traits<K>::name);
        return out;
    }
    template <class K>
    uint64_t count(uint64_t key, std::error_code &ec) const noexcept {
        uint64_t out = 0;
        detail::report(ec, traits<K>::count_of(cb_, key, &out, in_section()));
        return out;
    }

    // The properties of a table kind (key 0: all of them, else those of that number
    // or tag), read under one read section.
    template <class K>
    std::vector<listed_property> list(uint64_t key = 0) const;
    template <class K>
    std::vector<listed_property> list(uint64_t key, std::error_code &ec) const;

private:
    template <bool Write>
    friend class section_guard;
    template <class K>
    friend class property;
    template <class K>
    friend class record;

    uint32_t in_section() const noexcept { return detail::in_section(held_); }

    uint32_t set_tag_rc(uint64_t tag) const noexcept {
        uint32_t rc = detail::writable(held_);
        return rc != QUOR_RC_OK ? rc : quorSetNodeTag(cb_, tag, in_section());
    }
    uint32_t id_rc(std::string_view &out) const noexcept {
        char *id = nullptr;
        uint64_t length = 0;
        uint32_t rc = quorGetNodeID(cb_, &id, &length, in_section());
        if (rc == QUOR_RC_OK) rc = detail::bounded(length, QUOR_MAX_ID_SIZE, QUOR_RC_BAD_ID_LENGTH);
        if (rc == QUOR_RC_OK) out = std::string_view(id, length);
        return rc;
    }
    uint32_t set_id_rc(std::string_view id, uint64_t max_id_size) const noexcept {
        uint32_t rc = detail::writable(held_);
        return rc != QUOR_RC_OK ? rc : quorSetNodeID(cb_, id.data(), id.size(), max_id_size, in_section());
    }
    uint32_t state_rc(uint32_t (*change)(SNodeCB_t **)) const noexcept {
        uint32_t rc = detail::unheld(held_);
        SNodeCB_t *n = cb_;
        return rc != QUOR_RC_OK ? rc : change(&n);
    }
    uint32_t updated_rc() const noexcept {
        uint32_t rc = detail::unheld(held_);
        return rc != QUOR_RC_OK ? rc : quorUpdateNodeStatus(cb_);
    }
    uint32_t parent_rc(entry &out) const noexcept {
        SNodeInfo_t *info = nullptr;
        char *id = nullptr;
        uint64_t length = 0;
        uint32_t rc = quorGetParentNodeLocation(cb_, &info);
        if (rc == QUOR_RC_OK) rc = quorGetParentNodeIdentifier(cb_, &length, &id);
        if (rc == QUOR_RC_OK) rc = detail::bounded(length, QUOR_MAX_ID_SIZE, QUOR_RC_ID_SIZE_TOO_LARGE);
        if (rc == QUOR_RC_OK) out = entry(info, std::string_view(length != 0 ? id : "", length));
        return rc;
    }
    uint32_t add_child_rc(SNodeInfo_t &locator, std::string_view id, bool replace) const noexcept {
        uint32_t rc = detail::writable(held_);
        if (rc != QUOR_RC_OK) return rc;
        return quorAddDependentNode(cb_, &locator, id.empty() ? nullptr : id.data(), id.size(),
                                    replace ? QUOR_DEP_REPLACE : 0u, in_section());
    }
    uint32_t remove_child_rc(uint64_t tag, std::string_view id) const noexcept {
        uint32_t rc = detail::writable(held_);
        if (rc != QUOR_RC_OK) return rc;
        SNodeInfo_t probe{};
        probe.tag = tag;
        probe.idSize = id.size();
        return quorDeleteDependentNode(cb_, &probe, id.empty() ? nullptr : id.data(), in_section());
    }
    // Search results carry no bound of their list; their IDs are held to the
    // longest ID a list may keep.
    static entry found(SNodeInfo_t *at) noexcept {
        uint64_t length = at->idSize <= QUOR_MAX_ID_SIZE ? at->idSize : 0;
        return entry(at, std::string_view(reinterpret_cast<const char *>(at + 1), length));
    }
    uint32_t find_rc(const path_step *path, size_t steps, entry &out) const {
        uint32_t rc = detail::unheld(held_);
        if (rc != QUOR_RC_OK) return rc;
        std::vector<TraverseInfo_t> walk(steps);
        for (size_t i = 0; i < steps; ++i) {
            if (path[i].id.size() > QUOR_MAX_ID_SIZE) return QUOR_RC_ID_SIZE_TOO_LARGE;
            walk[i].tag = path[i].tag;
            walk[i].idLength = static_cast<int32_t>(path[i].id.size());
            // The search only reads the step's bytes.
            walk[i].id = const_cast<char *>(path[i].id.data());
        }
        return walk_rc(walk.data(), steps, out);
    }
    uint32_t path_rc(const search_path &path, entry &out) const noexcept;
    // A path of n steps is followed to depth n and no further.
    uint32_t walk_rc(TraverseInfo_t *path, uint64_t steps, entry &out) const noexcept {
        SNodeInfo_t *at = nullptr;
        uint32_t rc = quorFindNodeHard(&at, cb_, steps, path, steps);
        if (rc == QUOR_RC_OK) out = found(at);
        return rc;
    }
    uint32_t find_soft_rc(uint64_t tag, std::string_view id, uint64_t max_depth, entry &out) const noexcept {
        uint32_t rc = detail::unheld(held_);
        if (rc != QUOR_RC_OK) return rc;
        SNodeInfo_t *at = nullptr;
        rc = quorFindNodeSoft(&at, cb_, tag, id.size(), id.empty() ? nullptr : id.data(), max_depth);
        if (rc == QUOR_RC_OK) out = found(at);
        return rc;
    }
    uint32_t by_tag_rc(uint64_t tag, uint64_t max_results, uint64_t max_depth, tag_matches &out) const {
        uint32_t rc = detail::unheld(held_);
        if (rc != QUOR_RC_OK) return rc;
        if (max_results == 0 || max_results > QUOR_MAX_SEARCH_RESULTS) return QUOR_RC_BAD_MAX_RESULTS;
        std::vector<SNodeInfo_t *> results(max_results);
        uint64_t stored = 0;
        rc = quorFindNodesByTag(cb_, tag, max_depth, max_results, results.data(), &stored, &out.total);
        // A walk stopped by a failure keeps what it gathered; the code still tells.
        for (uint64_t i = 0; i < stored && i < max_results; ++i) out.found.push_back(found(results[i]));
        return rc;
    }

    uint32_t r_list_rc(uint64_t max_count, list_layout layout) const noexcept {
        uint32_t rc = detail::writable(held_);
        return rc != QUOR_RC_OK ? rc
                                : quorCreateRPropertyList(cb_, nullptr, nullptr, 0, max_count,
                                                          static_cast<uint32_t>(layout), in_section());
    }
    uint32_t v_list_rc(uint64_t max_count, uint64_t max_value_size, list_layout layout) const noexcept {
        uint32_t rc = detail::writable(held_);
        return rc != QUOR_RC_OK
                   ? rc
                   : quorCreateVPropertyList(cb_, nullptr, nullptr, nullptr, max_value_size, 0, max_count,
                                             static_cast<uint32_t>(layout), in_section());
    }
    uint32_t ir_list_rc(uint64_t max_count, uint64_t max_id_size, list_layout layout, uint64_t tags,
                        uint64_t ids) const noexcept {
        uint32_t rc = detail::writable(held_);
        return rc != QUOR_RC_OK
                   ? rc
                   : quorCreateIRPropertyList(cb_, nullptr, nullptr, nullptr, nullptr, max_id_size, 0, tags,
                                              ids, max_count, static_cast<uint32_t>(layout), in_section());
    }
    uint32_t iv_list_rc(uint64_t max_count, uint64_t max_id_size, uint64_t max_value_size, list_layout layout,
                        uint64_t tags, uint64_t ids) const noexcept {
        uint32_t rc = detail::writable(held_);
        return rc != QUOR_RC_OK
                   ? rc
                   : quorCreateIVPropertyList(cb_, nullptr, nullptr, nullptr, max_id_size, nullptr, nullptr,
                                              max_value_size, 0, tags, ids, max_count,
                                              static_cast<uint32_t>(layout), in_section());
    }
    uint32_t base_v_rc(uint64_t number, std::string_view value, uint64_t max_value_size) const noexcept {
        uint32_t rc = detail::writable(held_);
        return rc != QUOR_RC_OK ? rc
                                : quorCreateBaseVProperty(cb_, number, value.data(), value.size(),
                                                          max_value_size, in_section());
    }
    template <class K>
    uint32_t counts_rc(property_counts &out) const noexcept {
        return traits<K>::number_of(cb_, &out.count, &out.capacity, in_section());
    }
    template <class K>
    uint32_t list_rc(uint64_t key, std::vector<listed_property> &out) const;

    SNodeCB_t *cb_ = nullptr;
    detail::held held_ = detail::held::none;
};

// ---------------------------------------------------------------------------------------------
// Section guards
// ---------------------------------------------------------------------------------------------

// Holds a node's read (Write false) or write (Write true) critical section, as
// std::unique_lock holds a mutex, and hands out a handle whose calls run inside it.
template <bool Write>
class section_guard {
public:
    section_guard() = default;
    explicit section_guard(const node &n) {
        detail::check(enter(n),
                      Write ? "quorEnterCriticalSectionBeforeWrite" : "quorEnterCriticalSectionBeforeRead");
    }
    section_guard(const node &n, std::error_code &ec) noexcept { detail::report(ec, enter(n)); }
    section_guard(section_guard &&other) noexcept : node_(std::exchange(other.node_, node())) {}
    section_guard &operator=(section_guard &&other) noexcept {
        if (this != &other) {
            (void)leave();
            node_ = std::exchange(other.node_, node());
        }
        return *this;
    }
    section_guard(const section_guard &) = delete;
    section_guard &operator=(const section_guard &) = delete;
    ~section_guard() { (void)leave(); }

    bool owns_section() const noexcept { return static_cast<bool>(node_); }
    explicit operator bool() const noexcept { return owns_section(); }

    // The node, as a handle that passes inCriticalSection.
    const node &get() const noexcept { return node_; }
    const node &operator*() const noexcept { return node_; }
    const node *operator->() const noexcept { return &node_; }

    // Leaves the section now and reports the leaving's code.
    void unlock() {
        detail::check(leave(),
                      Write ? "quorExitCriticalSectionAfterWrite" : "quorExitCriticalSectionAfterRead");
    }
    void unlock(std::error_code &ec) noexcept { detail::report(ec, leave()); }

private:
    friend class node;
    template <class K>
    friend class property;

    uint32_t enter(const node &n) noexcept {
        uint32_t rc = detail::unheld(n.held_);
        if (rc != QUOR_RC_OK) return rc;
        SNodeCB_t *cb = n.cb_;
        rc = Write ? quorEnterCriticalSectionBeforeWrite(cb, cb == nullptr ? nullptr : &cb->nodeLatch)
                   : quorEnterCriticalSectionBeforeRead(cb, cb == nullptr ? nullptr : &cb->nodeLatch);
        if (rc == QUOR_RC_OK) {
            node_ = node(cb);
            node_.held_ = Write ? detail::held::write : detail::held::read;
        }
        return rc;
    }
    uint32_t leave() noexcept {
        SNodeCB_t *cb = std::exchange(node_, node()).cb_;
        if (cb == nullptr) return QUOR_RC_OK;
        return Write ? quorExitCriticalSectionAfterWrite(cb, &cb->nodeLatch)
                     : quorExitCriticalSectionAfterRead(cb, &cb->nodeLatch);
    }
    node node_;
};

// ---------------------------------------------------------------------------------------------
// Properties
// ---------------------------------------------------------------------------------------------

// A property of one node, named by its key. get/set move the value (int32_t for
// R, IR and BaseR; bytes for V, IV and BaseV), rc/set_rc the 64-bit RC word.
// Through a guard's handle every call runs in the guard's section.
template <class K>
class property {
public:
    using traits_type = traits<K>;
    using key_type = typename traits_type::key;
    using value_type = std::conditional_t<traits_type::integer, int32_t, std::string>;
    using argument_type = std::conditional_t<traits_type::integer, int32_t, std::string_view>;

    property(const node &n, key_type key) noexcept : node_(n), key_(key) {}

    const key_type &key() const noexcept { return key_; }

    value_type get() const {
        value_type out{};
        detail::check(read_value(out), traits_type::name);
        return out;
    }
    value_type get(std::error_code &ec) const {
        value_type out{};
        detail::report(ec, read_value(out));
        return out;
    }
    void set(argument_type value) const { detail::check(write_value(value), traits_type::name); }
    void set(argument_type value, std::error_code &ec) const noexcept {
        detail::report(ec, write_value(value));
    }

    // The value bytes in place (byte kinds only); valid while the guard's section lasts.
    bytes_view view() const {
        bytes_view out;
        detail::check(view_rc(out), traits_type::name);
        return out;
    }
    bytes_view view(std::error_code &ec) const noexcept {
        bytes_view out;
        detail::report(ec, view_rc(out));
        return out;
    }

    uint64_t rc() const {
        uint64_t out = 0;
        detail::check(read_word(out), traits_type::name);
        return out;
    }
    uint64_t rc(std::error_code &ec) const noexcept {
        uint64_t out = 0;
        detail::report(ec, read_word(out));
        return out;
    }
    void set_rc(uint64_t word) const { detail::check(write_word(word), traits_type::name); }
    void set_rc(uint64_t word, std::error_code &ec) const noexcept { detail::report(ec, write_word(word)); }

    // Adds the property to its list (BaseR: creates or overwrites the node's one
    // record; BaseV is created with node::create_base_v).
    void add(argument_type value) const { detail::check(add_value(value), traits_type::name); }
    void add(argument_type value, std::error_code &ec) const noexcept {
        detail::report(ec, add_value(value));
    }
    void remove() const { detail::check(remove_value(), traits_type::name); }
    void remove(std::error_code &ec) const noexcept { detail::report(ec, remove_value()); }

    // The property's record, for value and RC moves without a key lookup. Locate
    // it through a guard's handle: the record stays this property's only while
    // no one deletes it.
    record<K> locate() const;
    record<K> locate(std::error_code &ec) const noexcept;

private:
    uint32_t cs() const noexcept { return node_.in_section(); }

    uint32_t read_value(value_type &out) const {
        if constexpr (traits_type::integer) {
            return detail::keyed<traits_type::get_value>(node_.cb_, key_, &out, cs());
        } else {
            bytes_view bytes;
            return read_in_section(bytes, [&] { out.assign(bytes.data(), bytes.size()); });
        }
    }
    uint32_t view_rc(bytes_view &out) const noexcept {
        static_assert(!traits_type::integer, "a 32-bit value has no bytes to view");
        uint32_t rc = detail::inside(node_.held_);
        return rc != QUOR_RC_OK ? rc : value_in_place(out);
    }
    // The library's keyed read hands out the value's address and size; the bytes
    // are copied while the section is still held.
    template <class Use>
    uint32_t read_in_section(bytes_view &bytes, Use use) const {
        if (node_.held_ != detail::held::none) {
            uint32_t rc = value_in_place(bytes);
            if (rc == QUOR_RC_OK) use();
            return rc;
        }
        read_guard section;
        uint32_t rc = section.enter(node_);
        if (rc != QUOR_RC_OK) return rc;
        rc = value_in_place(bytes);
        if (rc == QUOR_RC_OK) use();  // may throw; the guard still leaves the section
        return detail::merged(rc, section.leave());
    }
    uint32_t value_in_place(bytes_view &out) const noexcept {
        uint64_t size = 0;
        void *address = nullptr;
        uint32_t rc = detail::keyed<traits_type::get_value>(node_.cb_, key_, &size, &address,
                                                            static_cast<void *>(nullptr), 1u);
        if (rc == QUOR_RC_OK) rc = detail::bounded(size, QUOR_MAX_V_SIZE, QUOR_RC_BAD_VALUE_SIZE);
        if (rc == QUOR_RC_OK) out = bytes_view(address, size);
        return rc;
    }

    uint32_t write_value(argument_type value) const noexcept {
        uint32_t rc = detail::writable(node_.held_);
        if (rc != QUOR_RC_OK) return rc;
        if constexpr (traits_type::integer) {
            return detail::keyed<traits_type::set_value>(node_.cb_, key_, value, cs());
        } else {
            return detail::keyed<traits_type::set_value>(node_.cb_, key_, static_cast<uint64_t>(value.size()),
                                                         static_cast<const void *>(value.data()), cs());
        }
    }
    uint32_t read_word(uint64_t &out) const noexcept {
        return detail::keyed<traits_type::get_rc>(node_.cb_, key_, &out, cs());
    }
    uint32_t write_word(uint64_t word) const noexcept {
        uint32_t rc = detail::writable(node_.held_);
        return rc != QUOR_RC_OK ? rc : detail::keyed<traits_type::set_rc>(node_.cb_, key_, word, cs());
    }
    uint32_t add_value(argument_type value) const noexcept {
        static_assert(!std::is_same_v<K, kind::BaseV>, "a BaseV property is made with node::create_base_v");
        uint32_t rc = detail::writable(node_.held_);
        if (rc != QUOR_RC_OK) return rc;
        if constexpr (traits_type::integer) {
            return detail::keyed<traits_type::add>(node_.cb_, key_, value, cs());
        } else {
            return detail::keyed<traits_type::add>(node_.cb_, key_, static_cast<uint64_t>(value.size()),
                                                   static_cast<const void *>(value.data()), cs());
        }
    }
    uint32_t remove_value() const noexcept {
        uint32_t rc = detail::writable(node_.held_);
        return rc != QUOR_RC_OK ? rc : detail::keyed<traits_type::remove>(node_.cb_, key_, cs());
    }

    node node_;
    key_type key_;
};

// A located property record: value and RC move together, without a key lookup.
template <class K>
class record {
public:
    using traits_type = traits<K>;
    using record_type = typename traits_type::record;
    using value_type = typename property<K>::value_type;
    using argument_type = typename property<K>::argument_type;

    struct contents {
        value_type value{};
        uint64_t rc = 0;
    };

    record() = default;
    record(const node &n, record_type *rec) noexcept : node_(n), record_(rec) {}

    record_type *get() const noexcept { return record_; }
    explicit operator bool() const noexcept { return record_ != nullptr; }

    contents read() const {
        contents out;
        detail::check(read_rc(out), traits_type::name);
        return out;
    }
    contents read(std::error_code &ec) const {
        contents out;
        detail::report(ec, read_rc(out));
        return out;
    }
    void write(argument_type value, uint64_t rc) const {
        detail::check(write_rc(value, rc), traits_type::name);
    }
    void write(argument_type value, uint64_t rc, std::error_code &ec) const noexcept {
        detail::report(ec, write_rc(value, rc));
    }

private:
    uint32_t read_rc(contents &out) const {
        const uint32_t cs = node_.in_section();
        if constexpr (traits_type::integer) {
            return traits_type::get_with_rc(node_.cb_, record_, &out.value, &out.rc, cs);
        } else {
            // Size 0 on entry: the library copies nothing and reports the size
            // and address; the bytes are taken from there under the section.
            uint32_t rc = detail::inside(node_.held_);
            if (rc != QUOR_RC_OK) return rc;
            uint64_t size = 0;
            void *address = nullptr;
            rc = traits_type::get_with_rc(node_.cb_, record_, &size, &address, nullptr, &out.rc, cs);
            if (rc == QUOR_RC_OK) rc = detail::bounded(size, QUOR_MAX_V_SIZE, QUOR_RC_BAD_VALUE_SIZE);
            if (rc == QUOR_RC_OK) out.value.assign(static_cast<const char *>(address), size);
            return rc;
        }
    }
    uint32_t write_rc(argument_type value, uint64_t word) const noexcept {
        uint32_t rc = detail::writable(node_.held_);
        if (rc != QUOR_RC_OK) return rc;
        if constexpr (traits_type::integer) {
            return traits_type::set_with_rc(node_.cb_, record_, value, word, node_.in_section());
        } else {
            return traits_type::set_with_rc(node_.cb_, record_, value.size(), value.data(), word,
                                            node_.in_section());
        }
    }

    node node_;
    record_type *record_ = nullptr;
};

template <class K>
record<K> property<K>::locate() const {
    record<K> out;
    std::error_code ec;
    out = locate(ec);
    if (ec) throw std::system_error(ec, traits_type::name);
    return out;
}

template <class K>
record<K> property<K>::locate(std::error_code &ec) const noexcept {
    typename traits_type::record *rec = nullptr;
    // Locating takes no lock: only a held section keeps the record from moving under us.
    uint32_t rc = detail::inside(node_.held_);
    if (rc == QUOR_RC_OK) rc = detail::keyed<traits_type::locate>(node_.cb_, key_, &rec);
    if (!detail::report(ec, rc)) return {};
    return record<K>(node_, rec);
}

inline property<kind::R> node::r(uint64_t number) const noexcept { return {*this, number_key{number}}; }
inline property<kind::V> node::v(uint64_t number) const noexcept { return {*this, number_key{number}}; }
inline property<kind::IR> node::ir(uint64_t tag, std::string_view id) const noexcept {
    return {*this, tagged_key{tag, id}};
}
inline property<kind::IV> node::iv(uint64_t tag, std::string_view id) const noexcept {
    return {*this, tagged_key{tag, id}};
}
inline property<kind::BaseR> node::base_r(uint64_t number) const noexcept {
    return {*this, number_key{number}};
}
inline property<kind::BaseV> node::base_v(uint64_t number) const noexcept {
    return {*this, number_key{number}};
}

template <class K>
uint32_t node::list_rc(uint64_t key, std::vector<listed_property> &out) const {
    using T = traits<K>;
    // Counting and listing share one section, so the count sizes the arrays.
    auto body = [&](const node &held) -> uint32_t {
        property_counts counts;
        uint32_t rc = held.counts_rc<K>(counts);
        if (rc != QUOR_RC_OK || counts.count == 0) return rc;
        const uint64_t capacity = counts.count < QUOR_MAX_COUNT ? counts.count : QUOR_MAX_COUNT;
        std::vector<uint64_t> keys(capacity), lengths(capacity), sizes(capacity);
        uint64_t slot = 0;
        std::vector<char> ids;
        if constexpr (std::is_same_v<K, kind::R>) {
            rc = quorReturnRProperties(cb_, keys.data(), key, capacity, 1);
        } else if constexpr (std::is_same_v<K, kind::V>) {
            rc = quorReturnVProperties(cb_, keys.data(), sizes.data(), key, capacity, 1);
        } else if constexpr (std::is_same_v<K, kind::IR>) {
            rc = quorGetMaxIDSizeForIRProperties(cb_, &slot);
            if (rc == QUOR_RC_OK) {
                ids.resize(capacity * (slot == 0 ? 1 : slot));
                rc = quorReturnIRProperties(cb_, keys.data(), lengths.data(), ids.data(), key, capacity, slot,
                                            1);
            }
        } else {
            static_assert(std::is_same_v<K, kind::IV>, "only table kinds are listed");
            uint64_t max_value = 0;
            rc = quorGetMaxIDVSizeForIVProperties(cb_, &slot, &max_value);
            if (rc == QUOR_RC_OK) {
                ids.resize(capacity * (slot == 0 ? 1 : slot));
                rc = quorReturnIVProperties(cb_, keys.data(), lengths.data(), ids.data(), sizes.data(), key,
                                            capacity, slot, 1);
            }
        }
        if (rc == T::not_listed) return QUOR_RC_OK;  // nothing of that kind or key: an empty list
        for (uint64_t i = 0; rc == QUOR_RC_OK && i < capacity && keys[i] != 0; ++i) {
            listed_property p;
            p.key = keys[i];
            p.value_size = sizes[i];
            if (slot != 0) {
                rc = detail::bounded(lengths[i], slot, QUOR_RC_ID_TOO_LONG);
                if (rc == QUOR_RC_OK) p.id.assign(ids.data() + i * slot, lengths[i]);
            }
            out.push_back(std::move(p));
        }
        return rc;
    };
    if (held_ != detail::held::none) return body(*this);
    read_guard section;
    uint32_t rc = section.enter(*this);
    if (rc != QUOR_RC_OK) return rc;
    rc = body(section.get());
    return detail::merged(rc, section.leave());
}

template <class K>
std::vector<listed_property> node::list(uint64_t key) const {
    std::vector<listed_property> out;
    detail::check(list_rc<K>(key, out), traits<K>::name);
    return out;
}

template <class K>
std::vector<listed_property> node::list(uint64_t key, std::error_code &ec) const {
    std::vector<listed_property> out;
    if (!detail::report(ec, list_rc<K>(key, out))) out.clear();
    return out;
}

inline node entry::attach() const {
    SNodeCB_t *out = nullptr;
    detail::check(quorAttachToNode(locator_, &out), "quorAttachToNode");
    return node(out);
}

inline node entry::attach(std::error_code &ec) const {
    SNodeCB_t *out = nullptr;
    if (!detail::report(ec, quorAttachToNode(locator_, &out))) return {};
    return node(out);
}

// ---------------------------------------------------------------------------------------------
// Private arrays the library hands out
// ---------------------------------------------------------------------------------------------

// An identifier built by the library from components: the bytes back to back and
// one length per component, both private and released on destruction.
class identifier {
public:
    identifier() = default;
    // kind: QUOR_KIND_ID or QUOR_KIND_DEPENDENTS (node IDs), QUOR_KIND_IR or QUOR_KIND_IV (property IDs).
    identifier(std::initializer_list<const char *> components, uint64_t max_length, uint32_t kind) {
        detail::check(build(components, max_length, kind), "quorCreateID");
    }
    identifier(std::initializer_list<const char *> components, uint64_t max_length, uint32_t kind,
               std::error_code &ec) {
        detail::report(ec, build(components, max_length, kind));
    }
    identifier(identifier &&other) noexcept
        : bytes_(std::exchange(other.bytes_, nullptr)),
          lengths_(std::exchange(other.lengths_, nullptr)),
          count_(std::exchange(other.count_, 0)) {}
    identifier &operator=(identifier &&other) noexcept {
        if (this != &other) {
            (void)release();
            bytes_ = std::exchange(other.bytes_, nullptr);
            lengths_ = std::exchange(other.lengths_, nullptr);
            count_ = std::exchange(other.count_, 0);
        }
        return *this;
    }
    identifier(const identifier &) = delete;
    identifier &operator=(const identifier &) = delete;
    ~identifier() { (void)release(); }

    size_t size() const noexcept { return count_; }
    // Component i, in place.
    std::string_view operator[](size_t i) const noexcept {
        uint64_t start = 0;
        for (size_t k = 0; k < i; ++k) start += lengths_[k];
        return {bytes_ + start, lengths_[i]};
    }
    // All components back to back, as the library keeps them.
    std::string_view bytes() const noexcept {
        uint64_t total = 0;
        for (size_t k = 0; k < count_; ++k) total += lengths_[k];
        return {bytes_ == nullptr ? "" : bytes_, total};
    }

private:
    uint32_t build(std::initializer_list<const char *> components, uint64_t max_length, uint32_t kind) {
        std::vector<const char *> strings(components);
        const uint32_t key = QUOR_EYECATCHER;
        uint32_t rc =
            quorCreateID(&bytes_, &lengths_, strings.data(), max_length, strings.size(), kind, &key);
        if (rc == QUOR_RC_OK) count_ = strings.size();
        return rc;
    }
    uint32_t release() noexcept {
        if (lengths_ == nullptr && bytes_ == nullptr) return QUOR_RC_OK;
        const uint32_t key = QUOR_EYECATCHER;
        uint32_t rc = quorDeleteID(std::exchange(bytes_, nullptr), std::exchange(lengths_, nullptr), &key);
        count_ = 0;
        return rc;
    }
    char *bytes_ = nullptr;
    uint64_t *lengths_ = nullptr;
    size_t count_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Status segments
// ---------------------------------------------------------------------------------------------

struct segment_options {
    uint64_t pool_size = 0;   // creation: 0 = all that is left
    void *address = nullptr;  // preferred mapping address, or the caller's memory in mode 3
    const ShmDomainOptions_t *domain = nullptr;  // null: defaults
    const ShmPoolOptions_t *pool = nullptr;      // null: defaults
};

// What to build a node with: its sizing (the kinds and capacities of its areas)
// and the values its initialisation writes.
struct node_plan {
    NodeSpaceParams_t space{};
    std::string_view id;
    const SNodeInfo_t *parent = nullptr;  // needed with QUOR_KIND_PARENT
    std::string_view parent_id;
    const uint64_t *triple = nullptr;   // needed with QUOR_KIND_TRIPLE
    const RMXPathRec_t *rmx = nullptr;  // needed with QUOR_KIND_RMX
    const SNodeOptions_t *options = nullptr;
};

// One attachment of this process to a status segment, released on destruction:
// the segment is detached (one reference), never deleted; remove() deletes it.
class segment {
public:
    segment() = default;
    segment(segment &&other) noexcept
        : info_(std::exchange(other.info_, nullptr)), unbuilt_(std::exchange(other.unbuilt_, false)) {}
    segment &operator=(segment &&other) noexcept {
        if (this != &other) {
            (void)release_rc();
            info_ = std::exchange(other.info_, nullptr);
            unbuilt_ = std::exchange(other.unbuilt_, false);
        }
        return *this;
    }
    segment(const segment &) = delete;
    segment &operator=(const segment &) = delete;
    // Detaches; a segment this object created whose top node was never recorded
    // (set_top) is removed instead, so a creator that gives up or throws while
    // building leaves nothing behind.
    ~segment() { (void)release_rc(); }

    // A new segment of size bytes with its tree pool, registered in this process.
    static segment create(std::string_view name, uint64_t size, const segment_options &options = {}) {
        segment out;
        detail::check(out.create_rc(name, size, options), "quorGetProtectedStatusSegment");
        return out;
    }
    static segment create(std::string_view name, uint64_t size, const segment_options &options,
                          std::error_code &ec) noexcept {
        segment out;
        detail::report(ec, out.create_rc(name, size, options));
        return out;
    }
    // Attaches an existing segment (or adds a reference to this process's attachment).
    static segment attach(std::string_view name, const segment_options &options = {}) {
        segment out;
        detail::check(out.attach_rc(name, options), "quorAttachStatusSegment");
        return out;
    }
    static segment attach(std::string_view name, const segment_options &options,
                          std::error_code &ec) noexcept {
        segment out;
        detail::report(ec, out.attach_rc(name, options));
        return out;
    }
    // Attaches a segment and checks its tree's top node.
    static segment connect(std::string_view name, const segment_options &options = {}) {
        segment out;
        detail::check(out.connect_rc(name, options), "quorConnectToATree");
        return out;
    }
    static segment connect(std::string_view name, const segment_options &options,
                           std::error_code &ec) noexcept {
        segment out;
        detail::report(ec, out.connect_rc(name, options));
        return out;
    }
    // The same, waiting up to `timeout` while the segment does not exist or holds
    // no tree yet (a worker that starts before its supervisor). A segment being
    // deleted or damaged fails at once. Failures name their cause: segment_errc
    // no_such_segment, no_tree_yet, being_deleted, damaged, or a library code.
    static segment connect(std::string_view name, std::chrono::milliseconds timeout,
                           const segment_options &options = {}) {
        segment out;
        detail::check(out.connect_waiting_rc(name, timeout, options), "quor::segment::connect");
        return out;
    }
    static segment connect(std::string_view name, std::chrono::milliseconds timeout, const segment_options &options,
                           std::error_code &ec) noexcept {
        segment out;
        detail::report(ec, out.connect_waiting_rc(name, timeout, options));
        return out;
    }
    // Creates the segment and runs builder(segment &), which must record the top
    // node (set_top); or, when the segment exists, connects to it, waiting up to
    // `timeout` for its creator to record the tree. One process builds, the
    // others wait. A builder that throws or records no top node leaves no
    // segment behind (no_tree_yet when it returned without set_top).
    template <class Builder>
    static segment open_or_create(std::string_view name, uint64_t size, Builder &&builder,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(10),
                                  const segment_options &options = {}) {
        segment out;
        const uint32_t rc = out.create_rc(name, size, options);
        if (rc == QUOR_RC_SEGMENT_EXISTS) return connect(name, timeout, options);
        detail::check(rc, "quorGetProtectedStatusSegment");
        out.unbuilt_ = true;
        builder(out);
        if (out.unbuilt_) {
            (void)out.release_rc();
            detail::raise(detail::cause(segment_errc::no_tree_yet), "quor::segment::open_or_create");
        }
        return out;
    }
    // Removes the segment of that name whatever it holds: a tree or none, marked
    // for deletion or not, damaged or not. Processes still attached keep their
    // mapping, but the segment refuses them from then on. Refuses a name that is
    // not a status segment (not_a_segment) and reports no_such_segment.
    static void remove(std::string_view name) { detail::check(remove_by_name_rc(name), "quor::segment::remove"); }
    static void remove(const char *name) { remove(std::string_view(name)); }
    static void remove(std::string_view name, std::error_code &ec) noexcept {
        detail::report(ec, remove_by_name_rc(name));
    }
    static void remove(const char *name, std::error_code &ec) noexcept { remove(std::string_view(name), ec); }

    // The cause an attach or connect failure stands for (segment_errc), or the
    // code itself when it names no cause of those.
    static std::error_code cause_of(const std::error_code &ec) noexcept {
        if (ec.category() != category()) return ec;
        return detail::to_error_code(cause_rc(static_cast<uint32_t>(ec.value())));
    }

    ShmSegInfo_t *get() const noexcept { return info_; }
    explicit operator bool() const noexcept { return info_ != nullptr; }
    std::string_view name() const noexcept {
        return info_ == nullptr ? std::string_view() : info_->segName.name;
    }

    // This process's references to the segment.
    uint32_t references() const {
        uint32_t out = 0;
        detail::check(quorGetShmAttachRefCount(info_, &out), "quorGetShmAttachRefCount");
        return out;
    }
    uint32_t references(std::error_code &ec) const noexcept {
        uint32_t out = 0;
        detail::report(ec, quorGetShmAttachRefCount(info_, &out));
        return out;
    }

    // The tree's top node as recorded in the segment (no check of its condition).
    node top() const {
        SNodeCB_t *out = nullptr;
        detail::check(quorGetTopNodeCBPtrFromShmSegInfo(info_, &out), "quorGetTopNodeCBPtrFromShmSegInfo");
        return node(out);
    }
    node top(std::error_code &ec) const noexcept {
        SNodeCB_t *out = nullptr;
        if (!detail::report(ec, quorGetTopNodeCBPtrFromShmSegInfo(info_, &out))) return {};
        return node(out);
    }
    // Records n as the tree's top node.
    void set_top(const node &n) { detail::check(set_top_rc(n), "quorPutTopNodeInfoIntoDomainHeader"); }
    void set_top(const node &n, std::error_code &ec) noexcept { detail::report(ec, set_top_rc(n)); }
    // Made by create() and no top node recorded yet: destruction removes it.
    bool unbuilt() const noexcept { return unbuilt_; }

    // A node in this segment's pool, initialised (condition from the options,
    // default initialized), with an empty dependent list when it has that area.
    // A node whose initialisation fails is freed again.
    node create_node(const node_plan &plan) {
        node out;
        detail::check(create_node_rc(plan, out), "quorCreateNode");
        return out;
    }
    node create_node(const node_plan &plan, std::error_code &ec) noexcept {
        node out;
        detail::report(ec, create_node_rc(plan, out));
        return out;
    }
    // A locator of n that any process can store and follow.
    SNodeInfo_t locator(const node &n) const {
        SNodeInfo_t out{};
        detail::check(locator_rc(n, out), "quorAddStatusNodeInfo");
        return out;
    }
    SNodeInfo_t locator(const node &n, std::error_code &ec) const noexcept {
        SNodeInfo_t out{};
        detail::report(ec, locator_rc(n, out));
        return out;
    }

    // Drops this reference now.
    void detach() { detail::check(detach_rc(), "quorDetachStatusSegment"); }
    void detach(std::error_code &ec) noexcept { detail::report(ec, detach_rc()); }
    // Deletes the segment once this is the process's last reference. A normal
    // delete is refused (the library's code) while other live processes hold
    // connections, and then leaves the segment as it was, unmarked; force marks
    // it and frees it even while other processes are connected.
    void remove(bool force = false) { detail::check(remove_rc(force), "quorDeleteStatusSegment"); }
    void remove(bool force, std::error_code &ec) noexcept { detail::report(ec, remove_rc(force)); }

private:
    uint32_t create_rc(std::string_view name, uint64_t size, const segment_options &o) noexcept {
        IpcResId id;
        uint32_t rc = detail::resource_id(name, id);
        rc = rc != QUOR_RC_OK ? rc
                              : quorGetProtectedStatusSegment(&info_, size, &id, o.address, o.pool_size,
                                                              o.domain, o.pool);
        unbuilt_ = rc == QUOR_RC_OK;
        return rc;
    }
    uint32_t attach_rc(std::string_view name, const segment_options &o) noexcept {
        IpcResId id;
        uint32_t rc = detail::resource_id(name, id);
        return rc != QUOR_RC_OK
                   ? rc
                   : quorAttachStatusSegment(&info_, &id, o.address, 0, o.pool_size, o.domain, o.pool);
    }
    uint32_t connect_rc(std::string_view name, const segment_options &o) noexcept {
        return cause_rc(connect_raw_rc(name, o));
    }
    uint32_t connect_raw_rc(std::string_view name, const segment_options &o) noexcept {
        IpcResId id;
        uint32_t rc = detail::resource_id(name, id);
        if (rc != QUOR_RC_OK) return rc;
        SNodeCB_t *top = nullptr;
        TopNodeInfo info{};
        // The unreduced codes of the same connection tell the causes apart.
        return quorAttachToTopNode(&info_, &top, &info, &id, o.address, o.domain, o.pool);
    }
    // The cause a connection's code stands for; other codes as they are.
    static uint32_t cause_rc(uint32_t rc) noexcept {
        switch (rc) {
            case QUOR_RC_SEGMENT_ATTACH_FAILED:
                return detail::cause(segment_errc::no_such_segment);
            case QUOR_RC_NO_TREE_IN_SEGMENT:
            case QUOR_RC_NO_TOP_NODE:
                return detail::cause(segment_errc::no_tree_yet);
            case QUOR_RC_DOMAIN_MARKED_FOR_DELETION:
            case QUOR_RC_POOL_MARKED_FOR_DELETION:
                return detail::cause(segment_errc::being_deleted);
            case QUOR_RC_BAD_DOMAIN_EYECATCHER:
            case QUOR_RC_BAD_POOL_EYECATCHER:
            case QUOR_RC_HEAP_DAMAGED:
            case QUOR_RC_HEAP_CORRUPT:
                return detail::cause(segment_errc::damaged);
            default:
                return rc;
        }
    }
    uint32_t connect_waiting_rc(std::string_view name, std::chrono::milliseconds timeout,
                                const segment_options &o) noexcept {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, std::chrono::milliseconds(50))) {
            const uint32_t raw = connect_raw_rc(name, o), rc = cause_rc(raw);
            // A header without its magic is also one still being laid out.
            const bool worth_waiting = rc == detail::cause(segment_errc::no_such_segment) ||
                                       rc == detail::cause(segment_errc::no_tree_yet) ||
                                       raw == QUOR_RC_BAD_DOMAIN_EYECATCHER;
            if (!worth_waiting || std::chrono::steady_clock::now() >= until) return rc;
            std::this_thread::sleep_for(pause);
        }
    }
    // Whatever this object holds goes: detached, or removed while unbuilt.
    uint32_t release_rc() noexcept {
        if (!unbuilt_) return detach_rc();
        unbuilt_ = false;
        return remove_rc(true);
    }
    // A status segment's domain header lies at offset 0 of the segment and
    // carries the two storage eyecatchers from the moment it is laid out. Marked
    // under the domain latch first, so that no connection slips in, then made
    // dead (as a forced free does) and unlinked.
    static uint32_t remove_by_name_rc(std::string_view name) noexcept {
        IpcResId id;
        if (uint32_t rc = detail::resource_id(name, id); rc != QUOR_RC_OK) return rc;
        if (!IpcMemory::validName(id)) return QUOR_RC_HOST_BAD_SEGMENT_NAME;
        IpcMemory memory;
        if (memory.attach(id, nullptr) != QUOR_RC_OK) return detail::cause(segment_errc::no_such_segment);
        void *base = nullptr;
        if (memory.getAddress(&base) != QUOR_RC_OK || memory.size() < QUOR_HHEADER_SIZE(0)) {
            (void)memory.detach();
            return detail::cause(segment_errc::not_a_segment);
        }
        auto *header = static_cast<HHeader_t *>(base);
        if (header->eyecatcher0 != QUOR_EYECATCHER || header->handleEyecatcher != QUOR_EYECATCHER) {
            (void)memory.detach();
            return detail::cause(segment_errc::not_a_segment);
        }
        if (header->heapMagic == QUOR_DOMAIN_HEAP_MAGIC) {
            ShmDomainHandle_t view{base, QUOR_SHM_MODE_USER_MEMORY, 0, 0, nullptr};
            if (quorLatchShmDomain(&view) == QUOR_RC_OK) {
                (void)quorMarkShmDomainForDeletion(&view);
                (void)quorUnlatchShmDomain(&view);
            }
            header->flags |= QUOR_HEAP_MARKED_FOR_DELETION;
            header->heapMagic = 0;
        }
        return memory.destroy() == QUOR_RC_OK ? QUOR_RC_OK : QUOR_RC_SEGMENT_DESTROY_FAILED;
    }
    uint32_t set_top_rc(const node &n) noexcept {
        if (info_ == nullptr) return QUOR_RC_NOT_ATTACHED;
        if (!n) return QUOR_RC_NULL_PARAMETER;
        uint64_t tag = 0;
        uint32_t rc = quorGetNodeTag(n.get(), &tag, n.holds_section() ? 1u : 0u);
        if (rc != QUOR_RC_OK) return rc;
        rc = quorPutTopNodeInfoIntoDomainHeader(info_->domainHandle, tag, n.get()->selfOffset,
                                                info_->poolHandle->poolHeapOffset);
        if (rc == QUOR_RC_OK) unbuilt_ = false;
        return rc;
    }
    uint32_t create_node_rc(const node_plan &s, node &out) noexcept {
        uint64_t sizes[QUOR_MAX_SPACE_ARRAY_SIZE] = {};
        uint64_t total = 0, offset = 0;
        const NodeSpaceParams_t &p = s.space;
        uint32_t rc = quorCreateMaxSpaceArray(
            p.areaFlags, p.rCount, p.vCount, p.irCount, p.ivCount, p.dependentCount, p.maxIdSize,
            p.baseVMaxVSize, p.vMaxVSize, p.irMaxIdSize, p.ivMaxIdSize, p.ivMaxVSize, p.rHashMode,
            p.vHashMode, p.irHashMode, p.ivHashMode, p.irTagTableSize, p.irIdTableSize, p.ivTagTableSize,
            p.ivIdTableSize, sizes, &total);
        SNodeCB_t *cb = nullptr;
        if (rc == QUOR_RC_OK) rc = quorCreateNode(info_, &cb, p.areaFlags, sizes, &total, &offset);
        if (rc != QUOR_RC_OK) return rc;
        // The parent locator is copied in; the library records the ID length it used in it.
        SNodeInfo_t parent = s.parent != nullptr ? *s.parent : SNodeInfo_t{};
        rc = quorInitNode(&cb, offset, s.id.size(), s.id.data(), s.parent != nullptr ? &parent : nullptr,
                          s.parent_id.data(), p.maxIdSize, s.triple, s.rmx, s.options);
        // A dependent list is read from its header on; an unformatted one would
        // be read from whatever the block held.
        if (rc == QUOR_RC_OK && (p.areaFlags & QUOR_KIND_DEPENDENTS) != 0) {
            rc = quorCreateDependentNodeList(cb, nullptr, nullptr, nullptr, p.maxIdSize, 0, 0);
        }
        if (rc != QUOR_RC_OK) {
            (void)quorDisclaimNode(&cb, info_->poolHandle, QUOR_EYECATCHER);
            return rc;
        }
        out = node(cb);
        return QUOR_RC_OK;
    }
    uint32_t locator_rc(const node &n, SNodeInfo_t &out) const noexcept {
        if (info_ == nullptr) return QUOR_RC_NOT_ATTACHED;
        if (!n) return QUOR_RC_NULL_PARAMETER;
        const uint32_t cs = n.holds_section() ? 1u : 0u;
        uint64_t tag = 0;
        char *bytes = nullptr;
        uint64_t length = 0;
        uint32_t rc = quorGetNodeTag(n.get(), &tag, cs);
        if (rc == QUOR_RC_OK && (n.get()->areaFlags & QUOR_KIND_ID) != 0) {
            rc = quorGetNodeID(n.get(), &bytes, &length, cs);
        }
        if (rc != QUOR_RC_OK) return rc;
        return quorAddStatusNodeInfo(&out, info_, info_, n.get()->selfOffset, tag, length, nullptr);
    }
    // The library clears the caller's pointer only when it drops the process's
    // last reference; this object's reference is gone either way.
    uint32_t detach_rc() noexcept {
        if (info_ == nullptr) return QUOR_RC_OK;
        uint32_t rc = quorDetachStatusSegment(&info_, QUOR_DETACH_RELEASE);
        if (rc == QUOR_RC_OK) {
            info_ = nullptr;
            unbuilt_ = false;
        }
        return rc;
    }
    // Only a delete that cannot be refused marks the segment first: a refused
    // normal delete must leave it open to connections as it was.
    uint32_t remove_rc(bool force) noexcept {
        if (info_ == nullptr) return QUOR_RC_NOT_ATTACHED;
        if (force) {
            if (uint32_t rc = quorMarkStatusSegmentForDeletion(info_); rc != QUOR_RC_OK) return rc;
        }
        uint32_t rc = quorDeleteStatusSegment(&info_, QUOR_POOL_FREE_NORMAL,
                                              force ? QUOR_DELETE_POOL_FORCE : QUOR_DELETE_POOL_AS_GIVEN,
                                              QUOR_DETACH_RELEASE);
        if (rc == QUOR_RC_OK) {
            info_ = nullptr;
            unbuilt_ = false;
        }
        return rc;
    }

    ShmSegInfo_t *info_ = nullptr;
    bool unbuilt_ = false;  // created here, no top node recorded yet
};

inline tree_totals node::totals(const segment &tree, uint64_t tag, uint64_t max_depth) const {
    std::error_code ec;
    tree_totals out = totals(tree, tag, max_depth, ec);
    if (ec) throw std::system_error(ec, "quorGetTreeInfo");
    return out;
}

inline tree_totals node::totals(const segment &tree, uint64_t tag, uint64_t max_depth,
                                std::error_code &ec) const {
    TreeInfo_t info{};
    if (!detail::report(ec, quorGetTreeInfo(cb_, tree.get(), 0, tag, max_depth, &info))) return {};
    tree_totals out;
    out.all = {info.bytesTotal, info.nodesTotal};
    out.created = {info.bytesCondition1, info.nodesCondition1};
    out.initialized = {info.bytesCondition2, info.nodesCondition2};
    out.active = {info.bytesCondition3, info.nodesCondition3};
    out.abandoned = {info.bytesCondition4, info.nodesCondition4};
    out.disassociated = {info.bytesCondition5, info.nodesCondition5};
    out.nodes_with_tag = info.nodesWithTag;
    return out;
}

// A search path the library builds and keeps in private memory (each step's tag
// and a copy of its ID), for a path followed many times; released on destruction.
class search_path {
public:
    search_path() = default;
    search_path(const segment &seg, std::initializer_list<path_step> steps,
                uint64_t max_id_size = QUOR_MAX_ID_SIZE) {
        detail::check(build(seg, steps, max_id_size), "quorCreateTraverseInfoArray");
    }
    search_path(const segment &seg, std::initializer_list<path_step> steps, uint64_t max_id_size,
                std::error_code &ec) {
        detail::report(ec, build(seg, steps, max_id_size));
    }
    search_path(search_path &&other) noexcept
        : steps_(std::exchange(other.steps_, nullptr)),
          count_(std::exchange(other.count_, 0)),
          owner_(other.owner_) {}
    search_path &operator=(search_path &&other) noexcept {
        if (this != &other) {
            (void)release();
            steps_ = std::exchange(other.steps_, nullptr);
            count_ = std::exchange(other.count_, 0);
            owner_ = other.owner_;
        }
        return *this;
    }
    search_path(const search_path &) = delete;
    search_path &operator=(const search_path &) = delete;
    ~search_path() { (void)release(); }

    size_t size() const noexcept { return count_; }
    const TraverseInfo_t *data() const noexcept { return steps_; }

private:
    friend class node;
    uint32_t build(const segment &seg, std::initializer_list<path_step> steps, uint64_t max_id_size) {
        if (!seg) return QUOR_RC_NOT_ATTACHED;
        std::vector<uint64_t> tags;
        std::vector<std::string> ids;
        for (const path_step &step : steps) {
            tags.push_back(step.tag);
            ids.emplace_back(step.id);
        }
        std::vector<const char *> strings;
        for (const std::string &id : ids) strings.push_back(id.c_str());
        // The library checks the record's eyecatcher on both calls and reads
        // nothing else of it: a copy keeps the path free of the segment's lifetime.
        owner_.eyecatcher = seg.get()->eyecatcher;
        uint32_t rc = quorCreateTraverseInfoArray(&steps_, tags.data(), strings.data(), max_id_size,
                                                  tags.size(), &owner_);
        if (rc == QUOR_RC_OK) count_ = tags.size();
        return rc;
    }
    uint32_t release() noexcept {
        if (steps_ == nullptr) return QUOR_RC_OK;
        return quorDeleteTraverseInfoArray(&steps_, std::exchange(count_, 0), &owner_);
    }
    TraverseInfo_t *steps_ = nullptr;
    uint64_t count_ = 0;
    ShmSegInfo_t owner_{};
};

inline entry node::find(const search_path &path) const {
    entry out;
    detail::check(path_rc(path, out), "quorFindNodeHard");
    return out;
}

inline entry node::find(const search_path &path, std::error_code &ec) const noexcept {
    entry out;
    detail::report(ec, path_rc(path, out));
    return out;
}

inline uint32_t node::path_rc(const search_path &path, entry &out) const noexcept {
    uint32_t rc = detail::unheld(held_);
    if (rc != QUOR_RC_OK) return rc;
    return path.steps_ == nullptr ? QUOR_RC_NULL_PATH : walk_rc(path.steps_, path.count_, out);
}

// Whether a writer still keeps a node current, as seen from one reader: each
// watcher remembers what it saw last.
class watcher {
public:
    explicit watcher(uint32_t mode = QUOR_WATCH_COUNTER) noexcept { record_.watchMode = mode; }

    // True while the node's writer announced an update since the last look
    // (counter mode) or within twice its interval (time mode).
    bool current(const node &n) {
        bool out = false;
        detail::check(current_rc(n, out), "quorIsStillBeingUpdated");
        return out;
    }
    bool current(const node &n, std::error_code &ec) noexcept {
        bool out = false;
        detail::report(ec, current_rc(n, out));
        return out;
    }

private:
    uint32_t current_rc(const node &n, bool &out) noexcept {
        uint32_t rc =
            n.holds_section() ? detail::kSectionAlreadyHeld : quorIsStillBeingUpdated(n.get(), &record_);
        out = rc == QUOR_RC_OK;
        return rc == QUOR_RC_NOT_UPDATED || rc == QUOR_RC_UPDATE_OVERDUE ? QUOR_RC_OK : rc;
    }
    SNodeWatcher_t record_{};
};

}  // namespace quor

#endif  // QUOR_QUOR_HPP
