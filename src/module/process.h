// The module and the process: which thread runs signal handlers (it runs
// them while it waits for a container), and what becomes of containers in
// the child of fork().
//
// The child has only the thread that forked. A container whose lock another
// thread held, or which other threads waited for, would wait for them
// forever there; so the module keeps a list of the live containers, and in
// the child, inside fork() itself and so before any Python code runs there,
// it makes each forget the threads that are gone. An operation that such a
// thread left unfinished is abandoned: its keys are no longer in progress,
// and what it had stored stays. The interpreter forks with every other
// thread either stopped or without the interpreter lock, so each such
// operation is at a point where it runs Python code, where the state is
// consistent.
#pragma once

#include "module/container.h"

namespace tarnik {

// Adds a new container to the list, or takes a dying one out of it.
void track_container(ContainerObject* c) noexcept;
void untrack_container(ContainerObject* c) noexcept;

// Notes the main thread as the one that runs signal handlers, and registers
// the handlers around fork() where the system has it; 0, or -1 with the
// exception set.
int watch_process();

}  // namespace tarnik
