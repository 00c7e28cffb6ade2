// Two-state gates for the staging buffers: a flag under a mutex with a condition
// variable, so any thread may release a gate and releasing a free gate is harmless.
#include "internal.h"

namespace tio {

int gate_init(TioGate *gate) {
    gate->taken = 0;
    if (pthread_mutex_init(&gate->mutex, nullptr) != 0) return -1;
    if (pthread_cond_init(&gate->cond, nullptr) != 0) {
        pthread_mutex_destroy(&gate->mutex);
        return -1;
    }
    return 0;
}

void gate_destroy(TioGate *gate) {
    pthread_cond_destroy(&gate->cond);
    pthread_mutex_destroy(&gate->mutex);
}

void gate_take(TioGate *gate) {
    pthread_mutex_lock(&gate->mutex);
    while (gate->taken) pthread_cond_wait(&gate->cond, &gate->mutex);
    gate->taken = 1;
    pthread_mutex_unlock(&gate->mutex);
}

bool gate_try_take(TioGate *gate) {
    pthread_mutex_lock(&gate->mutex);
    const bool was_free = gate->taken == 0;
    gate->taken = 1;
    pthread_mutex_unlock(&gate->mutex);
    return was_free;
}

void gate_release(TioGate *gate) {
    pthread_mutex_lock(&gate->mutex);
    gate->taken = 0;
    pthread_cond_signal(&gate->cond);
    pthread_mutex_unlock(&gate->mutex);
}

}  // namespace tio
