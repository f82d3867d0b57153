// The stack of override layers.
#pragma once

#include "core/registry.h"

namespace tarnik {

void begin_override_layer(ContainerState& st);
// Puts the entry into the topmost layer; with no layer open nothing
// happens and the entry goes with the call's arguments. False with the
// exception set, and nothing changed, when the container cannot hold the
// keys.
bool set_override(ContainerState& st, NewProvider& np, Trash& trash);
// Pops the topmost layer; its entries' references go to `trash`. With no
// layer open nothing happens.
void end_override_layer(ContainerState& st, Trash& trash);

}  // namespace tarnik
