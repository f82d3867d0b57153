// Batch resolution: the keys one after another, each with a fresh set of
// keys in progress, under one lock.
#pragma once

#include "error.h"
#include "records.h"
#include "trash.h"

namespace tarnik {

// Resolves `keys[0..n)` in order into the slots of `out`, a new list of
// length n. The first failure ends the batch; slots after it stay empty.
Status resolve_many(ContainerInner& st, const KeyView* keys, std::size_t n, PyObject* out, Trash& trash);

}  // namespace tarnik
