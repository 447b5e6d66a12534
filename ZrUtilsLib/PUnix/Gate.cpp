#include "ZrUtilsLib/Gate.h"

#include <pthread.h>

namespace ZrUtilsLib {

struct Gate::Impl {
    pthread_mutex_t mutex;
};

Gate::Gate() : mImpl(new Impl) {
    pthread_mutex_init(&mImpl->mutex, nullptr);
}

Gate::~Gate() {
    pthread_mutex_destroy(&mImpl->mutex);
}

void Gate::Lock() {
    pthread_mutex_lock(&mImpl->mutex);
}

void Gate::Unlock() {
    pthread_mutex_unlock(&mImpl->mutex);
}

}  // namespace ZrUtilsLib
