// The stack of override layers.
#pragma once

#include "records.h"
#include "trash.h"

namespace tarnik {

void begin_override_layer(ContainerInner& st);
// Puts the entry into the topmost layer; with no layer open it is dropped
// (into `trash`) without a word.
void set_override(ContainerInner& st, Key key, Provider provider, Trash& trash);
// Pops the topmost layer into `trash`; with no layer open nothing happens.
void end_override_layer(ContainerInner& st, Trash& trash) noexcept;

}  // namespace tarnik
