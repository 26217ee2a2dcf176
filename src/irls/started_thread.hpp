// A second thread for work a caller can also do itself.
#pragma once

#include <system_error>
#include <thread>
#include <utility>

// A thread running work, or none (not joinable) when no more threads are
// to be had: the caller then does the work itself.
template <class Work>
std::thread started(Work&& work) {
  try {
    return std::thread(std::forward<Work>(work));
  } catch (const std::system_error&) {
    return std::thread();
  }
}
