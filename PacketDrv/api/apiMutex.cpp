/*
 * The list lock wrappers: thin calls on the threads library's mutexes. The library uses type
 * 0, the platform's normal (non-recursive) mutex, and ignores the results.
 */
#include "nvxapi.h"

extern "C" {

int initMutex(pthread_mutex_t *m_ptr, int type)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, type);
    int rc = pthread_mutex_init(m_ptr, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

int destroyMutex(pthread_mutex_t *m_ptr)
{
    return pthread_mutex_destroy(m_ptr);
}

int lockMutex(pthread_mutex_t *m_ptr)
{
    return pthread_mutex_lock(m_ptr);
}

int unlockMutex(pthread_mutex_t *m_ptr)
{
    return pthread_mutex_unlock(m_ptr);
}

} // extern "C"
