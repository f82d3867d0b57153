// Single-key resolution.
#pragma once

#include "error.h"
#include "records.h"
#include "pathset.h"
#include "smallvec.h"
#include "trash.h"

#include <memory>

namespace tarnik {

// Resolves keys one at a time against a locked state. Each key starts with
// an empty set of keys in progress. Dependencies are walked with frames kept
// on the heap, not on the native stack, so chain depth has no limit but
// memory; the order of calls and of checks is that of a depth-first walk.
class Resolver {
public:
    Resolver(ContainerInner& st, Trash& trash) noexcept : st_(st), trash_(trash) {}

    // A new reference to the value of `key`, or the first failure. `found`
    // is the entry in force for `key` (find_provider), possibly null.
    Result<Ref> resolve(KeyView key, Provider* found);

private:
    Result<Ref> walk(KeyView key, Provider* found);

    struct Frame {
        KeyView key;
        Provider* provider;
        std::size_t next_dep;
    };

    // Begins resolving `key`: a cached value is pushed at once, otherwise a
    // frame is pushed. Returns a failure, or nothing.
    std::optional<Error> enter(const DepKey& key);
    std::optional<Error> enter_found(KeyView key, Provider* p);
    bool in_progress(KeyView key) const noexcept;
    void push_frame(const Frame& f);
    void pop_frame() noexcept;
    void reset() noexcept;

    ContainerInner& st_;
    Trash& trash_;
    SmallVec<Frame, 8> frames_;  // the keys in progress, outermost first
    RefStack<16> values_;        // resolved values waiting for their dependent
    // Past this depth the keys in progress are also kept in a hash set.
    static constexpr std::size_t kScanDepth = 24;
    std::unique_ptr<PathSet> deep_;
};

// `resolve` of one key.
Result<Ref> resolve_key(ContainerInner& st, KeyView key, Trash& trash);
// The same, given the entry in force for `key` (find_provider), possibly null.
Result<Ref> resolve_found(ContainerInner& st, KeyView key, Provider* found, Trash& trash);

// Stores a freshly built singleton value into the entry that holds values
// for `key`; a value it replaces goes to `trash`.
void store_singleton(ContainerInner& st, KeyView key, PyObject* value, Trash& trash);

}  // namespace tarnik
