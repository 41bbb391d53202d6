// STUB: replaced by the worker pool implementation.
#include "engine/ThreadPool.h"
namespace fusion {
ThreadPool::ThreadPool(uint16_t) {}
ThreadPool::~ThreadPool() { m_run = false; }
void ThreadPool::workerLoop() {}
}  // namespace fusion
