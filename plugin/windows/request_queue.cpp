#include "request_queue.h"

#include <exception>

#include "pipe_client.h"

namespace quorvane_windows_vpn {
namespace {

constexpr wchar_t kWindowClass[] = L"QuorvaneVpnPluginRequestQueue";
constexpr UINT kRepliesReady = WM_APP + 0x51;
constexpr DWORD kCancelStepMs = 20;
constexpr DWORD kStopBoundMs = 5000;

// Runs on the platform thread when the runner's loop dispatches our message.
LRESULT CALLBACK QueueWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != kRepliesReady) return DefWindowProcW(window, message, wparam, lparam);
  auto* queue = reinterpret_cast<RequestQueue*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (queue == nullptr) return 0;
  for (;;) {
    RequestQueue::Job job;
    {
      std::lock_guard<std::mutex> guard(queue->lock);
      if (queue->done.empty()) break;
      job = std::move(queue->done.front());
      queue->done.pop_front();
    }
    job.deliver(job.reply);
  }
  return 0;
}

void Serve(RequestQueue* queue) {
  for (;;) {
    RequestQueue::Job job;
    {
      std::unique_lock<std::mutex> guard(queue->lock);
      queue->wake.wait(guard, [queue] { return queue->stopping || !queue->waiting.empty(); });
      if (queue->stopping) return;
      job = std::move(queue->waiting.front());
      queue->waiting.pop_front();
    }
    // Nothing may escape the thread: that would end the application.
    try {
      job.reply = SendPipeRequest(job.request);
    } catch (...) {  // std::exception too: under _HAS_EXCEPTIONS=0 it does not name the runtime's exceptions
      job.reply = kPipeUnavailableReply;
    }
    std::lock_guard<std::mutex> guard(queue->lock);
    if (queue->stopping) return;
    queue->done.push_back(std::move(job));
    PostMessageW(queue->window, kRepliesReady, 0, 0);
  }
}

DWORD WINAPI Worker(void* parameter) {
  const std::unique_ptr<std::shared_ptr<RequestQueue>> shared(static_cast<std::shared_ptr<RequestQueue>*>(parameter));
  // Nothing may escape the thread; a worker that ends answers no more calls,
  // and the plugin stays.
  try {
    Serve(shared->get());
  } catch (...) {
  }
  return 0;
}

// The plugin's own module: the class's window procedure lives in it, not in
// the application's program.
HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&QueueWindowProc), &module);
  return module;
}

bool RegisterQueueClass() {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = QueueWindowProc;
  window_class.hInstance = ThisModule();
  window_class.lpszClassName = kWindowClass;
  return RegisterClassExW(&window_class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

bool StartRequestQueue(const std::shared_ptr<RequestQueue>& queue) {
  if (!RegisterQueueClass()) return false;
  queue->window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ThisModule(), nullptr);
  if (queue->window == nullptr) return false;
  SetWindowLongPtrW(queue->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(queue.get()));
  auto* shared = new std::shared_ptr<RequestQueue>(queue);
  queue->thread = CreateThread(nullptr, 0, Worker, shared, 0, nullptr);
  if (queue->thread == nullptr) {
    delete shared;
    DestroyWindow(queue->window);
    queue->window = nullptr;
    return false;
  }
  return true;
}

void EnqueueRequest(RequestQueue* queue, std::string request, ReplyDelivery deliver) {
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->waiting.push_back(RequestQueue::Job{std::move(request), std::move(deliver), std::string()});
  }
  queue->wake.notify_one();
}

void StopRequestQueue(RequestQueue* queue) {
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->stopping = true;
  }
  queue->wake.notify_one();
  if (queue->thread != nullptr) {
    // A read that waits for the service is cancelled, again until the worker
    // has seen the stop; a worker still there at the bound is left to end by
    // itself (it touches nothing of ours once it sees |stopping|).
    for (DWORD waited = 0; waited < kStopBoundMs; waited += kCancelStepMs) {
      if (WaitForSingleObject(queue->thread, kCancelStepMs) == WAIT_OBJECT_0) break;
      CancelSynchronousIo(queue->thread);
    }
    CloseHandle(queue->thread);
    queue->thread = nullptr;
  }
  if (queue->window != nullptr) {
    SetWindowLongPtrW(queue->window, GWLP_USERDATA, 0);
    DestroyWindow(queue->window);
    queue->window = nullptr;
  }
  std::lock_guard<std::mutex> guard(queue->lock);
  queue->waiting.clear();
  queue->done.clear();
}

}  // namespace quorvane_windows_vpn
