// The driver in a forked child: the locks of the whole process are held
// through the fork, so that the child never finds one taken by a thread it
// does not have, and the child starts without the parent's contexts.
#include <pthread.h>

#include "call_recorder.h"
#include "context_registry.h"
#include "standin_controls.h"

namespace standin {
namespace {

void before_fork() {
    ContextRegistry::instance().before_fork();
    CallRecorder::instance().before_fork();
    controls_before_fork();
}

void after_fork(bool in_child) {
    controls_after_fork();
    CallRecorder::instance().after_fork();
    ContextRegistry::instance().after_fork(in_child);
}

__attribute__((constructor)) void install_fork_handlers() {
    pthread_atfork(
        before_fork, [] { after_fork(false); }, [] { after_fork(true); });
}

}  // namespace
}  // namespace standin
