// The IPC channel's requests, sent one after another from a worker thread of
// the plugin's, so that the platform thread (and the application's window)
// never waits for the service. Each reply is handed back on the platform
// thread, in the order the calls came, through a message-only window of the
// plugin's that the runner's message loop dispatches.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace quorvane_windows_vpn {

// Called on the platform thread with the service's reply (or a client-made one).
using ReplyDelivery = std::function<void(const std::string& reply)>;

struct RequestQueue {
  struct Job {
    std::string request;
    ReplyDelivery deliver;
    std::string reply;
  };
  HWND window = nullptr;  // message-only, on the thread that started the queue
  HANDLE thread = nullptr;
  std::mutex lock;
  std::condition_variable wake;
  std::deque<Job> waiting;
  std::deque<Job> done;
  bool stopping = false;
};

// Makes the window on the calling (platform) thread and starts the worker,
// which shares the queue, so that a worker that outlives StopRequestQueue's
// bound never touches freed memory. False when either cannot be made.
bool StartRequestQueue(const std::shared_ptr<RequestQueue>& queue);

// Queues |request|; |deliver| runs on the platform thread once it is answered.
void EnqueueRequest(RequestQueue* queue, std::string request, ReplyDelivery deliver);

// Ends the worker without waiting for ever on a service that does not answer
// (its pipe I/O is cancelled), destroys the window, and drops what was not
// delivered: nothing is delivered after this returns. On the platform thread.
void StopRequestQueue(RequestQueue* queue);

}  // namespace quorvane_windows_vpn
