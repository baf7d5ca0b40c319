// Internal to the platform library: lets a new thread take an id
// (znthread_selfid) that its creator reserved, so that the creator can
// publish the id before the thread has run. Implemented in znmisc.cpp.
#pragma once

#include <cstdint>

namespace znplatform {

// A fresh id, never handed to any thread yet.
uint64_t ReserveThreadId();
// Makes id the calling thread's znthread_selfid. Called first thing by a new
// thread, before anything could ask for its id.
void AdoptThreadId(uint64_t id);

}  // namespace znplatform
